#include "json_writer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace segmorph::cli {

namespace {

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
constexpr std::array<char, 256> kEscapes = make_escapes();

// True when any of the eight bytes of `x` needs escaping: below 0x20, '"'
// or '\\'.  The usual bit tricks: (v - 0x01..) & ~v & 0x80.. is non-zero
// exactly when some byte of v is zero, and (x - 0x20..) & ~x & 0x80.. when
// some byte is below 0x20.
inline bool any_to_escape(std::uint64_t x) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const std::uint64_t quote = x ^ (kOnes * '"');
    const std::uint64_t backslash = x ^ (kOnes * '\\');
    return (((x - kOnes * 0x20) & ~x) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) & kHigh;
}

#ifdef __SSE2__
// The same test for sixteen bytes at once.  Bytes below 0x20 are those that
// the unsigned minimum with 0x1f leaves as they are.
inline bool any_to_escape(__m128i x) {
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1f)), x);
    const __m128i quote = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'));
    return _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))) != 0;
}
#endif

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

// Two words of a short text are tested in one go: with SSE2 as one block
// of sixteen, which costs about what one word costs in plain arithmetic.
inline bool any_to_escape(std::uint64_t low, std::uint64_t high) {
#ifdef __SSE2__
    return any_to_escape(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low)));
#else
    return any_to_escape(low) || any_to_escape(high);
#endif
}

// A word of bytes that need no escape, to pair with a text of one word.
constexpr std::uint64_t kCleanWord = 0x4141414141414141ull;

// Copies a short text (1 to 16 bytes) to w when none of its bytes needs
// escaping, and says whether it did.  Most values are this short: they are
// read and written as two overlapping words (or three bytes), whichever
// their length, so no byte is looked at alone and nothing is read past the
// text, which may end its buffer.
inline bool put_short_clean(char* w, const char* p, std::size_t n) {
    if (n >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, p, 8);
        std::memcpy(&tail, p + n - 8, 8);
        if (any_to_escape(head, tail)) return false;
        std::memcpy(w, &head, 8);
        std::memcpy(w + n - 8, &tail, 8);
        return true;
    }
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        if (any_to_escape(head | std::uint64_t{tail} << 32, kCleanWord)) return false;
        std::memcpy(w, &head, 4);
        std::memcpy(w + n - 4, &tail, 4);
        return true;
    }
    // One to three bytes: the first, middle and last (some the same), the
    // rest of the word filled with a byte that needs no escape.
    const auto a = static_cast<std::uint8_t>(p[0]), b = static_cast<std::uint8_t>(p[n / 2]),
               c = static_cast<std::uint8_t>(p[n - 1]);
    if (any_to_escape(0x4141414141000000ull | a | std::uint64_t{b} << 8 | std::uint64_t{c} << 16, kCleanWord))
        return false;
    w[0] = static_cast<char>(a);
    w[n / 2] = static_cast<char>(b);
    w[n - 1] = static_cast<char>(c);
    return true;
}

// Writes `text` and the closing quote of a JSON string at w, which has
// room for the worst case (six bytes per byte, "\u001f", and the quote);
// returns the end.  Most values need no escape at all, so they are tested
// and copied many bytes at a time, and only a text that needs one is walked
// byte by byte.
[[gnu::always_inline]] inline char* put_json_text(char* w, std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n <= 16) {
        if (n == 0 || put_short_clean(w, p, n)) {
            w[n] = '"';
            return w + n + 1;
        }
        w = put_escaped(w, p, p + n);
        *w++ = '"';
        return w;
    }
    std::size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (any_to_escape(block)) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w + i), block);
    }
    if (i + 16 > n) {
        // The last sixteen bytes, overlapping what was copied.
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
        if (!any_to_escape(block)) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(w + n - 16), block);
            w[n] = '"';
            return w + n + 1;
        }
    }
#else
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (any_to_escape(word)) break;
        std::memcpy(w + i, &word, 8);
    }
#endif
    w = put_escaped(w + i, p + i, p + n);
    *w++ = '"';
    return w;
}

inline char* put_json_string(char* w, std::string_view text) {
    *w++ = '"';
    return put_json_text(w, text);
}

