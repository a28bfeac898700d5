"""TarnelSession construction: the scope dictionary, the vault root, the passphrase and the key."""

import inspect
import os
import pydoc
from pathlib import Path

import pytest

import tarnel_ffi
from tarnel_ffi import TarnelError, TarnelSession
from vaultkit import PASSPHRASE, Vault, literal

CLASS_DOC = (
    "An agent session bound to a fixed [`scope`](session::Session) and a vault.\n\n"
    "Constructed once per MCP session; the scope cannot be widened afterwards\n"
    "(I13). All methods enforce policy through the core funnel \u2014 the binding\n"
    "never decides anything itself."
)
SALT_MESSAGE = "reading kdf.salt from the vault root (run `tarnel init` first)"
KEY_MESSAGE = "obtaining the master key (run `tarnel init`?)"


def open_at(root, operations=("metadata",), passphrase=PASSPHRASE, **scope):
    return TarnelSession({"operations": list(operations), **scope}, vault_dir=str(root), passphrase=passphrase)


@pytest.fixture
def no_secret_service(monkeypatch, tmp_path):
    # Without a session bus the platform keyring fails the same way everywhere.
    for name in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"):
        monkeypatch.delenv(name, raising=False)
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(runtime))


# --- the class itself -------------------------------------------------------


def test_class_docstring_and_signature():
    assert TarnelSession.__doc__ == CLASS_DOC
    assert TarnelSession.__text_signature__ == "(scope, vault_dir=None, passphrase=None)"
    assert str(inspect.signature(TarnelSession)) == "(scope, vault_dir=None, passphrase=None)"
    assert TarnelSession.__module__ == "tarnel_ffi"
    assert TarnelSession.__qualname__ == "TarnelSession"


def test_help_shows_the_class_and_its_methods():
    text = pydoc.render_doc(TarnelSession, renderer=pydoc.plaintext)
    assert "TarnelSession(scope, vault_dir=None, passphrase=None)" in text
    assert "never decides anything itself." in text
    for line in ("list(self, /)", "status(self, /, coordinate, project=None)",
                 "reveal(self, /, coordinate, project=None)",
                 "request_secret(self, /, coordinate, sensitivity=None, description=None, project=None, "
                 "client_identity=None)"):
        assert line in text


def test_methods_are_exactly_the_session_operations():
    own = sorted(name for name in vars(TarnelSession) if not name.startswith("_"))
    assert own == sorted(["list", "status", "fingerprint", "reveal", "set", "generate", "delete",
                          "edit_metadata", "request_secret"])


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Wider", (TarnelSession,), {})


# --- argument types ----------------------------------------------------------


@pytest.mark.parametrize("scope", [None, [], "metadata", 1, (("operations", []),)])
def test_scope_must_be_a_dict(vault, scope):
    with pytest.raises(TypeError, match="argument 'scope' must be dict, not"):
        TarnelSession(scope, vault_dir=str(vault.root), passphrase=vault.passphrase)


def test_dict_subclass_and_extra_keys_are_accepted(vault):
    class Scope(dict):
        pass

    session = TarnelSession(Scope(operations=["metadata"], comment="ignored"), str(vault.root), vault.passphrase)
    assert session.list() == []


def test_vault_dir_and_passphrase_must_be_str_or_none(vault):
    with pytest.raises(TypeError, match="argument 'vault_dir' must be str or None, not int"):
        TarnelSession({"operations": []}, vault_dir=1, passphrase=vault.passphrase)
    with pytest.raises(TypeError, match="argument 'passphrase' must be str or None, not bytes"):
        TarnelSession({"operations": []}, vault_dir=str(vault.root), passphrase=b"x")
    with pytest.raises(TypeError, match="argument 'vault_dir' must be str or None, not PosixPath"):
        TarnelSession({"operations": []}, vault_dir=vault.root, passphrase=vault.passphrase)


def test_arguments_by_position_and_keyword(vault):
    vault.write(literal("dev/db/password", b"v"))
    by_position = TarnelSession({"operations": ["metadata"]}, str(vault.root), vault.passphrase)
    by_keyword = TarnelSession(passphrase=vault.passphrase, scope={"operations": ["metadata"]},
                               vault_dir=str(vault.root))
    assert by_position.list() == by_keyword.list()
    assert len(by_position.list()) == 1


