// Short texts as integers, for tables of keys.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace segmorph {

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

}  // namespace segmorph
