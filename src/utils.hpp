// Text helpers shared by the converters: line-ending normalisation, splitting,
// UTF-8 checks and whole-file reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "errors.hpp"

namespace segmorph {

// Every "\r\n", then every "\n\r", then every remaining "\r" becomes "\n".
std::string replace_eof(std::string_view text);

// Calls f(piece) for every piece of `text` cut at every `sep` (a character,
// or a text such as the UTF-8 form of one), keeping empty pieces: k
// separators give k + 1 pieces, the empty text gives one.
template <class Sep, class F>
inline void for_each_piece(std::string_view text, const Sep& separator, F&& f) {
    if constexpr (!std::is_same_v<Sep, char>) {
        const std::string_view sep(separator);
        // A one-byte text is searched as a character, which is faster.
        if (sep.size() == 1) return for_each_piece(text, sep[0], f);
    }
    std::size_t sep_size;
    if constexpr (std::is_same_v<Sep, char>) {
        sep_size = 1;
    } else {
        sep_size = std::string_view(separator).size();
    }
    const auto& sep = separator;
    std::size_t start = 0;
    for (;;) {
        std::size_t pos = text.find(sep, start);
        if (pos == std::string_view::npos) {
            f(text.substr(start));
            return;
        }
        f(text.substr(start, pos - start));
        start = pos + sep_size;
    }
}

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// True when every character of the (valid UTF-8) text has the Unicode
// White_Space property; true for the empty text.
bool is_blank(std::string_view utf8);

// Reads a whole file as UTF-8 text.  Fails with Io for an unreadable file,
// a path holding NUL, or content that is not valid UTF-8.
Result<std::string> read_utf8_file(std::string_view path);

// Reads a whole file for a converter: Io as above, EmptyMessage when the
// content is blank.  The content is returned untrimmed.
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
