#include "framing.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "lines.hpp"

namespace segmorph {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr char kStartBlock = '\x0B';
constexpr char kEndBlock = '\x1C';
constexpr std::string_view kBlockBytes("\x0B\x1C", 2);

bool is_envelope(std::string_view line) {
    if (line.size() < 3) return false;
    return segment_named(line, "FHS") || segment_named(line, "BHS") || segment_named(line, "BTS") ||
           segment_named(line, "FTS");
}

// End of the line that starts at `pos`: the next CR or LF, or the end.
std::size_t line_end(std::string_view text, std::size_t pos) { return next_line_break(text, pos); }

// Frames one stretch of text that no MLLP byte interrupts: the whole input,
// or one block of a capture.  A CR or LF ends a line, so a two-byte break
// only adds an empty line, which is blank.
void frame_region(std::string_view region, std::vector<FramePart>& parts) {
    const char* begin = nullptr;  // first byte of the open message, if any
    const char* end = nullptr;    // end of its last non-blank line
    auto close = [&] {
        if (begin != nullptr) parts.push_back({FramePart::Kind::Message, std::string_view(begin, end - begin)});
        begin = nullptr;
    };
    LineBreaks breaks(region);
    std::size_t pos = 0;
    for (;;) {
        const std::size_t stop = breaks.next();
        std::string_view line = region.substr(pos, stop - pos);
        // Most lines are a segment of the open message: only a line whose
        // first byte could start a mark, white space, an envelope segment
        // or an MSH is looked at further.
        if (!line.empty() && line[0] == kByteOrderMark[0] && line.starts_with(kByteOrderMark))
            line.remove_prefix(kByteOrderMark.size());
        const char first = line.empty() ? ' ' : line[0];
        if (!is_blank_byte(first) || !is_blank_line(line)) {
            if ((first == 'F' || first == 'B') && is_envelope(line)) {
                close();
                parts.push_back({FramePart::Kind::Envelope, line});
            } else {
                if (begin == nullptr || (first == 'M' && segment_named(line, "MSH"))) {
                    close();
                    begin = line.data();
                }
                end = line.data() + line.size();
            }
        }
        if (stop == region.size()) break;
        pos = stop + 1;
    }
    close();
}

// Whether an input that starts with `head` (past a leading mark) is an
// MLLP capture; nullopt while `head` holds nothing but white space.
std::optional<bool> is_mllp_capture(std::string_view head) {
    const std::size_t first = head.find_first_not_of(" \t\f\r\n");
    if (first == std::string_view::npos) return std::nullopt;
    return head[first] == kStartBlock;
}

// Frames `text`; `in_block` says whether a capture's text starts inside a
// block and is left saying whether it ends inside one.  True when the last
// part comes from a block still open at the end of the text.
bool frame_all(std::string_view text, Framing& framing, bool& in_block) {
    if (!framing.mllp) {
        frame_region(text, framing.parts);
        return false;
    }
    // Every stretch between two framing bytes is framed on its own; the CR
    // after an end byte and the gaps between blocks are blank and vanish.
    // Text outside the blocks is kept, and a last block that was cut off
    // before its end byte still counts.
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == kStartBlock || text[i] == kEndBlock) {
            frame_region(text.substr(start, i - start), framing.parts);
            in_block = text[i] == kStartBlock;
            start = i + 1;
        }
    }
    const std::size_t before = framing.parts.size();
    frame_region(text.substr(start), framing.parts);
    return in_block && framing.parts.size() > before;
}

enum class Start { Yes, No, Unknown };

// Whether a line begins a part wherever it stands (an MSH or envelope
// segment); Unknown when `line` is not complete and its first bytes do not
// tell yet.
Start starts_part(std::string_view line, bool complete) {
    if (!complete && line.size() < kByteOrderMark.size() && kByteOrderMark.starts_with(line)) return Start::Unknown;
    if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
    static constexpr std::string_view kNames[] = {"MSH", "FHS", "BHS", "BTS", "FTS"};
    for (std::string_view name : kNames) {
        if (!complete && line.size() <= name.size() && name.starts_with(line)) return Start::Unknown;
        if (segment_named(line, name)) return Start::Yes;
    }
    return Start::No;
}

}  // namespace

