// The TarnelSession class: one core Session per Python object. Each method
// converts its arguments, calls the Session with the interpreter lock released
// and converts the result back; every decision is the core's. Several threads
// may call one session at once: it is never changed after it is opened.
//
//     class TarnelSession:
//         def __init__(self, scope: dict, vault_dir=None, passphrase=None, key_fd=None): ...
//         def list(self) -> list[dict]: ...
//         def status(self, coordinate, project=None) -> dict: ...
//         def fingerprint(self, coordinate, project=None) -> str: ...
//         def reveal(self, coordinate, project=None) -> bytes: ...
//         def set(self, coordinate, value, project=None) -> dict: ...
//         def generate(self, coordinate, length=32, sensitivity=None,
//                      description=None, project=None) -> dict: ...
//         def delete(self, coordinate, project=None) -> None: ...
//         def edit_metadata(self, coordinate, sensitivity=None, description=None,
//                           revealable=None, reference=None, project=None,
//                           cancel=None) -> dict: ...
//         def request_secret(self, coordinate, sensitivity=None, description=None,
//                            project=None, client_identity=None) -> str: ...
//         def inject_run(self, refs, env, program, args=(), project=None,
//                        client_identity=None, cancel=None) -> dict: ...

#include "ffi/session_type.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/model/secret.hpp"
#include "ffi/args.hpp"
#include "ffi/boundary.hpp"
#include "ffi/cancel_type.hpp"
#include "ffi/py_ref.hpp"
#include "ffi/scope_dict.hpp"
#include "ffi/without_gil.hpp"
#include "session/key_handover.hpp"
#include "session/session.hpp"
#include "session/vault_config.hpp"

namespace tarnel::ffi {

namespace {

using session::RecordView;
using session::Session;

struct SessionObject {
    PyObject_HEAD
        // Constructed in place after allocation and destroyed in dealloc; the
        // session's destructor wipes the master key.
        std::unique_ptr<const Session>
            session;
};

const Session& session_of(PyObject* self) { return *reinterpret_cast<SessionObject*>(self)->session; }

// A body's result when the Python error is already set (argument
// conversion): a null reference that guard() hands back as is.
FfiResult<PyRef> python_error() { return PyRef(); }

// ---- results ------------------------------------------------------------

// The view dictionaries' keys, in insertion order. Created and interned once
// (with the type) instead of at every call; alive as long as the process,
// like the exception classes.
enum ViewKey : std::size_t {
    kCoordinate,
    kEnvironment,
    kComponent,
    kKey,
    kSensitivity,
    kMode,
    kFingerprint,
    kRevealable,
    kOrigin,
    kReference,
    kViewKeyCount,
};
constexpr std::array<const char*, kViewKeyCount> kViewKeyNames{
    "coordinate", "environment", "component",  "key",    "sensitivity",
    "mode",       "fingerprint", "revealable", "origin", "reference",
};
std::array<PyObject*, kViewKeyCount> view_keys{};

// All keys are published together or none is, so a retry after a failure
// part-way makes them all again instead of finding the first and stopping.
int create_view_keys() noexcept {
    if (view_keys[0] != nullptr) return 0;
    std::array<PyObject*, kViewKeyCount> made{};
    for (std::size_t i = 0; i < kViewKeyCount; ++i) {
        made[i] = PyUnicode_InternFromString(kViewKeyNames[i]);
        if (made[i] == nullptr) {
            for (PyObject* key : made) Py_XDECREF(key);
            return -1;
        }
    }
    view_keys = made;
    return 0;
}

bool set_item(PyObject* dict, ViewKey key, PyRef value) {
    return value && PyDict_SetItem(dict, view_keys[key], value.get()) == 0;
}

PyRef text(std::string_view value) { return to_python(value); }

// Keys in this order, always all of them; "reference" is None unless the
// record is a reference.
PyRef view_to_dict(const RecordView& view) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    const bool complete = set_item(d, kCoordinate, text(view.coordinate)) &&
                          set_item(d, kEnvironment, text(view.environment)) &&
                          set_item(d, kComponent, text(view.component)) && set_item(d, kKey, text(view.key)) &&
                          set_item(d, kSensitivity, text(view.sensitivity)) && set_item(d, kMode, text(view.mode)) &&
                          set_item(d, kFingerprint, text(view.fingerprint)) &&
                          set_item(d, kRevealable, PyRef::steal(PyBool_FromLong(view.revealable ? 1 : 0))) &&
                          set_item(d, kOrigin, text(view.origin)) &&
                          set_item(d, kReference, view.reference ? text(*view.reference) : PyRef::borrow(Py_None));
    return complete ? std::move(dict) : PyRef();
}

PyRef views_to_list(const std::vector<RecordView>& views) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(views.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < views.size(); ++i) {
        PyRef item = view_to_dict(views[i]);
        if (!item) return {};
        // Steals the reference, which is what PyList_SetItem wants for a new list.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) return {};
    }
    return list;
}

