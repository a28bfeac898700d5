#pragma once

#include <Python.h>

namespace tarnel::ffi {

// Creates the TarnelSession heap type for `module` and adds it under that
// name. Returns -1 with a Python error set on failure.
int add_session_type(PyObject* module) noexcept;

}  // namespace tarnel::ffi