Framing frame_messages(std::string_view input) {
    if (input.starts_with(kByteOrderMark)) input.remove_prefix(kByteOrderMark.size());
    Framing framing;
    framing.mllp = is_mllp_capture(input).value_or(false);
    bool in_block = false;
    framing.truncated = frame_all(input, framing, in_block);
    return framing;
}

std::size_t next_message_start(std::string_view input, std::size_t pos) {
    if (pos == 0 || pos >= input.size()) return std::min(pos, input.size());
    std::string_view head = input;
    if (head.starts_with(kByteOrderMark)) head.remove_prefix(kByteOrderMark.size());
    if (is_mllp_capture(head).value_or(false)) {
        // Inside a block a line may start a message too, but a cut there
        // would lose the block's framing: only a block's start is safe.
        const std::size_t start = input.find(kStartBlock, pos);
        return start == std::string_view::npos ? input.size() : start;
    }
    std::size_t line = pos;
    if (input[pos - 1] != '\r' && input[pos - 1] != '\n') {
        line = line_end(input, pos);  // pos is inside a line: the next one
        if (line == input.size()) return line;
        ++line;
    }
    for (;;) {
        const std::size_t stop = line_end(input, line);
        std::string_view text = input.substr(line, stop - line);
        if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
        // Every MSH line opens a message and every envelope line closes one,
        // whatever came before: framing on either side of it agrees.
        if (segment_named(text, "MSH") || is_envelope(text)) return line;
        if (stop == input.size()) return stop;
        line = stop + 1;
    }
}

Framing RoundFramer::frame(std::string_view round, bool ended, std::string_view& carry) {
    carry = {};
    if (dropping_) {
        const std::size_t start = skip_to_part(round, ended, carry);
        carry_size_ = carry.size();
        if (start == std::string_view::npos) return Framing{};
        round.remove_prefix(start);
    }
    if (!mllp_) {
        // Only the input's very first bytes may be a leading mark; later
        // rounds start with a part, which framing must see as it is.
        std::string_view head = round;
        if (at_input_start_) {
            if (!ended && head.size() < kByteOrderMark.size() && kByteOrderMark.starts_with(head)) {
                carry = round;
                return Framing{};
            }
            if (head.starts_with(kByteOrderMark)) head.remove_prefix(kByteOrderMark.size());
        }
        mllp_ = is_mllp_capture(head);
        if (!mllp_) {
            // Nothing but blank lines so far: keep only the line that is not
            // yet complete.
            const std::size_t last_break = head.find_last_of("\r\n");
            if (last_break != std::string_view::npos) at_input_start_ = false;
            if (!ended) carry = last_break == std::string_view::npos ? round : head.substr(last_break + 1);
            carry_size_ = carry.size();
            return Framing{};
        }
        round = head;
    }
    Framing framing;
    framing.mllp = *mllp_;
    if (ended) {
        framing.truncated = frame_all(round, framing, in_block_);
        return framing;
    }
    // A line not yet complete may still turn out to start a message or be
    // an envelope segment, so only complete lines are framed; and the last
    // part may still grow.  Both wait for the next round.
    const std::size_t last_break = round.find_last_of(*mllp_ ? std::string_view("\r\n\x0B\x1C", 4) : "\r\n");
    if (last_break == std::string_view::npos) {
        carry = round;
        carry_size_ = carry.size();
        return framing;
    }
    // Unless its first bytes already tell that it starts a part: then
    // everything before it is complete and goes on now, so that a message
    // is not held, and given up with it, behind a line that never ends.
    const std::size_t open_line = last_break + 1;
    if (starts_part(round.substr(open_line), false) == Start::Yes) {
        frame_all(round.substr(0, open_line), framing, in_block_);
        carry = round.substr(open_line);
        carry_size_ = carry.size();
        return framing;
    }
    frame_all(round.substr(0, last_break + 1), framing, in_block_);
    // The last part is final when nothing can be added to it: an envelope
    // segment is one line, and in a capture a message ends with its block.
    // Handing it on now lets a live stream be converted as it arrives.
    bool last_is_final = framing.parts.empty();
    if (!last_is_final) {
        const FramePart& last = framing.parts.back();
        const std::size_t end = static_cast<std::size_t>(last.text.data() + last.text.size() - round.data());
        last_is_final =
            last.kind == FramePart::Kind::Envelope ||
            (*mllp_ && round.substr(end, last_break + 1 - end).find_first_of("\x0B\x1C") != std::string_view::npos);
    }
    if (last_is_final) {
        carry = round.substr(last_break + 1);
        carry_size_ = carry.size();
        return framing;
    }
    // Carried from the start of its line: a mark skipped there must be
    // skipped again, not found a second time.  (A part starts at a line
    // start, where no mark can end, or right after a skipped mark.)
    std::size_t from = static_cast<std::size_t>(framing.parts.back().text.data() - round.data());
    const std::size_t mark = kByteOrderMark.size();
    if (from >= mark && round.substr(from - mark, mark) == kByteOrderMark) from -= mark;
    carry = round.substr(from);
    carry_size_ = carry.size();
    framing.parts.pop_back();
    return framing;
}

