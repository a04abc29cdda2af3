#include "framing.hpp"

#include <cstdint>
#include <cstring>

namespace segmorph {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr char kStartBlock = '\x0B';
constexpr char kEndBlock = '\x1C';

bool is_blank_byte(char c) { return c == ' ' || c == '\t'; }

bool is_blank(std::string_view line) {
    for (char c : line)
        if (!is_blank_byte(c)) return false;
    return true;
}

bool is_name_byte(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool is_envelope(std::string_view line) {
    if (line.size() < 3) return false;
    return segment_named(line, "FHS") || segment_named(line, "BHS") || segment_named(line, "BTS") ||
           segment_named(line, "FTS");
}

// True when one of the eight bytes of `x` is a CR or an LF: (v - 0x01..) &
// ~v & 0x80.. is non-zero exactly when some byte of v is zero.  Framing
// looks at every byte of the input, so it steps a word at a time.
inline bool any_line_break(std::uint64_t x) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const std::uint64_t cr = x ^ (kOnes * '\r');
    const std::uint64_t lf = x ^ (kOnes * '\n');
    return (((cr - kOnes) & ~cr) | ((lf - kOnes) & ~lf)) & kHigh;
}

// End of the line that starts at `pos`: the next CR or LF, or the end.
std::size_t line_end(std::string_view text, std::size_t pos) {
    const char* p = text.data() + pos;
    const char* const end = text.data() + text.size();
    for (std::uint64_t word; end - p >= 8; p += 8) {
        std::memcpy(&word, p, 8);
        if (any_line_break(word)) break;
    }
    while (p != end && *p != '\r' && *p != '\n') ++p;
    return static_cast<std::size_t>(p - text.data());
}

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
    std::size_t pos = 0;
    for (;;) {
        const std::size_t stop = line_end(region, pos);
        std::string_view line = region.substr(pos, stop - pos);
        if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
        if (!is_blank(line)) {
            if (is_envelope(line)) {
                close();
                parts.push_back({FramePart::Kind::Envelope, line});
            } else {
                if (begin == nullptr || segment_named(line, "MSH")) {
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

}  // namespace

bool segment_named(std::string_view line, std::string_view name) {
    return line.starts_with(name) && (line.size() == name.size() || !is_name_byte(line[name.size()]));
}

Framing frame_messages(std::string_view input) {
    Framing framing;
    std::string_view rest = input;
    if (rest.starts_with(kByteOrderMark)) rest.remove_prefix(kByteOrderMark.size());
    const std::size_t first = rest.find_first_not_of(" \t\r\n");
    framing.mllp = first != std::string_view::npos && rest[first] == kStartBlock;
    if (!framing.mllp) {
        frame_region(rest, framing.parts);
        return framing;
    }
    // Every stretch between two framing bytes is framed on its own; the CR
    // after an end byte and the gaps between blocks are blank and vanish.
    // Text outside the blocks is kept, and a last block that was cut off
    // before its end byte still counts.
    std::size_t start = 0;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == kStartBlock || rest[i] == kEndBlock) {
            frame_region(rest.substr(start, i - start), framing.parts);
            start = i + 1;
        }
    }
    frame_region(rest.substr(start), framing.parts);
    return framing;
}

}  // namespace segmorph
