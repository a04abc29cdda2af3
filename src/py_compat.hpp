// The one place that papers over differences between CPython versions.  The
// code is written against the newest API (3.14); each fallback below is for
// an older interpreter and is chosen by PY_VERSION_HEX alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// PyIter_NextItem: 1 with an item, 0 at the end, -1 with an exception (3.14).
#if PY_VERSION_HEX < 0x030E0000
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    *item = PyIter_Next(iter);
    if (*item != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}
#endif

// PyErr_GetRaisedException / PyErr_SetRaisedException (3.12).
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}
static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

// Critical sections guard a caller's container while we walk it on
// free-threaded builds (3.13); before that the GIL does the job.
#if PY_VERSION_HEX >= 0x030D0000
#define SEGMORPH_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define SEGMORPH_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define SEGMORPH_BEGIN_CRITICAL_SECTION(op) {
#define SEGMORPH_END_CRITICAL_SECTION() }
#endif

// A dict sized up front for a known number of items skips the resizes that
// PyDict_New pays as it fills.  The function is CPython's own (still in
// cpython/dictobject.h in 3.14); past that, the plain constructor.
#if PY_VERSION_HEX < 0x030F0000
#define SEGMORPH_DICT_NEW_PRESIZED(n) _PyDict_NewPresized(n)
#else
#define SEGMORPH_DICT_NEW_PRESIZED(n) PyDict_New()
#endif

// Module slots that only newer interpreters know.
#if PY_VERSION_HEX >= 0x030D0000
#define SEGMORPH_HAVE_MOD_GIL 1
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define SEGMORPH_HAVE_MOD_MULTIPLE_INTERPRETERS 1
#endif
