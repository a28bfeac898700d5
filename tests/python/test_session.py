# TarnelSession from Python: construction, the conversion of arguments, scopes and
# results, and the exception each family of errors raises. The rules behind the
# answers are the session suites'; what is checked here is what crosses.

import pytest

from tarnel_ffi import TarnelDenied, TarnelError, TarnelNotFound, TarnelSession
from vaultkit import PASSPHRASE, fp, literal, reference

AT = "secret:dev/db/password"
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
VIEW = {"coordinate": "dev/db/password", "environment": "dev", "component": "db", "key": "password",
        "sensitivity": "low", "mode": "literal", "fingerprint": fp(b"hunter2"), "revealable": True,
        "origin": "global", "reference": None}


def raised(call, cls):
    with pytest.raises(cls) as caught:
        call()
    assert type(caught.value) is cls
    return caught.value


# Arguments are converted and bounded before anything runs; each error family raises its class.
@pytest.mark.parametrize(("call", "error", "text"), [
    (lambda s: s.status(1), TypeError, "argument 'coordinate' must be str, not int"),
    (lambda s: s.generate(AT, "32"), TypeError, "argument 'length' must be int, not str"),
    (lambda s: s.generate(AT, -1), OverflowError, ""),
    (lambda s: s.edit_metadata(AT, revealable=1), TypeError, "argument 'revealable' must be bool or None, not int"),
    (lambda s: s.request_secret(AT, value="v"), TypeError, "value"),  # an agent never hands in the value
    (lambda s: s.inject_run("", "dev", "/bin/echo", ["a", 1]), TypeError, "argument 'args' item 1 must be str"),
    # Guards: a length past 64 bits raised OverflowError instead of the session's bound.
    (lambda s: s.generate(AT, length=2**70), TarnelError, "length must be at most 65536"),
    (lambda s: s.set(AT, "v" * (2**20 + 1)), TarnelError, "value must be at most 1048576 bytes"),
    (lambda s: s.status("secret:dev/app/" + "k" * 5000), TarnelError, "`coordinate` must be at most 4096 bytes"),
    (lambda s: s.status("secret:dev/db/absent"), TarnelNotFound, "not addressable"),
    # Which refusal the module gives is the session suites'; one stands for the class.
    (lambda s: s.reveal("secret:dev/db/closed"), TarnelDenied, "NotRevealable"),
    (lambda s: s.generate("secret:dev/db/new", sensitivity="secret"), TarnelError, "unknown sensitivity `secret`"),
])
def test_bad_calls_raise_their_class_and_touch_nothing(vault, open_session, call, error, text):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    vault.write(literal("dev/db/closed", b"v"))
    session, before = open_session(), sorted(vault.root.rglob("*"))
    caught = raised(lambda: call(session), error)
    assert text in str(caught) and (error is TarnelDenied or sorted(vault.root.rglob("*")) == before)  # denials audit
    if issubclass(error, TarnelError):  # one plain message, nothing chained from inside the module
        assert caught.args == (str(caught),) and caught.__cause__ is caught.__context__ is None


UNKNOWN_OP = "unknown scope operation `{}` (expected metadata|inject|reveal|write)"


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ({"scope": None}, TypeError, "TarnelSession() argument 'scope' must be dict, not NoneType"),
    ({"vault_dir": 1}, TypeError, "TarnelSession() argument 'vault_dir' must be str or None, not int"),
    ({"key_fd": 0}, ValueError, "TarnelSession() takes a passphrase or a key_fd, not both"),
    ({"passphrase": None, "key_fd": 2**40}, ValueError, "TarnelSession() key_fd is not a descriptor"),
    ({"passphrase": None, "key_fd": 0}, TarnelDenied,
     "this process is dumpable: make it non-dumpable before it takes the key"),
    # Guards: a vault_dir with a NUL was cut short at it, naming another path.
    ({"vault_dir": "kdf.salt\0"}, TarnelError, "invalid vault directory: a path must not contain NUL"),
    ({"scope": {}}, TarnelError, "scope must include an `operations` list"),
    ({}, TarnelError, "reading kdf.salt from the vault root (run `tarnel init` first)"),
    ({"scope": {"operations": "reveal"}}, TypeError, "Can't extract `str` to `Vec`"),
    ({"scope": {"operations": ["Metadata", "READ"]}}, TarnelError, UNKNOWN_OP.format("read")),
    ({"scope": {"operations": [b"reveal"]}}, TypeError, "scope `operations` items must be str, not bytes"),
])
def test_construction_errors_come_before_the_disk(tmp_path, monkeypatch, arguments, error, message):
    monkeypatch.chdir(tmp_path)
    root = tmp_path / "root"
    root.mkdir()  # no kdf.salt: the argument error still comes first
    kwargs = {"scope": {"operations": []}, "vault_dir": str(root), "passphrase": PASSPHRASE, **arguments}
    assert str(raised(lambda: TarnelSession(**kwargs), error)) == message
    assert sorted(tmp_path.rglob("*")) == [root]


