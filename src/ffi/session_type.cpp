// The TarnelSession class: one core Session per Python object. Each method
// converts its arguments, calls the Session and converts the result back;
// every decision is the core's.
//
//     class TarnelSession:
//         def __init__(self, scope: dict, vault_dir=None, passphrase=None): ...
//         def list(self) -> list[dict]: ...
//         def status(self, coordinate, project=None) -> dict: ...
//         def fingerprint(self, coordinate, project=None) -> str: ...
//         def reveal(self, coordinate, project=None) -> bytes: ...
//         def set(self, coordinate, value, project=None) -> dict: ...
//         def generate(self, coordinate, length=32, sensitivity=None,
//                      description=None, project=None) -> dict: ...
//         def delete(self, coordinate, project=None) -> None: ...
//         def edit_metadata(self, coordinate, sensitivity=None, description=None,
//                           revealable=None, reference=None, project=None) -> dict: ...
//         def request_secret(self, coordinate, sensitivity=None, description=None,
//                            project=None, client_identity=None) -> str: ...

#include "ffi/tarnel_session.hpp"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/secret.hpp"
#include "ffi/boundary.hpp"
#include "ffi/py_ref.hpp"
#include "ffi/record_view.hpp"
#include "ffi/scope_dict.hpp"
#include "ffi/session.hpp"

namespace tarnel::ffi {

namespace {

struct SessionObject {
    PyObject_HEAD
    // Owned. Deleting it wipes the master key.
    Session* session;
};

const Session& session_of(PyObject* self) { return *reinterpret_cast<SessionObject*>(self)->session; }

// A body's result when the Python error is already set (argument
// conversion): a null reference that guard() hands back as is.
FfiResult<PyRef> python_error() { return PyRef(); }

// ---- argument conversion ------------------------------------------------

// Keyword lists are char** up to 3.12; the strings are never written.
template <std::size_t N>
char** keywords(const char* const (&names)[N]) {
    return const_cast<char**>(names);
}

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

bool argument_error(const char* function, const char* name, const char* expected, PyObject* given) {
    const std::string text = std::string(function) + "() argument '" + name + "' must be " + expected +
                             ", not " + type_name(given);
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

// The argument's UTF-8 text, borrowed from the str object (alive for the call).
bool text_argument(PyObject* object, const char* function, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(object)) return argument_error(function, name, "str", object);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// Null (not passed) and None both mean absent.
bool optional_text_argument(PyObject* object, const char* function, const char* name, OptText& out) {
    if (object == nullptr || object == Py_None) {
        out = std::nullopt;
        return true;
    }
    if (!PyUnicode_Check(object)) return argument_error(function, name, "str or None", object);
    std::string_view text;
    if (!text_argument(object, function, name, text)) return false;
    out = text;
    return true;
}

// ---- results ------------------------------------------------------------

bool set_item(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef text(std::string_view value) { return to_python(value); }

// Keys in this order, always all of them; "reference" is None unless the
// record is a reference.
PyRef view_to_dict(const RecordView& view) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const bool complete =
        set_item(dict.get(), "coordinate", text(view.coordinate)) &&
        set_item(dict.get(), "environment", text(view.environment)) &&
        set_item(dict.get(), "component", text(view.component)) &&
        set_item(dict.get(), "key", text(view.key)) &&
        set_item(dict.get(), "sensitivity", text(view.sensitivity)) &&
        set_item(dict.get(), "mode", text(view.mode)) &&
        set_item(dict.get(), "fingerprint", text(view.fingerprint)) &&
        set_item(dict.get(), "revealable", PyRef::steal(PyBool_FromLong(view.revealable ? 1 : 0))) &&
        set_item(dict.get(), "origin", text(view.origin)) &&
        set_item(dict.get(), "reference", view.reference ? text(*view.reference) : PyRef::borrow(Py_None));
    return complete ? std::move(dict) : PyRef();
}

PyRef views_to_list(const std::vector<RecordView>& views) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return {};
    for (const RecordView& view : views) {
        PyRef item = view_to_dict(view);
        if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

// The Python object gets its own copy; ours is wiped when `value` goes.
PyRef value_to_bytes(const core::SecretValue& value) {
    const std::string_view bytes = value.expose_secret_chars();
    return PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The Python form of a session result; g++ 12's std::expected has no
// transform() yet.
template <class T, class Convert>
FfiResult<PyRef> convert(FfiResult<T>&& result, Convert&& to_object) {
    if (!result) return std::unexpected(std::move(result.error()));
    if constexpr (std::is_void_v<T>) {
        return to_object();
    } else {
        return to_object(*result);
    }
}

// ---- construction and release --------------------------------------------

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        static const char* const names[] = {"scope", "vault_dir", "passphrase", nullptr};
        PyObject* scope_arg = nullptr;
        PyObject* vault_dir_arg = nullptr;
        PyObject* passphrase_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:TarnelSession", keywords(names), &scope_arg,
                                         &vault_dir_arg, &passphrase_arg)) {
            return python_error();
        }
        if (!PyDict_Check(scope_arg)) {
            argument_error("TarnelSession", "scope", "dict", scope_arg);
            return python_error();
        }
        OptText vault_dir;
        OptText passphrase;
        if (!optional_text_argument(vault_dir_arg, "TarnelSession", "vault_dir", vault_dir) ||
            !optional_text_argument(passphrase_arg, "TarnelSession", "passphrase", passphrase)) {
            return python_error();
        }

        // Before anything touches the disk: a bad scope never opens a vault.
        auto scope = scope_from_dict(scope_arg);
        if (!scope) return python_error();

        std::optional<std::filesystem::path> root;
        if (vault_dir) root = std::filesystem::path(*vault_dir);
        std::optional<core::SecretValue> secret;
        if (passphrase) secret = core::SecretValue::from_text(*passphrase);

        auto opened = Session::open(std::move(root), std::move(*scope), std::move(secret));
        if (!opened) return std::unexpected(std::move(opened.error()));

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyRef self = PyRef::steal(alloc(type, 0));
        if (!self) return python_error();
        reinterpret_cast<SessionObject*>(self.get())->session = new Session(std::move(*opened));
        return self;
    });
}

