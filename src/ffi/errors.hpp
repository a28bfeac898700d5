#pragma once

#include <Python.h>

#include "ffi/ffi_error.hpp"

namespace tarnel::ffi {

// Refuses (ImportError, returns -1) an interpreter other than the one that
// first loaded the module: the exception classes live once per process and
// belong to that interpreter.
int claim_interpreter() noexcept;

// Creates the exception classes on first use and adds TarnelError,
// TarnelNotFound and TarnelDenied to `module` in that order. Returns -1 with
// a Python error set on failure.
int add_exceptions(PyObject* module) noexcept;

// The single mapping from FfiError to a pending Python exception.
void raise_error(const FfiError& error);

// The BaseException subclass that reports programming faults at the boundary;
// deliberately not a module attribute. Null until the module is initialised.
PyObject* fault_class() noexcept;

}  // namespace tarnel::ffi
