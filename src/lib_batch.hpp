// What the units of the segmorph_batch module share: reading arguments,
// and the functions of the module that live outside lib_batch.cpp.
#pragma once

#include <memory>
#include <string_view>

#include "arrow_batch.hpp"

#include "lib_support.hpp"

namespace segmorph::py {

// The bytes of a bytes-like object (held through the buffer protocol, which
// also keeps a bytearray from being resized meanwhile) or of a str's UTF-8.
class InputBytes {
public:
    InputBytes() = default;
    ~InputBytes() {
        if (held_) PyBuffer_Release(&buffer_);
    }
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;

    bool convert(PyObject* o, const char* param) {
        if (PyUnicode_Check(o)) return to_str(o, param, view_);
        if (!PyObject_CheckBuffer(o)) {
            raise_arg_type_error(param, "bytes-like object or str", o);
            return false;
        }
        if (PyObject_GetBuffer(o, &buffer_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        view_ = std::string_view(static_cast<const char*>(buffer_.buf), static_cast<std::size_t>(buffer_.len));
        return true;
    }
    std::string_view view() const { return view_; }

private:
    Py_buffer buffer_{};
    bool held_ = false;
    std::string_view view_;
};

// Keyword-only parameters after the first `positional` ones.
inline bool check_keyword_only(const char* name, Py_ssize_t nargs, Py_ssize_t positional) {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs <= positional) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", name, positional,
                 positional == 1 ? "" : "s", nargs);
    return false;
}

// The class segmorph_batch.MessageBatch (lib_batch_type.cpp), whose
// objects hold a shared_ptr<const MessageBatch>.
PyTypeObject* batch_type();
using BatchObject = NativeObject<std::shared_ptr<const MessageBatch>>;

// segmorph_batch.is_hl7, is_hidden, list_files, parse_size (lib_batch_files.cpp).
PyObject* batch_is_hl7(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_is_hidden(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_list_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_parse_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace segmorph::py
