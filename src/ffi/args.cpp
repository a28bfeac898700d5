#include "ffi/args.hpp"

#include <array>
#include <limits>
#include <string>
#include <vector>

#include "ffi/py_ref.hpp"

namespace tarnel::ffi {

namespace {

// The most parameters any method declares.
constexpr std::size_t kMaxParams = 8;

bool to_text(PyObject* given, const char* function, const char* name, void* out) {
    if (!PyUnicode_Check(given)) return argument_error(function, name, "str", given);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(given, &size);
    if (utf8 == nullptr) return false;
    *static_cast<std::string_view*>(out) = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_dict(PyObject* given, const char* function, const char* name, void* out) {
    if (!PyDict_Check(given)) return argument_error(function, name, "dict", given);
    *static_cast<PyObject**>(out) = given;
    return true;
}

bool to_optional_text(PyObject* given, const char* function, const char* name, void* out) {
    auto& text = *static_cast<OptText*>(out);
    text.reset();
    if (given == nullptr || given == Py_None) return true;
    if (!PyUnicode_Check(given)) return argument_error(function, name, "str or None", given);
    std::string_view value;
    if (!to_text(given, function, name, &value)) return false;
    text = value;
    return true;
}

bool to_optional_bool(PyObject* given, const char* function, const char* name, void* out) {
    auto& flag = *static_cast<std::optional<bool>*>(out);
    flag.reset();
    if (given == nullptr || given == Py_None) return true;
    if (!PyBool_Check(given)) return argument_error(function, name, "bool or None", given);
    flag = given == Py_True;
    return true;
}

bool to_count(PyObject* given, const char* function, const char* name, void* out) {
    if (given == nullptr) return true;
    if (!PyLong_Check(given)) return argument_error(function, name, "int", given);
    unsigned long long count = PyLong_AsUnsignedLongLong(given);
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        // Too large for 64 bits: passed on as the largest count, which the
        // session refuses with its bound; a negative one stays an error here.
        PyRef zero = PyRef::steal(PyLong_FromLong(0));
        if (!zero || !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        const int positive = PyObject_RichCompareBool(given, zero.get(), Py_GT);
        if (positive != 1) return false;
        PyErr_Clear();
        count = std::numeric_limits<unsigned long long>::max();
    }
    *static_cast<std::uint64_t*>(out) = count;
    return true;
}

bool to_text_list(PyObject* given, const char* function, const char* name, void* out) {
    auto& list = *static_cast<std::vector<std::string>*>(out);
    list.clear();
    if (given == nullptr) return true;
    // A str is a sequence of str too, and running a program with one argument
    // per character is never what was meant.
    if (PyUnicode_Check(given)) {
        const std::string text = std::string(function) + "() argument '" + name + "': Can't extract `str` to `Vec`";
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return false;
    }
    if (!PySequence_Check(given)) return argument_error(function, name, "a sequence of str", given);
    const Py_ssize_t size = PySequence_Size(given);
    if (size < 0) return false;
    // Copies, not views: the sequence may be a list another thread changes.
    list.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(given, i));
        if (!item) return false;
        if (!PyUnicode_Check(item.get())) {
            const std::string text = std::string(function) + "() argument '" + name + "' item " + std::to_string(i) +
                                     " must be str, not " + type_name(item.get());
            PyErr_SetString(PyExc_TypeError, text.c_str());
            return false;
        }
        std::string_view value;
        if (!to_text(item.get(), function, name, &value)) return false;
        list.emplace_back(value);
    }
    return true;
}

}  // namespace

Param optional(const char* name, std::vector<std::string>& out) { return {name, false, to_text_list, &out}; }
Param required(const char* name, std::string_view& out) { return {name, true, to_text, &out}; }
Param required_dict(const char* name, PyObject*& out) { return {name, true, to_dict, &out}; }
Param optional(const char* name, OptText& out) { return {name, false, to_optional_text, &out}; }
Param optional(const char* name, std::optional<bool>& out) { return {name, false, to_optional_bool, &out}; }
Param optional(const char* name, std::uint64_t& out) { return {name, false, to_count, &out}; }

bool argument_error(const char* function, const char* name, const char* expected, PyObject* given) {
    const std::string text =
        std::string(function) + "() argument '" + name + "' must be " + expected + ", not " + type_name(given);
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

bool parse_args(PyObject* args, PyObject* kwargs, const char* function, std::initializer_list<Param> params) {
    if (params.size() > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many declared parameters");
        return false;
    }
    // "OO|OO:name": CPython counts, names and places the arguments; the
    // slots past the declared ones are passed but never written.
    std::string format;
    std::array<char*, kMaxParams + 1> keywords{};
    bool optional_seen = false;
    std::size_t i = 0;
    for (const Param& param : params) {
        if (!param.is_required && !optional_seen) {
            format += '|';
            optional_seen = true;
        }
        format += 'O';
        // Keyword lists are char** up to 3.12; the strings are never written.
        keywords[i++] = const_cast<char*>(param.name);
    }
    format += ':';
    format += function;

    std::array<PyObject*, kMaxParams> given{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &given[0], &given[1], &given[2],
                                     &given[3], &given[4], &given[5], &given[6], &given[7])) {
        return false;
    }
    i = 0;
    for (const Param& param : params) {
        if (!param.convert(given[i++], function, param.name, param.out)) return false;
    }
    return true;
}

std::string type_name(PyObject* object) {
    // __name__ because the stable ABI of 3.10 has no PyType_GetName.
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace tarnel::ffi
