// to-hl7's reading of one JSON input: JSON Lines, an array of to-json's
// items, or an array of records (one message).
#pragma once

#include <string>

#include "args.hpp"
#include "input.hpp"
#include "jobs.hpp"

namespace segmorph::cli {

// Reads one JSON input and submits its conversion as tasks in input order,
// item by item: memory follows the largest item (a message), not the
// input.  False once the run has stopped.
bool submit_json(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs);

}  // namespace segmorph::cli
