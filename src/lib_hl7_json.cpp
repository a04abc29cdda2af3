// The Hl7Json class: HL7 text in, lists of dicts out.  Each entry point only
// unpacks and converts its arguments, then calls the core.
#include <new>
#include <optional>
#include <string>

#include "hl7_json.hpp"
#include "lib.hpp"
#include "lib_record_dicts.hpp"
#include "lib_support.hpp"
#include "utf8.hpp"

namespace segmorph::py {

namespace {

using Hl7JsonObject = NativeObject<Hl7Json>;

Hl7JsonObject* as_self(PyObject* o) { return Hl7JsonObject::of(o); }

PyObject* wrap(Hl7Json&& native) { return wrap_native(hl7_json_type(), std::move(native)); }

// The three options shared by the constructor and from_file; None or absent
// means the default.
struct Options {
    bool validation = false;
    bool strict = false;
    bool escaping = true;

    bool convert(PyObject* validation_arg, PyObject* strict_arg, PyObject* escaping_arg) {
        std::optional<bool> v, s, e;
        if (!to_opt_bool(validation_arg, "validation_enabled", v)) return false;
        if (!to_opt_bool(strict_arg, "strict_validation", s)) return false;
        if (!to_opt_bool(escaping_arg, "escaping_enabled", e)) return false;
        validation = v.value_or(false);
        strict = s.value_or(false);
        escaping = e.value_or(true);
        return true;
    }
};

// Scratch for flattening, one per thread and kept between calls: a fresh one
// per call would grow its buffers again from nothing every time, which is a
// good part of the cost of converting a short message.  Pure C++ (no Python
// references), so it is safe to keep per thread; free-threaded builds need
// nothing more.  A call that finds it busy -- a finalizer run by the garbage
// collector in the middle of a conversion, converting in turn -- uses its own.
// Bounded: past kKeptScratchBytes it is given back after the call.
struct ThreadScratch {
    FlatRecord record;
    bool busy = false;
};
thread_local ThreadScratch t_scratch;
constexpr std::size_t kKeptScratchBytes = 1 << 20;

class ScratchLease {
public:
    ScratchLease() : shared_(!t_scratch.busy) {
        if (shared_) t_scratch.busy = true;
    }
    ~ScratchLease() {
        if (!shared_) return;
        if (t_scratch.record.capacity_bytes() > kKeptScratchBytes) t_scratch.record.release_memory();
        t_scratch.busy = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    FlatRecord& get() { return shared_ ? t_scratch.record : own_; }

private:
    bool shared_;
    FlatRecord own_;
};

// Converts one record list straight from the stored text to Python objects,
// without materialising the records.
PyObject* convert_impl(const Hl7Json& native) {
    // Nothing to detach for when validation is off.
    const std::size_t work = native.validation_enabled ? native.hl7_string().size() : 0;
    if (Status s =
            run_detached_if_large(work, [&] { return native.validate_for_conversion(); }, kDetachMinValidationBytes)) {
        raise_error(*s);
        return nullptr;
    }
    const std::string& text = native.hl7_string();
    Py_ssize_t lines = 1;
    for (char c : text) lines += (c == '\n');
    Ref list = Ref::steal(PyList_New(lines));
    if (!list) return nullptr;

    const Hl7EscapeHandler* handler = native.parse_handler();
    // Values are views of the text or decodings of it, and decoding ASCII
    // escapes only ever yields ASCII: so one check covers every value.
    const bool ascii = is_ascii(text);
    KeyCache keys;
    ScratchLease lease;
    FlatRecord& scratch = lease.get();
    Py_ssize_t i = 0;
    bool failed = false;
    native.for_each_line([&](std::string_view line) {
        if (failed) return;
        scratch.parse(line, handler, /*keys=*/false);  // keys are found by number
        PyObject* dict = flat_to_dict(scratch, keys, ascii);
        if (dict == nullptr) {
            failed = true;
            return;
        }
        PyList_SET_ITEM(list.get(), i++, dict);
    });
    return failed ? nullptr : list.release();
}

PyObject* split_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name,
                     bool escaping) {
    static const char* const params[] = {"seg"};
    const Signature sig{name, params, 1, 1};
    PyObject* argv[1];
    if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
    Hl7JsonObject* obj = as_self(self);
    SharedAccess access(obj->access);
    if (!access) return nullptr;
    std::string_view seg;
    if (!to_str(argv[0], "seg", seg)) return nullptr;
    // The thread's scratch: a fresh one would grow its buffers and its
    // remembered key orders again on every call.
    ScratchLease lease;
    FlatRecord& scratch = lease.get();
    scratch.parse(seg, escaping ? &obj->native.escape_handler() : nullptr, /*keys=*/false);
    KeyCache keys;
    return flat_to_dict(scratch, keys);
}

// ---------------------------------------------------------------- members

PyObject* hl7_json_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"hl7_string", "validation_enabled", "strict_validation",
                                             "escaping_enabled"};
        const Signature sig{"Hl7Json", params, 4, 1};
        PyObject* argv[4];
        if (!match_args(sig, args, kwargs, argv)) return nullptr;
        // A str that is not ASCII holds no UTF-8 bytes of its own.  Asking
        // for a view of them (to_str) would make the interpreter keep a
        // UTF-8 form with the str for its life, beside the object's own
        // copy: two copies of a 50 MB message while its records are built.
        // It is encoded into a temporary instead, gone once copied.
        PyObject* arg = argv[0];
        Ref utf8;
        std::string_view text;
        if (PyUnicode_Check(arg) && !PyUnicode_IS_COMPACT_ASCII(arg)) {
            utf8 = Ref::steal(PyUnicode_AsUTF8String(arg));  // UnicodeEncodeError for lone surrogates
            if (!utf8) return nullptr;
            text =
                std::string_view(PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
        } else if (!to_str(arg, "hl7_string", text)) {
            return nullptr;
        }
        Options opts;
        if (!opts.convert(argv[1], argv[2], argv[3])) return nullptr;
        return wrap(Hl7Json(text, opts.validation, opts.strict, opts.escaping));
    });
}

