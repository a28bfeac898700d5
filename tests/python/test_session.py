"""TarnelSession construction and what every method shares: signatures, argument
conversion, scope filtering, and the indistinguishable out-of-scope / absent answer."""

import inspect
import os
import pydoc

import pytest

from tarnel_ffi import TarnelDenied, TarnelError, TarnelNotFound, TarnelSession
from vaultkit import PASSPHRASE, Vault, literal

CLASS_DOC = (
    "An agent session bound to a fixed [`scope`](session::Session) and a vault.\n\n"
    "Constructed once per MCP session; the scope cannot be widened afterwards\n"
    "(I13). All methods enforce policy through the core funnel \u2014 the binding\n"
    "never decides anything itself."
)
SALT_MESSAGE = "reading kdf.salt from the vault root (run `tarnel init` first)"
KEY_MESSAGE = "obtaining the master key (run `tarnel init`?)"
UNKNOWN_OP = "unknown scope operation `{}` (expected metadata|inject|reveal|write)"
AT = "secret:dev/db/password"

# name: (signature of the bound method, docstring)
METHODS = {
    "list": ("()", "List metadata for every secret addressable in this session. Out-of-scope\n"
                   "coordinates never appear (I13). No values are returned."),
    "status": ("(coordinate, project=None)",
               "Metadata for one coordinate (diagnose). Raises `TarnelNotFound` for an\n"
               "out-of-scope *or* absent coordinate \u2014 the two are indistinguishable (I13)."),
    "fingerprint": ("(coordinate, project=None)",
                    "The truncated fingerprint of a coordinate's value. Raises `TarnelNotFound`\n"
                    "when not addressable (I13)."),
    "reveal": ("(coordinate, project=None)",
               "Reveal a value into the agent's context \u2014 returns raw `bytes`. Only a\n"
               "`revealable`, non-prod, non-high literal is ever returned (I11); `prod`,\n"
               "`high`, and `inject-only` raise `TarnelDenied` (I14), and an out-of-scope\n"
               "coordinate raises `TarnelNotFound` (I13)."),
    "set": ("(coordinate, value, project=None)",
            "Create or update a literal value. The value crosses as a tool argument,\n"
            "never argv (I6). Returns the new metadata (no value). `prod` is born\n"
            "`high` (I5)."),
    "generate": ("(coordinate, length=32, sensitivity=None, description=None, project=None)",
                 "Generate a random value server-side and store it. Returns metadata only \u2014\n"
                 "the value is never returned to the model (I6, AC3)."),
    "delete": ("(coordinate, project=None)",
               "Delete a secret. Raises `TarnelNotFound` when out of scope or absent (I13)."),
    "edit_metadata": ("(coordinate, sensitivity=None, description=None, revealable=None, reference=None, "
                      "project=None)",
                      "Edit metadata (sensitivity / description / revealable / reference). A\n"
                      "sensitivity downgrade is separately audited (I5). Returns the new metadata."),
    "request_secret": ("(coordinate, sensitivity=None, description=None, project=None, client_identity=None)",
                       "Request a human to CREATE a secret at `coordinate` (TRN-69a). You name ONLY\n"
                       "the coordinate (and optionally a sensitivity/description) \u2014 there is **no\n"
                       "value parameter**. A human supplies the value out-of-band, so the value\n"
                       "never enters your context (I11/I14). Returns the intake id."),
    "inject_run": ("(refs, env, program, args=..., project=None, client_identity=None)",
                   "Resolve an `.env.refs` (provided inline) and run `program args...` with\n"
                   "the values injected into the child's environment \u2014 never into the model's\n"
                   "context (I7). High/prod injection needs the executor allowlisted (I15) and\n"
                   "an attended `tarnel approve` (I3/I16). Returns `{status, stdout, stderr}`\n"
                   "with vault values masked (\u00a75.1).\n"
                   "\n"
                   "`client_identity` is the trusted caller identity the MCP server passes for\n"
                   "the I16 confirmation prompt (\u00a78.3) \u2014 e.g. the agent/client/session name it\n"
                   "authenticated. It is rendered as the *requesting process* on the attended\n"
                   "dialog so the human sees who is asking, rather than always \"tarnel\". It\n"
                   "must be a server-authored fact, never the agent's own free text (which is\n"
                   "the separately fenced `requester_description`), and never a secret value."),
}

