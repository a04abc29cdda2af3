// segmorph_batch.MessageBatch: one record batch, handed to any library
// through the Arrow PyCapsule interface, sharing the batch's memory.
#include <cstdlib>
#include <memory>
#include <string>

#include "arrow_batch.hpp"
#include "lib_batch.hpp"

namespace segmorph::py {

namespace {

// The capsules the C data interface names; each frees its struct, and
// releases what it holds unless a consumer moved that out.
void free_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) return PyErr_Clear();
    if (schema->release != nullptr) schema->release(schema);
    std::free(schema);
}

void free_array_capsule(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) return PyErr_Clear();
    if (array->release != nullptr) array->release(array);
    std::free(array);
}

void free_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) return PyErr_Clear();
    if (stream->release != nullptr) stream->release(stream);
    std::free(stream);
}

// A capsule around a zeroed struct that `fill` sets (and may throw).
template <class T, class Fill>
PyObject* new_capsule(const char* name, PyCapsule_Destructor destructor, Fill&& fill) {
    auto* raw = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (raw == nullptr) return PyErr_NoMemory();
    try {
        fill(raw);
    } catch (...) {
        std::free(raw);
        throw;
    }
    PyObject* capsule = PyCapsule_New(raw, name, destructor);
    if (capsule == nullptr) {
        if (raw->release != nullptr) raw->release(raw);
        std::free(raw);
    }
    return capsule;
}

const std::shared_ptr<const MessageBatch>& batch_of(PyObject* self) { return BatchObject::of(self)->native; }

// requested_schema is a hint a producer may ignore; the batch has one form.
bool check_requested_schema(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"requested_schema"};
    const Signature sig{name, params, 1, 0};
    PyObject* argv[1];
    return match_args(sig, args, nargs, kwnames, argv);
}

PyObject* batch_arrow_c_schema(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        return new_capsule<ArrowSchema>("arrow_schema", free_schema_capsule,
                                        [&](ArrowSchema* out) { MessageBatch::export_schema(*batch_of(self), out); });
    });
}

PyObject* batch_arrow_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_requested_schema("__arrow_c_array__", args, nargs, kwnames)) return nullptr;
        Ref schema = Ref::steal(new_capsule<ArrowSchema>("arrow_schema", free_schema_capsule, [&](ArrowSchema* out) {
            MessageBatch::export_schema(*batch_of(self), out);
        }));
        if (!schema) return nullptr;
        Ref array = Ref::steal(new_capsule<ArrowArray>("arrow_array", free_array_capsule, [&](ArrowArray* out) {
            MessageBatch::export_array(batch_of(self), out);
        }));
        if (!array) return nullptr;
        return PyTuple_Pack(2, schema.get(), array.get());
    });
}

PyObject* batch_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_requested_schema("__arrow_c_stream__", args, nargs, kwnames)) return nullptr;
        return new_capsule<ArrowArrayStream>("arrow_array_stream", free_stream_capsule, [&](ArrowArrayStream* out) {
            MessageBatch::export_stream(batch_of(self), out);
        });
    });
}

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(batch_of(self)->rows()); }

PyObject* batch_envelope_after(PyObject* self, void*) {
    const std::string& text = batch_of(self)->envelope_after();
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef batch_getset[] = {
    {"envelope_after", batch_envelope_after, nullptr,
     PyDoc_STR("The FHS and BHS lines still open where the batch's text ends (bytes, each line ended by "
               "\"\\n\"): pass it as to_arrow's envelope= to read on from there with the same envelope columns."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef batch_methods[] = {
    {"__arrow_c_schema__", batch_arrow_c_schema, METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_arrow_c_array)),
     METH_FASTCALL | METH_KEYWORDS, "__arrow_c_array__($self, requested_schema=None)\n--\n\n"},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_arrow_c_stream)),
     METH_FASTCALL | METH_KEYWORDS, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>("The messages of one to_arrow call as an Arrow record batch, for any library "
                                  "that takes the Arrow PyCapsule interface.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<BatchObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_nothing)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_nothing)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "segmorph_batch.MessageBatch",
    static_cast<int>(sizeof(BatchObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    batch_slots,
};

// Created once per process and shared by every module object, as
// segmorph's classes are.
Once batch_once;
PyTypeObject* batch_class = nullptr;

}  // namespace

PyTypeObject* batch_type() {
    if (!batch_once.run([] {
            batch_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&batch_spec));
            return batch_class != nullptr;
        })) {
        return nullptr;
    }
    return batch_class;
}

}  // namespace segmorph::py
