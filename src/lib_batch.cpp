// The segmorph_batch module: many messages at a time, for data frame
// libraries and Spark.  Framing, validation and the records are the core's
// (the command's rules); the records leave as Arrow columns through the C
// data interface (PyCapsules), never as Python objects, and come back the
// same way.  Each entry point only unpacks its arguments and calls the core.
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "arrow_batch.hpp"
#include "charset.hpp"
#include "framing.hpp"
#include "gzip.hpp"
#include "lib_batch.hpp"
#include "message_pipeline.hpp"
#include "rules.hpp"

namespace segmorph::py {

namespace {

// ---------------------------------------------------------------- arguments

// One of a few names, each standing for a value: ValueError naming the
// choices for any other text ("unknown rule set 'x': expected "standard"
// or "seed"").
template <class T>
bool to_choice(PyObject* o, const char* param, const char* what,
               std::initializer_list<std::pair<std::string_view, T>> choices, T& out) {
    std::string_view name;
    if (!to_str(o, param, name)) return false;
    for (const auto& [text, value] : choices) {
        if (name == text) {
            out = value;
            return true;
        }
    }
    std::string expected;
    std::size_t i = 0;
    for (const auto& choice : choices) {
        if (i > 0) expected += i + 1 == choices.size() ? " or " : ", ";
        expected.append("\"").append(choice.first).append("\"");
        ++i;
    }
    PyErr_Format(PyExc_ValueError, "unknown %s %R: expected %s", what, o, expected.c_str());
    return false;
}

// "standard" or "seed" (None or absent: `fallback`).
bool to_rule_set(PyObject* o, std::optional<RuleSet>& out, std::optional<RuleSet> fallback) {
    out = fallback;
    if (o == nullptr || o == Py_None) return true;
    RuleSet set{};
    if (!to_choice(o, "rules", "rule set", {{"standard", RuleSet::Standard}, {"seed", RuleSet::Seed}}, set))
        return false;
    out = set;
    return true;
}

// An int from 0 up (absent: 0); a byte position or a count.
bool to_count(PyObject* o, const char* param, std::uint64_t& out) {
    out = 0;
    if (o == nullptr) return true;
    if (!PyLong_Check(o)) {
        raise_arg_type_error(param, "int", o);
        return false;
    }
    const Py_ssize_t v = PyLong_AsSsize_t(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", param);
        return false;
    }
    out = static_cast<std::uint64_t>(v);
    return true;
}

bool to_bool_or(PyObject* o, const char* param, bool fallback, bool& out) {
    out = fallback;
    return o == nullptr || to_bool(o, param, out);
}

// "auto", "utf-8", "latin-1" or "cp1252", as the command's --encoding.
bool to_encoding(PyObject* o, Encoding& out) {
    out = Encoding::Auto;
    if (o == nullptr || o == Py_None) return true;
    std::string_view name;
    if (!to_str(o, "encoding", name)) return false;
    const std::optional<Encoding> e = encoding_named(name);
    if (!e) {
        PyErr_Format(PyExc_ValueError, "unknown encoding %R: expected \"auto\", \"utf-8\", \"latin-1\" or \"cp1252\"",
                     o);
        return false;
    }
    out = *e;
    return true;
}

bool to_layout(PyObject* o, Layout& out) {
    out = Layout::Messages;
    return o == nullptr ||
           to_choice(o, "layout", "layout", {{"messages", Layout::Messages}, {"fields", Layout::Fields}}, out);
}

// "minimal", "full" or "none", as to-hl7's --escape; the older keyword
// `escaping` (True: full, False: none) when it alone is given.
bool to_escape_mode(PyObject* escape, PyObject* escaping, EscapeMode& out) {
    out = EscapeMode::Minimal;
    if (escape != nullptr && escaping != nullptr) {
        PyErr_SetString(PyExc_TypeError, "give escape or escaping, not both");
        return false;
    }
    if (escaping != nullptr) {
        bool on = true;
        if (!to_bool(escaping, "escaping", on)) return false;
        out = on ? EscapeMode::Full : EscapeMode::None;
        return true;
    }
    return escape == nullptr ||
           to_choice(escape, "escape", "escape",
                     {{"minimal", EscapeMode::Minimal}, {"full", EscapeMode::Full}, {"none", EscapeMode::None}}, out);
}

// A column name: any non-empty text without NUL.
bool to_column_name(PyObject* o, const char* param, std::string_view& out) {
    if (o == nullptr || o == Py_None) return true;
    if (!to_str(o, param, out)) return false;
    if (out.empty() || out.find('\0') != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-empty name without NUL", param);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- functions

PyObject* batch_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"data"};
        const Signature sig{"frame", params, 1, 1};
        PyObject* argv[1];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        InputBytes data;
        if (!data.convert(argv[0], "data")) return nullptr;
        // Framing reads about eight times faster than assembly writes (the
        // measure of kDetachMinBytes): so it detaches from eight times as much.
        const Framing framing =
            run_detached_if_large(data.view().size() / 8, [&] { return frame_messages(data.view()); });
        Ref kinds[2] = {Ref::steal(PyUnicode_InternFromString("message")),
                        Ref::steal(PyUnicode_InternFromString("envelope"))};
        if (!kinds[0] || !kinds[1]) return nullptr;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(framing.parts.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < framing.parts.size(); ++i) {
            const FramePart& part = framing.parts[i];
            const auto start = static_cast<long long>(part.text.data() - data.view().data());
            const auto end = start + static_cast<long long>(part.text.size());
            PyObject* kind = kinds[part.kind == FramePart::Kind::Message ? 0 : 1].get();
            PyObject* item = Py_BuildValue("(OLL)", kind, start, end);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* batch_next_message_start(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"data", "pos"};
        const Signature sig{"next_message_start", params, 2, 2};
        PyObject* argv[2];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        InputBytes data;
        if (!data.convert(argv[0], "data")) return nullptr;
        std::uint64_t pos = 0;
        if (!to_count(argv[1], "pos", pos)) return nullptr;
        return PyLong_FromSize_t(next_message_start(data.view(), static_cast<std::size_t>(pos)));
    });
}

PyObject* batch_validate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"text", "rules", "strict"};
        const Signature sig{"validate", params, 3, 1};
        PyObject* argv[3];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        InputBytes text;
        if (!text.convert(argv[0], "text")) return nullptr;
        std::optional<RuleSet> set;
        Rules rules;
        if (!to_rule_set(argv[1], set, RuleSet::Standard) || !to_bool_or(argv[2], "strict", false, rules.strict)) {
            return nullptr;
        }
        rules.set = *set;
        // As the command's validate: the rules read the text as UTF-8.
        const Status error = run_detached_if_large(
            text.view().size(),
            [&]() -> Status { return read_message(text.view(), Encoding::Auto, &rules, Purpose::Validate).failure(); },
            kDetachMinValidationBytes);
        if (error) {
            raise_error(*error);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// Owns a C data interface struct that we moved out of a capsule.
template <class T>
struct Owned {
    T value{};
    Owned() = default;
    ~Owned() {
        if (value.release != nullptr) value.release(&value);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

// Moves the struct out of a capsule named `name` into `out`.
template <class T>
bool take_capsule(PyObject* capsule, const char* name, Owned<T>& out) {
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (p == nullptr) return false;
    out.value = *p;
    p->release = nullptr;
    return true;
}

// The largest text a gzip input may inflate to: a batch's text columns
// reach no further.
constexpr std::size_t kMaxInflatedBytes = std::size_t{INT32_MAX};

PyObject* batch_to_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {
            "data",     "source", "base_offset", "base_index", "escaping", "validate",   "strict",
            "encoding", "layout", "start",       "stop",       "envelope", "ends_input", "corrupt_record_column"};
        constexpr Py_ssize_t n = sizeof params / sizeof *params;
        const Signature sig{"to_arrow", params, n, 1};
        PyObject* argv[n];
        if (!check_keyword_only("to_arrow", nargs, 1) || !match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        InputBytes data;
        if (!data.convert(argv[0], "data")) return nullptr;
        BatchOptions options;
        if (argv[1] != nullptr && !to_str(argv[1], "source", options.source)) return nullptr;
        if (!to_count(argv[2], "base_offset", options.base_offset) ||
            !to_count(argv[3], "base_index", options.base_index)) {
            return nullptr;
        }
        std::optional<RuleSet> set;
        bool strict = false;
        if (!to_bool_or(argv[4], "escaping", true, options.escaping) || !to_rule_set(argv[5], set, std::nullopt) ||
            !to_bool_or(argv[6], "strict", false, strict) || !to_encoding(argv[7], options.encoding) ||
            !to_layout(argv[8], options.layout)) {
            return nullptr;
        }
        if (set) options.rules = Rules{*set, strict};
        // stop=None reads to the end, as leaving it out does.
        PyObject* const stop_arg = argv[10] == Py_None ? nullptr : argv[10];
        std::uint64_t start = 0, stop = 0;
        if (!to_count(argv[9], "start", start) || !to_count(stop_arg, "stop", stop)) return nullptr;
        options.start = static_cast<std::size_t>(start);
        if (stop_arg != nullptr) options.stop = static_cast<std::size_t>(stop);
        InputBytes envelope;
        if (argv[11] != nullptr && argv[11] != Py_None) {
            if (!envelope.convert(argv[11], "envelope")) return nullptr;
            options.envelope = envelope.view();
        }
        if (!to_bool_or(argv[12], "ends_input", true, options.ends_input) ||
            !to_column_name(argv[13], "corrupt_record_column", options.corrupt_column)) {
            return nullptr;
        }
        std::string failure;
        std::shared_ptr<const MessageBatch> batch = run_detached_if_large(data.view().size(), [&] {
            if (!is_gzip(data.view())) return MessageBatch::build(data.view(), options, failure);
            // The text a gzip file holds; offsets are then the text's.
            if (options.start != 0 || stop_arg != nullptr) {
                failure = "gzip data cannot be read in ranges (start, stop): give the whole file";
                return std::shared_ptr<const MessageBatch>();
            }
            std::string text;
            const std::string why = gunzip(data.view(), kMaxInflatedBytes, text);
            std::string shown;
            if (!why.empty()) {
                // What inflated is read; the rest is a failed row of its own.
                shown = why;
                options.input_error = shown;
            }
            return MessageBatch::build(text, options, failure);
        });
        if (!batch) {
            PyErr_SetString(PyExc_ValueError, failure.c_str());
            return nullptr;
        }
        return wrap_native(batch_type(), std::move(batch));
    });
}

PyObject* batch_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"column", "escaping", "validate",
                                             "strict", "encoding", "corrupt_record_column"};
        constexpr Py_ssize_t n = sizeof params / sizeof *params;
        const Signature sig{"parse", params, n, 1};
        PyObject* argv[n];
        if (!check_keyword_only("parse", nargs, 1) || !match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        BatchOptions options;
        std::optional<RuleSet> set;
        bool strict = false;
        if (!to_bool_or(argv[1], "escaping", true, options.escaping) || !to_rule_set(argv[2], set, std::nullopt) ||
            !to_bool_or(argv[3], "strict", false, strict) || !to_encoding(argv[4], options.encoding) ||
            !to_column_name(argv[5], "corrupt_record_column", options.corrupt_column)) {
            return nullptr;
        }
        if (set) options.rules = Rules{*set, strict};
        PyObject* column = argv[0];
        if (!PyObject_HasAttrString(column, "__arrow_c_array__")) {
            raise_arg_type_error("column", "an Arrow array (an object with __arrow_c_array__)", column);
            return nullptr;
        }
        Ref exported = Ref::steal(PyObject_CallMethod(column, "__arrow_c_array__", nullptr));
        if (!exported) return nullptr;
        if (!PyTuple_Check(exported.get()) || PyTuple_GET_SIZE(exported.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) tuple");
            return nullptr;
        }
        Owned<ArrowSchema> schema;
        Owned<ArrowArray> array;
        if (!take_capsule(PyTuple_GET_ITEM(exported.get(), 0), "arrow_schema", schema) ||
            !take_capsule(PyTuple_GET_ITEM(exported.get(), 1), "arrow_array", array)) {
            return nullptr;
        }
        std::string failure;
        std::shared_ptr<const MessageBatch> batch =
            run_detached_if_large(static_cast<std::size_t>(array.value.length) * 256,
                                  [&] { return parse_texts(schema.value, array.value, options, failure); });
        if (!batch) {
            PyErr_SetString(PyExc_ValueError, failure.c_str());
            return nullptr;
        }
        return wrap_native(batch_type(), std::move(batch));
    });
}

