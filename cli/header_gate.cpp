#include "header_gate.hpp"

#include <utility>

#include "lines.hpp"

namespace segmorph::cli {

namespace {

bool starts_with_header(const FramePart& part) {
    const std::string_view line = first_segment_line(part.text);
    return segment_named(line, "MSH") || segment_named(line, "FHS") || segment_named(line, "BHS");
}

}  // namespace

bool HeaderGate::open() {
    if (open_) return true;
    open_ = true;
    for (Held& h : held_)
        if (!out_.parts(h.round, h.parts, h.index)) return false;
    held_.clear();
    return true;
}

bool HeaderGate::parts(const std::shared_ptr<const InputBytes>& round, std::span<const FramePart> parts,
                       std::size_t index) {
    if (open_) return out_.parts(round, parts, index);
    std::size_t bytes = 0;
    bool header = false;
    for (const FramePart& part : parts) {
        bytes += part.text.size();
        header = header || starts_with_header(part);
    }
    held_.push_back(Held{round, std::vector<FramePart>(parts.begin(), parts.end()), index});
    held_bytes_ += bytes;
    if (header || held_bytes_ > limit_) return open();
    return true;
}

bool HeaderGate::failure(const std::string& text, std::uint64_t messages) {
    // A report keeps its place after the parts before it.
    return open() && out_.failure(text, messages);
}

bool HeaderGate::finish() {
    if (open_ || held_.empty()) return true;
    held_.clear();
    return out_.failure(name_ + ": no HL7 message found (no line starts with MSH, FHS or BHS)", 0);
}

}  // namespace segmorph::cli
