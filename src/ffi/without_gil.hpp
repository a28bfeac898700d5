#pragma once

#include <Python.h>

#include <utility>

namespace tarnel::ffi {

// Lets the process's other Python threads run for the scope: a session call
// may wait for a human, a key derivation, a record lock or the disk, and none
// of that needs the interpreter. Inside the scope nothing may call the Python
// API or touch a Python object, so a call's arguments are C++ values before
// the release (text may stay a view into its str: the object is immutable and
// the call's own arguments keep it alive; anything mutable must be copied) and
// its result becomes Python only after the lock is taken back.
//
// A thread that takes the lock back while the interpreter is finalizing (a
// daemon thread whose call ends as the process exits) is ended inside
// PyEval_RestoreThread by a forced unwind. So the destructor may throw, and no
// frame between here and CPython may be noexcept or own a Python reference
// (its release would run without the lock).
class WithoutGil {
public:
    WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
    ~WithoutGil() noexcept(false) { PyEval_RestoreThread(saved_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* saved_;
};

// Runs `call` with the lock released. Its result is made before the lock is
// back, so it must hold no Python object.
template <class Call>
auto without_gil(Call&& call) {
    const WithoutGil released;
    return std::forward<Call>(call)();
}

}  // namespace tarnel::ffi
