// Text helpers shared by the converters: line-ending normalisation, splitting,
// UTF-8 checks and whole-file reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "errors.hpp"

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

// Length of the valid UTF-8 sequence starting at p[0] (of `avail` bytes
// left), or 0 when none starts there: a stray continuation byte, an overlong
// or surrogate form, a value above U+10FFFF, a sequence cut short.
inline std::size_t utf8_sequence_length(const unsigned char* p, std::size_t avail) {
    const unsigned char b = p[0];
    if (b < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b == 0xE0) {
        need = 2;
        lo = 0xA0;
    } else if (b == 0xED) {
        need = 2;
        hi = 0x9F;  // no surrogates
    } else if (b >= 0xE1 && b <= 0xEF) {
        need = 2;
    } else if (b == 0xF0) {
        need = 3;
        lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
        need = 3;
    } else if (b == 0xF4) {
        need = 3;
        hi = 0x8F;
    } else {
        return 0;
    }
    if (avail <= need || p[1] < lo || p[1] > hi) return 0;
    for (std::size_t k = 2; k <= need; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
    }
    return need + 1;
}

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);
// True when every byte is below 0x80.
bool is_ascii(std::string_view bytes);

// The 1 to 8 bytes of a short text in one word, byte i at bits 8i (zero
// above): keys are mostly this short, and a table of them then compares
// integers.  Read without a call to memcpy, whose length would vary from
// text to text, and without reading past the text.
inline std::uint64_t packed_bytes(std::string_view text) {
    const std::size_t n = text.size();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        return head | std::uint64_t{tail} << (8 * (n - 4));  // overlapping bytes agree
    }
    return p[0] | std::uint64_t{p[n / 2]} << (8 * (n / 2)) | std::uint64_t{p[n - 1]} << (8 * (n - 1));
}

// True when every character of the (valid UTF-8) text has the Unicode
// White_Space property; true for the empty text.
bool is_blank(std::string_view utf8);

// Reads one whole file in steps, so that a caller can act between a system
// call interrupted by a signal and its retry: the Python binding reads with
// the interpreter released and must look at pending signals (a Ctrl-C)
// before it goes on blocking.
class FileReader {
public:
    enum class Step : std::uint8_t { Done, Interrupted };

    explicit FileReader(std::string_view path) : path_(path) {}
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens the file (on the first call) and reads until the end of the
    // file, an error, or a system call interrupted by a signal.  After
    // Interrupted, calling again goes on where it stopped.
    Step run();

    // After Done: the content as UTF-8 text, or Io for a file that could not
    // be opened or read, a path holding NUL, or content that is not UTF-8.
    Result<std::string> take_utf8();

private:
    std::string path_;
    int fd_ = -1;
    bool opened_ = false;
    int error_ = 0;  // errno of the failure, 0 if none
    std::string content_;
};

// Reads a whole file as UTF-8 text, retrying interrupted system calls.
// Fails with Io for an unreadable file, a path holding NUL, or content that
// is not valid UTF-8.
Result<std::string> read_utf8_file(std::string_view path);

// A file's text as the converters take it: errors pass through, blank
// content (only white space, or nothing) is EmptyMessage.  The content is
// returned untrimmed.
Result<std::string> message_content(Result<std::string> content);

// read_utf8_file then message_content.
Result<std::string> read_message_file(std::string_view path);

// Decodes one scalar value from valid UTF-8 at p (advancing p).
inline char32_t next_code_point(const char*& p) {
    auto b0 = static_cast<unsigned char>(*p++);
    if (b0 < 0x80) return b0;
    if (b0 < 0xE0) {
        char32_t c = (b0 & 0x1Fu) << 6;
        return c | (static_cast<unsigned char>(*p++) & 0x3Fu);
    }
    if (b0 < 0xF0) {
        char32_t c = (b0 & 0x0Fu) << 12;
        c |= (static_cast<unsigned char>(*p++) & 0x3Fu) << 6;
        return c | (static_cast<unsigned char>(*p++) & 0x3Fu);
    }
    char32_t c = (b0 & 0x07u) << 18;
    c |= (static_cast<unsigned char>(*p++) & 0x3Fu) << 12;
    c |= (static_cast<unsigned char>(*p++) & 0x3Fu) << 6;
    return c | (static_cast<unsigned char>(*p++) & 0x3Fu);
}

// Appends the UTF-8 form of one scalar value.
void append_utf8(std::string& out, char32_t c);

}  // namespace segmorph
