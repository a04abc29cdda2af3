// to-json's and validate's tasks: the messages and envelope segments of
// an HL7 input, cut into runs, each run converted into its JSON items (or
// validate's lines) on a job.
#pragma once

#include <string>

#include "args.hpp"
#include "input.hpp"
#include "jobs.hpp"

namespace segmorph::cli {

// Reads one HL7 input and submits its conversion as tasks in input order.
// False once the run has stopped.
bool submit_hl7(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs);

}  // namespace segmorph::cli
