// The binding's error mapping and boundary guard, checked inside an embedded
// interpreter that imports tarnel_ffi from the same objects as the wheel.

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <expected>
#include <new>
#include <stdexcept>
#include <string>

#include "core/base/error.hpp"
#include "core/base/version.hpp"
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
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

// The interpreter keeps much of what it allocates until the process ends, by
// design, so a leak report of this suite would be the interpreter's.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace tarnel::ffi {
namespace {

using core::CoreError;
using core::ErrorKind;

PyRef attr(PyObject* object, const char* name) {
    return PyRef::steal(PyObject_GetAttrString(object, name));
}

std::string text_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) return "<str() failed>";
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    return utf8 == nullptr ? "<not UTF-8>" : std::string(utf8, static_cast<std::size_t>(size));
}

PyRef eval(const char* expression) {
    PyRef code = PyRef::steal(Py_CompileString(expression, "<test>", Py_eval_input));
    if (!code) return {};
    PyRef globals = PyRef::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        return {};
    }
    return PyRef::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
}

PyRef module() { return PyRef::steal(PyImport_ImportModule("tarnel_ffi")); }

PyRef module_class(const char* name) { return attr(module().get(), name); }

// The pending exception, normalised, taken off the interpreter.
struct Raised {
    PyRef type;
    PyRef value;
};

Raised take_raised() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(traceback);
    return {PyRef::steal(type), PyRef::steal(value)};
}

// Raises `error` through the mapping, then checks class, single argument and
// the absence of any cause, context or attribute.
void expect_raised_as(const FfiError& error, const char* class_name, const std::string& message) {
    ASSERT_FALSE(PyErr_Occurred());
    raise_error(error);
    ASSERT_TRUE(PyErr_Occurred());
    Raised raised = take_raised();
    PyRef expected = module_class(class_name);
    ASSERT_TRUE(expected);
    EXPECT_EQ(raised.type.get(), expected.get()) << "raised " << text_of(raised.type.get());
    EXPECT_EQ(text_of(raised.value.get()), message);

    PyRef args = attr(raised.value.get(), "args");
    ASSERT_TRUE(args && PyTuple_Check(args.get()));
    ASSERT_EQ(PyTuple_Size(args.get()), 1);
    EXPECT_EQ(text_of(PyTuple_GetItem(args.get(), 0)), message);

    EXPECT_EQ(PyException_GetCause(raised.value.get()), nullptr);
    EXPECT_EQ(PyException_GetContext(raised.value.get()), nullptr);
    PyRef instance_dict = attr(raised.value.get(), "__dict__");
    ASSERT_TRUE(instance_dict);
    EXPECT_EQ(PyDict_Size(instance_dict.get()), 0);
}

bool is_subclass(PyObject* derived, PyObject* base) { return PyObject_IsSubclass(derived, base) == 1; }

// Every variant: the class it raises, and the text both raised and returned.
TEST(FfiErrorMapping, EveryVariantRaisesItsClassWithItsText) {
    const struct {
        FfiError error;
        const char* class_name;
        std::string message;
    } cases[] = {
        {CoreError(ErrorKind::Io, "disk"), "TarnelError", "vault I/O failed: disk"},
        {CoreError::crypto(), "TarnelError", "crypto operation failed"},
        {CoreError(ErrorKind::Audit, ""), "TarnelError", "audit error: "},
        {CoreError(ErrorKind::Io, "bad\xffname"), "TarnelError", "vault I/O failed: bad\xef\xbf\xbdname"},
        {FfiError(session::SessionError::not_found()), "TarnelNotFound", "not addressable"},
        {FfiError(session::SessionError::denied("reveal refused by policy (I11)")), "TarnelDenied", "reveal refused by policy (I11)"},
        {FfiError::other("scope must name at least one project"), "TarnelError", "scope must name at least one project"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.message.find("\xef\xbf\xbd") == std::string::npos) { EXPECT_EQ(c.error.message(), c.message); }
        expect_raised_as(c.error, c.class_name, c.message);
    }
}

TEST(FfiModule, ExceptionClassesFormTheirHierarchy) {
    PyRef error = module_class("TarnelError");
    PyRef not_found = module_class("TarnelNotFound");
    PyRef denied = module_class("TarnelDenied");
    ASSERT_TRUE(error && not_found && denied);
    EXPECT_TRUE(is_subclass(error.get(), PyExc_Exception));
    EXPECT_TRUE(is_subclass(not_found.get(), error.get()));
    EXPECT_TRUE(is_subclass(denied.get(), error.get()));
    EXPECT_FALSE(is_subclass(not_found.get(), denied.get()));
    EXPECT_EQ(text_of(attr(error.get(), "__module__").get()), "tarnel_ffi");
    EXPECT_EQ(text_of(attr(denied.get(), "__qualname__").get()), "TarnelDenied");
    PyRef version = PyRef::steal(PyObject_CallMethod(module().get(), "version", nullptr));
    ASSERT_TRUE(version);
    EXPECT_EQ(text_of(version.get()), std::string(core::version()));
}

