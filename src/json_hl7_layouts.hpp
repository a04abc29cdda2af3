// What the write of one record came to, kept per record shape.  Records
// of one kind (the same segment with the same fields filled) come again and
// again, in one message and across the messages of a feed; for them the
// sort and the separator logic, most of an assembly's work, give the same
// answer every time.  So the first write of a shape is recorded -- for each
// value written, in order, which entry it is, whether it is escaped and the
// separators before it, as the bytes written -- and later records of that
// shape are written from the record, entry by entry.
//
// A shape is the sequence of the entries' positions in their record (the
// name's and unused keys' markers included) and whether the name is a
// header's; it decides everything written but the values.  The words
// compared are the entries' keys as the store holds them, a position with
// the form of its key's text above it: records with the same positions but
// keys written otherwise ("3" and "3[0]") are two shapes of one layout,
// which costs a little room, where taking the words apart on every compare
// would cost time.  A record is taken as a shape's only after all its words
// were compared: the hash only finds the candidate.
//
// One cache per thread, so nothing is shared (free-threaded builds
// included), and nothing in an assembly calls back into code that could use
// it twice at once.  Bounded: shapes of at most kMaxShapeEntries entries and
// kMaxShapeBytes bytes in kSlots slots, all in one block of kArenaBytes
// taken on first use; when it is full the cache is emptied and fills again.
// One block rather than an allocation per shape: a new shape costs no call
// to the allocator, and the bound is the block.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define SEGMORPH_HAVE_MMAP 1
#else
#define SEGMORPH_HAVE_MMAP 0
#endif

#include "json_hl7_buffers.hpp"

namespace segmorph::detail {

// What the write of one record's shape went as.
struct LayoutShape {
    std::uint32_t entries;  // positions compared
    std::uint32_t steps;    // values written
    bool header;
    std::uint64_t separators;    // the "|", "~" and "^" written (json_hl7_bounds.hpp)
    std::uint64_t prefix_bytes;  // separators written, in all, as bytes
    // Then, as 8-byte words: the positions, the steps, the prefixes.

    const std::uint64_t* words() const { return reinterpret_cast<const std::uint64_t*>(this + 1); }
    std::uint64_t* words() { return reinterpret_cast<std::uint64_t*>(this + 1); }
    const std::uint64_t* positions() const { return words(); }
    // What to write for each value, in order, coded as the assembly
    // reads it: its entry, and the separators written before it.
    const std::uint64_t* step_codes() const { return words() + entries; }
    // The separators, one after another, with kSlack bytes after them.
    const char* prefixes() const { return reinterpret_cast<const char*>(words() + entries + steps); }
};

// The hash that a record's layout is looked up by: its shape hash (kept as
// its entries came in), mixed once more with its size and whether it is a
// header's.
inline std::uint64_t layout_hash(std::uint64_t shape_hash, std::size_t count, bool header) {
    std::uint64_t hash = count + shape_hash;
    hash ^= (hash >> 31) ^ std::uint64_t{header};
    hash *= 0x94D049BB133111EBull;
    hash ^= hash >> 29;
    return hash;
}

class LayoutCache {
public:
    using Shape = LayoutShape;
    static_assert(sizeof(Shape) % 8 == 0 && alignof(Shape) <= 8, "shapes are laid out in 8-byte words");
    static constexpr std::size_t kMaxShapeEntries = 1024;
    static constexpr std::size_t kMaxShapeBytes = 64 * 1024;
    static constexpr std::size_t kArenaBytes = 1024 * 1024;

    // The shape with this hash and these positions, or nullptr.
    const Shape* find(std::uint64_t hash, const std::uint64_t* first_pos, std::size_t stride, std::size_t n,
                      bool header) const {
        for (std::size_t probe = 0; probe < kProbes; ++probe) {
            const Slot& slot = slots_[(hash + probe) & (kSlots - 1)];
            if (slot.hash != hash || slot.shape == nullptr) continue;
            const Shape& shape = *slot.shape;
            if (shape.entries != n || shape.header != header) continue;
            if (same_positions(shape.positions(), first_pos, stride, n)) return &shape;
        }
        return nullptr;
    }