PyObject* hl7_json_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"path", "validation_enabled", "strict_validation", "escaping_enabled"};
        const Signature sig{"from_file", params, 4, 1};
        PyObject* argv[4];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        std::string_view path;
        if (!to_str(argv[0], "path", path)) return nullptr;
        Options opts;
        if (!opts.convert(argv[1], argv[2], argv[3])) return nullptr;
        std::optional<Result<Hl7Json>> made;
        if (!read_file_detached(path, [&](Result<std::string> content) {
                made.emplace(
                    Hl7Json::from_file_content(std::move(content), opts.validation, opts.strict, opts.escaping));
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

PyObject* hl7_json_split(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr,
                              [&] { return split_impl(self, args, nargs, kwnames, "_split_hl7_seg_to_json", false); });
}

PyObject* hl7_json_split_escaping(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(
        nullptr, [&] { return split_impl(self, args, nargs, kwnames, "_split_hl7_seg_to_json_with_escaping", true); });
}

PyObject* hl7_json_convert(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Hl7JsonObject* obj = as_self(self);
        SharedAccess access(obj->access);
        if (!access) return nullptr;
        return convert_impl(obj->native);
    });
}

PyObject* hl7_json_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"strict_mode", "validate_required_fields"};
        const Signature sig{"validate", params, 2, 2};
        PyObject* argv[2];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        Hl7JsonObject* obj = as_self(self);
        SharedAccess access(obj->access);
        if (!access) return nullptr;
        std::optional<bool> strict, required;
        if (!to_opt_bool(argv[0], "strict_mode", strict)) return nullptr;
        if (!to_opt_bool(argv[1], "validate_required_fields", required)) return nullptr;
        const Hl7Json& native = obj->native;
        if (Status s = run_detached_if_large(
                native.hl7_string().size(), [&] { return native.validate(strict, required); },
                kDetachMinValidationBytes)) {
            raise_error(*s);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* get_hl7_json(PyObject* self, void*) { return hl7_json_convert(self, nullptr); }

PyObject* get_hl7_string(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Hl7JsonObject* obj = as_self(self);
        SharedAccess access(obj->access);
        if (!access) return nullptr;
        return new_str(obj->native.hl7_string());
    });
}

// The three option properties differ only in which flag they touch.
template <bool Hl7Json::* Flag>
PyObject* get_flag(PyObject* self, void*) {
    Hl7JsonObject* obj = as_self(self);
    SharedAccess access(obj->access);
    if (!access) return nullptr;
    return new_bool(obj->native.*Flag);
}

template <bool Hl7Json::* Flag>
int set_flag(PyObject* self, PyObject* value, void* closure) {
    const char* name = static_cast<const char*>(closure);
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    bool v = false;
    if (!to_bool(value, name, v)) return -1;
    Hl7JsonObject* obj = as_self(self);
    ExclusiveAccess access(obj->access);
    if (!access) return -1;
    obj->native.*Flag = v;
    return 0;
}

PyMethodDef hl7_json_methods[] = {
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hl7_json_from_file)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path, validation_enabled=None, strict_validation=None, escaping_enabled=None)\n--\n\n"},
    {"_split_hl7_seg_to_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hl7_json_split)),
     METH_FASTCALL | METH_KEYWORDS, "_split_hl7_seg_to_json($self, seg)\n--\n\n"},
    {"_split_hl7_seg_to_json_with_escaping",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hl7_json_split_escaping)),
     METH_FASTCALL | METH_KEYWORDS, "_split_hl7_seg_to_json_with_escaping($self, seg)\n--\n\n"},
    {"_convert_hl7_to_json", hl7_json_convert, METH_NOARGS, "_convert_hl7_to_json($self)\n--\n\n"},
    {"validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hl7_json_validate)),
     METH_FASTCALL | METH_KEYWORDS, "validate($self, strict_mode, validate_required_fields)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char kValidationEnabled[] = "validation_enabled";
char kStrictValidation[] = "strict_validation";
char kEscapingEnabled[] = "escaping_enabled";

PyGetSetDef hl7_json_getset[] = {
    {"hl7_json", get_hl7_json, nullptr, nullptr, nullptr},
    {"hl7_string", get_hl7_string, nullptr, nullptr, nullptr},
    {kValidationEnabled, get_flag<&Hl7Json::validation_enabled>, set_flag<&Hl7Json::validation_enabled>, nullptr,
     kValidationEnabled},
    {kStrictValidation, get_flag<&Hl7Json::strict_validation>, set_flag<&Hl7Json::strict_validation>, nullptr,
     kStrictValidation},
    {kEscapingEnabled, get_flag<&Hl7Json::escaping_enabled>, set_flag<&Hl7Json::escaping_enabled>, nullptr,
     kEscapingEnabled},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hl7_json_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Hl7Json(hl7_string, validation_enabled=None, strict_validation=None, escaping_enabled=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(hl7_json_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Hl7JsonObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_nothing)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_nothing)},
    {Py_tp_methods, hl7_json_methods},
    {Py_tp_getset, hl7_json_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec hl7_json_spec = {
    "builtins.Hl7Json", static_cast<int>(sizeof(Hl7JsonObject)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    hl7_json_slots,
};

}  // namespace segmorph::py
