#include "envelope_state.hpp"

#include <algorithm>

#include "framing.hpp"
#include "lines.hpp"

namespace segmorph {

namespace {

enum class Side { None, FileHeader, FileTrailer, BatchHeader, BatchTrailer };

Side side_of(std::string_view line) {
    if (segment_named(line, "FHS")) return Side::FileHeader;
    if (segment_named(line, "FTS")) return Side::FileTrailer;
    if (segment_named(line, "BHS")) return Side::BatchHeader;
    if (segment_named(line, "BTS")) return Side::BatchTrailer;
    return Side::None;
}

bool is_line_break(char c) { return c == '\r' || c == '\n' || c == '\v'; }

}  // namespace

void EnvelopeState::take(std::string_view line) {
    switch (side_of(line)) {
        case Side::FileHeader:
            file_header = line;
            batch_header.clear();
            break;
        case Side::FileTrailer:
            file_header.clear();
            batch_header.clear();
            break;
        case Side::BatchHeader: batch_header = line; break;
        case Side::BatchTrailer: batch_header.clear(); break;
        case Side::None: break;
    }
}

std::string EnvelopeState::encode() const {
    std::string out;
    if (!file_header.empty()) out += file_header + "\n";
    if (!batch_header.empty()) out += batch_header + "\n";
    return out;
}

EnvelopeState EnvelopeState::decode(std::string_view text) {
    EnvelopeState state;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        state.take(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return state;
}

EnvelopeState envelope_state_before(std::string_view data, std::size_t pos) {
    EnvelopeState state;
    bool batch_known = false;
    std::size_t line_end = std::min(pos, data.size());
    // Each line before `pos`, last first: only its first bytes are looked at.
    for (std::size_t i = line_end; i-- > 0;) {
        if (is_line_break(data[i])) {
            line_end = i;
            continue;
        }
        if (i > 0 && !is_line_break(data[i - 1])) continue;
        const std::string_view line = data.substr(i, line_end - i);
        line_end = i;
        switch (side_of(line)) {
            case Side::BatchHeader:
                if (!batch_known) state.batch_header = line;
                batch_known = true;
                break;
            case Side::BatchTrailer: batch_known = true; break;
            case Side::FileHeader: state.file_header = line; return state;
            case Side::FileTrailer:
                // A file ended before: nothing around `pos` but a batch
                // begun since.
                return state;
            case Side::None: break;
        }
    }
    return state;
}

}  // namespace segmorph
