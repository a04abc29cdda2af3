// The JsonHl7 class: records (a sequence of dicts, or a JSON file) in, HL7
// text out.  Each entry point only unpacks and converts its arguments, then
// calls the core.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "json_hl7.hpp"
#include "json_hl7_keys.hpp"
#include "lib.hpp"
#include "lib_dict_walk.hpp"
#include "lib_record_dicts.hpp"
#include "lib_support.hpp"

namespace segmorph::py {

namespace {

using JsonHl7Object = NativeObject<JsonHl7>;

JsonHl7Object* as_self(PyObject* o) { return JsonHl7Object::of(o); }

PyObject* wrap(JsonHl7&& native) { return wrap_native(json_hl7_type(), std::move(native)); }

constexpr const char* kJsonData = "json_data";

// An exact str held compactly as ASCII, whose UTF-8 text is its data.
inline bool plain_ascii_str(PyObject* o) { return Py_IS_TYPE(o, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(o); }
// The text of such a str: right after its header, which is where
// PyUnicode_DATA finds it too, after testing again what plain_ascii_str
// tested (a cost on every key and value).
inline std::string_view ascii_text(PyObject* o) {
    return std::string_view(reinterpret_cast<const char*>(reinterpret_cast<const PyASCIIObject*>(o) + 1),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
}

// The code of a key held as a compact ASCII str of `n` characters at
// `text` (see KeyCodes).  Its words are read as the words that end with
// the text and, for a text longer than eight bytes, the one that starts it:
// whatever its length, no byte but the text's and the header's before it is
// read, and no branch depends on the length, which varies from key to key.
// The header bytes read before a short text are shifted out.
inline std::uint64_t ascii_key_code(const char* text, std::size_t n, KeyCodes& codes) {
    if (n - 1 >= KeyCodes::kMaxShortKey) return JsonHl7::key_code(std::string_view(text, n));
    const bool long_key = n > 8;
    std::uint64_t last, first;
    std::memcpy(&last, text + n - 8, 8);
    std::memcpy(&first, long_key ? text : text + n - 8, 8);
    if (!long_key) {
        first = last >> (64 - 8 * n);  // packed_bytes of the text
        last = 0;
    }
    return codes.lookup(std::string_view(text, n), first, last);
}

// Copies one dict into the records, straight into their one buffer.  The
// walk runs inside the dict's critical section and copies every text before
// leaving it, so another thread changing the dict meanwhile cannot hand us a
// freed key or value.  A dict's keys differ from one another, as the store
// wants.
bool dict_to_record(PyObject* dict, JsonHl7& out, KeyCodes& codes) {
    bool ok = true, out_of_memory = false;
    out.begin_record();
    SEGMORPH_BEGIN_CRITICAL_SECTION(dict);
    // The store may throw std::bad_alloc as it grows; caught here, so the
    // critical section (a lock on free-threaded builds) is always left.
    try {
        // The entries are written through a run of write positions held in
        // a local (see RecordFiller): through the store's members, each
        // entry read them all again, about half of what an entry cost.
        // Room for an entry per item is taken first, so the loop below only
        // checks the bytes.
        const auto items = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
        JsonHl7::RecordFiller fill(out, JsonHl7::RecordFiller::AsciiEntries{}, items);
        JsonHl7::RecordFiller::Run run = fill.run();
        bool run_ended = false;  // handed back to `fill`, which adds the rest
        // Nearly every entry: a key and a value that are exact strs held
        // compactly as ASCII, whose texts follow their headers in the same
        // block.  The bytes read before a short text are the header's last:
        // its state word, which the API's own macros read too (before 3.12,
        // a pointer that only changes under the GIL we hold).  Pure C++, as
        // the direct walk of the dict wants; the run is only touched here,
        // so that its address never leaves this loop and stays in registers.
        // Room for `bytes` more in the run, and the name noted when `key`
        // (a code or a position) is the name's: before each entry it adds.
        auto make_ready = [&](std::size_t bytes, std::uint64_t key) __attribute__((always_inline)) {
            if (!run.fits_bytes(bytes)) {
                fill.end_run(run);
                fill.make_room(bytes);
                run = fill.run();
            }
            if (JsonHl7::position_of_code(key) == JsonHl7::kNamePos) {
                fill.note_name(static_cast<std::size_t>(run.entry_at - run.entry_base));
            }
        };
        // An entry whose value is an exact ASCII str, added straight into
        // the run; false hands it, and every one after it, to add_by_fill.
        auto add_to_run = [&](PyObject* key, PyObject* value) __attribute__((always_inline)) {
            if (!plain_ascii_str(value)) {
                fill.end_run(run);
                run_ended = true;
                return false;
            }
            const std::string_view v = ascii_text(value);
            // A key of the module's own table, known by its address (see
            // TableKeyAddresses): its object is not read.  Any other key
            // (those of records loaded with json.loads or orjson.loads: new
            // objects per message, or per slot of the library's key cache)
            // is found by its text in the key codes.
            std::uint64_t code = g_table_key_addresses.code(key);
            if (code == JsonHl7::kNoKeyCode) {
                if (!plain_ascii_str(key)) {
                    fill.end_run(run);
                    run_ended = true;
                    return false;
                }
                const std::string_view k = ascii_text(key);
                code = ascii_key_code(k.data(), k.size(), codes);
                if (code == JsonHl7::kNoKeyCode) {
                    const std::uint64_t position = JsonHl7::key_position(k);
                    make_ready(k.size() + v.size(), position);
                    run.add_keyed(position, k, v, true);
                    return true;
                }
            }
            make_ready(v.size(), code);
            run.add_after_header(code, v);
            return true;
        };
        // Any other entry, and every one after it, added by `fill` itself.
        auto add_by_fill = [&](PyObject* key, PyObject* value) {
            run_ended = true;  // (a walk that starts here never touched the run)
            std::string_view k, v;
            if (plain_ascii_str(key) && plain_ascii_str(value)) {
                k = ascii_text(key);
                v = ascii_text(value);
            } else {
                if (!to_str(key, kJsonData, k) || !to_str(value, kJsonData, v)) return false;
                fill.note_not_ascii();  // not known to be: the assembled text is looked at instead
            }
            if (const std::uint64_t code = codes.code(k); code != JsonHl7::kNoKeyCode) {
                fill.add_by_code(code, v, v.size());
            } else {
                fill.add_keyed(JsonHl7::key_position(k), k, v);
            }
            return true;
        };
        ok = walk_dict(dict, add_to_run, add_by_fill);
        if (!run_ended) fill.end_run(run);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    SEGMORPH_END_CRITICAL_SECTION();
    if (out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    return ok;
}

// json_data -> records: any sequence but str, each item a dict of str to str.
bool to_records(PyObject* seq, JsonHl7& out) {
    if (PyUnicode_Check(seq)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of dicts, got str", kJsonData);
        return false;
    }
    if (!PySequence_Check(seq)) {
        raise_arg_type_error(kJsonData, "Sequence", seq);
        return false;
    }
    // The length is only a hint: a failure is forgotten, and a sequence that
    // claims to be huge gets no more room than a modest message needs.
    Py_ssize_t hint = PyObject_Size(seq);
    if (hint < 0) {
        PyErr_Clear();
    } else if (PyList_CheckExact(seq)) {
        // A list of dicts (the usual input) tells the number of entries
        // too: the store is sized once instead of growing as it fills.  The
        // list is held still while it is read; the sizes are only a hint.
        std::size_t records = 0, entries = 0;
        SEGMORPH_BEGIN_CRITICAL_SECTION(seq);
        records = static_cast<std::size_t>(PyList_GET_SIZE(seq));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            PyObject* item = PyList_GET_ITEM(seq, i);
            if (PyDict_Check(item)) entries += static_cast<std::size_t>(PyDict_GET_SIZE(item));
        }
        SEGMORPH_END_CRITICAL_SECTION();
        out.reserve(records, entries);
    } else {
        out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 4096)), 0);
    }
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter) return false;
    KeyCodes& codes = KeyCodes::mine();
    for (;;) {
        PyObject* raw = nullptr;
        int got = PyIter_NextItem(iter.get(), &raw);
        if (got < 0) return false;
        if (got == 0) break;
        Ref item = Ref::steal(raw);
        if (!PyDict_Check(item.get())) {
            raise_arg_type_error(kJsonData, "dict", item.get());
            return false;
        }
        if (!dict_to_record(item.get(), out, codes)) return false;
    }
    // A message that cannot be written whole fails here, where its keys
    // were read, rather than on every read of its text.
    if (std::optional<std::string> error = out.check_output_bound()) {
        raise_error(Hl7Error::invalid_format(*error));
        return false;
    }
    return true;
}

PyObject* json_data_impl(const JsonHl7& native) {
    const std::vector<SegmentRecord> records = native.json_data();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    KeyCache keys;
    Py_ssize_t i = 0;
    for (const SegmentRecord& record : records) {
        PyObject* dict = record_to_dict(record, keys);
        if (dict == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, dict);
    }
    return list.release();
}

PyObject* convert_impl(PyObject* self, bool escape) {
    JsonHl7Object* obj = as_self(self);
    SharedAccess access(obj->access);
    if (!access) return nullptr;
    // The text is put together in a buffer kept by the thread between calls
    // (grown once, not on every call), then copied once into the str.  Pure
    // C++, and nothing in the assembly can run Python code and come back
    // here, so it is never in use twice at once on one thread.  Given back
    // past kKeptOutputBytes, so a thread keeps little after a huge message.
    // (A block from the pool, as the store's are, would have to grow again
    // whenever it was smaller than the text: the text's size is not known
    // until it is written.)
    thread_local TextBuffer t_output;
    constexpr std::size_t kKeptOutputBytes = 1 << 20;
    TextBuffer& output = t_output;  // the thread's, whether detached or not
    output.clear();
    const JsonHl7& core = obj->native;
    run_detached_if_large(core.input_bytes(), [&] { core.convert_json_to_hl7_into(escape, output); });
    // Every byte written is ASCII when every value is: no need to look.
    PyObject* text = core.ascii() ? new_ascii_str(output.view()) : new_str(output.view());
    if (output.capacity() > kKeptOutputBytes) output.release();
    return text;
}

// ---------------------------------------------------------------- members

PyObject* json_hl7_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {kJsonData};
        const Signature sig{"JsonHl7", params, 1, 1};
        PyObject* argv[1];
        if (!match_args(sig, args, kwargs, argv)) return nullptr;
        JsonHl7 records;
        if (!to_records(argv[0], records)) return nullptr;
        return wrap(std::move(records));
    });
}

