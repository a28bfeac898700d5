#pragma once

// The CancelToken class: how a Python caller gives up on a session call that
// waits (for the owner's answer, or a running program) from another thread.
//
//     class CancelToken:
//         def __init__(self): ...
//         def cancel(self) -> None: ...
//         cancelled: bool

#include <Python.h>

#include "core/base/cancel_token.hpp"
#include "ffi/args.hpp"

namespace tarnel::ffi {

// Creates the CancelToken heap type for `module` and adds it under that
// name. Returns -1 with a Python error set on failure.
int add_cancel_type(PyObject* module) noexcept;

// A CancelToken argument; left out and None both leave `out` as it is. The
// token is borrowed from the argument, which the caller holds for the call.
Param optional(const char* name, const core::CancelToken*& out);

}  // namespace tarnel::ffi
