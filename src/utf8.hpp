// UTF-8: checking it, stepping through it, writing it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace segmorph {

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

// True when every character of the (valid UTF-8) text has the Unicode
// White_Space property; true for the empty text.
bool is_blank(std::string_view utf8);

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