# Each coordinate-taking method, the scope operation it needs, and a call with harmless other arguments.
CALLS = {
    "status": ("metadata", lambda s, c, p=None: s.status(c, p)),
    "fingerprint": ("metadata", lambda s, c, p=None: s.fingerprint(c, p)),
    "reveal": ("reveal", lambda s, c, p=None: s.reveal(c, p)),
    "set": ("write", lambda s, c, p=None: s.set(c, "x", project=p)),
    "generate": ("write", lambda s, c, p=None: s.generate(c, project=p)),
    "delete": ("write", lambda s, c, p=None: s.delete(c, p)),
    "edit_metadata": ("write", lambda s, c, p=None: s.edit_metadata(c, description="x", project=p)),
    "request_secret": ("write", lambda s, c, p=None: s.request_secret(c, project=p)),
}


def open_at(root, operations=("metadata",), passphrase=PASSPHRASE, **scope):
    return TarnelSession({"operations": list(operations), **scope}, vault_dir=str(root), passphrase=passphrase)


def raised(call, cls=TarnelError):
    with pytest.raises(cls) as caught:
        call()
    return caught.value


@pytest.fixture
def no_secret_service(monkeypatch, tmp_path):
    # Without a session bus the platform keyring fails the same way everywhere.
    for name in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"):
        monkeypatch.delenv(name, raising=False)
    (tmp_path / "runtime").mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path / "runtime"))


# --- the class and its methods ----------------------------------------------------


def test_class_docstring_signature_and_method_set():
    assert TarnelSession.__doc__ == CLASS_DOC
    assert TarnelSession.__text_signature__ == "(scope, vault_dir=None, passphrase=None, key_fd=None)"
    assert str(inspect.signature(TarnelSession)) == "(scope, vault_dir=None, passphrase=None, key_fd=None)"
    assert (TarnelSession.__module__, TarnelSession.__qualname__) == ("tarnel_ffi", "TarnelSession")
    assert sorted(name for name in vars(TarnelSession) if not name.startswith("_")) == sorted(METHODS)
    assert "TarnelSession(scope, vault_dir=None, passphrase=None, key_fd=None)" in pydoc.render_doc(TarnelSession)
    with pytest.raises(TypeError):
        type("Wider", (TarnelSession,), {})


