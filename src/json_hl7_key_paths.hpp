// What key came next, per thread, after the same keys before it: the flat
// reader's guess of the next key of a record.  Records of one kind repeat
// their keys in the same order, so after the keys of a record so far the
// next one is mostly the key that came after those same keys last time.
//
// The keys seen so far are a state in a tree of the key sequences met
// (state 0: a record's start), and each state holds, ready to compare, the
// text that the key foreseen next makes in JSON -- its quote, its bytes,
// '":"' -- with its code and the state it leads to.  So a foreseen key is
// known by one 16-byte compare, and the next guess is one load away: no
// hash, no look at the key's bytes, no table look-up by them.  The states of
// one sequence are made one after another, so reading a record of a kind
// met before walks memory in order.
//
// A state is reached only by keys each strictly after the one before in
// byte order (the reader checks that before it takes a step), so a key
// foreseen needs no order check either: keys so ordered cannot repeat.
// The sample corpus holds about fifteen thousand such states ; a
// feed of more kinds than fit starts the tree again.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace segmorph {

class KeyPaths {
public:
    // A key foreseen: what it makes in JSON, ready to compare.
    // No guess (next 0) asks for sixteen zero bytes, which no entry a
    // reader takes starts with: the reader's common way need not test
    // `next` before it reads the value, and a value after such bytes is
    // all control bytes up to its first quote, which that way never takes.
    struct alignas(32) Guess {
        char pattern[16] = {};        // '"', the key, '":"', zeros after
        std::uint64_t code = 0;       // the key's code
        std::uint32_t next = 0;       // the state it leads to; 0: no guess
        std::uint16_t mask = 0xFFFF;  // a bit for each byte of the pattern
        std::uint8_t key_size = 0;    // the key's length
        bool name = false;            // the key is the segment's name, which the store notes apart
    };
    static_assert(sizeof(Guess) == 32, "two guesses to a cache line");
    // The last two keys met after a state, the latest first: where records
    // of two shapes share the keys so far, both go on foreseen.
    struct alignas(64) State {
        Guess guess[2];
    };

    // Keys longer than this take no part; nor do the states after them.
    static constexpr std::size_t kMaxKey = 12;
    static constexpr std::uint32_t kOff = ~std::uint32_t{0};  // no state: the record goes on without guesses

    const State* states() const { return states_.data(); }
    const State& state(std::uint32_t at) const { return states_[at]; }

    // The guess of state `at` that the text at `p` (16 bytes readable)
    // holds, or null.
    const Guess* foreseen(std::uint32_t at, const char* p) const {
        for (const Guess& g : states_[at].guess) {
            if (g.next != 0 && std::memcmp(p, g.pattern, g.key_size + 4u) == 0) return &g;
        }
        return nullptr;
    }

    // At a record's start: the tree begins again if it filled up.
    std::uint32_t start() {
        if (full_) clear();
        return 0;
    }

    // The state after the plain key `k` (1 to kMaxKey bytes, code `code`,
    // following the key that led to `from` in byte order) from state
    // `from`, made if new, and from now on the guess after `from`.  kOff
    // when the tree has no room for it.
    std::uint32_t follow(std::uint32_t from, std::string_view k, std::uint64_t code);

    static KeyPaths& mine() {
        thread_local std::unique_ptr<KeyPaths> t_paths;
        if (!t_paths) t_paths = std::make_unique<KeyPaths>();
        return *t_paths;
    }

    KeyPaths() { clear(); }

private:
    // The way from a state by a key's text (its bytes, zeros after: no key
    // that takes part holds a zero byte).
    struct Edge {
        std::uint64_t low = 0;
        std::uint32_t high = 0;
        std::uint32_t from = 0;
        std::uint32_t to = 0;  // 0: an empty slot
    };
    static constexpr std::size_t kMaxStates = std::size_t{1} << 15;  // 2 MB of states

    void clear();
    void grow_edges();
    static std::size_t slot_of(std::uint64_t low, std::uint32_t high, std::uint32_t from, std::size_t slots) {
        const std::uint64_t h =
            (low * 0x9E3779B97F4A7C15ull) ^ ((std::uint64_t{high} << 32 | from) * 0xBF58476D1CE4E5B9ull);
        return static_cast<std::size_t>(h >> 32) & (slots - 1);
    }

    std::vector<State> states_;
    std::vector<Edge> edges_;  // open addressing, at most half full
    std::size_t edge_count_ = 0;
    bool full_ = false;
};

}  // namespace segmorph
