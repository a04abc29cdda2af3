// The work of each subcommand on one input: framing HL7 or reading JSON,
// cutting the input into runs of messages and converting each run.
#pragma once

#include <memory>
#include <string>

#include "args.hpp"
#include "errors.hpp"
#include "input.hpp"
#include "jobs.hpp"

namespace segmorph::cli {

// Submits the conversion of one input, whose whole content is `bytes`, as
// one or more tasks in input order.  False once the run has stopped.
bool submit_input(const Options& opts, const std::string& source, std::shared_ptr<const InputBytes> bytes,
                  OrderedJobs& jobs);

// Submits the report of an input that could not be read.
bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs);

}  // namespace segmorph::cli
