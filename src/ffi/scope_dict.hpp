#pragma once

// The scope dictionary the MCP server authors, turned into an AgentScope.
// Python-facing: failures are left as pending Python exceptions.

#include <Python.h>

#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/scope.hpp"

namespace tarnel::ffi {

// A Python exception is pending; the caller returns null to the interpreter.
struct PyErrorSet {};

// A value, or a pending Python exception; like FfiResult it cannot be
// silently dropped.
template <class T>
class [[nodiscard]] PyResult : public std::expected<T, PyErrorSet> {
    using Base = std::expected<T, PyErrorSet>;

public:
    using Base::Base;
    PyResult(Base base) : Base(std::move(base)) {}
};

// `operations` (required, a sequence of str but not a str), then `projects`
// and `environments`; other keys are ignored. Nothing outside the dict is
// read or touched.
PyResult<core::AgentScope> scope_from_dict(PyObject* dict);

// Absent, None: any (nullopt). One str: that name. A sequence of str: its
// names. "*" is kept as a name here; to_filter gives it its meaning.
PyResult<std::optional<std::vector<std::string>>> extract_filter(PyObject* dict, const char* key);

// Any when absent or when a name is exactly "*"; else the set of names.
core::ScopeFilter to_filter(std::optional<std::vector<std::string>> names);

}  // namespace tarnel::ffi