def test_missing_and_surplus_arguments():
    with pytest.raises(TypeError):
        TarnelSession()
    with pytest.raises(TypeError):
        TarnelSession({"operations": []}, None, None, None)
    with pytest.raises(TypeError):
        TarnelSession({"operations": []}, colour="blue")


# --- the scope dictionary ------------------------------------------------------


def test_operations_is_required(vault):
    with pytest.raises(TarnelError) as caught:
        TarnelSession({}, str(vault.root), vault.passphrase)
    assert type(caught.value) is TarnelError
    assert str(caught.value) == "scope must include an `operations` list"


def test_operations_as_a_str_is_a_type_error(vault):
    with pytest.raises(TypeError) as caught:
        TarnelSession({"operations": "reveal"}, str(vault.root), vault.passphrase)
    assert str(caught.value) == "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("operations", [None, 1, {"metadata"}, ["metadata", 1], [b"reveal"], b"reveal"])
def test_operations_of_other_types_are_type_errors(vault, operations):
    with pytest.raises(TypeError):
        TarnelSession({"operations": operations}, str(vault.root), vault.passphrase)


@pytest.mark.parametrize("word", ["read", "Read", "READ"])
def test_unknown_operation_is_named_in_lower_case(vault, word):
    with pytest.raises(TarnelError) as caught:
        TarnelSession({"operations": ["metadata", word]}, str(vault.root), vault.passphrase)
    assert type(caught.value) is TarnelError
    assert str(caught.value) == "unknown scope operation `read` (expected metadata|inject|reveal|write)"


def test_first_unknown_operation_is_the_one_reported(vault):
    with pytest.raises(TarnelError, match="`delete`"):
        TarnelSession({"operations": ["Delete", "read"]}, str(vault.root), vault.passphrase)


def test_operation_words_are_case_insensitive_and_all_count(vault):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    session = TarnelSession({"operations": ("REVEAL", "Metadata")}, str(vault.root), vault.passphrase)
    assert [view["coordinate"] for view in session.list()] == ["dev/db/password"]
    assert session.reveal("secret:dev/db/password") == b"v"


def test_empty_operations_grant_nothing(vault):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    session = TarnelSession({"operations": []}, str(vault.root), vault.passphrase)
    assert session.list() == []
    with pytest.raises(tarnel_ffi.TarnelNotFound):
        session.reveal("secret:dev/db/password")


@pytest.mark.parametrize("key", ["projects", "environments"])
@pytest.mark.parametrize("value", [1, ["a", 2], {"a": 1}, b"a"])
def test_filters_of_wrong_types_are_type_errors(vault, key, value):
    with pytest.raises(TypeError):
        TarnelSession({"operations": [], key: value}, str(vault.root), vault.passphrase)


@pytest.mark.parametrize(
    "scope",
    [
        {},
        {"operations": "reveal"},
        {"operations": ["read"]},
        {"operations": [], "projects": 1},
        {"operations": [], "environments": [None]},
    ],
)
def test_an_invalid_scope_never_touches_the_disk(tmp_path, scope):
    root = tmp_path / "never"
    with pytest.raises((TypeError, TarnelError)):
        TarnelSession(scope, vault_dir=str(root), passphrase=PASSPHRASE)
    assert not root.exists()


def test_an_invalid_scope_is_reported_before_a_missing_salt(tmp_path):
    root = tmp_path / "bare"
    root.mkdir()
    with pytest.raises(TarnelError, match="unknown scope operation"):
        TarnelSession({"operations": ["read"]}, vault_dir=str(root), passphrase=PASSPHRASE)
    assert list(root.iterdir()) == []


# --- filters, seen through list() -----------------------------------------------


@pytest.fixture
def spread(vault):
    vault.write(literal("dev/app/one", b"1"))
    vault.write(literal("prod/app/two", b"2"))
    vault.write(literal("dev/app/three", b"3"), project="a")
    vault.write(literal("stage/app/four", b"4"), project="b")
    return vault


def listed(vault, **scope):
    session = open_at(vault.root, **scope)
    return sorted((view["origin"], view["coordinate"]) for view in session.list())


EVERYTHING = [("global", "dev/app/one"), ("global", "prod/app/two"),
              ("project:a", "dev/app/three"), ("project:b", "stage/app/four")]


