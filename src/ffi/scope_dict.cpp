#include "ffi/scope_dict.hpp"

#include <set>
#include <string_view>
#include <utility>

#include "core/base/ascii.hpp"
#include "ffi/args.hpp"
#include "ffi/errors.hpp"
#include "ffi/ffi_error.hpp"
#include "ffi/py_ref.hpp"

namespace tarnel::ffi {

namespace {

std::unexpected<PyErrorSet> pending() { return std::unexpected(PyErrorSet{}); }

std::unexpected<PyErrorSet> type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return pending();
}

PyResult<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return pending();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// The value under `key`, borrowed; null without an error when absent.
PyResult<PyObject*> lookup(PyObject* dict, const char* key) {
    PyRef name = PyRef::steal(PyUnicode_FromString(key));
    if (!name) return pending();
    PyObject* value = PyDict_GetItemWithError(dict, name.get());
    if (value == nullptr && PyErr_Occurred()) return pending();
    return value;
}

// A list or tuple (any sequence but a str) of str.
PyResult<std::vector<std::string>> strings_of(PyObject* sequence, const char* key) {
    if (PyUnicode_Check(sequence) || !PySequence_Check(sequence)) {
        return type_error("scope `" + std::string(key) + "` must be a sequence of str, not " + type_name(sequence));
    }
    PyRef items = PyRef::steal(PySequence_List(sequence));
    if (!items) return pending();
    const Py_ssize_t count = PyList_Size(items.get());
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        if (item == nullptr) return pending();
        if (!PyUnicode_Check(item)) {
            return type_error("scope `" + std::string(key) + "` items must be str, not " + type_name(item));
        }
        auto text = utf8_of(item);
        if (!text) return pending();
        out.push_back(std::move(*text));
    }
    return out;
}

PyResult<std::vector<std::string>> operations_of(PyObject* dict) {
    auto value = lookup(dict, "operations");
    if (!value) return pending();
    if (*value == nullptr) {
        raise_error(FfiError::other("scope must include an `operations` list"));
        return pending();
    }
    // A str is a sequence of one-letter strs; taking it so would hide the
    // server's mistake.
    if (PyUnicode_Check(*value)) return type_error("Can't extract `str` to `Vec`");
    return strings_of(*value, "operations");
}

}  // namespace

PyResult<std::optional<std::vector<std::string>>> extract_filter(PyObject* dict, const char* key) {
    using Names = std::optional<std::vector<std::string>>;
    auto value = lookup(dict, key);
    if (!value) return pending();
    if (*value == nullptr || *value == Py_None) return Names();
    if (PyUnicode_Check(*value)) {
        auto name = utf8_of(*value);
        if (!name) return pending();
        return Names(std::vector<std::string>{std::move(*name)});
    }
    auto names = strings_of(*value, key);
    if (!names) return pending();
    return Names(std::move(*names));
}

core::ScopeFilter to_filter(std::optional<std::vector<std::string>> names) {
    if (!names) return core::ScopeFilter::any();
    std::set<std::string, std::less<>> set;
    for (std::string& name : *names) {
        if (name == "*") return core::ScopeFilter::any();
        set.insert(std::move(name));
    }
    return core::ScopeFilter::only(std::move(set));
}

PyResult<core::AgentScope> scope_from_dict(PyObject* dict) {
    auto words = operations_of(dict);
    if (!words) return pending();
    auto projects = extract_filter(dict, "projects");
    if (!projects) return pending();
    auto environments = extract_filter(dict, "environments");
    if (!environments) return pending();

    core::AgentScope scope;
    for (const std::string& word : *words) {
        const std::string folded = core::ascii_lower(word);
        auto operation = core::operation_from_word(folded);
        if (!operation) {
            raise_error(
                FfiError::other("unknown scope operation `" + folded + "` (expected metadata|inject|reveal|write)"));
            return pending();
        }
        scope.operations.insert(*operation);
    }
    scope.projects = to_filter(std::move(*projects));
    scope.environments = to_filter(std::move(*environments));
    return scope;
}

}  // namespace tarnel::ffi