// Reads every batch of a stream; an empty text or why it failed.
std::string read_stream(ArrowArrayStream& stream, EscapeMode escape, TextBuffer& out) {
    Owned<ArrowSchema> schema;
    if (stream.get_schema(&stream, &schema.value) != 0) {
        const char* why = stream.get_last_error(&stream);
        return std::string("the Arrow stream failed: ") + (why != nullptr ? why : "no schema");
    }
    for (;;) {
        Owned<ArrowArray> array;
        if (stream.get_next(&stream, &array.value) != 0) {
            const char* why = stream.get_last_error(&stream);
            return std::string("the Arrow stream failed: ") + (why != nullptr ? why : "no batch");
        }
        if (array.value.release == nullptr) return {};
        std::string failure = messages_from_arrow(schema.value, array.value, escape, out);
        if (!failure.empty()) return failure;
    }
}

PyObject* batch_from_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"table_or_stream", "escape", "escaping"};
        const Signature sig{"from_arrow", params, 3, 1};
        PyObject* argv[3];
        if (!check_keyword_only("from_arrow", nargs, 1) || !match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        EscapeMode escape = EscapeMode::Minimal;
        if (!to_escape_mode(argv[1], argv[2], escape)) return nullptr;
        PyObject* source = argv[0];
        TextBuffer out;
        std::string failure;
        Ref exported;
        if (PyObject_HasAttrString(source, "__arrow_c_stream__")) {
            exported = Ref::steal(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
            Owned<ArrowArrayStream> stream;
            if (!exported || !take_capsule(exported.get(), "arrow_array_stream", stream)) return nullptr;
            // A stream may be backed by Python (it then takes the interpreter
            // itself while it runs): nothing here touches Python objects.
            Detached detached;
            failure = read_stream(stream.value, escape, out);
        } else if (PyObject_HasAttrString(source, "__arrow_c_array__")) {
            exported = Ref::steal(PyObject_CallMethod(source, "__arrow_c_array__", nullptr));
            if (!exported) return nullptr;
            if (!PyTuple_Check(exported.get()) || PyTuple_GET_SIZE(exported.get()) != 2) {
                PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) tuple");
                return nullptr;
            }
            Owned<ArrowSchema> schema;
            Owned<ArrowArray> array;
            if (!take_capsule(PyTuple_GET_ITEM(exported.get(), 0), "arrow_schema", schema) ||
                !take_capsule(PyTuple_GET_ITEM(exported.get(), 1), "arrow_array", array)) {
                return nullptr;
            }
            failure = run_detached_if_large(static_cast<std::size_t>(array.value.length) * 64, [&] {
                return messages_from_arrow(schema.value, array.value, escape, out);
            });
        } else {
            raise_arg_type_error("table_or_stream", "an object with __arrow_c_stream__ or __arrow_c_array__", source);
            return nullptr;
        }
        if (!failure.empty()) {
            PyErr_SetString(PyExc_ValueError, failure.c_str());
            return nullptr;
        }
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

#define SEGMORPH_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef batch_functions[] = {
    {"frame", SEGMORPH_FASTCALL(batch_frame), METH_FASTCALL | METH_KEYWORDS,
     "frame(data)\n--\n\n"
     "The pieces of data under the command's framing rules: a list of (kind, start, end), kind \"message\" or "
     "\"envelope\", start and end byte positions."},
    {"next_message_start", SEGMORPH_FASTCALL(batch_next_message_start), METH_FASTCALL | METH_KEYWORDS,
     "next_message_start(data, pos)\n--\n\n"
     "Where the next message or envelope line (in an MLLP capture, block) begins at or after pos, or len(data). "
     "data is the whole input; the ranges between such places frame exactly as the whole does."},
    {"validate", SEGMORPH_FASTCALL(batch_validate), METH_FASTCALL | METH_KEYWORDS,
     "validate(text, rules='standard', strict=False)\n--\n\n"
     "Check one message with one of the command's rule sets (\"standard\" or \"seed\"); raises Exception with "
     "the rule's text when it fails."},
    {"to_arrow", SEGMORPH_FASTCALL(batch_to_arrow), METH_FASTCALL | METH_KEYWORDS,
     "to_arrow(data, *, source='', base_offset=0, base_index=0, escaping=True, validate=None, strict=False, "
     "encoding='auto', layout='messages', start=0, stop=None, envelope=None, ends_input=True, "
     "corrupt_record_column=None)\n--\n\n"
     "The messages framed in data (bytes-like or str; gzip data is inflated first, offsets are then the "
     "text's) as one Arrow record batch (a MessageBatch).\n\n"
     "layout='messages': one row per message (source, offset, index, message_type, control_id, "
     "file_control_id, batch_control_id, segments, error); layout='fields': one row per value (source, offset, "
     "segment, segment_name, field, repetition, component, value, error) in HL7's numbering.  A failed message "
     "is a row with error set (validate= a rule set, bytes not in the encoding, an MLLP capture cut in its last "
     "block when ends_input); corrupt_record_column names a last column with its text.  start and stop read "
     "only the messages that begin in that byte range of data (the whole file), envelope= the open FHS/BHS "
     "lines a previous batch's envelope_after gave."},
    {"parse", SEGMORPH_FASTCALL(batch_parse), METH_FASTCALL | METH_KEYWORDS,
     "parse(column, *, escaping=True, validate=None, strict=False, encoding='auto', corrupt_record_column=None)"
     "\n--\n\n"
     "The rows of a column of message texts (an Arrow array of strings or binary values, one message each), "
     "one row per value in the message layout: a null value gives a row of nulls, a value that is not one "
     "message a row with an error."},
    {"from_arrow", SEGMORPH_FASTCALL(batch_from_arrow), METH_FASTCALL | METH_KEYWORDS,
     "from_arrow(table_or_stream, *, escape='minimal', escaping=None)\n--\n\n"
     "The messages of a segments column (list<map<utf8, utf8>>) back as HL7 text, one line per record, each "
     "ended by \"\\n\"; rows whose segments are null are left out.  escape is the command's to-hl7 --escape: "
     "\"minimal\" (delimiters, the escape character and line breaks), \"full\" or \"none\"; the older "
     "escaping=True/False means full/none."},
    {"is_hl7", SEGMORPH_FASTCALL(batch_is_hl7), METH_FASTCALL | METH_KEYWORDS,
     "is_hl7(head, complete=True)\n--\n\n"
     "Whether a file whose first bytes are head is one the command reads from a folder: past a byte-order mark "
     "and white space an MSH, FHS or BHS segment or an MLLP block, of its text when it is gzip.  complete=False: "
     "head is not the whole file, and what it cannot yet tell counts as HL7."},
    {"is_hidden", SEGMORPH_FASTCALL(batch_is_hidden), METH_FASTCALL | METH_KEYWORDS,
     "is_hidden(relative_path)\n--\n\n"
     "Whether a path below a folder (\"/\"-separated) is one the command leaves out as hidden: one of its names "
     "starts with \".\"."},
    {"list_files", SEGMORPH_FASTCALL(batch_list_files), METH_FASTCALL | METH_KEYWORDS,
     "list_files(path, *, hidden=False)\n--\n\n"
     "The files the command reads for a local path: the file itself, or the files below the folder whose "
     "content is HL7 (gzip or not), whatever their names, walked in byte order of their names; hidden names "
     "only with hidden=True; links to folders, FIFOs, sockets and devices left out."},
    {"parse_size", SEGMORPH_FASTCALL(batch_parse_size), METH_FASTCALL | METH_KEYWORDS,
     "parse_size(text)\n--\n\n"
     "A size in bytes as Spark and the command write it: 4096, 64k, 64KB, 128m, 1g (powers of 1024)."},
    {nullptr, nullptr, 0, nullptr},
};

