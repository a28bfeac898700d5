#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <expected>
#include <string_view>
#include <type_traits>
#include <utility>

#include "ffi/errors.hpp"
#include "ffi/py_ref.hpp"

namespace tarnel::ffi {

// Results of method bodies as new Python references; null with a Python error
// pending when the conversion fails.
inline PyRef to_python(PyRef object) noexcept { return object; }
PyRef to_python(std::string_view text) noexcept;

// Raises the C++ exception being handled as the binding's fault exception.
// Call only from a catch block. A fault while doing so ends the process:
// there is no safer way left to report it.
void report_fault() noexcept;

// Runs one method body at the edge between Python and C++; every method
// wrapper goes through here. `body` returns std::expected<T, FfiError>: a
// value becomes the Python result (None for void), an FfiError the mapped
// exception, and any C++ exception the fault exception, so nothing unwinds
// into CPython. Only the forced unwind that ends a thread passes (see
// without_gil.hpp), which is why neither this nor the methods are noexcept.
template <class Body>
PyObject* guard(Body&& body) {
    try {
        auto result = std::forward<Body>(body)();
        if (!result) {
            raise_error(result.error());
            return nullptr;
        }
        if constexpr (std::is_void_v<typename decltype(result)::value_type>) {
            Py_RETURN_NONE;
        } else {
            return to_python(std::move(*result)).release();
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        report_fault();
        return nullptr;
    }
}

}  // namespace tarnel::ffi
