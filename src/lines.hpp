// Lines of HL7 text: the line breaks messages arrive with (CR, LF, CRLF,
// LFCR), cutting text into pieces and lines without copying it, and the
// blank lines that framing, the rules and the readers all pass over alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "message_text.hpp"
#include "simd.hpp"

namespace segmorph {

// Every "\r\n", then every "\n\r", then every remaining "\r" becomes "\n".
std::string replace_eof(std::string_view text);

// Calls f(piece) for every piece of `text` cut at every `sep` (a character,
// or a text such as the UTF-8 form of one), keeping empty pieces: k
// separators give k + 1 pieces, the empty text gives one.
template <class F>
inline void for_each_piece(std::string_view text, std::string_view sep, F&& f) {
    std::size_t start = 0;
    for (;;) {
        // A one-byte separator is searched as a character, which is faster.
        const std::size_t pos = sep.size() == 1 ? text.find(sep[0], start) : text.find(sep, start);
        if (pos == std::string_view::npos) {
            f(text.substr(start));
            return;
        }
        f(text.substr(start, pos - start));
        start = pos + sep.size();
    }
}

template <class F>
inline void for_each_piece(std::string_view text, char sep, F&& f) {
    for_each_piece(text, std::string_view(&sep, 1), f);
}

// The line breaks (CR and LF) of a text, in order, each byte looked at once.
// Framing and the rules see every byte of every message, and real segments
// run to hundreds of bytes, so the breaks are found 64 bytes at a time as a
// mask and then read off it bit by bit, rather than tested byte by byte.
// Nothing outside the text is read.
class LineBreaks {
public:
    explicit LineBreaks(std::string_view text) : text_(text) { load(0); }

    // The offset of the next break, or text.size() when there is none left.
    std::size_t next() {
        for (;;) {
            while (mask_ == 0) {
                std::size_t at = window_ + 64;
                if (at >= text_.size()) return text_.size();
                // Most windows of a long line hold no break at all: asking
                // whether one does costs half of finding where.
                while (at + 64 <= text_.size() && !simd::any_below64(text_.data() + at, kAboveBreaks)) at += 64;
                load(at);
            }
            const std::size_t at = window_ + simd::next(mask_);
            mask_ = simd::clear_lowest(mask_);
            if (text_[at] == '\r' || text_[at] == '\n') return at;
        }
    }

    // Makes the breaks before `pos` count as read: next() then gives the
    // first break at or after it.
    void skip_to(std::size_t pos) {
        if (pos >= window_ + 64) {
            load(pos);
        } else if (pos > window_) {
            mask_ &= ~((simd::Mask64{1} << (pos - window_)) - 1);
        }
    }

private:
    void load(std::size_t at) {
        window_ = at;
        const std::size_t n = text_.size();
        const char* const p = text_.data();
        // The mask is of the bytes below 0x0E, the breaks among them: one
        // comparison a block instead of one per kind of break.  The other
        // control bytes (tabs, form feeds) are rare in text and passed over
        // as they come up.
        if (at >= n) {
            mask_ = 0;
        } else if (at + 64 <= n) {
            mask_ = simd::below64(p + at, kAboveBreaks);
        } else if (n >= 64) {
            // The last 64 bytes of the text, less those before `at`.
            mask_ = simd::below64(p + n - 64, kAboveBreaks) >> (at - (n - 64));
        } else {
            mask_ = 0;
            for (std::size_t i = at; i < n; ++i) mask_ |= simd::Mask64{p[i] == '\r' || p[i] == '\n'} << (i - at);
        }
    }

    static constexpr unsigned char kAboveBreaks = '\r' + 1;  // CR and LF are below it
    std::string_view text_;
    std::size_t window_ = 0;  // offset of the 64 bytes the mask stands for
    simd::Mask64 mask_ = 0;   // their breaks not yet given
};

// Offset of the first CR or LF of `text` at or after `pos`, or text.size().
inline std::size_t next_line_break(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return text.size();
    LineBreaks breaks(text.substr(pos));
    return pos + breaks.next();
}

// Calls f(line) for the lines Hl7Json makes of `text`: those of
// replace_eof(text) cut at "\n", as views of `text`.  replace_eof only
// turns line breaks into "\n" and drops a CR that follows one, so every
// line is one run of `text` between breaks, and a message of any size is
// read without a copy.  A text with one kind of break only (the usual
// case) is cut at it directly.
template <class F>
inline void for_each_message_line(std::string_view text, F&& f) {
    const std::size_t first_cr = text.find('\r');
    if (first_cr == std::string_view::npos || text.find('\n') == std::string_view::npos) {
        for_each_piece(text, first_cr == std::string_view::npos ? '\n' : '\r', f);
        return;
    }
    std::size_t start = 0;
    bool after_lf = false;  // nothing since a break that leaves "\n" last: a CR here is dropped
    for (std::size_t stop = 0;; ++stop) {
        while (stop < text.size() && text[stop] != '\r' && text[stop] != '\n') ++stop;
        if (stop == text.size()) break;
        if (stop > start) after_lf = false;
        if (text[stop] == '\r' && after_lf) {
            after_lf = false;
            start = stop + 1;
            continue;
        }
        f(text.substr(start, stop - start));
        const bool crlf = text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n';
        after_lf = crlf || text[stop] == '\n';
        stop += crlf;
        start = stop + 1;
    }
    f(text.substr(start));
}

// White space as framing and the rules see it: space and tab, 0x0B (MLLP
// captures leave stray block starts on lines of their own) and form feed
// (some systems end pages with one).
inline bool is_blank_byte(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// True when `line` is blank: nothing but spaces, tabs, 0x0B bytes (stray
// MLLP block starts) and form feeds.  Framing and both rule sets agree on
// this, and the command never makes a record of such a line.
bool is_blank_line(std::string_view line);

// Where the first line of `text` that is not blank starts, or npos: the
// line a message's header is looked for on, by every reader alike.
std::size_t first_segment_start(std::string_view text);

// That line itself (without its line break); empty when there is none.
std::string_view first_segment_line(std::string_view text);

// `message` without its blank lines, segments then separated by "\n"; a
// view of it when it has none.
MessageText without_blank_lines(std::string_view message);

// True when `line` holds a segment named `name`: the name followed by the
// end of the line or by a byte that cannot continue a segment name.
bool segment_named(std::string_view line, std::string_view name);

}  // namespace segmorph