bool RoundFramer::held_part_ends(std::string_view round, std::size_t from) {
    if (!mllp_ || dropping_) return false;
    if (from == carry_size_) {
        // A new round: the line being read began in the carry.  The carry's
        // own first line is the held part's start, which ends nothing.
        const std::size_t last = round.substr(0, from).find_last_of("\r\n");
        watch_line_ = last == std::string_view::npos ? 0 : last + 1;
    }
    if (*mllp_ && round.find_first_of(kBlockBytes, from) != std::string_view::npos) return true;
    for (std::size_t pos = from;;) {
        const std::size_t stop = line_end(round, pos);
        // A line still open ends the part as soon as its start tells.
        if (stop == round.size())
            return watch_line_ != 0 && starts_part(round.substr(watch_line_), false) == Start::Yes;
        if (watch_line_ != 0 && starts_part(round.substr(watch_line_, stop - watch_line_), true) == Start::Yes)
            return true;
        watch_line_ = pos = stop + 1;
    }
}

std::string_view RoundFramer::drop_held_part(std::string_view carry) {
    if (!mllp_) mllp_ = false;  // only blank text so far: drop it as text
    dropping_ = true;
    // The held part has no place where a part begins but its start, which
    // goes; only the last line may not be complete, and may yet begin one.
    const std::size_t last = carry.find_last_of(*mllp_ ? std::string_view("\r\n\x0B\x1C", 4) : "\r\n");
    mid_line_ = last == std::string_view::npos;
    carry = mid_line_ ? std::string_view() : carry.substr(last + 1);
    carry_size_ = carry.size();
    return carry;
}

// While dropping: the offset in `round` of the first place where a part may
// begin (a line that begins one, or in a capture a framing byte), or npos
// with `carry` set to the few bytes that cannot tell yet.
std::size_t RoundFramer::skip_to_part(std::string_view round, bool ended, std::string_view& carry) {
    const std::size_t block_byte = *mllp_ ? round.find_first_of(kBlockBytes) : std::string_view::npos;
    const std::string_view lines = round.substr(0, block_byte);
    const bool lines_end = block_byte != std::string_view::npos || ended;
    for (std::size_t pos = 0;;) {
        const std::size_t stop = line_end(lines, pos);
        if (!mid_line_) {
            switch (starts_part(lines.substr(pos, stop - pos), stop < lines.size() || lines_end)) {
                case Start::Yes: dropping_ = false; return pos;
                case Start::Unknown: carry = round.substr(pos); return std::string_view::npos;
                case Start::No: break;
            }
        }
        if (stop == lines.size()) {
            mid_line_ = true;
            break;
        }
        mid_line_ = false;
        pos = stop + 1;
    }
    if (block_byte == std::string_view::npos) return std::string_view::npos;
    dropping_ = false;
    mid_line_ = false;
    return block_byte;
}

}  // namespace segmorph
