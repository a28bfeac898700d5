// The `tarnel_ffi` extension module: the agent-facing face of the vault core.
//
//     def version() -> str: ...
//     class TarnelSession: ...                 # session_type.cpp
//     class TarnelError(Exception): ...
//     class TarnelNotFound(TarnelError): ...
//     class TarnelDenied(TarnelError): ...
//
// Built for the stable ABI (3.10), so one tarnel_ffi.abi3.so serves every
// later CPython. Importing it creates the exception classes and nothing else.

#include <Python.h>

#include <expected>
#include <string_view>

#include "core/version.hpp"
#include "ffi/boundary.hpp"
#include "ffi/errors.hpp"
#include "ffi/session_type.hpp"

namespace tarnel::ffi {

namespace {

PyObject* version(PyObject* /*module*/, PyObject* /*no_args*/) noexcept {
    return guard([]() -> std::expected<std::string_view, FfiError> { return core::version(); });
}

// The first line is the signature that inspect reads (__text_signature__).
PyDoc_STRVAR(version_doc,
             "version()\n--\n\n"
             "The native binding version (the crate version). The Python package asserts\n"
             "this on import as a smoke test that the compiled extension matches.");

PyMethodDef module_methods[] = {
    {"version", version, METH_NOARGS, version_doc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    if (claim_interpreter() < 0) return -1;
    // `version` is already in place, from the method table.
    if (add_session_type(module) < 0) return -1;
    return add_exceptions(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnel_ffi",
    .m_doc = "The `tarnel_ffi` extension module.",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace tarnel::ffi

PyMODINIT_FUNC PyInit_tarnel_ffi(void) { return PyModuleDef_Init(&tarnel::ffi::module_def); }
