#include "ffi/cancel_type.hpp"

#include <new>

#include "ffi/py_ref.hpp"

namespace tarnel::ffi {

namespace {

struct CancelObject {
    PyObject_HEAD
        // Constructed in place after allocation and destroyed in dealloc.
        core::CancelToken token;
};

// One interpreter per process (claim_interpreter), so one type.
PyTypeObject* cancel_type = nullptr;

core::CancelToken& token_of(PyObject* self) { return reinterpret_cast<CancelObject*>(self)->token; }

PyObject* cancel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!parse_args(args, kwargs, "CancelToken", {})) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self = PyRef::steal(alloc(type, 0));
    if (!self) return nullptr;
    new (&token_of(self.get())) core::CancelToken();
    // Without its descriptor a cancelled run would be noticed only late.
    if (!token_of(self.get()).valid()) return PyErr_SetFromErrno(PyExc_OSError);
    return self.release();
}

void cancel_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    token_of(self).~CancelToken();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* cancel_cancel(PyObject* self, PyObject*) {
    token_of(self).cancel();
    Py_RETURN_NONE;
}

PyObject* cancel_cancelled(PyObject* self, void*) { return PyBool_FromLong(token_of(self).cancelled() ? 1 : 0); }

bool to_token(PyObject* given, const char* function, const char* name, void* out) {
    if (given == nullptr || given == Py_None) return true;
    if (cancel_type == nullptr || !PyObject_TypeCheck(given, cancel_type)) {
        return argument_error(function, name, "CancelToken or None", given);
    }
    *static_cast<const core::CancelToken**>(out) = &token_of(given);
    return true;
}

PyDoc_STRVAR(cancel_doc,
             "CancelToken()\n--\n\n"
             "Ends a waiting session call from another thread. Pass it as `cancel=` to\n"
             "`edit_metadata` or `inject_run`; once `cancel()` is called, a request waiting\n"
             "for the owner is withdrawn (a later answer changes nothing) and a running\n"
             "program and its process group are stopped (SIGTERM, then SIGKILL). The call\n"
             "then raises `TarnelDenied`. A token stays cancelled.");

PyDoc_STRVAR(cancel_cancel_doc, "cancel($self)\n--\n\nCancel every call given this token, now and later.");

PyMethodDef cancel_methods[] = {
    {"cancel", cancel_cancel, METH_NOARGS, cancel_cancel_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cancel_getset[] = {
    {"cancelled", cancel_cancelled, nullptr, "Whether cancel() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cancel_slots[] = {
    {Py_tp_doc, const_cast<char*>(cancel_doc)},
    {Py_tp_new, reinterpret_cast<void*>(cancel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cancel_dealloc)},
    {Py_tp_methods, cancel_methods},
    {Py_tp_getset, cancel_getset},
    {0, nullptr},
};

PyType_Spec cancel_spec = {
    .name = "tarnel_ffi.CancelToken",
    .basicsize = sizeof(CancelObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = cancel_slots,
};

}  // namespace

int add_cancel_type(PyObject* module) noexcept {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &cancel_spec, nullptr));
    if (!type) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return -1;
    // The module holds it from here for the life of the interpreter.
    cancel_type = reinterpret_cast<PyTypeObject*>(type.get());
    return 0;
}

Param optional(const char* name, const core::CancelToken*& out) { return Param{name, false, to_token, &out}; }

}  // namespace tarnel::ffi
