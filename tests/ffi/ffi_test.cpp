// The binding's boundary guard, checked inside an embedded interpreter that
// imports tarnel_ffi from the same objects as the wheel: what only an
// embedding process can do (a C++ throw, failing allocations) is tried here.

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "ffi/boundary.hpp"
#include "ffi/errors.hpp"
#include "ffi/py_ref.hpp"

extern "C" PyObject* PyInit_tarnel_ffi(void);

// Lets a death test make every C++ allocation fail, to reach the path where
// reporting a fault itself faults. The matching deletes free with free(), as
// AddressSanitizer checks that what new gave back is what delete takes.
namespace {
bool fail_allocations = false;
}

void* operator new(std::size_t size) {
    if (fail_allocations) throw std::bad_alloc();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

// The interpreter keeps much of what it allocates until the process ends, by
// design, so a leak report of this suite would be the interpreter's.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace tarnel::ffi {
namespace {

PyRef attr(PyObject* object, const char* name) { return PyRef::steal(PyObject_GetAttrString(object, name)); }

std::string text_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    return utf8 == nullptr ? "<no text>" : std::string(utf8, static_cast<std::size_t>(size));
}

PyRef module() { return PyRef::steal(PyImport_ImportModule("tarnel_ffi")); }
bool is_subclass(PyObject* derived, PyObject* base) { return PyObject_IsSubclass(derived, base) == 1; }

// A C++ exception comes out as the fault class: a BaseException that is
// neither an Exception nor a TarnelError, named but not reachable from the
// module, naming the type but never what().
void expect_fault(PyObject* result, const std::string& type_name) {
    EXPECT_EQ(result, nullptr);
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    EXPECT_EQ(type, fault_class());
    EXPECT_EQ(text_of(value), "internal fault at ffi boundary: " + type_name);
    for (PyObject* taken : {type, value, traceback}) Py_XDECREF(taken);
}

TEST(FfiBoundary, AnyThrownValueBecomesTheFaultWithoutItsMessage) {
    expect_fault(
        guard([]() -> std::expected<PyRef, FfiError> { throw std::runtime_error("hunter2 must not be shown"); }),
        "std::runtime_error");
    expect_fault(guard([]() -> std::expected<PyRef, FfiError> { throw std::bad_alloc(); }), "std::bad_alloc");
    expect_fault(guard([]() -> std::expected<PyRef, FfiError> { throw 7; }), "int");
    EXPECT_TRUE(is_subclass(fault_class(), PyExc_BaseException) && !is_subclass(fault_class(), PyExc_Exception));
    EXPECT_FALSE(is_subclass(fault_class(), attr(module().get(), "TarnelError").get()));
    EXPECT_EQ(text_of(attr(fault_class(), "__qualname__").get()), "InternalFault");
    EXPECT_EQ(PyObject_HasAttrString(module().get(), "InternalFault"), 0);
}

// A fault while reporting a fault ends the process.
TEST(FfiBoundaryDeathTest, FaultWhileReportingAFaultAborts) {
    EXPECT_DEATH(
        {
            fail_allocations = true;
            Py_XDECREF(guard([]() -> std::expected<PyRef, FfiError> { throw std::bad_alloc(); }));
        },
        "uncaught panic at ffi boundary");
}

}  // namespace
}  // namespace tarnel::ffi

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (PyImport_AppendInittab("tarnel_ffi", PyInit_tarnel_ffi) < 0) return 1;
    // No signal handlers of Python's own: leave the process's signals to the test runner.
    Py_InitializeEx(0);
    // The main interpreter loads the module first, as in the server.
    tarnel::ffi::PyRef module = tarnel::ffi::PyRef::steal(PyImport_ImportModule("tarnel_ffi"));
    if (!module) {
        PyErr_Print();
        return 1;
    }
    int status = RUN_ALL_TESTS();
    module = {};
    if (Py_FinalizeEx() < 0) status = 1;
    return status;
}
