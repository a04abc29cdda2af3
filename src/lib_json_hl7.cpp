// The JsonHl7 class: records (a sequence of dicts, or a JSON file) in, HL7
// text out.  Each entry point only unpacks and converts its arguments, then
// calls the core.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "json_hl7.hpp"
#include "lib.hpp"
#include "lib_support.hpp"

namespace segmorph::py {

namespace {

// The records, and the bytes of their keys and values: the measure of the
// assembly's work, counted once since the records never change.
struct JsonHl7State {
    JsonHl7 core;
    std::size_t input_bytes;
};

using JsonHl7Object = NativeObject<JsonHl7State>;

JsonHl7Object* as_self(PyObject* o) { return JsonHl7Object::of(o); }

PyObject* wrap(JsonHl7&& core, std::size_t input_bytes) {
    return wrap_native(json_hl7_type(), JsonHl7State{std::move(core), input_bytes});
}

std::size_t input_bytes_of(const JsonHl7& core) {
    std::size_t bytes = 0;
    for (const SegmentRecord& record : core.json_data()) {
        for (const auto& [key, value] : record) bytes += key.size() + value.size();
    }
    return bytes;
}

constexpr const char* kJsonData = "json_data";

// Copies one dict into a record, adding the bytes of its keys and values to
// `bytes`.  The walk runs inside the dict's critical section and copies every
// text before leaving it, so another thread changing the dict meanwhile
// cannot hand us a freed key or value.
bool dict_to_record(PyObject* dict, SegmentRecord& out, std::size_t& bytes) {
    std::vector<SegmentRecord::Entry> entries;
    bool ok = true;
    SEGMORPH_BEGIN_CRITICAL_SECTION(dict);
    entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;  // borrowed from the dict
    while (PyDict_Next(dict, &pos, &key, &value)) {
        std::string_view k, v;
        if (!to_str(key, kJsonData, k) || !to_str(value, kJsonData, v)) {
            ok = false;
            break;
        }
        entries.emplace_back(std::string(k), std::string(v));
        bytes += k.size() + v.size();
    }
    SEGMORPH_END_CRITICAL_SECTION();
    if (!ok) return false;
    out = SegmentRecord(std::move(entries));
    return true;
}

// json_data -> records: any sequence but str, each item a dict of str to str.
// `bytes` receives the bytes of all keys and values.
bool to_records(PyObject* seq, std::vector<SegmentRecord>& out, std::size_t& bytes) {
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
    } else {
        out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 4096)));
    }
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter) return false;
    for (;;) {
        PyObject* raw = nullptr;
        int got = PyIter_NextItem(iter.get(), &raw);
        if (got < 0) return false;
        if (got == 0) return true;
        Ref item = Ref::steal(raw);
        if (!PyDict_Check(item.get())) {
            raise_arg_type_error(kJsonData, "dict", item.get());
            return false;
        }
        SegmentRecord record;
        if (!dict_to_record(item.get(), record, bytes)) return false;
        out.push_back(std::move(record));
    }
}

PyObject* json_data_impl(const JsonHl7& native) {
    const std::vector<SegmentRecord>& records = native.json_data();
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
    const JsonHl7& core = obj->native.core;
    const std::string text =
        run_detached_if_large(obj->native.input_bytes, [&] { return core.convert_json_to_hl7(escape); });
    return new_str(text);
}

// ---------------------------------------------------------------- members

PyObject* json_hl7_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {kJsonData};
        const Signature sig{"JsonHl7", params, 1, 1};
        PyObject* argv[1];
        if (!match_args(sig, args, kwargs, argv)) return nullptr;
        std::vector<SegmentRecord> records;
        std::size_t bytes = 0;
        if (!to_records(argv[0], records, bytes)) return nullptr;
        return wrap(JsonHl7(std::move(records)), bytes);
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
        std::size_t bytes = 0;
        if (!read_file_detached(path, [&](Result<std::string> content) {
                made.emplace(JsonHl7::from_file_content(std::move(content)));
                if (*made) bytes = input_bytes_of(made->value());
            })) {
            return nullptr;
        }
        if (!*made) {
            raise_error(made->error());
            return nullptr;
        }
        return wrap(std::move(made->value()), bytes);
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
        return json_data_impl(obj->native.core);
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
    "builtins.JsonHl7",
    static_cast<int>(sizeof(JsonHl7Object)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    json_hl7_slots,
};

}  // namespace segmorph::py