    // Keeps a shape, replacing an older one when its slots are taken.  No-op
    // for a shape too large to keep, or when there is no memory for the
    // cache (it only ever saves work, so it never fails a conversion).
    void insert(std::uint64_t hash, const std::uint64_t* first_pos, std::size_t stride, std::size_t n, bool header,
                const std::vector<std::uint64_t>& steps, std::string_view prefixes, std::uint64_t separators) noexcept {
        if (n > kMaxShapeEntries) return;
        const std::size_t words = sizeof(Shape) / 8 + n + steps.size() + (prefixes.size() + TextBuffer::kSlack + 7) / 8;
        if (8 * words > kMaxShapeBytes) return;
        if (!arena_) {
            arena_.reset(Arena::take());
            if (!arena_) return;
        }
        if (arena_used_ + words > kArenaBytes / 8) clear();

        Slot* target = nullptr;
        for (std::size_t probe = 0; probe < kProbes && target == nullptr; ++probe) {
            Slot& slot = slots_[(hash + probe) & (kSlots - 1)];
            if (slot.shape == nullptr) target = &slot;
        }
        // A shape put out of its slot keeps its room until the cache is
        // emptied.
        if (target == nullptr) target = &slots_[(hash + (next_victim_++ % kProbes)) & (kSlots - 1)];

        std::uint64_t* at_word = arena_.get() + arena_used_;
        arena_used_ += words;
        auto* shape = new (at_word) Shape{static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(steps.size()),
                                          header, separators, prefixes.size()};
        std::uint64_t* w = shape->words();
        const char* at = reinterpret_cast<const char*>(first_pos);
        for (std::size_t i = 0; i < n; ++i, at += stride) std::memcpy(&w[i], at, 8);
        std::copy(steps.begin(), steps.end(), w + n);
        const std::size_t prefix_words = words - sizeof(Shape) / 8 - n - steps.size();
        std::fill(w + n + steps.size(), w + n + steps.size() + prefix_words, 0);  // the slack too
        std::memcpy(w + n + steps.size(), prefixes.data(), prefixes.size());
        target->hash = hash;
        target->shape = shape;
    }

    // Which cache this is (no two of a process alike), and how often it was
    // emptied: a shape found in it stays where it is, and as it is, until
    // the cache is emptied, so a pointer to it may be kept while both are
    // the same (a record's layout, found when it was counted).
    std::uint64_t id() const { return id_; }
    std::uint64_t epoch() const { return epoch_; }

    // The calling thread's cache.
    static LayoutCache& mine() {
        thread_local std::unique_ptr<LayoutCache> t_cache;
        if (!t_cache) t_cache = std::make_unique<LayoutCache>();
        return *t_cache;
    }

private:
    // Whether the n positions at `first_pos` (one per stride bytes) are
    // `pos`.  Four at a time, their differences or'ed together: the
    // positions almost always match, so one branch per four is taken as
    // foreseen, where one per position cost as much as the compares.
    static bool same_positions(const std::uint64_t* pos, const std::uint64_t* first_pos, std::size_t stride,
                               std::size_t n) {
        const char* at = reinterpret_cast<const char*>(first_pos);
        const auto word = [&](std::size_t i) {
            std::uint64_t p;
            std::memcpy(&p, at + i * stride, 8);
            return p ^ pos[i];
        };
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            if ((word(i) | word(i + 1) | word(i + 2) | word(i + 3)) != 0) return false;
        }
        std::uint64_t diff = 0;
        for (; i < n; ++i) diff |= word(i);
        return diff == 0;
    }

    void clear() {
        for (Slot& slot : slots_) slot.shape = nullptr;
        arena_used_ = 0;
        ++epoch_;
    }
    static std::uint64_t next_id() {
        static std::atomic<std::uint64_t> last{0};
        return last.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    static constexpr std::size_t kSlots = 2048;
    static constexpr std::size_t kProbes = 4;
    struct Slot {
        std::uint64_t hash = 0;
        const Shape* shape = nullptr;  // in the arena
    };
    Slot slots_[kSlots];
    // The block comes straight from the system where it can, outside the
    // heap: a long-lived megabyte in the middle of the heap stops the blocks
    // other code grows there from growing in place, and measurably slowed
    // orjson.dumps running in the same process.  Its pages are only touched
    // as shapes fill them.
    struct Arena {
        static std::uint64_t* take() {
#if SEGMORPH_HAVE_MMAP
            void* p = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            return p == MAP_FAILED ? nullptr : static_cast<std::uint64_t*>(p);
#else
            return new (std::nothrow) std::uint64_t[kArenaBytes / 8];
#endif
        }
        void operator()(std::uint64_t* p) const {
#if SEGMORPH_HAVE_MMAP
            munmap(p, kArenaBytes);
#else
            delete[] p;
#endif
        }
    };
    std::unique_ptr<std::uint64_t, Arena> arena_;
    std::size_t arena_used_ = 0;  // words
    std::size_t next_victim_ = 0;
    const std::uint64_t id_ = next_id();
    std::uint64_t epoch_ = 0;
};

}  // namespace segmorph::detail