// The Python object gets its own copy; ours is wiped when `value` goes.
PyRef value_to_bytes(const core::SecretValue& value) {
    const std::string_view bytes = value.expose_secret_chars();
    return PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The masked output written straight into a fresh bytes object, its one copy
// outside the capture, which is wiped when `text` goes. Nothing else can see
// the object while it is written.
PyRef masked_to_bytes(const wrapper::MaskedText& text) {
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(text.size())));
    if (!bytes) return {};
    char* data = PyBytes_AsString(bytes.get());
    if (data == nullptr) return {};
    text.write_to(std::span(reinterpret_cast<std::uint8_t*>(data), text.size()));
    return bytes;
}

PyRef none() { return PyRef::borrow(Py_None); }

// The Python form of a session result; g++ 12's std::expected has no
// transform() yet.
template <class T, class Convert>
FfiResult<PyRef> convert(session::SessionResult<T>&& result, Convert&& to_object) {
    if (!result) return std::unexpected(FfiError(std::move(result.error())));
    if constexpr (std::is_void_v<T>) {
        return to_object();
    } else {
        return to_object(*result);
    }
}

// ---- construction and release --------------------------------------------

constexpr std::uint64_t kNoKeyFd = UINT64_MAX;

FfiResult<PyRef> wrap_session(PyTypeObject* type, Session&& opened) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self = PyRef::steal(alloc(type, 0));
    if (!self) return python_error();
    new (&reinterpret_cast<SessionObject*>(self.get())->session)
        std::unique_ptr<const Session>(std::make_unique<const Session>(std::move(opened)));
    return self;
}

// The key an unlocking owner hands over on `fd` (see key_handover.hpp): read
// straight into the key's holder, never through a Python object.
FfiResult<PyRef> open_with_handed_key(PyTypeObject* type, core::AgentScope scope, std::filesystem::path root, int fd) {
    auto opened = without_gil([&]() -> session::SessionResult<Session> {
        auto key = session::receive_key(fd);
        if (!key) return std::unexpected(std::move(key.error()));
        return Session::open_with_key(std::move(root), std::move(*key), session::Principal::agent(std::move(scope)));
    });
    if (!opened) return std::unexpected(FfiError(std::move(opened.error())));
    return wrap_session(type, std::move(*opened));
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        PyObject* scope_dict = nullptr;
        OptText vault_dir;
        OptText passphrase;
        std::uint64_t key_fd = kNoKeyFd;
        if (!parse_args(args, kwargs, "TarnelSession",
                        {required_dict("scope", scope_dict), optional("vault_dir", vault_dir),
                         optional("passphrase", passphrase), optional("key_fd", key_fd)})) {
            return python_error();
        }
        if (key_fd != kNoKeyFd && (passphrase || key_fd > INT32_MAX)) {
            PyErr_SetString(PyExc_ValueError, passphrase ? "TarnelSession() takes a passphrase or a key_fd, not both"
                                                         : "TarnelSession() key_fd is not a descriptor");
            return python_error();
        }
        // Before anything touches the disk: a bad scope never opens a vault.
        auto scope = scope_from_dict(scope_dict);
        if (!scope) return python_error();

        // What comes from the environment is read now, with the lock held:
        // Python code changes the environment only while holding it, and a
        // change made while getenv reads could free what it reads.
        std::optional<std::filesystem::path> given_dir;
        if (vault_dir) given_dir = std::filesystem::path(*vault_dir);
        auto root = session::choose_root(std::move(given_dir));
        if (!root) return std::unexpected(FfiError(std::move(root.error())));
        if (key_fd != kNoKeyFd)
            return open_with_handed_key(type, std::move(*scope), std::move(*root), static_cast<int>(key_fd));
        std::optional<core::SecretValue> given_passphrase;
        if (passphrase) given_passphrase = core::SecretValue::from_text(*passphrase);
        session::VaultOptions vault{.vault_dir = std::move(*root),
                                    .passphrase = session::choose_passphrase(std::move(given_passphrase))};
        // Released: deriving the key from a passphrase takes a tenth of a second
        // or more, and the platform keyring may wait on its service. A vault
        // with a passphrase check refuses a wrong passphrase here, before a
        // write could seal a record under a key its owner does not have.
        auto opened = without_gil(
            [&] { return Session::open_checked(std::move(vault), session::Principal::agent(std::move(*scope))); });
        if (!opened) return std::unexpected(FfiError(std::move(opened.error())));
        return wrap_session(type, std::move(*opened));
    });
}