@pytest.mark.parametrize("projects", ["*", None, ["a", "*"], ("*",)])
def test_projects_meaning_any(spread, projects):
    assert listed(spread, projects=projects) == EVERYTHING


def test_projects_absent_means_any(spread):
    assert listed(spread) == EVERYTHING


def test_single_project_name_means_exactly_that_project(spread):
    assert listed(spread, projects="a") == [("project:a", "dev/app/three")]


def test_project_list_and_duplicates(spread):
    assert listed(spread, projects=["b", "a", "a"]) == [("project:a", "dev/app/three"),
                                                       ("project:b", "stage/app/four")]


def test_empty_project_list_matches_nothing(spread):
    assert listed(spread, projects=[]) == []


def test_names_are_compared_exactly(spread):
    assert listed(spread, projects=["A", " a"]) == []
    assert listed(spread, environments="Dev") == []


@pytest.mark.parametrize("environments", ["*", None, ["dev", "*"]])
def test_environments_meaning_any(spread, environments):
    assert listed(spread, environments=environments) == EVERYTHING


def test_environment_filters(spread):
    assert listed(spread, environments="dev") == [("global", "dev/app/one"), ("project:a", "dev/app/three")]
    assert listed(spread, environments=["prod", "stage"]) == [("global", "prod/app/two"),
                                                              ("project:b", "stage/app/four")]
    assert listed(spread, environments=[]) == []


# --- vault root, passphrase and key --------------------------------------------


def test_missing_salt_is_reported_before_any_derivation(tmp_path):
    root = tmp_path / "vault"
    root.mkdir()
    with pytest.raises(TarnelError) as caught:
        open_at(root)
    assert type(caught.value) is TarnelError
    assert str(caught.value) == SALT_MESSAGE
    assert list(root.iterdir()) == []


def test_missing_root_is_reported_as_the_salt_and_not_created(tmp_path):
    root = tmp_path / "absent"
    with pytest.raises(TarnelError, match="^reading kdf.salt from the vault root"):
        open_at(root)
    assert not root.exists()


def test_short_salt_is_the_keyrings_error(tmp_path):
    vault = Vault(tmp_path / "vault", salt=bytes(16))
    (vault.root / "kdf.salt").write_bytes(b"1234567")
    with pytest.raises(TarnelError) as caught:
        open_at(vault.root)
    assert str(caught.value) == "keyring operation failed: salt must be at least 8 bytes"


def test_any_salt_of_eight_bytes_or_more_works(tmp_path):
    for size in (8, 33):
        vault = Vault(tmp_path / f"vault{size}", salt=os.urandom(size))
        vault.write(literal("dev/db/password", b"v"))
        assert len(open_at(vault.root).list()) == 1


def test_opening_creates_the_vault_directories(vault):
    open_at(vault.root)
    assert (vault.root / "global").is_dir()
    assert (vault.root / "projects").is_dir()
    assert (vault.root / "global").stat().st_mode & 0o777 == 0o700


def test_wrong_passphrase_opens_but_cannot_read(vault):
    vault.write(literal("dev/db/password", b"v"))
    session = open_at(vault.root, passphrase="not it")
    with pytest.raises(TarnelError) as caught:
        session.status("secret:dev/db/password")
    assert str(caught.value) == "crypto operation failed"


def test_without_a_passphrase_the_platform_keyring_is_asked(vault, no_secret_service):
    with pytest.raises(TarnelError) as caught:
        open_at(vault.root, passphrase=None)
    assert str(caught.value) == KEY_MESSAGE


def test_without_a_passphrase_or_vault_the_key_is_reported_first(tmp_path, no_secret_service):
    root = tmp_path / "absent"
    with pytest.raises(TarnelError, match="^obtaining the master key"):
        open_at(root, passphrase=None)
    assert not root.exists()


def test_passphrase_from_the_environment(vault, monkeypatch):
    vault.write(literal("dev/db/password", b"v"))
    monkeypatch.setenv("TARNEL_PASSPHRASE", vault.passphrase)
    assert len(open_at(vault.root, passphrase=None).list()) == 1


def test_passphrase_argument_beats_the_environment(vault, monkeypatch):
    vault.write(literal("dev/db/password", b"v"))
    monkeypatch.setenv("TARNEL_PASSPHRASE", "wrong")
    session = open_at(vault.root, passphrase=vault.passphrase)
    assert session.status("secret:dev/db/password")["coordinate"] == "dev/db/password"


