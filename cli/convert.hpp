// Each input to the subcommand that reads it: the inputs the command line
// names, and every one handed to to-json's and validate's HL7 reading or to
// to-hl7's JSON reading.
#pragma once

#include <string>

#include "args.hpp"
#include "errors.hpp"
#include "input.hpp"
#include "jobs.hpp"

namespace segmorph::cli {

// Reads one input and submits its conversion as tasks in input order.
// HL7 and JSON Lines are read in rounds of half a megabyte, so memory does
// not grow with the length of a feed; a JSON document is read whole.  False
// once the run has stopped.
bool submit_input(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs);

// The inputs the command line names, directories walked as the subcommand
// chooses its files (HL7 or JSON by content, or --glob; --hidden).
Inputs find_inputs(const Options& opts);

// Submits the report of an input that could not be read.
bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs);

}  // namespace segmorph::cli
