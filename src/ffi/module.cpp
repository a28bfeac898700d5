// The `tarnel_ffi` extension module: the agent-facing face of the vault core.
//
//     def version() -> str: ...
//     def server_paths(name="default", vault_dir=None) -> dict: ...
//     class TarnelSession: ...                 # session_type.cpp
//     class TarnelError(Exception): ...
//     class TarnelNotFound(TarnelError): ...
//     class TarnelDenied(TarnelError): ...
//
// Built for the stable ABI (3.10), so one tarnel_ffi.abi3.so serves every
// later CPython. Importing it creates the exception classes and nothing else.

#include <Python.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <utility>
#include <string_view>

#include "core/base/version.hpp"
#include "ffi/args.hpp"
#include "ffi/boundary.hpp"
#include "ffi/errors.hpp"
#include "ffi/py_ref.hpp"
#include "ffi/cancel_type.hpp"
#include "ffi/session_type.hpp"
#include "session/runtime_dir.hpp"
#include "session/vault_config.hpp"

namespace tarnel::ffi {

namespace {

PyObject* version(PyObject* /*module*/, PyObject* /*no_args*/) noexcept {
    return guard([]() -> std::expected<std::string_view, FfiError> { return core::version(); });
}

// The runtime directory is checked (and made) on every call, so a link
// planted since the last call is refused.
PyObject* server_paths(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        OptText name;
        OptText vault_dir;
        if (!parse_args(args, kwargs, "server_paths", {optional("name", name), optional("vault_dir", vault_dir)})) {
            return PyRef();
        }
        std::optional<std::filesystem::path> given;
        if (vault_dir) given = std::filesystem::path(*vault_dir);
        // With a runtime directory, the vault root is not needed to find the
        // sockets: a host may start the relay without HOME.
        auto root = session::choose_root(std::move(given));
        if (!root && !session::has_runtime_dir()) return std::unexpected(FfiError(std::move(root.error())));
        const std::filesystem::path base = root ? *root : std::filesystem::path();
        auto dir = session::runtime_dir(base);
        if (!dir) return std::unexpected(FfiError(std::move(dir.error())));
        auto paths = session::server_paths(*dir, name.value_or(session::kDefaultServerName));
        if (!paths) return std::unexpected(FfiError(std::move(paths.error())));
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return PyRef();
        const std::pair<const char*, const std::filesystem::path*> items[] = {
            {"root", root ? &base : nullptr}, {"mcp", &paths->mcp}, {"control", &paths->control}, {"log", &paths->log}};
        for (const auto& [key, path] : items) {
            PyRef text = path != nullptr ? to_python(path->native()) : PyRef::borrow(Py_None);
            if (!text || PyDict_SetItemString(dict.get(), key, text.get()) != 0) return PyRef();
        }
        return dict;
    });
}

PyDoc_STRVAR(server_paths_doc,
             "server_paths(name='default', vault_dir=None)\n--\n\n"
             "The vault root (None when it cannot be told and is not needed) and the paths\n"
             "of the unlocked server `name` serves: its MCP\n"
             "socket, its control socket and its log, in a directory only this user can\n"
             "enter. Refused when that directory or a socket path is a link, or not this\n"
             "user's own.");

// The first line is the signature that inspect reads (__text_signature__).
PyDoc_STRVAR(version_doc,
             "version()\n--\n\n"
             "The native binding version (the crate version). The Python package asserts\n"
             "this on import as a smoke test that the compiled extension matches.");

PyMethodDef module_methods[] = {
    {"version", version, METH_NOARGS, version_doc},
    {"server_paths", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(server_paths)),
     METH_VARARGS | METH_KEYWORDS, server_paths_doc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    if (claim_interpreter() < 0) return -1;
    // `version` is already in place, from the method table.
    if (add_session_type(module) < 0) return -1;
    if (add_cancel_type(module) < 0) return -1;
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
