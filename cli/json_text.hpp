// The pieces of JSON text both record writers put together: strings with
// their escapes, and keys from their numbers.  Inline, as they are called
// once per item of every record the command writes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "segments.hpp"
#include "simd.hpp"

namespace segmorph::cli::json_text {

// What each byte becomes inside a JSON string: 0 for itself, a letter for a
// two-character escape, 'u' for "\u00XX".
constexpr std::array<char, 256> make_escapes() {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\f'] = 'f';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
inline constexpr std::array<char, 256> kEscapes = make_escapes();

// The bytes of a block that a JSON string must escape: control bytes, '"'
// and '\\'.
inline simd::Mask to_escape(const simd::Block& b) { return simd::below(b, 0x20) | simd::any_of<'"', '\\'>(b); }

// Writes text[from..] byte by byte, escaping where needed.
inline char* put_escaped(char* w, const char* p, const char* end) {
    for (; p != end; ++p) {
        const char e = kEscapes[static_cast<std::uint8_t>(*p)];
        if (e == 0) {
            *w++ = *p;
        } else if (e != 'u') {
            *w++ = '\\';
            *w++ = e;
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            const auto c = static_cast<std::uint8_t>(*p);
            const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            std::memcpy(w, u, 6);
            w += 6;
        }
    }
    return w;
}

// A word of bytes that need no escape, to pair with a text of one word.
inline constexpr std::uint64_t kCleanWord = 0x4141414141414141ull;

// Copies a short text (1 to 16 bytes) to w when none of its bytes needs
// escaping, and says whether it did.  It is read and written as two
// overlapping words (or three bytes), whichever its length, tested as one
// block, so no byte is looked at alone and nothing is read past the text,
// which may end its buffer.
inline bool put_short_clean(char* w, const char* p, std::size_t n) {
    if (n >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, p, 8);
        std::memcpy(&tail, p + n - 8, 8);
        if (to_escape(simd::from_words(head, tail)) != 0) return false;
        std::memcpy(w, &head, 8);
        std::memcpy(w + n - 8, &tail, 8);
        return true;
    }
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        if (to_escape(simd::from_words(head | std::uint64_t{tail} << 32, kCleanWord)) != 0) return false;
        std::memcpy(w, &head, 4);
        std::memcpy(w + n - 4, &tail, 4);
        return true;
    }
    // One to three bytes: the first, middle and last (some the same), the
    // rest of the word filled with a byte that needs no escape.
    const auto a = static_cast<std::uint8_t>(p[0]), b = static_cast<std::uint8_t>(p[n / 2]),
               c = static_cast<std::uint8_t>(p[n - 1]);
    if (to_escape(simd::from_words(0x4141414141000000ull | a | std::uint64_t{b} << 8 | std::uint64_t{c} << 16,
                                   kCleanWord)) != 0)
        return false;
    w[0] = static_cast<char>(a);
    w[n / 2] = static_cast<char>(b);
    w[n - 1] = static_cast<char>(c);
    return true;
}

// Writes `text` and the closing quote of a JSON string at w, which has
// room for the worst case (six bytes per byte, "\u001f", and the quote);
// returns the end.  Most values need no escape at all, so they are tested
// and copied a block at a time, and only a text that needs one is walked
// byte by byte.
[[gnu::always_inline]] inline char* put_json_text(char* w, std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n <= simd::kBlock) {
        if (n == 0 || put_short_clean(w, p, n)) {
            w[n] = '"';
            return w + n + 1;
        }
        w = put_escaped(w, p, p + n);
        *w++ = '"';
        return w;
    }
    std::size_t i = 0;
    for (; i + simd::kBlock <= n; i += simd::kBlock) {
        const simd::Block block = simd::load(p + i);
        if (to_escape(block) != 0) break;
        simd::store(w + i, block);
    }
    if (i + simd::kBlock > n) {
        // The last block, overlapping what was copied.
        const simd::Block block = simd::load(p + n - simd::kBlock);
        if (to_escape(block) == 0) {
            simd::store(w + n - simd::kBlock, block);
            w[n] = '"';
            return w + n + 1;
        }
    }
    w = put_escaped(w + i, p + i, p + n);
    *w++ = '"';
    return w;
}

inline char* put_json_string(char* w, std::string_view text) {
    *w++ = '"';
    return put_json_text(w, text);
}

constexpr std::size_t worst_case(std::size_t bytes) { return 6 * bytes + 2; }

