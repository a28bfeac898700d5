#include "ffi/boundary.hpp"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>

namespace tarnel::ffi {

namespace {

[[noreturn]] void panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// Only the exception's type goes into the fault text, never what(): a
// library's message may quote the data it was working on, and that data can
// be a secret.
std::string handled_exception_type() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type == nullptr) return "unknown exception";
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> readable(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status),
                                                         &std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(type->name());
}

}  // namespace

PyRef to_python(std::string_view text) noexcept {
    return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void report_fault() noexcept {
    try {
        PyObject* fault = fault_class();
        if (fault == nullptr) panic();
        std::string text = "internal fault at ffi boundary: " + handled_exception_type();
        PyErr_SetString(fault, text.c_str());
    } catch (...) {
        panic();
    }
}

}  // namespace tarnel::ffi
