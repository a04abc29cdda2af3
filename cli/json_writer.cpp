#include "json_writer.hpp"

#include <array>
#include <cstdint>
#include <cstring>

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
// some byte is below 0x20.  Most values need no escape at all, so testing
// eight bytes at once is what keeps writing JSON cheap.
inline bool any_to_escape(std::uint64_t x) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const std::uint64_t quote = x ^ (kOnes * '"');
    const std::uint64_t backslash = x ^ (kOnes * '\\');
    return (((x - kOnes * 0x20) & ~x) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) & kHigh;
}

// Writes `text` as a JSON string at w, which has room for the worst case
// (six bytes per byte, "\u001f", and the quotes); returns the end.
inline char* put_json_string(char* w, std::string_view text) {
    *w++ = '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        // Copy whole clean words, then look at bytes one by one.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (any_to_escape(word)) break;
            std::memcpy(w, p, 8);
            p += 8;
            w += 8;
        }
        if (p == end) break;
        const char* const stop = end - p >= 8 ? p + 8 : end;
        for (; p != stop; ++p) {
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
    }
    *w++ = '"';
    return w;
}

constexpr std::size_t worst_case(std::size_t bytes) { return 6 * bytes + 2; }

}  // namespace

void append_json_string(TextBuffer& out, std::string_view text) {
    out.commit(put_json_string(out.claim(worst_case(text.size())), text));
}

void append_record(TextBuffer& out, const FlatRecord& record) {
    // One reservation per item: key, value, the colon and a comma or brace.
    char lead = '{';
    for (std::size_t i = 0; i < record.size(); ++i) {
        const FlatRecord::Item item = record.item(i);
        char* w = out.claim(worst_case(item.key.size()) + worst_case(item.value.size()) + 2);
        *w++ = lead;
        lead = ',';
        w = put_json_string(w, item.key);
        *w++ = ':';
        out.commit(put_json_string(w, item.value));
    }
    static constexpr std::string_view kName = "\"segment_name\":";
    char* w = out.claim(1 + kName.size() + worst_case(record.name().size()) + 1);
    *w++ = lead;
    std::memcpy(w, kName.data(), kName.size());
    w = put_json_string(w + kName.size(), record.name());
    *w++ = '}';
    out.commit(w);
}

}  // namespace segmorph::cli
