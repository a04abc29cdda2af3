#include "convert.hpp"

#include "to_hl7.hpp"
#include "to_json_items.hpp"

namespace segmorph::cli {

bool submit_input(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs) {
    if (opts.command == Command::ToHl7) return submit_json(opts, source, in, jobs);
    return submit_hl7(opts, source, in, jobs);
}

Inputs find_inputs(const Options& opts) {
    Selection selection;
    selection.content = opts.command == Command::ToHl7 ? Selection::Content::Json : Selection::Content::Hl7;
    selection.globs = opts.globs;
    selection.hidden = opts.hidden;
    return expand_paths(opts.paths, selection);
}

bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs) {
    return submit_failure(source + ": " + error.message(), jobs);
}

}  // namespace segmorph::cli
