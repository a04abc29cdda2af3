// The record store's key codes: what a key means to the assembly, read
// once.  A key's text becomes its packed position (field, repetition,
// component in one integer whose order is theirs) when its entry is added,
// so the assembly sorts and compares integers and never reads a key again.
// The keys that flattening writes also get a code that gives the text back,
// and a per-thread table finds the code of a short key by its bytes, so a
// record file or a record list that repeats a few hundred keys thousands of
// times reads each of them once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "json_hl7.hpp"
#include "packed_bytes.hpp"

namespace segmorph::detail {

// An index (field, repetition, component) is any unsigned 64-bit number; a
// key whose number does not fit is no position and is ignored.  Indices
// below kPackedIndexLimit -- every key a parsed message of ordinary size
// writes -- are packed into one integer and taken by the fast assembly; a
// key with a larger index keeps its text and its record is written by the
// rules by key order (json_hl7_key_order.hpp), which read the key again.
// What keeps a hostile index from asking for huge output is the bound on
// the separators a message writes (json_hl7_bounds.hpp), not the index.
constexpr std::uint32_t kPackedIndexBits = 17;
constexpr std::uint64_t kPackedIndexLimit = std::uint64_t{1} << kPackedIndexBits;

constexpr std::string_view kNameKey = "segment_name";

struct Position {
    std::uint64_t field, rep, comp;

    bool packable() const { return field < kPackedIndexLimit && rep < kPackedIndexLimit && comp < kPackedIndexLimit; }
    friend bool operator<(const Position& a, const Position& b) {
        if (a.field != b.field) return a.field < b.field;
        if (a.rep != b.rep) return a.rep < b.rep;
        return a.comp < b.comp;
    }
    friend bool operator==(const Position& a, const Position& b) = default;
};

// The keys that flattening writes ("3", "3.1", "3[0]", "3[0].1", plain
// digits, each index below kPackedIndexLimit) in one pass; the general
// rules give these keys the same positions.  Any other key, or a larger
// index, is left to the general rules.
std::optional<Position> parse_common_key(std::string_view key);

// Reads one key; nullopt for every key the assembly does not use.
std::optional<Position> parse_key(std::string_view key);

// field << 34 | rep << 17 | comp, for a packable position: indices are
// below 2^17, so the packed order is the order of (field, rep, comp).
constexpr std::uint64_t pack(const Position& p) {
    return (p.field << (2 * kPackedIndexBits)) | (p.rep << kPackedIndexBits) | p.comp;
}
constexpr Position unpack(std::uint64_t packed) {
    constexpr std::uint64_t mask = kPackedIndexLimit - 1;
    return Position{packed >> (2 * kPackedIndexBits), (packed >> kPackedIndexBits) & mask, packed & mask};
}

}  // namespace segmorph::detail

namespace segmorph {

// The codes of keys by their text, for keys of up to sixteen bytes (all
// that flattening writes, "segment_name" included): a record file or a
// record list repeats a few hundred keys thousands of times, and reading
// each one again costs more than finding it here.  A key is known by its
// bytes in two words and its length, so a look-up compares integers; the
// text itself is read only the first time.  Looked up by text rather than by
// the address of a caller's key object: records loaded with a JSON library
// hold a new key object per message (or per cache slot of the library), so
// an address names a key only briefly, while its text names it for good and
// needs no check that the object is still the one it was.
//
// One per thread (nothing shared, no locking), bounded: open addressing
// over 4096 slots filled to at most half; a key that finds no room, or a
// longer one, is read each time.
class KeyCodes {
public:
    static constexpr std::size_t kMaxShortKey = 16;

    // The key's code, or kNoKeyCode for a key that has none.
    std::uint64_t code(std::string_view key) {
        const std::size_t n = key.size();
        if (n - 1 >= kMaxShortKey) return JsonHl7::key_code(key);  // (the empty key wraps around)
        if (n <= 8) return lookup(key, packed_bytes(key), 0);
        std::uint64_t first, last;
        std::memcpy(&first, key.data(), 8);
        std::memcpy(&last, key.data() + n - 8, 8);
        return lookup(key, first, last);
    }
    // code() of a key of 1 to 8 bytes, given its packed_bytes.
    std::uint64_t short_code(std::string_view key, std::uint64_t bytes) { return lookup(key, bytes, 0); }
    // code() of a key of 1 to kMaxShortKey bytes given as words: up to 8
    // bytes, its packed_bytes and 0; longer, its first 8 bytes and its
    // last 8 (they overlap below 16), each as memcpy reads them.
    std::uint64_t lookup(std::string_view key, std::uint64_t first, std::uint64_t last) {
        // The slot from the product's top bits, which every input bit moves
        // (the low bits see only the low bytes: "1", "10", "11" would meet).
        const std::uint64_t h = (first * 0x9E3779B97F4A7C15ull) ^ ((last + key.size()) * 0xBF58476D1CE4E5B9ull);
        for (std::size_t i = h >> (64 - kSlotBits);; i = (i + 1) & (kSlots - 1)) {
            Slot& s = slots_[i];
            if (s.first == first && s.last == last && s.size == key.size()) return s.code;
            if (s.size == 0) return learn(s, key, first, last);
        }
    }

    // The calling thread's table.
    static KeyCodes& mine() {
        thread_local std::unique_ptr<KeyCodes> t_codes;
        if (!t_codes) t_codes = std::make_unique<KeyCodes>();
        return *t_codes;
    }

private:
    static constexpr unsigned kSlotBits = 12;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    // 32 bytes: two to a cache line, none across two.
    struct alignas(32) Slot {
        std::uint64_t first = 0, last = 0;
        std::uint64_t code = 0;
        std::uint64_t size = 0;  // 0: free
    };
    std::uint64_t learn(Slot& free, std::string_view key, std::uint64_t first, std::uint64_t last) {
        const std::uint64_t code = JsonHl7::key_code(key);
        if (used_ < kSlots / 2) {
            free = Slot{first, last, code, key.size()};
            ++used_;
        }
        return code;
    }
    Slot slots_[kSlots];
    std::size_t used_ = 0;
};

}  // namespace segmorph
