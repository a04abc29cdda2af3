// Walking a dict's items in place, for the loop that copies records in.
// PyDict_Next costs about fifty instructions an item (a call, its checks,
// and finding where the entries start, every time): as much as all the
// rest of taking an item into the record store.  An exact dict held as one
// combined table -- every dict that json.loads, orjson.loads or Hl7Json
// makes -- keeps its items as an array after the table's index, which is
// read here directly.
//
// That layout is CPython's own, not part of its API.  It is the same on
// 3.11 to 3.14 (the versions this walk is compiled for), and it is checked
// once, at import, against PyDict_Next on dicts of both kinds of table; if
// the check fails, every walk is PyDict_Next's.  Any other dict (a
// subclass, a split table) is walked by PyDict_Next as well.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "py_compat.hpp"

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030F0000
#define SEGMORPH_DIRECT_DICT_WALK 1
#else
#define SEGMORPH_DIRECT_DICT_WALK 0
#endif

namespace segmorph::py {

namespace detail {

#if SEGMORPH_DIRECT_DICT_WALK
// The head of a dict's key table (CPython's struct _dictkeysobject), up to
// its index, which the entries follow.
struct DictKeysHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;  // 0: general entries (hash, key, value); 1: str keys (key, value); 2: split
#ifdef Py_GIL_DISABLED
    std::uint8_t mutex;
#endif
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
constexpr std::uint8_t kGeneralKeys = 0, kUnicodeKeys = 1;

// Set once at import by check_dict_walk, when the direct walk reads dicts
// as PyDict_Next does.
extern std::atomic<bool> g_direct_dict_walk;

// How many entries ahead the walk asks for the key and value objects.
constexpr Py_ssize_t kAhead = 3;

// The walk over entries of `stride` pointers each, from `e` (entry `pos`)
// to entry n.  The stride is a constant here: held in a register, it and
// its multiples took three of the few the loops that add entries have.
template <std::size_t stride, class Item>
[[gnu::always_inline]] inline void walk_entries(PyObject* const* e, Py_ssize_t& pos, Py_ssize_t n, Item& item) {
    PyObject* const* const end = e + stride * static_cast<std::size_t>(n - pos);
    for (; e != end; e += stride) {
        // The key and value objects a few entries on are asked for now:
        // loaded records hold new objects all over the heap, and the key's
        // text decides where its code is looked up, one wait after another
        // (2 to 3% of a conversion of such records; 3 and 6 ahead alike).
        const std::size_t ahead =
            end - e > kAhead * static_cast<std::ptrdiff_t>(stride) ? std::size_t{kAhead} * stride : 0;
        __builtin_prefetch(e[ahead]);
        __builtin_prefetch(e[ahead + 1]);
        if (e[1] == nullptr) continue;  // a deleted item
        if (!item(e[0], e[1])) break;
    }
    pos = n - static_cast<Py_ssize_t>((end - e) / static_cast<std::ptrdiff_t>(stride));
}

// Calls item(key, value) for the items of `dict` from entry `pos` on, in
// order, while it returns true; `pos` is left at the entry where it
// returned false (PyDict_Next, given that `pos`, yields that item again),
// or past the last.  False for a dict it cannot walk (pos untouched).
template <class Item>
bool walk_dict_entries(PyObject* dict, Py_ssize_t& pos, Item&& item) {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    const auto* keys = reinterpret_cast<const DictKeysHead*>(d->ma_keys);
    if (d->ma_values != nullptr || keys->kind > kUnicodeKeys) return false;
    // Both kinds end an entry with the key and the value; a general entry
    // has the key's hash before them.
    PyObject* const* entries = reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(keys + 1) +
                                                                  (std::size_t{1} << keys->log2_index_bytes));
    const Py_ssize_t n = keys->nentries;
    if (pos >= n) return true;
    if (keys->kind == kUnicodeKeys) {
        walk_entries<2>(entries + 2 * static_cast<std::size_t>(pos), pos, n, item);
    } else {
        walk_entries<3>(entries + 1 + 3 * static_cast<std::size_t>(pos), pos, n, item);
    }
    return true;
}
#endif

}  // namespace detail

// Checks the direct walk once, at import; false with an exception set only
// when the interpreter itself fails (out of memory).
bool check_dict_walk();

// Calls fast(key, value) for each item of `dict` in order while it returns
// true; from the item where it returns false on, slow(key, value) is
// called instead, for that item and the rest, until one returns false
// (then false).  `fast` must not run Python code nor release the dict's
// critical section: it reads the dict's entries in place.  The caller
// holds the dict still (the GIL, or the dict's critical section).
template <class Fast, class Slow>
bool walk_dict(PyObject* dict, Fast&& fast, Slow&& slow) {
    Py_ssize_t pos = 0;
#if SEGMORPH_DIRECT_DICT_WALK
    if (PyDict_CheckExact(dict) && detail::g_direct_dict_walk.load(std::memory_order_relaxed)) {
        detail::walk_dict_entries(dict, pos, fast);
    }
#endif
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!slow(key, value)) return false;
    }
    return true;
}

}  // namespace segmorph::py
