// The flat reader's steps (see json_hl7_flat.hpp for what it reads and why
// it may give up anywhere).  The work per entry is, mostly, one compare of
// the key foreseen and one copy of the value (fast_run); a key not foreseen
// costs a table look-up and a step in the tree of key sequences.  The
// strings between quotes are found sixteen bytes at a time, and only a
// string that holds an escape or a byte beyond ASCII takes the byte-wise
// way.
#include "json_hl7_flat.hpp"
#include "json_hl7_key_paths.hpp"
#include "simd.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace segmorph {

namespace {

// The bytes of a block that a plain value cannot hold: '\\', a control
// byte or a byte beyond ASCII.
inline simd::Mask unplain(const simd::Block& b) { return simd::eq(b, '\\') | simd::below_signed(b, 0x20); }

// The first byte from `p` on that a string cannot hold as it is, or that
// ends it: '"', '\\', a control byte or a byte beyond ASCII; `end` if none.
inline const char* first_special(const char* p, const char* end) {
    for (; end - p >= static_cast<std::ptrdiff_t>(simd::kBlock); p += simd::kBlock) {
        const simd::Block b = simd::load(p);
        if (const simd::Mask bits = simd::eq(b, '"') | unplain(b)) return p + simd::next(bits);
    }
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
    }
    return end;
}

constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;

// The high bit of each byte of `x` that is zero; exact up to the first such
// byte (a borrow may mark bytes above it).
inline std::uint64_t zero_bytes(std::uint64_t x) { return (x - kOnes) & ~x & kHighs; }

// A key of 1 to 7 plain bytes and the ":" right after it, at `p`: the key,
// its packed bytes, and `p` moved past the ":"; false (`p` unmoved) for
// any other text.  Nearly every key is such: the eight bytes after the
// opening quote, read as one word, hold the key, its closing quote and so
// its length, and its packed bytes, with no loop.  Only the bytes before
// the quote are looked at, where each test is exact.
inline bool short_key_at(const char*& p, const char* end, std::string_view& k, std::uint64_t& bytes) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (end - p < 10 || *p != '"') return false;
    std::uint64_t w;
    std::memcpy(&w, p + 1, 8);
    const std::uint64_t quote = zero_bytes(w ^ (kOnes * '"'));
    const unsigned n = static_cast<unsigned>(__builtin_ctzll(quote | (std::uint64_t{1} << 63))) / 8;
    const std::uint64_t mask = (std::uint64_t{1} << (8 * n)) - 1;  // n < 8
    // A backslash, a control byte (below 0x20), a byte beyond ASCII.
    const std::uint64_t refused = zero_bytes(w ^ (kOnes * '\\')) | ((w - kOnes * 0x20) & ~w & kHighs) | (w & kHighs);
    if (quote == 0 || n == 0 || (refused & mask) != 0 || p[n + 2] != ':') return false;
    k = std::string_view(p + 1, n);
    bytes = w & mask;
    p += n + 3;
    return true;
#else
    return false;
#endif
}

// A string with no escape and nothing beyond ASCII at `p`, as a view of
// the text, `p` moved past it; false (`p` unmoved) for any other text.
inline bool plain_value_at(const char*& p, const char* end, std::string_view& v) {
    if (p == end || *p != '"') return false;
    const char* q = first_special(p + 1, end);
    if (q == end || *q != '"') return false;
    v = std::string_view(p + 1, static_cast<std::size_t>(q - p - 1));
    p = q + 1;
    return true;
}

}  // namespace

bool FlatJson::key(std::string_view& k, std::uint64_t& bytes) {
    if (!plain_string(k)) return false;
    bytes = k.size() - 1 < 8 ? packed_bytes(k) : 0;
    return eat(':');
}

bool FlatJson::plain_string(std::string_view& s) {
    if (!eat('"')) return false;
    const char* q = first_special(p_, end_);
    if (q == end_ || *q != '"') return false;
    s = std::string_view(p_, static_cast<std::size_t>(q - p_));
    p_ = q + 1;
    return true;
}

