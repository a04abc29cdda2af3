#include "utf8.hpp"

#include <cstdint>
#include <cstring>

#include "escape.hpp"
#include "simd.hpp"

namespace segmorph {

namespace {

// The offset of the first byte of p[0, n) that is not ASCII, or n.  Text is
// nearly all ASCII, so it is skipped 64 bytes at a time, then a word at a
// time.
std::size_t ascii_prefix(const char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const simd::Mask64 high = simd::high64(p + i);
        if (high != 0) return i + simd::next(high);
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
    }
    while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
    return i;
}

}  // namespace

bool is_ascii(std::string_view bytes) { return ascii_prefix(bytes.data(), bytes.size()) == bytes.size(); }

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        p += ascii_prefix(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
        if (p >= end) break;
        const std::size_t len = utf8_sequence_length(p, static_cast<std::size_t>(end - p));
        if (len == 0) return false;
        p += len;
    }
    return true;
}

bool is_blank(std::string_view utf8) {
    const char* p = utf8.data();
    const char* end = p + utf8.size();
    while (p < end) {
        if (!is_white_space(next_code_point(p))) return false;
    }
    return true;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace segmorph