PyObject* json_hl7_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"path"};
        const Signature sig{"from_file", params, 1, 1};
        PyObject* argv[1];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        std::string_view path;
        if (!to_str(argv[0], "path", path)) return nullptr;
        std::optional<Result<JsonHl7>> made;
        if (!read_file_detached(path, [&](Result<std::string> content) {
                made.emplace(JsonHl7::from_file_content(std::move(content)));
            })) {
            return nullptr;
        }
        if (!*made) {
            raise_error(made->error());
            return nullptr;
        }
        return wrap(std::move(made->value()));
    });
}

PyObject* json_hl7_convert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"escape"};
        const Signature sig{"_convert_json_to_hl7", params, 1, 1};
        PyObject* argv[1];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        bool escape = false;
        if (!to_bool(argv[0], "escape", escape)) return nullptr;
        return convert_impl(self, escape);
    });
}

PyObject* get_json_data(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        JsonHl7Object* obj = as_self(self);
        SharedAccess access(obj->access);
        if (!access) return nullptr;
        return json_data_impl(obj->native);
    });
}

PyObject* get_hl7_string(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return convert_impl(self, true); });
}

PyObject* get_hl7_string_unescaped(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return convert_impl(self, false); });
}

PyMethodDef json_hl7_methods[] = {
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(json_hl7_from_file)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_file($cls, path)\n--\n\n"},
    {"_convert_json_to_hl7", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(json_hl7_convert)),
     METH_FASTCALL | METH_KEYWORDS, "_convert_json_to_hl7($self, escape)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef json_hl7_getset[] = {
    {"hl7_string", get_hl7_string, nullptr, nullptr, nullptr},
    {"hl7_string_unescaped", get_hl7_string_unescaped, nullptr, nullptr, nullptr},
    {"json_data", get_json_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot json_hl7_slots[] = {
    {Py_tp_doc, const_cast<char*>("JsonHl7(json_data)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(json_hl7_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<JsonHl7Object>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_nothing)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_nothing)},
    {Py_tp_methods, json_hl7_methods},
    {Py_tp_getset, json_hl7_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec json_hl7_spec = {
    "builtins.JsonHl7", static_cast<int>(sizeof(JsonHl7Object)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    json_hl7_slots,
};

}  // namespace segmorph::py