void session_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(reinterpret_cast<SessionObject*>(self)->session, nullptr);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

// ---- metadata ------------------------------------------------------------

PyObject* session_list(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        static const char* const names[] = {nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":list", keywords(names))) return python_error();
        return convert(session_of(self).list_visible(), views_to_list);
    });
}

// (coordinate, project=None), shared by status, fingerprint, reveal and delete.
bool coordinate_and_project(PyObject* args, PyObject* kwargs, const char* function, std::string_view& coordinate,
                            OptText& project) {
    static const char* const names[] = {"coordinate", "project", nullptr};
    const std::string format = std::string("O|O:") + function;
    PyObject* coordinate_arg = nullptr;
    PyObject* project_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords(names), &coordinate_arg, &project_arg)) {
        return false;
    }
    return text_argument(coordinate_arg, function, "coordinate", coordinate) &&
           optional_text_argument(project_arg, function, "project", project);
}

PyObject* session_status(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!coordinate_and_project(args, kwargs, "status", coordinate, project)) return python_error();
        return convert(session_of(self).status_of(coordinate, project), view_to_dict);
    });
}

PyObject* session_fingerprint(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!coordinate_and_project(args, kwargs, "fingerprint", coordinate, project)) return python_error();
        return convert(session_of(self).fingerprint_of(coordinate, project),
                       [](const std::string& fingerprint) { return text(fingerprint); });
    });
}

// ---- reveal --------------------------------------------------------------

PyObject* session_reveal(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!coordinate_and_project(args, kwargs, "reveal", coordinate, project)) return python_error();
        return convert(session_of(self).reveal(coordinate, project), value_to_bytes);
    });
}

// ---- writes --------------------------------------------------------------

PyObject* session_set(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        static const char* const names[] = {"coordinate", "value", "project", nullptr};
        PyObject* coordinate_arg = nullptr;
        PyObject* value_arg = nullptr;
        PyObject* project_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:set", keywords(names), &coordinate_arg, &value_arg,
                                         &project_arg)) {
            return python_error();
        }
        std::string_view coordinate;
        std::string_view value_text;
        OptText project;
        if (!text_argument(coordinate_arg, "set", "coordinate", coordinate) ||
            !text_argument(value_arg, "set", "value", value_text) ||
            !optional_text_argument(project_arg, "set", "project", project)) {
            return python_error();
        }
        // Straight from the str's UTF-8 into the wiping holder; no
        // intermediate std::string keeps a copy.
        core::SecretValue value = core::SecretValue::from_text(value_text);
        return convert(session_of(self).set(coordinate, std::move(value), project), view_to_dict);
    });
}