// The decimal texts of 0 to 999, as the keys' numbers are written: up to
// three digits in the low bytes of a word, and their count.
struct DecimalText {
    std::uint32_t bytes;
    std::uint32_t size;
};
constexpr std::size_t kDecimalTexts = 1000;
constexpr std::array<DecimalText, kDecimalTexts> kDecimals = [] {
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

// Writes `"<key>":` for an item at w (room for kMaxKeyLength + 3 bytes and
// a spare word).  The key is put together from its numbers, each from a
// table of decimal texts, instead of being formatted as text and then
// tested for bytes to escape: a key never holds one.
inline char* put_key(char* w, const FlatRecord::Item& item) {
    *w++ = '"';
    if (item.field < kDecimalTexts && item.rep < static_cast<std::int64_t>(kDecimalTexts) &&
        item.comp < static_cast<std::int64_t>(kDecimalTexts)) {
        w = put_decimal(w, item.field);
        if (item.rep >= 0) {
            *w++ = '[';
            w = put_decimal(w, static_cast<std::uint64_t>(item.rep));
            *w++ = ']';
        }
        if (item.comp >= 0) {
            *w++ = '.';
            w = put_decimal(w, static_cast<std::uint64_t>(item.comp));
        }
    } else {
        w = FlatRecord::format_key(w, item.field, item.rep, item.comp);
    }
    w[0] = '"';
    w[1] = ':';
    return w + 2;
}

// The keys of nine items in ten (fields below 100 without repetitions,
// components below 20) written out in advance, each with the quotes, the
// colon and the value's opening quote: `"12.3":"` in the first bytes of a
// sixteen-byte slot whose last byte holds the length.  One copy of sixteen
// bytes per item then replaces working the key out from its numbers, which
// was a quarter of the cost of writing an item.
constexpr std::uint64_t kTableFields = 100;
constexpr std::int64_t kTableComponents = 20;
using KeySlot = std::array<char, 16>;
constexpr std::array<KeySlot, kTableFields*(kTableComponents + 1)> kKeySlots = [] {
    std::array<KeySlot, kTableFields*(kTableComponents + 1)> t{};
    for (std::uint64_t field = 0; field < kTableFields; ++field) {
        for (std::int64_t comp = -1; comp < kTableComponents; ++comp) {
            KeySlot& slot = t[field * (kTableComponents + 1) + static_cast<std::uint64_t>(comp + 1)];
            std::size_t n = 0;
            auto put = [&](std::uint64_t v) {
                if (v >= 10) slot[n++] = static_cast<char>('0' + v / 10);
                slot[n++] = static_cast<char>('0' + v % 10);
            };
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

// Writes `"<key>":"` for an item at w (room for kMaxKeyLength + 4 bytes and
// a spare word), from the table where the key is in it.
inline char* put_key_and_quote(char* w, const FlatRecord::Item& item) {
    if (item.field < kTableFields && item.rep < 0 && item.comp < kTableComponents) [[likely]] {
        const KeySlot& slot =
            kKeySlots[item.field * (kTableComponents + 1) + static_cast<std::uint64_t>(item.comp + 1)];
        std::memcpy(w, slot.data(), 16);
        return w + slot[15];
    }
    w = put_key(w, item);
    *w++ = '"';
    return w;
}

constexpr std::size_t worst_case(std::size_t bytes) { return 6 * bytes + 2; }

}  // namespace

void append_json_string(TextBuffer& out, std::string_view text) {
    out.commit(put_json_string(out.claim(worst_case(text.size())), text));
}

void append_record(TextBuffer& out, const FlatRecord& record) {
    // The cursor and its limit live in locals, which the bytes written
    // cannot alias, and the buffer is asked for room only when they run
    // out: room per item for the lead, the key, the value and a spare word
    // for the whole-word stores of the keys.
    constexpr std::size_t kItemRoom = 1 + FlatRecord::kMaxKeyLength + 4 + 8;
    char* w = out.claim(kItemRoom);
    char* limit = w + out.room();
    char lead = '{';
    const FlatRecord::Items items = record.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const FlatRecord::Item item = items[i];
        const std::size_t need = kItemRoom + worst_case(item.value.size());
        if (static_cast<std::size_t>(limit - w) < need) [[unlikely]] {
            out.commit(w);
            w = out.claim(std::max(need, std::size_t{4096}));
            limit = w + out.room();
        }
        *w++ = lead;
        lead = ',';
        w = put_json_text(put_key_and_quote(w, item), item.value);
    }
    out.commit(w);
    static constexpr std::string_view kName = "\"segment_name\":";
    w = out.claim(1 + kName.size() + worst_case(record.name().size()) + 1);
    *w++ = lead;
    std::memcpy(w, kName.data(), kName.size());
    w = put_json_string(w + kName.size(), record.name());
    *w++ = '}';
    out.commit(w);
}

}  // namespace segmorph::cli
