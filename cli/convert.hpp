// The work of each subcommand on one input: framing HL7 or reading JSON,
// cutting the input into runs of messages and converting each run.
#pragma once

#include <memory>
#include <string>

#include "args.hpp"
#include "errors.hpp"
#include "input.hpp"
#include "jobs.hpp"
#include "message_text.hpp"
#include "piece.hpp"
#include "segments.hpp"

namespace segmorph::cli {

// Reads one input and submits its conversion as tasks in input order.
// HL7 and JSON Lines are read in rounds of a few megabytes, so memory does
// not grow with the length of a feed; a JSON document is read whole.  False
// once the run has stopped.
bool submit_input(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs);

// The inputs the command line names, directories walked as the subcommand
// chooses its files (HL7 or JSON by content, or --glob; --hidden).
Inputs find_inputs(const Options& opts);

// Submits the report of an input that could not be read.
bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs);

// One message or envelope segment as the converters read it: UTF-8 in the
// character set asked for or declared, with the standard delimiters.  The
// text the rules check is `decoded`, which keeps the declared delimiters
// (the standard rules read them; check_message rewrites for the others).
// The listener reads each message it receives through this too.
struct ReadMessage {
    std::optional<MessageText> decoded, standard;
    Status error;
};
ReadMessage read_message(std::string_view text, Encoding encoding);

// An input's name as the JSON string of "source".
std::string json_name(const std::string& name);

// The members after "source" of the object to-json writes for one message
// (valid UTF-8): ,"index":N,"records":[...].  `flat` and `scratch` are
// working space a caller keeps from one message to the next.  The listener
// writes its lines through this too, so both give the same records.
void append_message_members(TextBuffer& out, std::size_t index, std::string_view text,
                            const Hl7EscapeHandler* handler, FlatRecord& flat, std::string& scratch);

}  // namespace segmorph::cli
