// Reading HL7 input in rounds: to-json, validate and send read every input
// so, framed into messages and envelope segments.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "args.hpp"
#include "framing.hpp"
#include "input.hpp"

namespace segmorph::cli {

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

}  // namespace segmorph::cli