// A non-negative int; bool is an int in Python and is taken as one.
bool length_argument(PyObject* object, std::uint64_t& out) {
    if (object == nullptr) {
        out = 32;
        return true;
    }
    if (!PyLong_Check(object)) return argument_error("generate", "length", "int", object);
    const unsigned long long length = PyLong_AsUnsignedLongLong(object);
    if (length == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = length;
    return true;
}

PyObject* session_generate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        static const char* const names[] = {"coordinate", "length", "sensitivity", "description", "project",
                                            nullptr};
        PyObject* coordinate_arg = nullptr;
        PyObject* length_arg = nullptr;
        PyObject* sensitivity_arg = nullptr;
        PyObject* description_arg = nullptr;
        PyObject* project_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:generate", keywords(names), &coordinate_arg,
                                         &length_arg, &sensitivity_arg, &description_arg, &project_arg)) {
            return python_error();
        }
        std::string_view coordinate;
        std::uint64_t length = 0;
        OptText sensitivity;
        OptText description;
        OptText project;
        if (!text_argument(coordinate_arg, "generate", "coordinate", coordinate) ||
            !length_argument(length_arg, length) ||
            !optional_text_argument(sensitivity_arg, "generate", "sensitivity", sensitivity) ||
            !optional_text_argument(description_arg, "generate", "description", description) ||
            !optional_text_argument(project_arg, "generate", "project", project)) {
            return python_error();
        }
        return convert(session_of(self).generate(coordinate, length, sensitivity, description, project),
                       view_to_dict);
    });
}

PyObject* session_delete(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!coordinate_and_project(args, kwargs, "delete", coordinate, project)) return python_error();
        return convert(session_of(self).remove(coordinate, project), [] { return PyRef::borrow(Py_None); });
    });
}

// ---- metadata edits and requests ------------------------------------------

bool revealable_argument(PyObject* object, std::optional<bool>& out) {
    if (object == nullptr || object == Py_None) {
        out = std::nullopt;
        return true;
    }
    // Only a real bool: 0 and 1 are more likely a caller's mistake than intent.
    if (!PyBool_Check(object)) return argument_error("edit_metadata", "revealable", "bool or None", object);
    out = object == Py_True;
    return true;
}

PyObject* session_edit_metadata(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        static const char* const names[] = {"coordinate", "sensitivity", "description", "revealable",
                                            "reference", "project", nullptr};
        PyObject* coordinate_arg = nullptr;
        PyObject* sensitivity_arg = nullptr;
        PyObject* description_arg = nullptr;
        PyObject* revealable_arg = nullptr;
        PyObject* reference_arg = nullptr;
        PyObject* project_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO:edit_metadata", keywords(names), &coordinate_arg,
                                         &sensitivity_arg, &description_arg, &revealable_arg, &reference_arg,
                                         &project_arg)) {
            return python_error();
        }
        std::string_view coordinate;
        OptText sensitivity;
        OptText description;
        std::optional<bool> revealable;
        OptText reference;
        OptText project;
        if (!text_argument(coordinate_arg, "edit_metadata", "coordinate", coordinate) ||
            !optional_text_argument(sensitivity_arg, "edit_metadata", "sensitivity", sensitivity) ||
            !optional_text_argument(description_arg, "edit_metadata", "description", description) ||
            !revealable_argument(revealable_arg, revealable) ||
            !optional_text_argument(reference_arg, "edit_metadata", "reference", reference) ||
            !optional_text_argument(project_arg, "edit_metadata", "project", project)) {
            return python_error();
        }
        return convert(
            session_of(self).edit_metadata(coordinate, sensitivity, description, revealable, reference, project),
            view_to_dict);
    });
}

PyObject* session_request_secret(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> FfiResult<PyRef> {
        static const char* const names[] = {"coordinate", "sensitivity", "description", "project",
                                            "client_identity", nullptr};
        PyObject* coordinate_arg = nullptr;
        PyObject* sensitivity_arg = nullptr;
        PyObject* description_arg = nullptr;
        PyObject* project_arg = nullptr;
        PyObject* identity_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:request_secret", keywords(names), &coordinate_arg,
                                         &sensitivity_arg, &description_arg, &project_arg, &identity_arg)) {
            return python_error();
        }
        std::string_view coordinate;
        OptText sensitivity;
        OptText description;
        OptText project;
        OptText client_identity;
        if (!text_argument(coordinate_arg, "request_secret", "coordinate", coordinate) ||
            !optional_text_argument(sensitivity_arg, "request_secret", "sensitivity", sensitivity) ||
            !optional_text_argument(description_arg, "request_secret", "description", description) ||
            !optional_text_argument(project_arg, "request_secret", "project", project) ||
            !optional_text_argument(identity_arg, "request_secret", "client_identity", client_identity)) {
            return python_error();
        }
        return convert(session_of(self).request_intake(coordinate, sensitivity, description, project, client_identity),
                       [](const std::string& id) { return text(id); });
    });
}

// ---- the type ------------------------------------------------------------

// Each docstring opens with the signature line inspect reads.
PyDoc_STRVAR(session_doc,
             "TarnelSession(scope, vault_dir=None, passphrase=None)\n--\n\n"
             "An agent session bound to a fixed [`scope`](session::Session) and a vault.\n\n"
             "Constructed once per MCP session; the scope cannot be widened afterwards\n"
             "(I13). All methods enforce policy through the core funnel \xe2\x80\x94 the binding\n"
             "never decides anything itself.");

