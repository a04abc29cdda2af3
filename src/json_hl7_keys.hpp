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
#include <memory>
#include <optional>
#include <string_view>

#include "json_hl7.hpp"
#include "utils.hpp"

namespace segmorph::detail {

// Every index (field, repetition, component) must be at most this; a key
// beyond it is ignored like any other unusable key (see the bounds in
// json_hl7_key_order.hpp).
constexpr std::uint32_t kMaxIndex = 100000;

constexpr std::string_view kNameKey = "segment_name";

struct Position {
    std::uint32_t field, rep, comp;
};

// The keys that flattening writes ("3", "3.1", "3[0]", "3[0].1", plain
// digits within the bound) in one pass; the general rules give these keys
// the same positions.  Any other key, or an index beyond the bound, is left
// to the general rules.
std::optional<Position> parse_common_key(std::string_view key);

// Reads one key; nullopt for every key the assembly does not use.
std::optional<Position> parse_key(std::string_view key);

static_assert(kMaxIndex < (1u << 17), "indices must fit the packed position");

// field << 34 | rep << 17 | comp: indices are below 2^17, so the packed
// order is the order of (field, rep, comp).
constexpr std::uint64_t pack(const Position& p) {
    return (std::uint64_t{p.field} << 34) | (std::uint64_t{p.rep} << 17) | p.comp;
}

}  // namespace segmorph::detail

namespace segmorph {


// The codes of keys by their text, for keys of up to eight bytes (nearly
// all): a record file repeats a few hundred keys thousands of times, and
// reading each one again costs more than finding it here.  A key is known by
// its bytes and length packed into two words, so a look-up compares
// integers.  One per thread (nothing shared, no locking), bounded: open
// addressing over 4096 slots filled to at most half; a key that finds no
// room, or a longer one, is read each time.
class KeyCodes {
public:
    // The key's code, or kNoKeyCode for a key that has none.
    std::uint64_t code(std::string_view key) {
        if (key.size() > 8 || key.empty()) return JsonHl7::key_code(key);
        return short_code(key, packed_bytes(key));
    }
    // code() of a key of 1 to 8 bytes, given its packed_bytes.
    std::uint64_t short_code(std::string_view key, std::uint64_t bytes) {
        const std::uint64_t h = (bytes * 0x9E3779B97F4A7C15ull + key.size()) * 0xBF58476D1CE4E5B9ull;
        const std::uint64_t size = std::uint64_t{key.size()} << kSizeShift;
        for (std::size_t i = h >> (64 - kSlotBits);; i = (i + 1) & (kSlots - 1)) {
            Slot& s = slots_[i];
            if (s.bytes == bytes && (s.size_code & kSizeMask) == size) return s.size_code & ~kSizeMask;
            if (s.size_code == 0) {
                const std::uint64_t code = JsonHl7::key_code(key);
                if (used_ < kSlots / 2) {
                    s = Slot{bytes, size | code};
                    ++used_;
                }
                return code;
            }
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
    // The key's length goes above the code's bits.
    static constexpr unsigned kSizeShift = JsonHl7::kKeyCodeBits;
    static constexpr std::uint64_t kSizeMask = ~std::uint64_t{0} << kSizeShift;
    struct Slot {
        std::uint64_t bytes = 0;
        std::uint64_t size_code = 0;  // the length and the code; 0: free
    };
    Slot slots_[kSlots];
    std::size_t used_ = 0;
};

}  // namespace segmorph
