#pragma once

// Method arguments, declared one line each:
//
//     std::string_view coordinate;
//     OptText project;
//     if (!parse_args(args, kwargs, "status", {required("coordinate", coordinate),
//                                              optional("project", project)})) return nullptr;
//
// Positional and keyword forms both work; a missing, surplus or unknown
// argument gets CPython's own TypeError, a value of the wrong type a TypeError
// naming the argument and the type it must be.

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::ffi {

using OptText = std::optional<std::string_view>;

// One declared parameter. `convert` gets the given object, or null when the
// argument was left out, and sets a Python error when it returns false.
struct Param {
    const char* name;
    bool is_required;
    bool (*convert)(PyObject* given, const char* function, const char* name, void* out);
    void* out;
};

// Text borrowed from the str object, alive for the call.
Param required(const char* name, std::string_view& out);
// A dict, borrowed.
Param required_dict(const char* name, PyObject*& out);
// Left out and None both mean absent.
Param optional(const char* name, OptText& out);
// Only a real bool: 0 and 1 are more likely a caller's mistake than intent.
Param optional(const char* name, std::optional<bool>& out);
// A non-negative int (bool included, as Python counts it); `out` keeps its
// default when the argument is left out.
Param optional(const char* name, std::uint64_t& out);

// A sequence of str, copied; a str itself is refused. Left out: empty.
Param optional(const char* name, std::vector<std::string>& out);

// Sets the TypeError for a value of the wrong type; always false.
bool argument_error(const char* function, const char* name, const char* expected, PyObject* given);

// Parses and converts; false with a Python error set on any failure.
bool parse_args(PyObject* args, PyObject* kwargs, const char* function, std::initializer_list<Param> params);

// The short type name ("int", "NoneType") for error texts.
std::string type_name(PyObject* object);

}  // namespace tarnel::ffi