PyDoc_STRVAR(list_doc,
             "list($self)\n--\n\n"
             "List metadata for every secret addressable in this session. Out-of-scope\n"
             "coordinates never appear (I13). No values are returned.");

PyDoc_STRVAR(status_doc,
             "status($self, coordinate, project=None)\n--\n\n"
             "Metadata for one coordinate (diagnose). Raises `TarnelNotFound` for an\n"
             "out-of-scope *or* absent coordinate \xe2\x80\x94 the two are indistinguishable (I13).");

PyDoc_STRVAR(fingerprint_doc,
             "fingerprint($self, coordinate, project=None)\n--\n\n"
             "The truncated fingerprint of a coordinate's value. Raises `TarnelNotFound`\n"
             "when not addressable (I13).");

PyDoc_STRVAR(reveal_doc,
             "reveal($self, coordinate, project=None)\n--\n\n"
             "Reveal a value into the agent's context \xe2\x80\x94 returns raw `bytes`. Only a\n"
             "`revealable`, non-prod, non-high literal is ever returned (I11); `prod`,\n"
             "`high`, and `inject-only` raise `TarnelDenied` (I14), and an out-of-scope\n"
             "coordinate raises `TarnelNotFound` (I13).");

PyDoc_STRVAR(set_doc,
             "set($self, coordinate, value, project=None)\n--\n\n"
             "Create or update a literal value. The value crosses as a tool argument,\n"
             "never argv (I6). Returns the new metadata (no value). `prod` is born\n"
             "`high` (I5).");

PyDoc_STRVAR(generate_doc,
             "generate($self, coordinate, length=32, sensitivity=None, description=None, project=None)\n--\n\n"
             "Generate a random value server-side and store it. Returns metadata only \xe2\x80\x94\n"
             "the value is never returned to the model (I6, AC3).");

PyDoc_STRVAR(delete_doc,
             "delete($self, coordinate, project=None)\n--\n\n"
             "Delete a secret. Raises `TarnelNotFound` when out of scope or absent (I13).");

PyDoc_STRVAR(edit_metadata_doc,
             "edit_metadata($self, coordinate, sensitivity=None, description=None, revealable=None, "
             "reference=None, project=None)\n--\n\n"
             "Edit metadata (sensitivity / description / revealable / reference). A\n"
             "sensitivity downgrade is separately audited (I5). Returns the new metadata.");

PyDoc_STRVAR(request_secret_doc,
             "request_secret($self, coordinate, sensitivity=None, description=None, project=None, "
             "client_identity=None)\n--\n\n"
             "Request a human to CREATE a secret at `coordinate` (TRN-69a). You name ONLY\n"
             "the coordinate (and optionally a sensitivity/description) \xe2\x80\x94 there is **no\n"
             "value parameter**. A human supplies the value out-of-band, so the value\n"
             "never enters your context (I11/I14). Returns the intake id.");

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*) noexcept>
PyCFunction with_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef session_methods[] = {
    {"list", with_keywords<session_list>(), METH_VARARGS | METH_KEYWORDS, list_doc},
    {"status", with_keywords<session_status>(), METH_VARARGS | METH_KEYWORDS, status_doc},
    {"fingerprint", with_keywords<session_fingerprint>(), METH_VARARGS | METH_KEYWORDS, fingerprint_doc},
    {"reveal", with_keywords<session_reveal>(), METH_VARARGS | METH_KEYWORDS, reveal_doc},
    {"set", with_keywords<session_set>(), METH_VARARGS | METH_KEYWORDS, set_doc},
    {"generate", with_keywords<session_generate>(), METH_VARARGS | METH_KEYWORDS, generate_doc},
    {"delete", with_keywords<session_delete>(), METH_VARARGS | METH_KEYWORDS, delete_doc},
    {"edit_metadata", with_keywords<session_edit_metadata>(), METH_VARARGS | METH_KEYWORDS, edit_metadata_doc},
    {"request_secret", with_keywords<session_request_secret>(), METH_VARARGS | METH_KEYWORDS,
     request_secret_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_doc, const_cast<char*>(session_doc)},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_methods, session_methods},
    {0, nullptr},
};

PyType_Spec session_spec = {
    .name = "tarnel_ffi.TarnelSession",
    .basicsize = sizeof(SessionObject),
    .itemsize = 0,
    // Not a base type: a subclass could add state the session never vetted.
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = session_slots,
};

}  // namespace

int add_session_type(PyObject* module) noexcept {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &session_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get()));
}

}  // namespace tarnel::ffi
