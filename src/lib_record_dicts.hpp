// Records as dicts for the segmorph module: the process-wide table of keys
// by number, the per-call cache of other keys, and the dicts built with
// them.  segmorph_batch hands records over as Arrow columns and needs none
// of this.
#pragma once

#include "lib_support.hpp"

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "segments.hpp"

namespace segmorph::py {

// Shares equal key strings: each distinct key is created once and reused for
// every dict.  The keys that flattening writes with small numbers (nearly all
// of them) come from one table for the whole process, found by their numbers;
// the rest are shared within one result.
class KeyCache {
public:
    KeyCache() = default;
    ~KeyCache();
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    // Borrowed reference owned by the cache, or null with an exception set.
    PyObject* get(std::string_view key);
    // The key of a flattened item, by its numbers where the table has them.
    PyObject* get(const FlatRecord::Item& item);
    // The one key every record has, kept apart from the table.
    PyObject* segment_name();

private:
    // Keys of up to eight bytes (nearly all of them) are identified by their
    // bytes packed into one integer, so a lookup is one multiply and one
    // compare; longer keys fall back to hashing and comparing the text.
    struct Slot {
        std::uint64_t ident;  // packed bytes, or the hash of a longer key
        PyObject* str;
    };
    void grow();
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// Every key of the process-wide table (see KeyCache) by its address, with
// its key code (JsonHl7::key_code), filed when the key is published.  Table
// keys are never freed, so an address found here still is the key it was:
// JsonHl7's intake then need not read the key object at all, and records
// made by Hl7Json have only such keys.  An address not found is no table
// key (or one past the bound, found by its text like any other key).  The
// keys of loaded records are new objects all over the heap: a look into
// the slots would miss the nearer caches every time, so a filter of 64 Ki
// bits (8 KiB, which stay near) turns nearly all of them away first.
// Lock-free: filled once per key, never emptied (a key not yet seen in the
// filter is found by its text, to the same code); open addressing over
// 8192 slots filled to at most half, 128 KiB for the process.
struct TableKeyAddresses {
    static constexpr unsigned kSlotBits = 13;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    struct Slot {
        std::atomic<PyObject*> key;
        std::atomic<std::uint64_t> code;
    };
    static constexpr unsigned kFilterBits = 16;
    std::atomic<std::uint64_t> filter[(std::size_t{1} << kFilterBits) / 64];
    Slot slots[kSlots];
    std::atomic<std::size_t> used;

    // A slot being filled: not free, and no key's.
    static PyObject* claimed() { return reinterpret_cast<PyObject*>(std::uintptr_t{1}); }
    // Objects are 16-byte aligned and often equally spaced: a multiply
    // spreads their addresses over the slots.
    static std::uint64_t mix(PyObject* key) {
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
    }
    static std::size_t slot_of(PyObject* key) { return static_cast<std::size_t>(mix(key) >> (64 - kSlotBits)); }
    static std::size_t filter_bit(PyObject* key) { return static_cast<std::size_t>(mix(key) >> (64 - kFilterBits)); }
    // The key code of a table key, or 0 (JsonHl7::kNoKeyCode).
    std::uint64_t code(PyObject* key) const {
        const std::size_t bit = filter_bit(key);
        if ((filter[bit / 64].load(std::memory_order_relaxed) >> (bit % 64) & 1) == 0) return 0;
        for (std::size_t i = slot_of(key);; i = (i + 1) & (kSlots - 1)) {
            PyObject* k = slots[i].key.load(std::memory_order_acquire);
            if (k == key) return slots[i].code.load(std::memory_order_relaxed);
            if (k == nullptr) return 0;
        }
    }
};
extern TableKeyAddresses g_table_key_addresses;

// New dict of a record, items inserted in the record's key order.
PyObject* record_to_dict(const SegmentRecord& record, KeyCache& keys);
// New dict from a flattened line (fields, then "segment_name").  With
// `ascii` the caller vouches that every value is ASCII text.
PyObject* flat_to_dict(const FlatRecord& record, KeyCache& keys, bool ascii = false);

}  // namespace segmorph::py