bool FlatJson::string(std::string_view& s) {
    if (!eat('"')) return false;
    const char* q = first_special(p_, end_);
    if (q < end_ && *q == '"') {
        s = std::string_view(p_, static_cast<std::size_t>(q - p_));
        p_ = q + 1;
        return true;
    }
    return decode_string(p_, s);
}

// A string with escapes or bytes beyond ASCII: the two-character escapes
// are decoded and UTF-8 is checked as the full reader checks it; a "\u"
// escape (rare in what segmorph writes) is left to the full reader.
bool FlatJson::decode_string(const char* p, std::string_view& s) {
    scratch_.clear();
    for (;;) {
        const char* q = first_special(p, end_);
        scratch_.append(p, static_cast<std::size_t>(q - p));
        if (q == end_) return false;
        const auto c = static_cast<unsigned char>(*q);
        if (c == '"') {
            p_ = q + 1;
            s = scratch_;
            return true;
        }
        if (c < 0x20) return false;
        if (c == '\\') {
            if (end_ - q < 2) return false;
            char decoded;
            switch (q[1]) {
                case '"': decoded = '"'; break;
                case '\\': decoded = '\\'; break;
                case '/': decoded = '/'; break;
                case 'b': decoded = '\b'; break;
                case 'f': decoded = '\f'; break;
                case 'n': decoded = '\n'; break;
                case 'r': decoded = '\r'; break;
                case 't': decoded = '\t'; break;
                default: return false;
            }
            scratch_.push_back(decoded);
            p = q + 2;
            continue;
        }
        const std::size_t n =
            utf8_sequence_length(reinterpret_cast<const unsigned char*>(q), static_cast<std::size_t>(end_ - q));
        if (n == 0) return false;
        scratch_.append(q, n);
        p = q + n;
    }
}

bool FlatJson::skip_scalar() {
    if (peek() == '"') {
        std::string_view ignored;
        return string(ignored);
    }
    // An integer: "-"?, then "0" or up to 15 digits without a leading zero
    // (any other number is left to the full reader, which knows the bounds
    // of its numbers).  What follows it must then be "," or "}".
    if (p_ < end_ && *p_ == '-') ++p_;
    const char* digits = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    const auto n = p_ - digits;
    return n > 0 && n <= 15 && (n == 1 || *digits != '0');
}