EVERYTHING = [("global", "dev/app/one"), ("global", "prod/app/two"),
              ("project:a", "dev/app/three"), ("project:b", "stage/app/four")]


@pytest.mark.parametrize(("scope", "expected"), [
    ({}, EVERYTHING),
    ({"projects": ["a", "*"]}, EVERYTHING),
    ({"projects": "a"}, [EVERYTHING[2]]),
    ({"projects": ("b", "a", "a")}, EVERYTHING[2:]),
    ({"projects": []}, []),
    ({"environments": "dev"}, [EVERYTHING[0], EVERYTHING[2]]),
    ({"operations": ("REVEAL", "write", "inject")}, []),
])
def test_scope_forms(vault, scope, expected):
    for (origin, path), value in zip(EVERYTHING, (b"1", b"2", b"3", b"4")):
        vault.write(literal(path, value), project=None if origin == "global" else origin[-1])
    session = TarnelSession({"operations": ["metadata"], **scope}, str(vault.root), vault.passphrase)
    assert [(view["origin"], view["coordinate"]) for view in session.list()] == expected


def test_the_environment_supplies_root_and_passphrase_and_arguments_beat_it(vault, tmp_path, monkeypatch):
    vault.write(literal("dev/db/password", b"v"))
    monkeypatch.setenv("TARNEL_VAULT_DIR", str(vault.root))
    monkeypatch.setenv("TARNEL_PASSPHRASE", vault.passphrase)
    assert len(TarnelSession({"operations": ["metadata"]}).list()) == 1
    monkeypatch.setenv("TARNEL_VAULT_DIR", str(tmp_path / "elsewhere"))
    monkeypatch.setenv("TARNEL_PASSPHRASE", "wrong")
    assert len(TarnelSession({"operations": ["metadata"]}, str(vault.root), vault.passphrase).list()) == 1
    assert not (tmp_path / "elsewhere").exists()


def test_views_and_values_cross_as_dicts_and_bytes(vault, open_session):
    vault.write(literal("dev/db/password", b"hunter2", sensitivity="low", revealable=True))
    vault.write(reference("dev/api/token", "aws-sm://eu-west-1/token", sensitivity="inject-only"), project="alpha")
    vault.write(literal("dev/bin/blob", bytes(range(256)), sensitivity="low", revealable=True))
    session = open_session()
    view = session.status(AT)
    assert list(view) == list(VIEW) and view == VIEW and type(view["revealable"]) is bool
    ref = session.status(project="alpha", coordinate="secret:dev/api/token")
    assert {key: ref[key] for key in ("mode", "fingerprint", "sensitivity", "origin", "reference")} == {
        "mode": "reference", "fingerprint": "\u2192 aws-sm://eu-west-1/token", "sensitivity": "injectonly",
        "origin": "project:alpha", "reference": "aws-sm://eu-west-1/token"}
    views = session.list()
    assert VIEW in views[:2] and views[2] == ref and len(views) == 3 and session.fingerprint(AT) == fp(b"hunter2")
    assert type(session.reveal(AT)) is bytes and session.reveal("secret:dev/bin/blob") == bytes(range(256))


def test_writes_reach_the_disk_as_the_independent_reader_sees_them(vault, open_session):
    session = open_session()
    view = session.set(AT, "p\u00e4ss \u2603")
    stored = vault.read("dev/db/password")
    assert bytes(stored["value"]) == "p\u00e4ss \u2603".encode() and view["fingerprint"] == fp(bytes(stored["value"]))
    assert session.edit_metadata(AT, description="d", revealable=False)["revealable"] is False
    assert vault.read("dev/db/password")["description"] == "d"
    view = session.generate("secret:dev/app/key")
    key = bytes(vault.read("dev/app/key")["value"])
    assert len(key) == 32 and view["fingerprint"] == fp(key) and key.decode() not in repr(view)
    session.generate("secret:dev/app/long", 6200)
    value = bytes(vault.read("dev/app/long")["value"]).decode("ascii")
    # 100 expected per character; a folded or skewed draw leaves this band.
    assert set(value) == set(ALPHABET) and all(40 < value.count(c) < 160 for c in ALPHABET)
    assert key not in vault.audit_bytes() and value.encode() not in vault.audit_bytes()
    # What request_secret files is read back through `tarnel intake` (test_mcp_owner.py) and by IntakeInbox.
    assert session.delete("secret:dev/app/key") is None and vault.read("dev/app/key") is None
    assert [event["result"] for event in vault.audit()] == ["created", "metadata-updated", "generated", "generated",
                                                            "deleted"]
