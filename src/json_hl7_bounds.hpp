// The bound on what a message's records may write.  Gaps below a record's
// largest index are filled with empty texts, so an index is a request for
// that many separators ("|", "~", "^"): {"1[999999999]": "x"} asks for a
// gigabyte.  Indices themselves are not bounded (a parsed message may hold
// a field of millions of repetitions, and its records must assemble back);
// the separators are: a message's records may write at most kSeparatorBase
// plus kSeparatorsPerEntry for every entry they hold, in all.  A record
// parsed from HL7 text writes at most one separator per entry, so only
// records that ask for large gaps come near it.
//
// A store of records that passes the bound is written whole; one that does
// not is refused when it is built, with an error naming the first record
// (by its index in the message, from 0) and the key that would pass the
// bound.  Nothing is left out in between: a value of a usable key is
// always placed, or its message fails.
//
// The exact count, here, reads every key's position and sorts them; the
// store checks a quicker upper bound first (JsonHl7::check_output_bound)
// and counts exactly only when that is not enough.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "json_hl7_keys.hpp"
#include "segments.hpp"

namespace segmorph::detail {

constexpr std::uint64_t kSeparatorBase = 1000000;
constexpr std::uint64_t kSeparatorsPerEntry = 16;

// Additions that stop at the largest number rather than wrap: a key's
// index may be any 64-bit number, and the separators it asks for are
// compared, never written.
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? ~std::uint64_t{0} : sum;
}

// The separators of one record, with which key pushes them past a budget.
class SeparatorBudget {
public:
    // The budget of a message whose records hold `entries` entries.
    explicit SeparatorBudget(std::uint64_t entries);

    // A record's usable keys (name and ignored keys left out), any order.
    struct Key {
        std::string_view text;
        Position pos;
    };
    // Charges one record, the `index`-th of its message, its usable keys in
    // `keys` (reordered here): nothing, when its separators fit what is
    // left, else the text of the error, naming the record and the first
    // key, in byte order, whose separators no longer fit.
    std::optional<std::string> charge(std::vector<Key>& keys, std::size_t index);
    // The same for a record as the assembly's oracle holds it.
    std::optional<std::string> charge(const SegmentRecord& record, std::size_t index);

    // The separators a record with these usable keys writes (saturating);
    // `keys` is reordered.
    static std::uint64_t separators_of(std::vector<Key>& keys);

    std::uint64_t allowed() const { return allowed_; }
    std::uint64_t left() const { return left_; }

private:
    std::string breach(std::vector<Key>& keys, std::size_t index) const;

    std::uint64_t allowed_, left_;
    std::vector<Key> scratch_;
};

}  // namespace segmorph::detail