@pytest.mark.parametrize("name", sorted(METHODS))
def test_method_signature_and_docstring(open_session, name):
    bound, doc = METHODS[name]
    method = getattr(TarnelSession, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == "($self" + ("" if bound == "()" else ", " + bound[1:-1]) + ")"
    # inspect shows the default "..." as the object it stands for.
    shown_bound = bound.replace("...", "Ellipsis")
    assert str(inspect.signature(method)) == "(self, /" + ("" if bound == "()" else ", ") + shown_bound[1:]
    assert str(inspect.signature(getattr(open_session(), name))) == shown_bound
    assert (method.__name__, method.__qualname__) == (name, f"TarnelSession.{name}")
    shown = pydoc.render_doc(method, renderer=pydoc.plaintext)
    assert " ".join(doc.split()) in " ".join(shown.split())


C = AT
BAD_ARGUMENTS = [
    (lambda s: s.list(1), TypeError, ""),
    (lambda s: s.status(1), TypeError, "argument 'coordinate' must be str, not int"),
    (lambda s: s.status(C, 1), TypeError, "argument 'project' must be str or None, not int"),
    (lambda s: s.status(C, colour="blue"), TypeError, ""),
    (lambda s: s.fingerprint(C, project=b"alpha"), TypeError, "argument 'project' must be str or None, not bytes"),
    (lambda s: s.fingerprint(C, None, None), TypeError, ""),
    (lambda s: s.reveal(b"secret:dev/db/password"), TypeError, "argument 'coordinate' must be str, not bytes"),
    (lambda s: s.reveal(C, 1), TypeError, "argument 'project' must be str or None, not int"),
    (lambda s: s.set(1, "v"), TypeError, "argument 'coordinate' must be str, not int"),
    (lambda s: s.set(C, b"v"), TypeError, "argument 'value' must be str, not bytes"),
    (lambda s: s.set(C, value=None), TypeError, "argument 'value' must be str, not NoneType"),
    (lambda s: s.set(C), TypeError, "value"),
    (lambda s: s.generate(C, "32"), TypeError, "argument 'length' must be int, not str"),
    (lambda s: s.generate(C, 1.0), TypeError, "argument 'length' must be int, not float"),
    (lambda s: s.generate(C, -1), OverflowError, ""),
    (lambda s: s.generate(C, sensitivity=1), TypeError, "argument 'sensitivity' must be str or None, not int"),
    (lambda s: s.generate(C, description=[]), TypeError, "argument 'description' must be str or None, not list"),
    (lambda s: s.delete(None), TypeError, "argument 'coordinate' must be str, not NoneType"),
    (lambda s: s.delete(C, 1), TypeError, "argument 'project' must be str or None, not int"),
    (lambda s: s.edit_metadata(C, revealable=1), TypeError, "argument 'revealable' must be bool or None, not int"),
    (lambda s: s.edit_metadata(C, reference=1), TypeError, "argument 'reference' must be str or None, not int"),
    (lambda s: s.request_secret(C, client_identity=1), TypeError,
     "argument 'client_identity' must be str or None, not int"),
    (lambda s: s.request_secret(C, value="v"), TypeError, "value"),
]


@pytest.mark.parametrize(("call", "error", "text"), BAD_ARGUMENTS)
def test_arguments_are_converted_before_anything_runs(vault, open_session, call, error, text):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    session = open_session()
    before = sorted(str(path) for path in vault.root.rglob("*"))
    assert text in str(raised(lambda: call(session), error))
    assert sorted(str(path) for path in vault.root.rglob("*")) == before


# --- construction ---------------------------------------------------------------


CONSTRUCTION_ERRORS = [
    ({"scope": None}, TypeError, "argument 'scope' must be dict, not"),
    ({"scope": []}, TypeError, "argument 'scope' must be dict, not"),
    ({"scope": (("operations", []),)}, TypeError, "argument 'scope' must be dict, not"),
    ({"vault_dir": 1}, TypeError, "argument 'vault_dir' must be str or None, not int"),
    ({"passphrase": b"x"}, TypeError, "argument 'passphrase' must be str or None, not bytes"),
    ({"colour": "blue"}, TypeError, None),
    ({"key_fd": "3"}, TypeError, "argument 'key_fd' must be int, not str"),
    ({"key_fd": 0}, ValueError, "TarnelSession() takes a passphrase or a key_fd, not both"),
    # Only a process others cannot read may take a handed-over key.
    ({"passphrase": None, "key_fd": 0}, TarnelDenied,
     "this process is dumpable: make it non-dumpable before it takes the key"),
    ({"scope": {}}, TarnelError, "scope must include an `operations` list"),
    ({"scope": {"operations": "reveal"}}, TypeError, "Can't extract `str` to `Vec`"),
    ({"scope": {"operations": ["metadata", "read"]}}, TarnelError, UNKNOWN_OP.format("read")),
    ({"scope": {"operations": ["READ"]}}, TarnelError, UNKNOWN_OP.format("read")),
    ({"scope": {"operations": ["Delete", "read"]}}, TarnelError, UNKNOWN_OP.format("delete")),
    *(({"scope": {"operations": ops}}, TypeError, None)
      for ops in (None, 1, {"metadata"}, ["metadata", 1], [b"reveal"], b"reveal")),
    *(({"scope": {"operations": [], key: value}}, TypeError, None)
      for key in ("projects", "environments") for value in (1, ["a", 2], {"a": 1}, b"a", [None])),
]


@pytest.mark.parametrize(("arguments", "error", "message"), CONSTRUCTION_ERRORS)
@pytest.mark.parametrize("root_exists", [False, True])
def test_construction_errors_come_before_the_disk(tmp_path, arguments, error, message, root_exists):
    root = tmp_path / "never"
    if root_exists:
        root.mkdir()  # no kdf.salt: the argument error still comes first
    kwargs = {"scope": {"operations": []}, "vault_dir": str(root), "passphrase": PASSPHRASE, **arguments}
    caught = raised(lambda: TarnelSession(**kwargs), error)
    assert type(caught) is error
    if message is not None and message.startswith("argument "):
        assert message in str(caught)
    elif message is not None:
        assert str(caught) == message
    assert (list(root.iterdir()) == []) if root_exists else not root.exists()


def test_accepted_scope_forms_and_argument_passing(vault):
    vault.write(literal("dev/db/password", b"v", revealable=True))

    class Scope(dict):
        pass

    by_position = TarnelSession(Scope(operations=("REVEAL", "Metadata"), comment="ignored"), str(vault.root),
                                vault.passphrase)
    assert [view["coordinate"] for view in by_position.list()] == ["dev/db/password"]
    assert by_position.reveal(AT) == b"v"
    by_keyword = TarnelSession(passphrase=vault.passphrase, scope={"operations": ["metadata"]},
                               vault_dir=str(vault.root))
    assert by_keyword.list() == by_position.list()
    del by_position  # sessions are independent: releasing one leaves the other working
    assert len(by_keyword.list()) == 1
    nothing = TarnelSession({"operations": []}, str(vault.root), vault.passphrase)
    assert nothing.list() == []
    raised(lambda: nothing.reveal(AT), TarnelNotFound)


# --- filters, seen through list() -----------------------------------------------

EVERYTHING = [("global", "dev/app/one"), ("global", "prod/app/two"),
              ("project:a", "dev/app/three"), ("project:b", "stage/app/four")]


@pytest.mark.parametrize(("scope", "expected"), [
    ({}, EVERYTHING),
    *(({"projects": p}, EVERYTHING) for p in ("*", None, ["a", "*"], ("*",))),
    *(({"environments": e}, EVERYTHING) for e in ("*", None, ["dev", "*"])),
    ({"projects": "a"}, [("project:a", "dev/app/three")]),
    ({"projects": ["b", "a", "a"]}, [("project:a", "dev/app/three"), ("project:b", "stage/app/four")]),
    ({"projects": []}, []),
    ({"projects": ["A", " a"]}, []),
    ({"environments": "Dev"}, []),
    ({"environments": "dev"}, [("global", "dev/app/one"), ("project:a", "dev/app/three")]),
    ({"environments": ["prod", "stage"]}, [("global", "prod/app/two"), ("project:b", "stage/app/four")]),
    ({"environments": []}, []),
    ({"operations": ["reveal", "write", "inject"]}, []),
])
def test_scope_filters(vault, scope, expected):
    vault.write(literal("dev/app/one", b"1"))
    vault.write(literal("prod/app/two", b"2"))
    vault.write(literal("dev/app/three", b"3"), project="a")
    vault.write(literal("stage/app/four", b"4"), project="b")
    session = open_at(vault.root, **scope)
    assert sorted((view["origin"], view["coordinate"]) for view in session.list()) == expected


# --- out of scope and absent look the same, for every method ----------------------


@pytest.mark.parametrize("method", sorted(CALLS))
@pytest.mark.parametrize(("scope", "project"), [
    ("no-operation", None), ({"projects": ["alpha"]}, None), ({"projects": "alpha"}, "beta"),
    ({"environments": ["prod"]}, None), ({"environments": []}, "alpha"),
])
def test_out_of_scope_and_absent_are_indistinguishable(vault, open_session, method, scope, project):
    operation, call = CALLS[method]
    if scope == "no-operation":
        scope = {"operations": [op for op in ("metadata", "inject", "reveal", "write") if op != operation]}
    for where in (None, "alpha", "beta"):
        vault.write(literal("dev/db/password", b"v", sensitivity="low", revealable=True), project=where)
    open_session().reveal(AT)  # a line already there, to compare byte for byte
    before = vault.audit_bytes()
    files = sorted((str(path), path.read_bytes()) for path in vault.root.rglob("*.sec"))
    session = open_session(**scope)
    present = raised(lambda: call(session, AT, project), TarnelNotFound)
    absent = raised(lambda: call(session, "secret:dev/db/absent", project), TarnelNotFound)
    for error in (present, absent):
        assert type(error) is TarnelNotFound
        assert error.args == ("not addressable",)
    if method not in ("set", "generate", "request_secret"):  # these create an absent coordinate in scope
        in_scope_absent = raised(lambda: call(open_session(), "secret:dev/db/absent", project), TarnelNotFound)
        assert (type(in_scope_absent), in_scope_absent.args) == (TarnelNotFound, ("not addressable",))
    assert vault.audit_bytes() == before
    assert sorted((str(path), path.read_bytes()) for path in vault.root.rglob("*.sec")) == files
    assert not (vault.root / "intake").exists()


@pytest.mark.parametrize("method", sorted(CALLS))
@pytest.mark.parametrize(("coordinate", "check"), [
    ("secret:${ENV}/db/password", lambda text: text.endswith("(a coordinate must be concrete, not ${ENV})")),
    ("dev/db/password", lambda text: text.startswith("invalid coordinate URI: ")),
])
def test_bad_coordinates_are_errors_without_effect(vault, open_session, method, coordinate, check):
    error = raised(lambda: CALLS[method][1](open_session(), coordinate))
    assert type(error) is TarnelError
    assert check(str(error))
    assert vault.audit_bytes() == b""
    assert not (vault.root / "intake").exists()


# --- vault root, passphrase and key --------------------------------------------


@pytest.mark.parametrize("make_root", [True, False])
def test_missing_salt_is_reported_before_any_derivation(tmp_path, make_root):
    root = tmp_path / "vault"
    if make_root:
        root.mkdir()
    caught = raised(lambda: open_at(root))
    assert type(caught) is TarnelError
    assert str(caught) == SALT_MESSAGE
    assert (list(root.iterdir()) == []) if make_root else not root.exists()


def test_salt_sizes(tmp_path):
    for size in (8, 33):
        vault = Vault(tmp_path / f"vault{size}", salt=os.urandom(size))
        vault.write(literal("dev/db/password", b"v"))
        assert len(open_at(vault.root).list()) == 1
    (vault.root / "kdf.salt").write_bytes(b"1234567")
    assert str(raised(lambda: open_at(vault.root))) == "keyring operation failed: salt must be at least 8 bytes"


def test_opening_creates_the_vault_directories(vault, tmp_path):
    open_at(vault.root)
    assert (vault.root / "projects").is_dir()
    assert (vault.root / "global").stat().st_mode & 0o777 == 0o700
    broken = Vault(tmp_path / "broken")
    (broken.root / "global").symlink_to(tmp_path / "dangling")
    assert str(raised(lambda: open_at(broken.root))).startswith("vault I/O failed: create ")


def test_a_record_under_another_key_is_an_error_without_effect(vault):
    path = vault.write(literal("dev/db/password", b"v", revealable=True))
    before = path.read_bytes()
    session = open_at(vault.root, operations=["metadata", "reveal", "write"], passphrase="not it")
    for call in (lambda: session.status(AT), lambda: session.reveal(AT), lambda: session.set(AT, "mine")):
        assert str(raised(call)) == "crypto operation failed"
    assert path.read_bytes() == before
    assert vault.audit_bytes() == b""


@pytest.mark.parametrize(("env_passphrase", "root_exists"), [(None, True), (None, False), ("caf\udce9", True)])
def test_without_a_passphrase_the_platform_keyring_is_asked(tmp_path, monkeypatch, no_secret_service,
                                                            env_passphrase, root_exists):
    # A passphrase in the environment that is not Unicode (surrogate escape of byte 0xE9) is ignored.
    if env_passphrase is not None:
        monkeypatch.setenv("TARNEL_PASSPHRASE", env_passphrase)
    root = Vault(tmp_path / "vault").root if root_exists else tmp_path / "absent"
    assert str(raised(lambda: open_at(root, passphrase=None))) == KEY_MESSAGE
    assert root_exists or not root.exists()


def test_environment_supplies_root_and_passphrase_and_arguments_beat_it(vault, tmp_path, monkeypatch):
    vault.write(literal("dev/db/password", b"v"))
    monkeypatch.setenv("TARNEL_VAULT_DIR", str(vault.root))
    monkeypatch.setenv("TARNEL_PASSPHRASE", vault.passphrase)
    assert len(TarnelSession({"operations": ["metadata"]}).list()) == 1

    elsewhere = tmp_path / "elsewhere"
    monkeypatch.setenv("TARNEL_VAULT_DIR", str(elsewhere))
    monkeypatch.setenv("TARNEL_PASSPHRASE", "wrong")
    session = open_at(vault.root, passphrase=vault.passphrase)
    assert session.status(AT)["coordinate"] == "dev/db/password"
    assert not elsewhere.exists()


def test_default_root_is_vaults_in_home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    vault = Vault(home / ".vaults")
    vault.write(literal("dev/db/password", b"v"))
    monkeypatch.setenv("HOME", str(home))
    session = TarnelSession({"operations": ["metadata"]}, passphrase=vault.passphrase)
    assert [view["coordinate"] for view in session.list()] == ["dev/db/password"]
    # An empty TARNEL_VAULT_DIR is a path (the working directory), not "unset".
    monkeypatch.setenv("TARNEL_VAULT_DIR", "")
    monkeypatch.chdir(tmp_path)
    assert str(raised(lambda: TarnelSession({"operations": []}, passphrase=PASSPHRASE))) == SALT_MESSAGE
    monkeypatch.delenv("TARNEL_VAULT_DIR")
    monkeypatch.delenv("HOME")
    assert str(raised(lambda: TarnelSession({"operations": []}, passphrase=PASSPHRASE))) == (
        "vault I/O failed: no home directory ($HOME) set")