namespace {

// Entries that each take the common way, in a row, from `p` on: the key
// foreseen (KeyPaths), then a value of plain bytes, then ",".  Everything
// the loop touches is a local (see RecordFiller), and it calls nothing; it
// stops before the first entry that is not so, or after one not followed
// by "," (`ended` then).  Most entries of a record go this way; the rest
// take FlatJson::record's general step.
struct FastRun {
    const char* p;
    std::uint32_t state;     // KeyPaths' state of the keys read so far, or kOff
    const char* previous;    // the key read last, up to its closing quote (for the general step's order check)
    bool ended;              // an entry was read and no "," followed
    std::size_t name_index;  // of the name's entry in the store, if a run added it, else kNoName
};
constexpr std::size_t kNoName = ~std::size_t{0};

// Values longer than this many blocks of 16 bytes go the general way.
constexpr std::size_t kBlocks = 4;
// The most text one entry of the common way takes: a space, the pattern
// of a key of KeyPaths::kMaxKey bytes, a space, the value and its quote,
// ",".
constexpr std::size_t kMaxEntryBytes = 1 + (KeyPaths::kMaxKey + 4) + 1 + kBlocks * simd::kBlock + 2;

// Two forms of text: segmorph's own, with no white space (kSpaced false),
// and the form Python's json.dump writes by default, a space after every
// ":" and "," (kSpaced: a space is then taken, not required, at both
// places).  The key patterns are the same; the spaced form compares them
// up to the ":".
template <bool kSpaced>
inline void fast_run(FastRun& at, const char* end, const KeyPaths::State* states, JsonHl7::RecordFiller::Run& run) {
    const char* p = at.p;
    std::uint32_t state = at.state;
    // 16 bytes ahead cover a key of up to 12 bytes with its quotes and
    // ':', then a value's blocks: entries within that of the end go the
    // general way.
    if (state == KeyPaths::kOff || end - p < static_cast<std::ptrdiff_t>((kBlocks + 2) * simd::kBlock)) return;
    const auto text_room = static_cast<std::size_t>(end - p) - (kBlocks + 2) * simd::kBlock;
    const char* previous = at.previous;
    // Entries the store has room for (each takes at most 16 * kBlocks
    // bytes), and that the text has room for (each moves on at most
    // kMaxEntryBytes, so the last still starts that far from the end): one
    // count, not three limits, held through the loop.
    const auto bytes_room = static_cast<std::size_t>(run.bytes_limit - run.bytes_at);
    std::size_t room =
        std::min({static_cast<std::size_t>(run.entry_limit - run.entry_at),
                  bytes_room > TextBuffer::kSlack ? (bytes_room - TextBuffer::kSlack) / (simd::kBlock * kBlocks) : 0,
                  text_room / kMaxEntryBytes + 1});
    JsonHl7::RecordFiller::Run r = run;  // (a local: its members stay in registers)
    // The bytes written so far as a count from the block's start: it is
    // what an entry holds, and the block's start stays fixed in the loop.
    char* const bytes = r.bytes_at - (r.bytes_at - r.bytes_base);
    auto written = static_cast<std::size_t>(r.bytes_at - r.bytes_base);
    while (room != 0) {
        if constexpr (kSpaced) p += *p == ' ';
        // The first guess, else the second (a branch: foreseen mostly, it
        // lets the value be read before the compare is done).
        const KeyPaths::State& s = states[state];
        const simd::Block text = simd::load(p);
        const KeyPaths::Guess* g = &s.guess[0];
        const auto mask = [](const KeyPaths::Guess* guess) -> simd::Mask {
            return kSpaced ? guess->mask >> 1 : guess->mask;  // (spaced: up to the ':')
        };
        if ((simd::eq(text, simd::load(g->pattern)) & mask(g)) != mask(g)) {
            g = &s.guess[1];
            if ((simd::eq(text, simd::load(g->pattern)) & mask(g)) != mask(g)) break;
        }
        // (A state's missing guess matches no text this way takes: see
        // KeyPaths::Guess.)
        // The value, sixteen bytes at a time, each block copied into the
        // store as it is looked at (a block past the value's end is
        // written over later).  Its length is taken from the quotes alone,
        // and the bytes a plain value cannot hold are tested beside it: the
        // next entry waits only for the former.
        const char* v = p + g->key_size + 4;
        if constexpr (kSpaced) {
            v = p + g->key_size + 3;  // after the ':'
            v += *v == ' ';
            if (*v != '"') break;
            ++v;
        }
        simd::Block b = simd::load(v);
        simd::store(bytes + written, b);
        simd::Mask quotes = simd::eq(b, '"'), unplain_bits = unplain(b);
        std::size_t len = 0;
        if (quotes == 0) {
            for (;;) {
                if (unplain_bits != 0 || (len += simd::kBlock) == kBlocks * simd::kBlock) break;
                b = simd::load(v + len);
                simd::store(bytes + written + len, b);
                quotes = simd::eq(b, '"');
                unplain_bits = unplain(b);
                if (quotes != 0) break;
            }
            if (quotes == 0) break;
        }
        // (Bits below the first quote: quotes ^ (quotes - 1) has them and
        // the quote's own, which a byte a plain value cannot hold never
        // shares.)
        if ((unplain_bits & (quotes ^ (quotes - 1))) != 0) break;
        len += simd::next(quotes);
        --room;
        const std::size_t index = static_cast<std::size_t>(r.entry_at - r.entry_base);
        r.add_written_at(g->code, written, len);
        written += len;
        previous = p + 1;
        state = g->next;
        p = v + len + 1;
        if (*p != ',') {
            // The name's key is the last a record may hold in byte order
            // with a code (every other is a number), so it is looked for
            // only here: a record that goes on after it fails the order
            // check, or the look for a code, at its next key.
            if (g->name) at.name_index = index;
            at.ended = true;
            break;
        }
        ++p;
    }
    r.bytes_at = bytes + written;
    run = r;
    at.p = p;
    at.state = state;
    at.previous = previous;
}

// The packed bytes of a key of 1 to 8 bytes, else 0: what key_follows takes.
inline std::uint64_t key_word(std::string_view k) { return k.size() - 1 < 8 ? __builtin_bswap64(packed_bytes(k)) : 0; }

}  // namespace