def test_passphrase_in_the_environment_that_is_not_unicode_is_ignored(vault, monkeypatch, no_secret_service):
    # Surrogate escapes reach the process environment as the raw byte 0xE9.
    monkeypatch.setenv("TARNEL_PASSPHRASE", "caf\udce9")
    with pytest.raises(TarnelError) as caught:
        open_at(vault.root, passphrase=None)
    assert str(caught.value) == KEY_MESSAGE


def test_vault_dir_from_the_environment(vault, monkeypatch):
    vault.write(literal("dev/db/password", b"v"))
    monkeypatch.setenv("TARNEL_VAULT_DIR", str(vault.root))
    session = TarnelSession({"operations": ["metadata"]}, passphrase=vault.passphrase)
    assert len(session.list()) == 1


def test_vault_dir_argument_beats_the_environment(vault, tmp_path, monkeypatch):
    vault.write(literal("dev/db/password", b"v"))
    elsewhere = tmp_path / "elsewhere"
    monkeypatch.setenv("TARNEL_VAULT_DIR", str(elsewhere))
    session = open_at(vault.root)
    assert len(session.list()) == 1
    assert not elsewhere.exists()


def test_empty_vault_dir_in_the_environment_is_a_path(tmp_path, monkeypatch):
    home = tmp_path / "home"
    Vault(home / ".vaults")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("TARNEL_VAULT_DIR", "")
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    with pytest.raises(TarnelError) as caught:
        TarnelSession({"operations": []}, passphrase=PASSPHRASE)
    assert str(caught.value) == SALT_MESSAGE


def test_default_root_is_vaults_in_home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    vault = Vault(home / ".vaults")
    vault.write(literal("dev/db/password", b"v"))
    monkeypatch.setenv("HOME", str(home))
    session = TarnelSession({"operations": ["metadata"]}, passphrase=vault.passphrase)
    assert [view["coordinate"] for view in session.list()] == ["dev/db/password"]
    assert (home / ".vaults" / "global").is_dir()


def test_no_home_and_no_vault_dir(monkeypatch):
    monkeypatch.delenv("HOME", raising=False)
    with pytest.raises(TarnelError) as caught:
        TarnelSession({"operations": []}, passphrase=PASSPHRASE)
    assert str(caught.value) == "vault I/O failed: no home directory ($HOME) set"


def test_registry_that_cannot_be_opened(vault, tmp_path):
    (vault.root / "global").symlink_to(tmp_path / "dangling")
    with pytest.raises(TarnelError, match="^vault I/O failed: create "):
        open_at(vault.root)


def test_sessions_are_independent_and_released(vault):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    first = open_at(vault.root, operations=["reveal"])
    second = open_at(vault.root, operations=["metadata"])
    assert first.reveal("secret:dev/db/password") == b"v"
    assert len(second.list()) == 1
    del first
    assert len(second.list()) == 1


def test_placeholder_coordinate_is_refused_by_every_method(open_session):
    session = open_session()
    calls = [
        lambda c: session.status(c),
        lambda c: session.fingerprint(c),
        lambda c: session.reveal(c),
    ]
    for call in calls:
        with pytest.raises(TarnelError) as caught:
            call("secret:${ENV}/db/password")
        assert type(caught.value) is TarnelError
        assert str(caught.value).endswith("(a coordinate must be concrete, not ${ENV})")


# --- every method: signature, docstring, argument conversion ----------------------------

SIGNATURES = {
    "list": "()",
    "status": "(coordinate, project=None)",
    "fingerprint": "(coordinate, project=None)",
    "reveal": "(coordinate, project=None)",
    "set": "(coordinate, value, project=None)",
    "generate": "(coordinate, length=32, sensitivity=None, description=None, project=None)",
    "delete": "(coordinate, project=None)",
    "edit_metadata": "(coordinate, sensitivity=None, description=None, revealable=None, reference=None, "
                     "project=None)",
    "request_secret": "(coordinate, sensitivity=None, description=None, project=None, client_identity=None)",
}