void session_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    // Allocation zeroes the object, so one that failed before the session was
    // placed holds a null pointer, which destroys to nothing.
    reinterpret_cast<SessionObject*>(self)->session.~unique_ptr();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

// ---- methods ---------------------------------------------------------------

PyObject* session_list(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        if (!parse_args(args, kwargs, "list", {})) return python_error();
        const Session& session = session_of(self);
        // Released: every record of every vault is read and decrypted.
        return convert(without_gil([&] { return session.list_visible(); }), views_to_list);
    });
}

PyObject* session_status(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!parse_args(args, kwargs, "status", {required("coordinate", coordinate), optional("project", project)})) {
            return python_error();
        }
        const Session& session = session_of(self);
        // Released: the record is read from disk and decrypted.
        return convert(without_gil([&] { return session.status_of(coordinate, project); }), view_to_dict);
    });
}

PyObject* session_fingerprint(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!parse_args(args, kwargs, "fingerprint",
                        {required("coordinate", coordinate), optional("project", project)})) {
            return python_error();
        }
        const Session& session = session_of(self);
        // Released: the record is read from disk and decrypted.
        return convert(without_gil([&] { return session.fingerprint_of(coordinate, project); }), text);
    });
}

PyObject* session_reveal(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!parse_args(args, kwargs, "reveal", {required("coordinate", coordinate), optional("project", project)})) {
            return python_error();
        }
        const Session& session = session_of(self);
        // Released: besides the read, a reveal may wait for a human's confirmation.
        return convert(without_gil([&] { return session.reveal(coordinate, project); }), value_to_bytes);
    });
}

PyObject* session_set(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        std::string_view value;
        OptText project;
        if (!parse_args(args, kwargs, "set",
                        {required("coordinate", coordinate), required("value", value), optional("project", project)})) {
            return python_error();
        }
        // Straight from the str's UTF-8 into the wiping holder; no
        // intermediate std::string keeps a copy.
        core::SecretValue secret = core::SecretValue::from_text(value);
        const Session& session = session_of(self);
        // Released: the write waits for the record's lock and syncs to disk.
        return convert(without_gil([&] { return session.set(coordinate, std::move(secret), project); }), view_to_dict);
    });
}

PyObject* session_generate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        std::uint64_t length = 32;
        OptText sensitivity;
        OptText description;
        OptText project;
        if (!parse_args(
                args, kwargs, "generate",
                {required("coordinate", coordinate), optional("length", length), optional("sensitivity", sensitivity),
                 optional("description", description), optional("project", project)})) {
            return python_error();
        }
        const Session& session = session_of(self);
        // Released: the write waits for the record's lock and syncs to disk.
        return convert(
            without_gil([&] { return session.generate(coordinate, length, sensitivity, description, project); }),
            view_to_dict);
    });
}

PyObject* session_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText project;
        if (!parse_args(args, kwargs, "delete", {required("coordinate", coordinate), optional("project", project)})) {
            return python_error();
        }
        const Session& session = session_of(self);
        // Released: the delete waits for the record's lock.
        return convert(without_gil([&] { return session.remove(coordinate, project); }), none);
    });
}

PyObject* session_edit_metadata(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText sensitivity;
        OptText description;
        std::optional<bool> revealable;
        OptText reference;
        OptText project;
        const core::CancelToken* cancel = &core::CancelToken::never();
        if (!parse_args(args, kwargs, "edit_metadata",
                        {required("coordinate", coordinate), optional("sensitivity", sensitivity),
                         optional("description", description), optional("revealable", revealable),
                         optional("reference", reference), optional("project", project), optional("cancel", cancel)})) {
            return python_error();
        }
        const Session& session = session_of(self);
        // Released: a downgrade waits up to two minutes for a human's answer.
        return convert(without_gil([&] {
                           return session.edit_metadata(coordinate, sensitivity, description, revealable, reference,
                                                        project, *cancel);
                       }),
                       view_to_dict);
    });
}

