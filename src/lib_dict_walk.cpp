// The import-time check of the direct dict walk (lib_dict_walk.hpp).
#include "lib_dict_walk.hpp"

#include <utility>
#include <vector>

#include "lib_support.hpp"

namespace segmorph::py {

#if SEGMORPH_DIRECT_DICT_WALK

namespace detail {
std::atomic<bool> g_direct_dict_walk{false};
}  // namespace detail

namespace {

using detail::DictKeysHead;
using detail::walk_dict_entries;
using Items = std::vector<std::pair<PyObject*, PyObject*>>;

// Whether the direct walk of `dict` (whose table must be of kind `kind`)
// yields exactly the items that PyDict_Next does, also when resumed
// partway by PyDict_Next.
bool walks_alike(PyObject* dict, std::uint8_t kind) {
    const auto* keys = reinterpret_cast<const DictKeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    if (keys->kind != kind || keys->nentries < 3 || keys->nentries > (Py_ssize_t{1} << keys->log2_size)) {
        return false;
    }
    Items expected, direct, resumed;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) expected.emplace_back(key, value);
    pos = 0;
    if (!walk_dict_entries(dict, pos, [&](PyObject* k, PyObject* v) {
            direct.emplace_back(k, v);
            return true;
        })) {
        return false;
    }
    // Stopped at the second item, then finished by PyDict_Next.
    pos = 0;
    walk_dict_entries(dict, pos, [&](PyObject* k, PyObject* v) {
        if (resumed.size() == 1) return false;
        resumed.emplace_back(k, v);
        return true;
    });
    while (PyDict_Next(dict, &pos, &key, &value)) resumed.emplace_back(key, value);
    return direct == expected && resumed == expected;
}

// A dict of str keys only, or with an int key among them (the two kinds of
// table), each with a deleted item between others.  Null with an
// exception set when the interpreter fails.
Ref sample_dict(bool int_key) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    const char* const texts[] = {"1", "2.1", "segment_name", "4[1].2"};
    for (const char* text : texts) {
        Ref item = Ref::steal(PyUnicode_FromString(text));
        if (!item || PyDict_SetItem(dict.get(), item.get(), item.get()) < 0) return Ref();
    }
    Ref extra = Ref::steal(int_key ? PyLong_FromLong(7) : PyUnicode_FromString("9"));
    if (!extra || PyDict_SetItem(dict.get(), extra.get(), extra.get()) < 0) return Ref();
    if (PyDict_DelItemString(dict.get(), "2.1") < 0) return Ref();
    return dict;
}

}  // namespace

bool check_dict_walk() {
    static Once once;
    return once.run([] {
        Ref unicode = sample_dict(false);
        Ref general = sample_dict(true);
        if (!unicode || !general) return false;
        const bool alike =
            walks_alike(unicode.get(), detail::kUnicodeKeys) && walks_alike(general.get(), detail::kGeneralKeys);
        detail::g_direct_dict_walk.store(alike, std::memory_order_relaxed);
        return true;
    });
}

#else

bool check_dict_walk() { return true; }

#endif

}  // namespace segmorph::py
