// The work of each subcommand on one input: framing HL7 or reading JSON,
// cutting the input into runs of messages and converting each run.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "args.hpp"
#include "errors.hpp"
#include "framing.hpp"
#include "input.hpp"
#include "jobs.hpp"
#include "message_text.hpp"
#include "piece.hpp"
#include "segments.hpp"

namespace segmorph::cli {

// Reads one input and submits its conversion as tasks in input order.
// HL7 and JSON Lines are read in rounds of half a megabyte, so memory does
// not grow with the length of a feed; a JSON document is read whole.  False
// once the run has stopped.
bool submit_input(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs);

// What read_hl7_parts hands on, in input order.
class Hl7PartSink {
public:
    // Consecutive parts, none longer than --max-message-bytes: views into
    // `round`, which the sink may keep alive.  `index` numbers the first
    // message among them.  False stops the reading.
    virtual bool parts(const std::shared_ptr<const InputBytes>& round, std::span<const FramePart> parts,
                       std::size_t index) = 0;
    // A report to print, standing for `messages` messages: a part too long
    // (skipped), a last MLLP block cut off (its part was handed on), no
    // message at all, or the input failing to read (then the last call).
    virtual bool failure(const std::string& text, std::uint64_t messages) = 0;
    // Before a message without an end is dropped: whatever was handed on
    // should be done with now, not when the input ends.
    virtual bool flush() { return true; }

protected:
    ~Hl7PartSink() = default;
};

// Reads one HL7 input in rounds of half a megabyte and frames it, the one
// reading that to-json, validate and send share: --max-message-bytes,
// --accept-truncated, and from a pipe or socket a message is handed on as
// soon as the next one begins.  `name` leads every report.  False once
// the sink has stopped the reading.
bool read_hl7_parts(const Options& opts, const std::string& name, InputReader& in, Hl7PartSink& sink);

// The inputs the command line names, directories walked as the subcommand
// chooses its files (HL7 or JSON by content, or --glob; --hidden).
Inputs find_inputs(const Options& opts);

// Submits the report of an input that could not be read.
bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs);

// An input's name as the JSON string of "source".
std::string json_name(const std::string& name);

// The members after "source" of the object to-json writes for one message
// (valid UTF-8): ,"index":N,"records":[...].  `flat` is working space a
// caller keeps from one message to the next.  The listener
// writes its lines through this too, so both give the same records.
void append_message_members(TextBuffer& out, std::size_t index, std::string_view text, bool escaping,
                            FlatRecord& flat);

}  // namespace segmorph::cli