WRITE_DOCS = {
    "set": "Create or update a literal value. The value crosses as a tool argument,\n"
           "never argv (I6). Returns the new metadata (no value). `prod` is born\n"
           "`high` (I5).",
    "generate": "Generate a random value server-side and store it. Returns metadata only \u2014\n"
                "the value is never returned to the model (I6, AC3).",
    "delete": "Delete a secret. Raises `TarnelNotFound` when out of scope or absent (I13).",
    "edit_metadata": "Edit metadata (sensitivity / description / revealable / reference). A\n"
                     "sensitivity downgrade is separately audited (I5). Returns the new metadata.",
    "request_secret": "Request a human to CREATE a secret at `coordinate` (TRN-69a). You name ONLY\n"
                      "the coordinate (and optionally a sensitivity/description) \u2014 there is **no\n"
                      "value parameter**. A human supplies the value out-of-band, so the value\n"
                      "never enters your context (I11/I14). Returns the intake id.",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_method_signatures(open_session, name):
    bound = SIGNATURES[name]
    method = getattr(TarnelSession, name)
    assert method.__text_signature__ == "($self" + ("" if bound == "()" else ", " + bound[1:-1]) + ")"
    assert str(inspect.signature(getattr(open_session(), name))) == bound
    assert method.__name__ == name
    assert method.__qualname__ == f"TarnelSession.{name}"


@pytest.mark.parametrize("name", sorted(WRITE_DOCS))
def test_write_method_docstrings(name):
    assert getattr(TarnelSession, name).__doc__ == WRITE_DOCS[name]
    shown = pydoc.render_doc(getattr(TarnelSession, name), renderer=pydoc.plaintext)
    assert " ".join(WRITE_DOCS[name].split()) in " ".join(shown.split())


def write_calls_with_bad_arguments():
    c = "secret:dev/db/password"
    return [
        (lambda s: s.set(1, "v"), TypeError, "argument 'coordinate' must be str, not int"),
        (lambda s: s.set(c, b"v"), TypeError, "argument 'value' must be str, not bytes"),
        (lambda s: s.set(c, value=None), TypeError, "argument 'value' must be str, not NoneType"),
        (lambda s: s.set(c, "v", project=1), TypeError, "argument 'project' must be str or None, not int"),
        (lambda s: s.set(c), TypeError, "value"),
        (lambda s: s.generate(c, "32"), TypeError, "argument 'length' must be int, not str"),
        (lambda s: s.generate(c, 1.0), TypeError, "argument 'length' must be int, not float"),
        (lambda s: s.generate(c, -1), OverflowError, ""),
        (lambda s: s.generate(c, 2 ** 64), OverflowError, ""),
        (lambda s: s.generate(c, sensitivity=1), TypeError, "argument 'sensitivity' must be str or None, not int"),
        (lambda s: s.generate(c, description=[]), TypeError,
         "argument 'description' must be str or None, not list"),
        (lambda s: s.generate(c, project=b"p"), TypeError, "argument 'project' must be str or None, not bytes"),
        (lambda s: s.delete(None), TypeError, "argument 'coordinate' must be str, not NoneType"),
        (lambda s: s.delete(c, 1), TypeError, "argument 'project' must be str or None, not int"),
        (lambda s: s.edit_metadata(c, revealable=1), TypeError,
         "argument 'revealable' must be bool or None, not int"),
        (lambda s: s.edit_metadata(c, revealable="yes"), TypeError,
         "argument 'revealable' must be bool or None, not str"),
        (lambda s: s.edit_metadata(c, reference=1), TypeError, "argument 'reference' must be str or None, not int"),
        (lambda s: s.edit_metadata(c, sensitivity=1), TypeError,
         "argument 'sensitivity' must be str or None, not int"),
        (lambda s: s.request_secret(c, client_identity=1), TypeError,
         "argument 'client_identity' must be str or None, not int"),
        (lambda s: s.request_secret(c, "low", "d", "p", "id", "extra"), TypeError, ""),
        (lambda s: s.request_secret(c, value="v"), TypeError, "value"),
    ]


@pytest.mark.parametrize(("call", "error", "text"), write_calls_with_bad_arguments())
def test_write_arguments_are_converted_before_anything_runs(vault, open_session, call, error, text):
    session = open_session()
    before = sorted(str(path) for path in vault.root.rglob("*"))
    with pytest.raises(error) as caught:
        call(session)
    assert text in str(caught.value)
    assert sorted(str(path) for path in vault.root.rglob("*")) == before
