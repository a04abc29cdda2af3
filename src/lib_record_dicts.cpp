#include "lib_record_dicts.hpp"

#include <cstring>
#include <string>

#include "json_hl7.hpp"
#include "packed_bytes.hpp"
#include "utf8.hpp"

namespace segmorph::py {

KeyCache::~KeyCache() {
    for (Slot& s : slots_) Py_XDECREF(s.str);
}

namespace {

// The process-wide table of keys by number: field 0..127, repetition none or
// 0..6, component none or 1..30 -- every key of real messages.  Building a
// key and hashing it for the dict cost more than the rest of an entry, and a
// table per call would build each one again on every call.
//
// Free-threaded builds: lock-free.  A slot is filled once: the first thread
// to need the key creates it and publishes it with a compare-exchange (a
// thread that loses the race drops its own copy and takes the winner's).  A
// published key is never released -- the table keeps its reference for the
// life of the process -- so a pointer once loaded stays valid, and readers
// never wait.  Bounded: at most 128 * 8 * 32 small strings, in practice a few
// hundred.  Interpreters: the module refuses to be imported into a
// subinterpreter, so every key here belongs to the main interpreter; like the
// class objects, the table lives as long as the process.
constexpr std::uint32_t kTableFields = 128;
constexpr std::int32_t kTableReps = 8;    // slot rep + 1
constexpr std::int32_t kTableComps = 32;  // slot comp + 1
std::atomic<PyObject*> g_position_keys[kTableFields][kTableReps][kTableComps];
std::atomic<PyObject*> g_segment_name_key;

}  // namespace

TableKeyAddresses g_table_key_addresses;

namespace {

// Files a newly published table key under its address.  A slot is claimed
// by a compare-exchange to a marker, its code written, then its key
// released, so a reader that sees the key sees its code.
void file_address(PyObject* key, std::string_view text) {
    TableKeyAddresses& t = g_table_key_addresses;
    const std::uint64_t code = JsonHl7::key_code(text);
    if (code == JsonHl7::kNoKeyCode) return;
    if (t.used.fetch_add(1, std::memory_order_relaxed) >= TableKeyAddresses::kSlots / 2) return;  // read by text
    PyObject* const claimed = TableKeyAddresses::claimed();
    for (std::size_t i = TableKeyAddresses::slot_of(key);; i = (i + 1) & (TableKeyAddresses::kSlots - 1)) {
        PyObject* expected = nullptr;
        if (t.slots[i].key.compare_exchange_strong(expected, claimed, std::memory_order_relaxed)) {
            t.slots[i].code.store(code, std::memory_order_relaxed);
            t.slots[i].key.store(key, std::memory_order_release);
            const std::size_t bit = TableKeyAddresses::filter_bit(key);
            t.filter[bit / 64].fetch_or(std::uint64_t{1} << (bit % 64), std::memory_order_release);
            return;
        }
    }
}

// The table slot's key, made and published on first use; borrowed.
PyObject* publish_once(std::atomic<PyObject*>& slot, std::string_view text) {
    PyObject* have = slot.load(std::memory_order_acquire);
    if (have != nullptr) return have;
    PyObject* made = new_ascii_str(text);
    if (made == nullptr) return nullptr;
    // Its hash is computed now, once, rather than by the first dict that
    // takes it.
    if (PyObject_Hash(made) == -1) {
        Py_DECREF(made);
        return nullptr;
    }
    if (slot.compare_exchange_strong(have, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        file_address(made, text);
        return made;
    }
    Py_DECREF(made);
    return have;
}

}  // namespace

PyObject* KeyCache::segment_name() { return publish_once(g_segment_name_key, "segment_name"); }

PyObject* KeyCache::get(const FlatRecord::Item& item) {
    // Flattening in the binding writes no key texts (they are found by
    // number here); the few keys outside the table are written now.
    char buf[FlatRecord::kMaxKeyLength];
    auto text = [&] {
        return std::string_view(
            buf, static_cast<std::size_t>(FlatRecord::format_key(buf, item.field, item.rep, item.comp) - buf));
    };
    if (item.field < kTableFields && item.rep < kTableReps - 1 && item.comp < kTableComps - 1) {
        std::atomic<PyObject*>& slot = g_position_keys[item.field][item.rep + 1][item.comp + 1];
        PyObject* have = slot.load(std::memory_order_acquire);
        return have != nullptr ? have : publish_once(slot, text());
    }
    return get(text());
}

namespace {

std::size_t slot_of(std::uint64_t ident, std::size_t mask) {
    return static_cast<std::size_t>((ident * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

}  // namespace

void KeyCache::grow() {
    std::vector<Slot> old(slots_.size() * 2, Slot{0, nullptr});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.str == nullptr) continue;
        std::size_t i = slot_of(s.ident, mask);
        while (slots_[i].str != nullptr) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

PyObject* KeyCache::get(std::string_view key) {
    // Allocated on first use: most results never get here.
    if (slots_.empty()) slots_.assign(256, Slot{0, nullptr});
    const bool packed = key.size() <= 8;
    std::uint64_t ident = 0;
    if (packed) {
        if (!key.empty()) ident = packed_bytes(key);
    } else {
        // Eight bytes at a time; the length goes in too.
        ident = key.size();
        std::size_t i = 0;
        for (; i + 8 <= key.size(); i += 8) {
            std::uint64_t chunk;
            std::memcpy(&chunk, key.data() + i, 8);
            ident = (ident ^ chunk) * 0xff51afd7ed558ccdull;
        }
        std::uint64_t tail = 0;
        std::memcpy(&tail, key.data() + i, key.size() - i);
        ident = (ident ^ tail) * 0xc4ceb9fe1a85ec53ull;
        ident ^= ident >> 29;
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(ident, mask);
    for (; slots_[i].str != nullptr; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.ident != ident) continue;
        // A packed key is its ident (keys never hold NUL); a longer one is
        // compared, and as keys are ASCII a compact str's data is its bytes.
        const auto len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s.str));
        if (packed ? len <= 8 : len == key.size() && std::memcmp(PyUnicode_DATA(s.str), key.data(), len) == 0) {
            return s.str;
        }
    }
    PyObject* str = new_ascii_str(key);
    if (str == nullptr) return nullptr;
    slots_[i] = Slot{ident, str};
    if (++used_ * 2 > slots_.size()) grow();
    return str;
}

namespace {

bool set_item(PyObject* dict, KeyCache& keys, std::string_view key, std::string_view value, bool ascii = false) {
    PyObject* k = keys.get(key);
    if (k == nullptr) return false;
    Ref v = Ref::steal(ascii ? new_ascii_str(value) : new_str(value));
    if (!v) return false;
    return PyDict_SetItem(dict, k, v.get()) == 0;
}

}  // namespace

PyObject* record_to_dict(const SegmentRecord& record, KeyCache& keys) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : record) {
        // Keys of stored records can be any text; only ASCII ones without NUL
        // (whose packed bytes identify them) go through the shared-key cache.
        if (is_ascii(key) && key.find('\0') == std::string::npos) {
            if (!set_item(dict.get(), keys, key, value)) return nullptr;
        } else {
            Ref k = Ref::steal(new_str(key));
            Ref v = Ref::steal(k ? new_str(value) : nullptr);
            if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return nullptr;
        }
    }
    return dict.release();
}

PyObject* flat_to_dict(const FlatRecord& record, KeyCache& keys, bool ascii) {
    const auto size = static_cast<Py_ssize_t>(record.size() + 1);
    Ref dict = Ref::steal(SEGMORPH_DICT_NEW_PRESIZED(size));
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < record.size(); ++i) {
        const FlatRecord::Item item = record.item(i);
        PyObject* k = keys.get(item);
        if (k == nullptr) return nullptr;
        Ref v = Ref::steal(ascii ? new_ascii_str(item.value) : new_str(item.value));
        if (!v || PyDict_SetItem(dict.get(), k, v.get()) != 0) return nullptr;
    }
    PyObject* name_key = keys.segment_name();
    if (name_key == nullptr) return nullptr;
    Ref name = Ref::steal(ascii ? new_ascii_str(record.name()) : new_str(record.name()));
    if (!name || PyDict_SetItem(dict.get(), name_key, name.get()) != 0) return nullptr;
    return dict.release();
}

}  // namespace segmorph::py