TEST(FfiModule, ReimportKeepsTheSameClasses) {
    PyRef before = module_class("TarnelError");
    PyRef modules = PyRef::borrow(PyImport_GetModuleDict());
    ASSERT_EQ(PyDict_DelItemString(modules.get(), "tarnel_ffi"), 0);
    PyRef again = module();
    ASSERT_TRUE(again);
    PyRef after = attr(again.get(), "TarnelError");
    EXPECT_EQ(before.get(), after.get());
}

TEST(FfiModule, SecondInterpreterIsRefused) {
    PyThreadState* main_state = PyThreadState_Get();
    PyThreadState* sub = Py_NewInterpreter();
    ASSERT_NE(sub, nullptr);
    bool refused = false;
    std::string message;
    {
        PyRef imported = module();
        refused = !imported && PyErr_ExceptionMatches(PyExc_ImportError);
        if (PyErr_Occurred()) message = text_of(take_raised().value.get());
    }
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_state);
    EXPECT_TRUE(refused);
    EXPECT_EQ(message, "tarnel_ffi can be loaded by one interpreter per process only");
    EXPECT_TRUE(module());
}

TEST(FfiBoundary, ValueBecomesTheResultAndErrorTheMappedException) {
    PyRef result = PyRef::steal(
        guard([]() -> std::expected<std::string_view, FfiError> { return "plain"; }));
    ASSERT_TRUE(result);
    EXPECT_EQ(text_of(result.get()), "plain");

    PyRef none = PyRef::steal(guard([]() -> std::expected<void, FfiError> { return {}; }));
    EXPECT_EQ(none.get(), Py_None);

    PyRef failed = PyRef::steal(guard([]() -> std::expected<PyRef, FfiError> {
        return std::unexpected(FfiError(session::SessionError::not_found()));
    }));
    EXPECT_FALSE(failed);
    Raised raised = take_raised();
    EXPECT_EQ(raised.type.get(), module_class("TarnelNotFound").get());
    EXPECT_EQ(text_of(raised.value.get()), "not addressable");
}

// A C++ exception must come out as the fault class: a BaseException that is
// neither an Exception nor a TarnelError, naming the type but never what().
void expect_fault(PyObject* result, const std::string& type_name) {
    EXPECT_EQ(result, nullptr);
    ASSERT_TRUE(PyErr_Occurred());
    Raised raised = take_raised();
    EXPECT_EQ(raised.type.get(), fault_class());
    EXPECT_TRUE(is_subclass(raised.type.get(), PyExc_BaseException));
    EXPECT_FALSE(is_subclass(raised.type.get(), PyExc_Exception));
    EXPECT_FALSE(is_subclass(raised.type.get(), module_class("TarnelError").get()));
    EXPECT_EQ(text_of(raised.value.get()), "internal fault at ffi boundary: " + type_name);

    // The interpreter carries on as before.
    PyRef sum = eval("40 + 2");
    ASSERT_TRUE(sum);
    EXPECT_EQ(PyLong_AsLong(sum.get()), 42);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(FfiBoundary, AnyThrownValueBecomesTheFaultWithoutItsMessage) {
    expect_fault(guard([]() -> std::expected<PyRef, FfiError> {
                     throw std::runtime_error("hunter2 must not be shown");
                 }),
                 "std::runtime_error");
    expect_fault(guard([]() -> std::expected<PyRef, FfiError> { throw std::bad_alloc(); }), "std::bad_alloc");
    expect_fault(guard([]() -> std::expected<PyRef, FfiError> { throw 7; }), "int");

    // The fault class is named but not reachable from the module.
    PyObject* fault = fault_class();
    ASSERT_NE(fault, nullptr);
    EXPECT_EQ(text_of(attr(fault, "__module__").get()), "tarnel_ffi");
    EXPECT_EQ(text_of(attr(fault, "__qualname__").get()), "InternalFault");
    EXPECT_EQ(PyObject_HasAttrString(module().get(), "InternalFault"), 0);
}

TEST(FfiBoundaryDeathTest, FaultWhileReportingAFaultAborts) {
    EXPECT_DEATH(
        {
            fail_allocations = true;
            PyObject* result =
                guard([]() -> std::expected<PyRef, FfiError> { throw std::bad_alloc(); });
            fail_allocations = false;
            Py_XDECREF(result);
        },
        "uncaught panic at ffi boundary");
}

TEST(FfiModuleDeathTest, FreshInterpreterAfterFinalizeGetsFreshClasses) {
    // Runs in a child process, so this interpreter stays untouched.
    EXPECT_EXIT(
        {
            PyObject* previous_fault = fault_class();
            if (Py_FinalizeEx() < 0) std::_Exit(2);
            PyImport_AppendInittab("tarnel_ffi", PyInit_tarnel_ffi);
            Py_InitializeEx(0);
            PyRef error = module_class("TarnelError");
            PyRef result = PyRef::steal(PyObject_CallMethod(module().get(), "version", nullptr));
            bool usable = error && result && fault_class() != nullptr &&
                          fault_class() != previous_fault &&
                          is_subclass(error.get(), PyExc_Exception);
            std::_Exit(usable ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
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
