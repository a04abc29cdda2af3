// segmorph_batch's file functions: the command's rules for choosing files
// (by content, hidden names) and reading sizes, offered to the Python
// readers so that they never keep copies of those rules of their own.
#include <string>

#include <sys/stat.h>

#include "byte_size.hpp"
#include "file_choice.hpp"
#include "lib_batch.hpp"

namespace segmorph::py {

PyObject* batch_is_hl7(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"head", "complete"};
        const Signature sig{"is_hl7", params, 2, 1};
        PyObject* argv[2];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        InputBytes head;
        if (!head.convert(argv[0], "head")) return nullptr;
        bool complete = true;
        if (argv[1] != nullptr && !to_bool(argv[1], "complete", complete)) return nullptr;
        // What is not yet known from a head that is not the whole file
        // counts as HL7: reading it reports what it is.
        const HeadVerdict v =
            judge_head(head.view(), Selection::Content::Hl7, complete || head.view().size() >= kSniffBytes);
        return new_bool(v != HeadVerdict::NotWanted);
    });
}

PyObject* batch_is_hidden(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"relative_path"};
        const Signature sig{"is_hidden", params, 1, 1};
        PyObject* argv[1];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        std::string_view path;
        if (!to_str(argv[0], "relative_path", path)) return nullptr;
        return new_bool(is_hidden_path(path));
    });
}

PyObject* batch_list_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"path", "hidden"};
        const Signature sig{"list_files", params, 2, 1};
        PyObject* argv[2];
        if (!check_keyword_only("list_files", nargs, 1) || !match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        std::string_view path;
        if (!to_str(argv[0], "path", path)) return nullptr;
        if (path.find('\0') != std::string_view::npos) {
            PyErr_SetString(PyExc_ValueError, "path holds a NUL byte");
            return nullptr;
        }
        Selection selection;
        if (argv[1] != nullptr && !to_bool(argv[1], "hidden", selection.hidden)) return nullptr;
        Inputs inputs;
        const std::string root(path);
        struct stat st;
        if (::stat(root.c_str(), &st) != 0) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, root.c_str());
            return nullptr;
        }
        if (!S_ISDIR(st.st_mode)) {
            inputs.paths.push_back(root);  // a file named is read whatever it holds, as the command reads it
        } else {
            Detached detached;  // a walk of a large tree takes a while
            walk_directory(root, selection, inputs);
        }
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const std::string& found : inputs.paths) {
            // Names are bytes to the file system: those that are not UTF-8
            // come back as os.fsdecode gives them.
            Ref name =
                Ref::steal(PyUnicode_DecodeFSDefaultAndSize(found.data(), static_cast<Py_ssize_t>(found.size())));
            if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* batch_parse_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const params[] = {"text"};
        const Signature sig{"parse_size", params, 1, 1};
        PyObject* argv[1];
        if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
        if (PyLong_Check(argv[0])) {
            const long long n = PyLong_AsLongLong(argv[0]);
            if (n == -1 && PyErr_Occurred()) return nullptr;
            if (n <= 0) {
                PyErr_SetString(PyExc_ValueError, "a size must be 1 byte or more");
                return nullptr;
            }
            return Py_NewRef(argv[0]);
        }
        std::string_view text;
        if (!to_str(argv[0], "text", text)) return nullptr;
        const std::optional<std::size_t> n = parse_byte_size(text);
        if (!n) {
            PyErr_Format(PyExc_ValueError, "invalid size %R: bytes, or a number with b, k, m or g (64MB, 128m, 1g)",
                         argv[0]);
            return nullptr;
        }
        return PyLong_FromSize_t(*n);
    });
}

}  // namespace segmorph::py