PyObject* session_request_secret(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view coordinate;
        OptText sensitivity;
        OptText description;
        OptText project;
        OptText client_identity;
        if (!parse_args(args, kwargs, "request_secret",
                        {required("coordinate", coordinate), optional("sensitivity", sensitivity),
                         optional("description", description), optional("project", project),
                         optional("client_identity", client_identity)})) {
            return python_error();
        }
        const Session& session = session_of(self);
        // Released: the request file is written and synced to disk.
        return convert(
            without_gil(
                [&] { return session.request_intake(coordinate, sensitivity, description, project, client_identity); }),
            text);
    });
}

PyRef inject_output_to_dict(const session::InjectOutput& output) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyRef status = output.status ? PyRef::steal(PyLong_FromLong(*output.status)) : PyRef::borrow(Py_None);
    PyRef out = masked_to_bytes(output.out);
    PyRef err = masked_to_bytes(output.err);
    if (!status || !out || !err) return {};
    const bool complete = PyDict_SetItemString(dict.get(), "status", status.get()) == 0 &&
                          PyDict_SetItemString(dict.get(), "stdout", out.get()) == 0 &&
                          PyDict_SetItemString(dict.get(), "stderr", err.get()) == 0;
    return complete ? std::move(dict) : PyRef();
}

PyObject* session_inject_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> FfiResult<PyRef> {
        std::string_view refs;
        std::string_view env;
        std::string_view program;
        std::vector<std::string> program_args;
        OptText project;
        OptText client_identity;
        const core::CancelToken* cancel = &core::CancelToken::never();
        if (!parse_args(args, kwargs, "inject_run",
                        {required("refs", refs), required("env", env), required("program", program),
                         optional("args", program_args), optional("project", project),
                         optional("client_identity", client_identity), optional("cancel", cancel)})) {
            return python_error();
        }
        // Released: provider clients, a human's answer and the child's whole
        // run may each take long.
        return convert(without_gil([&] {
                           return session_of(self).inject_run(refs, env, program, program_args, project,
                                                              client_identity, *cancel);
                       }),
                       inject_output_to_dict);
    });
}

// ---- the type ------------------------------------------------------------

// Each docstring opens with the signature line inspect reads.
PyDoc_STRVAR(session_doc,
             "TarnelSession(scope, vault_dir=None, passphrase=None, key_fd=None)\n--\n\n"
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
             "reference=None, project=None, cancel=None)\n--\n\n"
             "Edit metadata (sensitivity / description / revealable / reference). A\n"
             "sensitivity downgrade is separately audited (I5). Returns the new metadata.\n\n"
             "A `CancelToken` given as `cancel` withdraws a wait for the owner's approval.");

PyDoc_STRVAR(request_secret_doc,
             "request_secret($self, coordinate, sensitivity=None, description=None, project=None, "
             "client_identity=None)\n--\n\n"
             "Request a human to CREATE a secret at `coordinate` (TRN-69a). You name ONLY\n"
             "the coordinate (and optionally a sensitivity/description) \xe2\x80\x94 there is **no\n"
             "value parameter**. A human supplies the value out-of-band, so the value\n"
             "never enters your context (I11/I14). Returns the intake id.");

PyDoc_STRVAR(inject_run_doc,
             "inject_run($self, refs, env, program, args=..., project=None, client_identity=None, "
             "cancel=None)\n--\n\n"
             "Resolve an `.env.refs` (provided inline) and run `program args...` with\n"
             "the values injected into the child's environment \xe2\x80\x94 never into the model's\n"
             "context (I7). High/prod injection needs the executor allowlisted (I15) and\n"
             "an attended `tarnel approve` (I3/I16). Returns `{status, stdout, stderr}`\n"
             "with vault values masked (\xc2\xa7"
             "5.1).\n"
             "\n"
             "`client_identity` is the trusted caller identity the MCP server passes for\n"
             "the I16 confirmation prompt (\xc2\xa7"
             "8.3) \xe2\x80\x94 e.g. the agent/client/session name it\n"
             "authenticated. It is rendered as the *requesting process* on the attended\n"
             "dialog so the human sees who is asking, rather than always \"tarnel\". It\n"
             "must be a server-authored fact, never the agent's own free text (which is\n"
             "the separately fenced `requester_description`), and never a secret value.\n"
             "\n"
             "A `CancelToken` given as `cancel` withdraws a wait for the owner's approval,\n"
             "or stops the running program and its process group.");

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
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
    {"request_secret", with_keywords<session_request_secret>(), METH_VARARGS | METH_KEYWORDS, request_secret_doc},
    {"inject_run", with_keywords<session_inject_run>(), METH_VARARGS | METH_KEYWORDS, inject_run_doc},
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
    if (create_view_keys() < 0) return -1;
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &session_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get()));
}

}  // namespace tarnel::ffi
