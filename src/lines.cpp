#include "lines.hpp"

#include <algorithm>

namespace segmorph {

namespace {

bool is_name_byte(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Calls f(line) for every line of `text`, CR, LF and CRLF each ending one.
template <class F>
void for_each_line(std::string_view text, F&& f) {
    for (std::size_t pos = 0;;) {
        const std::size_t stop = text.find_first_of("\r\n", pos);
        if (stop == std::string_view::npos) {
            f(text.substr(pos));
            return;
        }
        f(text.substr(pos, stop - pos));
        pos = stop + 1;
    }
}

}  // namespace

std::string replace_eof(std::string_view text) {
    // One pass that matches the three successive replacements: "\r\n" -> "\n",
    // then "\n\r" -> "\n" on that result, then each leftover "\r" -> "\n".
    // A CR LF pair becomes an LF that can then swallow a following CR, so we
    // track whether the last LF written may still absorb one CR.
    if (text.find('\r') == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    bool lf_can_absorb_cr = false;
    std::size_t i = 0;
    while (i < n) {
        const char* p = text.data() + i;
        // Copy the run up to the next CR or LF in one go.
        std::size_t run = 0;
        while (i + run < n && p[run] != '\r' && p[run] != '\n') ++run;
        if (run) {
            out.append(p, run);
            i += run;
            lf_can_absorb_cr = false;
            continue;
        }
        if (text[i] == '\r') {
            if (i + 1 < n && text[i + 1] == '\n') {
                out.push_back('\n');
                i += 2;
                lf_can_absorb_cr = true;
            } else if (lf_can_absorb_cr) {
                ++i;  // "\n\r" -> "\n"
                lf_can_absorb_cr = false;
            } else {
                out.push_back('\n');
                ++i;
                lf_can_absorb_cr = false;
            }
        } else {  // '\n'
            out.push_back('\n');
            ++i;
            lf_can_absorb_cr = true;
        }
    }
    return out;
}

bool is_blank_line(std::string_view line) {
    for (char c : line)
        if (!is_blank_byte(c)) return false;
    return true;
}

std::size_t first_segment_start(std::string_view text) {
    // Only the blank bytes in front are looked at, so a message costs a
    // few steps here.
    std::size_t line = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            line = i + 1;
        } else if (!is_blank_byte(text[i])) {
            return line;
        }
    }
    return std::string_view::npos;
}

std::string_view first_segment_line(std::string_view text) {
    const std::size_t start = first_segment_start(text);
    if (start == std::string_view::npos) return {};
    text.remove_prefix(start);
    return text.substr(0, std::min(text.find_first_of("\r\n"), text.size()));
}

MessageText without_blank_lines(std::string_view message) {
    bool any = false;
    for_each_line(message, [&](std::string_view line) { any = any || is_blank_line(line); });
    if (!any) return MessageText(message);
    std::string out;
    out.reserve(message.size());
    for_each_line(message, [&](std::string_view line) {
        if (is_blank_line(line)) return;
        if (!out.empty()) out.push_back('\n');
        out.append(line);
    });
    return MessageText(std::move(out));
}

bool segment_named(std::string_view line, std::string_view name) {
    return line.starts_with(name) && (line.size() == name.size() || !is_name_byte(line[name.size()]));
}

}  // namespace segmorph
