#include "ffi/errors.hpp"

#include <cstdint>
#include <stdexcept>

#include "core/base/overloaded.hpp"
#include "ffi/py_ref.hpp"

namespace tarnel::ffi {

namespace {

// Strong references held for the life of the interpreter that created them.
// Plain pointers on purpose: a static destructor would drop them after
// Python has already gone.
struct ExceptionClasses {
    PyObject* error = nullptr;
    PyObject* not_found = nullptr;
    PyObject* denied = nullptr;
    PyObject* fault = nullptr;
};

ExceptionClasses classes;
std::int64_t owner_interpreter = -1;

// Runs after the interpreter is finalised, so an embedder that initialises
// Python again gets fresh classes instead of dangling ones.
void forget_classes() {
    classes = {};
    owner_interpreter = -1;
}

constexpr const char* error_doc = "Base class for all tarnel binding errors.";
constexpr const char* not_found_doc =
    "The coordinate is not addressable in this session — either out of scope (I13) or "
    "absent. The two are deliberately indistinguishable.";
constexpr const char* denied_doc =
    "An addressable secret was refused by policy (e.g. an MCP reveal of a high/prod/"
    "inject-only value, I11/I14).";
constexpr const char* fault_doc =
    "An internal fault of the binding (a bug, or memory exhaustion). Not a TarnelError: "
    "callers should not handle it as an ordinary failure.";

int create_classes() noexcept {
    PyRef error =
        PyRef::steal(PyErr_NewExceptionWithDoc("tarnel_ffi.TarnelError", error_doc, PyExc_Exception, nullptr));
    if (!error) return -1;
    PyRef not_found =
        PyRef::steal(PyErr_NewExceptionWithDoc("tarnel_ffi.TarnelNotFound", not_found_doc, error.get(), nullptr));
    if (!not_found) return -1;
    PyRef denied = PyRef::steal(PyErr_NewExceptionWithDoc("tarnel_ffi.TarnelDenied", denied_doc, error.get(), nullptr));
    if (!denied) return -1;
    // Derives from BaseException so that `except Exception` in the server
    // does not swallow a bug as if it were a vault failure.
    PyRef fault =
        PyRef::steal(PyErr_NewExceptionWithDoc("tarnel_ffi.InternalFault", fault_doc, PyExc_BaseException, nullptr));
    if (!fault) return -1;

    if (Py_AtExit(forget_classes) < 0) {
        PyErr_SetString(PyExc_ImportError, "tarnel_ffi: no room to register its exit handler");
        return -1;
    }
    classes = {error.release(), not_found.release(), denied.release(), fault.release()};
    return 0;
}

PyObject* exception_class(const FfiError& error) {
    PyObject* cls = std::visit(core::Overloaded{
                                   [](const core::CoreError&) { return classes.error; },
                                   [](const FfiError::NotFound&) { return classes.not_found; },
                                   [](const FfiError::Denied&) { return classes.denied; },
                                   [](const FfiError::Other&) { return classes.error; },
                               },
                               error.kind());
    if (cls == nullptr) throw std::logic_error("FfiError raised before the module was initialised");
    return cls;
}

}  // namespace

int claim_interpreter() noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return -1;
    if (owner_interpreter >= 0 && owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "tarnel_ffi can be loaded by one interpreter per process only");
        return -1;
    }
    owner_interpreter = current;
    return 0;
}

int add_exceptions(PyObject* module) noexcept {
    if (classes.error == nullptr && create_classes() < 0) return -1;
    if (PyModule_AddObjectRef(module, "TarnelError", classes.error) < 0) return -1;
    if (PyModule_AddObjectRef(module, "TarnelNotFound", classes.not_found) < 0) return -1;
    return PyModule_AddObjectRef(module, "TarnelDenied", classes.denied);
}

void raise_error(const FfiError& error) {
    PyObject* cls = exception_class(error);
    std::string text = error.message();
    // Details can carry file names that are not valid UTF-8; the agent still
    // gets a readable message rather than a decoding error.
    PyRef value = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!value) return;
    PyErr_SetObject(cls, value.get());
}

PyObject* fault_class() noexcept { return classes.fault; }

}  // namespace tarnel::ffi