bool FlatJson::record(JsonHl7& out) {
    if (!eat('{')) return false;
    out.begin_record();
    if (eat('}')) return true;
    JsonHl7::RecordFiller fill(out);
    KeyCodes& codes = KeyCodes::mine();
    KeyPaths& paths = KeyPaths::mine();
    const char* const end = end_;
    FastRun at{p_, paths.start(), nullptr, false, kNoName};
    for (;;) {
        JsonHl7::RecordFiller::Run run = fill.run();
        if (spaced_) {
            fast_run<true>(at, end, paths.states(), run);
        } else {
            fast_run<false>(at, end, paths.states(), run);
        }
        fill.end_run(run);
        if (at.name_index != kNoName) {
            fill.note_name(at.name_index);
            at.name_index = kNoName;
        }
        const char* p = at.p;
        if (!at.ended) {
            // The general step: one entry of any form the flat reader takes.
            std::string_view k, value;
            std::uint64_t bytes = 0, code = 0;
            std::uint32_t next = KeyPaths::kOff;
            if (at.state != KeyPaths::kOff && end - p >= 16) {
                // The key may still be the one foreseen (the fast way
                // stopped at its value).
                if (const KeyPaths::Guess* g = paths.foreseen(at.state, p)) {
                    k = std::string_view(p + 1, g->key_size);
                    code = g->code;
                    next = g->next;
                    p += g->key_size + 3;
                }
            }
            const bool foreseen = k.data() != nullptr;
            if (!foreseen && !short_key_at(p, end, k, bytes)) {
                p_ = p;
                if (!key(k, bytes)) return false;
                p = p_;
            }
            if (!foreseen) {
                if (at.previous != nullptr) {
                    // (Every key the flat reader takes is plain: its closing
                    // quote is the first after it.)
                    const auto* closing = static_cast<const char*>(
                        std::memchr(at.previous, '"', static_cast<std::size_t>(end - at.previous)));
                    const std::string_view previous(at.previous, static_cast<std::size_t>(closing - at.previous));
                    if (!key_follows(previous, key_word(previous), k, key_word(k))) return false;
                }
                code = k.size() - 1 < 8 ? codes.short_code(k, bytes) : codes.code(k);
                if (code == JsonHl7::kNoKeyCode) return false;  // a key of no use to the assembly: left to yyjson
                if (at.state != KeyPaths::kOff && k.size() <= KeyPaths::kMaxKey) next = paths.follow(at.state, k, code);
            }
            // A space after the ":": text in the spaced form, which the
            // common way takes from now on.
            if (p < end && *p == ' ') spaced_ = true;
            if (!plain_value_at(p, end, value)) {
                p_ = p;
                if (!string(value)) return false;
                p = p_;
            }
            const bool decoded = value.data() == scratch_.data();  // else the value lies in the text
            fill.add_by_code(code, value, decoded ? value.size() : static_cast<std::size_t>(end - value.data()));
            at.previous = k.data();
            at.state = next;
        }
        at.ended = false;
        if (p < end && *p == ',') {
            at.p = p + 1;
            continue;
        }
        p_ = p;
        if (!eat(',')) return eat('}');
        at.p = p_;
    }
}

bool FlatJson::records(JsonHl7& out) {
    if (!eat('[')) return false;
    if (eat(']')) return true;
    do {
        if (!record(out)) return false;
    } while (eat(','));
    return eat(']');
}

}  // namespace segmorph
