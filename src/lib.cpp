// Module entry: the exported init function, the module definition and the
// exec step that adds the two classes.  The class objects are created once
// per process and shared by every module object an import makes.
#include "lib.hpp"

#include "lib_dict_walk.hpp"
#include "lib_support.hpp"

namespace segmorph::py {

namespace {

// Creates a class object from its spec; a failure becomes RuntimeError
// naming the class, with the original exception as its cause.
PyTypeObject* create_type(PyType_Spec& spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", class_name);
    Ref err = Ref::steal(PyErr_GetRaisedException());
    if (cause) PyException_SetCause(err.get(), cause.release());
    PyErr_SetRaisedException(err.release());
    return nullptr;
}

Once hl7_json_once, json_hl7_once;
PyTypeObject* hl7_json_class = nullptr;
PyTypeObject* json_hl7_class = nullptr;

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return -1;
    Ref all_name = Ref::steal(PyUnicode_FromString("__all__"));
    if (!all_name) return -1;
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
    return PyObject_SetAttr(module, key.get(), reinterpret_cast<PyObject*>(type));
}

int segmorph_exec(PyObject* module) {
    return guarded(-1, [&]() -> int {
        if (!PyObject_TypeCheck(module, &PyModule_Type)) {
            PyErr_Format(PyExc_TypeError, "expected a module object, got %s", Py_TYPE(module)->tp_name);
            return -1;
        }
        if (add_class(module, "Hl7Json", hl7_json_type()) < 0) return -1;
        if (add_class(module, "JsonHl7", json_hl7_type()) < 0) return -1;
        if (!check_dict_walk()) return -1;
        return 0;
    });
}

PyModuleDef_Slot segmorph_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(segmorph_exec)},
#ifdef SEGMORPH_HAVE_MOD_GIL
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef SEGMORPH_HAVE_MOD_MULTIPLE_INTERPRETERS
    // The class objects are process-wide, so they must never be handed to a
    // second interpreter: refuse the import there instead.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef segmorph_module = {
    PyModuleDef_HEAD_INIT, "segmorph", "", 0, nullptr, segmorph_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyTypeObject* hl7_json_type() {
    if (!hl7_json_once.run([] { return (hl7_json_class = create_type(hl7_json_spec, "Hl7Json")) != nullptr; })) {
        return nullptr;
    }
    return hl7_json_class;
}

PyTypeObject* json_hl7_type() {
    if (!json_hl7_once.run([] { return (json_hl7_class = create_type(json_hl7_spec, "JsonHl7")) != nullptr; })) {
        return nullptr;
    }
    return json_hl7_class;
}

}  // namespace segmorph::py

PyMODINIT_FUNC PyInit_segmorph(void) { return PyModuleDef_Init(&segmorph::py::segmorph_module); }