// The decimal texts of 0 to 999, as the keys' numbers are written: up to
// three digits in the low bytes of a word, and their count.
struct DecimalText {
    std::uint32_t bytes;
    std::uint32_t size;
};
inline constexpr std::size_t kDecimalTexts = 1000;
inline constexpr std::array<DecimalText, kDecimalTexts> kDecimals = [] {
    std::array<DecimalText, kDecimalTexts> t{};
    for (std::uint32_t v = 0; v < kDecimalTexts; ++v) {
        const std::uint32_t d0 = v / 100, d1 = v / 10 % 10, d2 = v % 10;
        if (v >= 100) {
            t[v] = {('0' + d0) | ('0' + d1) << 8 | ('0' + d2) << 16, 3};
        } else if (v >= 10) {
            t[v] = {('0' + d1) | ('0' + d2) << 8, 2};
        } else {
            t[v] = {'0' + d2, 1};
        }
    }
    return t;
}();

inline char* put_decimal(char* w, std::uint64_t v) {
    const DecimalText& d = kDecimals[v];
    std::memcpy(w, &d.bytes, 4);
    return w + d.size;
}

// Writes `"<key>":` for the key (field, rep, comp) -- rep and comp -1 where
// absent -- at w (room for kMaxKeyLength + 3 bytes and a spare word).  The
// key is put together from its numbers, each from a table of decimal
// texts, instead of being formatted as text and then tested for bytes to
// escape: a key never holds one.
inline char* put_key(char* w, std::uint64_t field, std::int64_t rep, std::int64_t comp) {
    *w++ = '"';
    if (field < kDecimalTexts && rep < static_cast<std::int64_t>(kDecimalTexts) &&
        comp < static_cast<std::int64_t>(kDecimalTexts)) {
        w = put_decimal(w, field);
        if (rep >= 0) {
            *w++ = '[';
            w = put_decimal(w, static_cast<std::uint64_t>(rep));
            *w++ = ']';
        }
        if (comp >= 0) {
            *w++ = '.';
            w = put_decimal(w, static_cast<std::uint64_t>(comp));
        }
    } else {
        w = FlatRecord::format_key(w, field, rep, comp);
    }
    w[0] = '"';
    w[1] = ':';
    return w + 2;
}

// The keys of nine items in ten (fields below 100 without repetitions,
// components below 20) written out in advance, each led by the comma that
// comes before every item but the first and followed by the quotes, the
// colon and the value's opening quote: `,"12.3":"` in the first bytes of a
// sixteen-byte slot whose last byte holds the length.  One copy of sixteen
// bytes per item then replaces working the key out from its numbers, which
// was a quarter of the cost of writing an item.
inline constexpr std::uint64_t kTableFields = 100;
inline constexpr std::int64_t kTableComponents = 20;
using KeySlot = std::array<char, 16>;
inline constexpr std::array<KeySlot, kTableFields*(kTableComponents + 1)> kKeySlots = [] {
    std::array<KeySlot, kTableFields*(kTableComponents + 1)> t{};
    for (std::uint64_t field = 0; field < kTableFields; ++field) {
        for (std::int64_t comp = -1; comp < kTableComponents; ++comp) {
            KeySlot& slot = t[field * (kTableComponents + 1) + static_cast<std::uint64_t>(comp + 1)];
            std::size_t n = 0;
            auto put = [&](std::uint64_t v) {
                if (v >= 10) slot[n++] = static_cast<char>('0' + v / 10);
                slot[n++] = static_cast<char>('0' + v % 10);
            };
            slot[n++] = ',';
            slot[n++] = '"';
            put(field);
            if (comp >= 0) {
                slot[n++] = '.';
                put(static_cast<std::uint64_t>(comp));
            }
            slot[n++] = '"';
            slot[n++] = ':';
            slot[n++] = '"';
            slot[15] = static_cast<char>(n);
        }
    }
    return t;
}();

// Bytes an item's lead, key and quotes may take, and a spare block for the
// whole-block stores of keys and values.
inline constexpr std::size_t kItemRoom = 1 + FlatRecord::kMaxKeyLength + 4 + simd::kBlock;

// Writes `,"<key>":"` at w (room for kItemRoom bytes), from the table where
// the key is in it; returns the end.
inline char* put_lead_and_key(char* w, std::uint64_t field, std::int64_t rep, std::int64_t comp) {
    if (field < kTableFields && rep < 0 && comp < kTableComponents) [[likely]] {
        const KeySlot& slot = kKeySlots[field * (kTableComponents + 1) + static_cast<std::uint64_t>(comp + 1)];
        std::memcpy(w, slot.data(), 16);
        return w + slot[15];
    }
    *w++ = ',';
    w = put_key(w, field, rep, comp);
    *w++ = '"';
    return w;
}

}  // namespace segmorph::cli::json_text
