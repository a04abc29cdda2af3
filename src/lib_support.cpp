#include "lib_support.hpp"

#include <cstring>
#include <string>
#include <thread>

#include "utf8.hpp"

namespace segmorph::py {

// ------------------------------------------------------------------ arguments

namespace {

bool name_equals(PyObject* name, const char* param) {
    if (!PyUnicode_Check(name)) return false;
    return PyUnicode_CompareWithASCIIString(name, param) == 0;
}

bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) {
        if (!name_equals(name, sig.params[i])) continue;
        if (i < nargs || out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    if (PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, name);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
    }
    return false;
}

bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
    if (nargs <= sig.count) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", sig.name, sig.count,
                 sig.count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
}

bool check_required(const Signature& sig, PyObject** out) {
    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", sig.name, sig.params[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (!check_positional_count(sig, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
        }
    }
    return check_required(sig, out);
}

bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!check_positional_count(sig, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        // The dict handed to tp_new is a fresh one made by the interpreter
        // for this call, but a critical section costs little and keeps the
        // walk safe whatever the caller passed.
        bool ok = true;
        SEGMORPH_BEGIN_CRITICAL_SECTION(kwargs);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, nargs, out)) {
                ok = false;
                break;
            }
        }
        SEGMORPH_END_CRITICAL_SECTION();
        if (!ok) return false;
    }
    return check_required(sig, out);
}

void raise_arg_type_error(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", param, expected, Py_TYPE(got)->tp_name);
}

bool to_str_slow(PyObject* o, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        raise_arg_type_error(param, "str", o);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) return false;  // UnicodeEncodeError (lone surrogates)
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_bool(PyObject* o, const char* param, bool& out) {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False) {
        out = false;
        return true;
    }
    raise_arg_type_error(param, "bool", o);
    return false;
}

bool to_opt_bool(PyObject* o, const char* param, std::optional<bool>& out) {
    if (o == nullptr || o == Py_None) {
        out.reset();
        return true;
    }
    if (o != Py_True && o != Py_False) {
        raise_arg_type_error(param, "bool or None", o);
        return false;
    }
    out = o == Py_True;
    return true;
}

// -------------------------------------------------------------------- results

// A str from text known to be ASCII: one exact-size allocation and a copy.
PyObject* new_ascii_str(std::string_view text) {
    if (text.size() <= 1) return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (s == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(s), text.data(), text.size());
    return s;
}

PyObject* new_str(std::string_view utf8) {
    // Empty and one-character texts come from the interpreter's own caches.
    if (utf8.size() > 1 && is_ascii(utf8)) return new_ascii_str(utf8);
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

// --------------------------------------------------------------------- errors

void raise_error(const Hl7Error& error) {
    std::string text = error.message();
    Ref msg = Ref::steal(new_str(text));
    if (!msg) return;
    PyErr_SetObject(PyExc_Exception, msg.get());
}

namespace {

Once panic_once;
PyObject* panic_type = nullptr;

}  // namespace

void raise_panic(const char* what) {
    bool ok = panic_once.run([] {
        panic_type = PyErr_NewExceptionWithDoc(
            "segmorph.PanicException",
            "An internal failure of segmorph: a broken invariant, not a problem with the input.", PyExc_BaseException,
            nullptr);
        return panic_type != nullptr;
    });
    if (!ok) {
        Py_FatalError("uncaught panic at ffi boundary");
    }
    PyErr_SetString(panic_type, what);
}

// ------------------------------------------------------------ access counting

bool AccessCounter::acquire_shared() noexcept {
    Py_ssize_t cur = count_.load(std::memory_order_relaxed);
    for (;;) {
        if (cur == kExclusive) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        if (count_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return true;
        }
    }
}

bool AccessCounter::acquire_exclusive() noexcept {
    Py_ssize_t expected = 0;
    if (count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
    }
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

// ------------------------------------------------------------------- one-time

void Once::wait_while_running() {
    PyThreadState* ts = PyEval_SaveThread();
    while (state_.load(std::memory_order_acquire) == kRunning) std::this_thread::yield();
    PyEval_RestoreThread(ts);
}

}  // namespace segmorph::py