int batch_exec(PyObject* module) {
    return guarded(-1, [&]() -> int {
        PyTypeObject* type = batch_type();
        if (type == nullptr) return -1;
        if (PyModule_AddObjectRef(module, "MessageBatch", reinterpret_cast<PyObject*>(type)) < 0) return -1;
        Ref all = Ref::steal(Py_BuildValue("[sssssssssss]", "MessageBatch", "frame", "next_message_start", "validate",
                                           "to_arrow", "parse", "from_arrow", "is_hl7", "is_hidden", "list_files",
                                           "parse_size"));
        if (!all) return -1;
        return PyModule_AddObjectRef(module, "__all__", all.get());
    });
}

PyModuleDef_Slot batch_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(batch_exec)},
#ifdef SEGMORPH_HAVE_MOD_GIL
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef SEGMORPH_HAVE_MOD_MULTIPLE_INTERPRETERS
    // The class object is process-wide, as segmorph's are.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef batch_module = {
    PyModuleDef_HEAD_INIT,
    "segmorph_batch",
    "Many HL7 v2 messages at a time, as Arrow data: the command's framing, rule sets, character sets and file "
    "choice, and the records Hl7Json gives, handed over as Arrow record batches through the Arrow PyCapsule "
    "interface.",
    0,
    batch_functions,
    batch_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace segmorph::py

PyMODINIT_FUNC PyInit_segmorph_batch(void) { return PyModuleDef_Init(&segmorph::py::batch_module); }
