"""reveal: the only road from the vault into an agent's context, and its audit trail."""

import inspect
import json
import re

import pytest

from tarnel_ffi import TarnelDenied, TarnelError, TarnelNotFound
from vaultkit import keypair, literal, reference, totp

REVEAL_DOC = (
    "Reveal a value into the agent's context \u2014 returns raw `bytes`. Only a\n"
    "`revealable`, non-prod, non-high literal is ever returned (I11); `prod`,\n"
    "`high`, and `inject-only` raise `TarnelDenied` (I14), and an out-of-scope\n"
    "coordinate raises `TarnelNotFound` (I13)."
)
AUDIT_KEYS = ["ts", "action", "coordinate", "environment", "result", "origin"]
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")

REFERENCE_TEXT = "reference value is materialized at run time, not revealable over MCP"
KEYPAIR_TEXT = ("a keypair's private key is never revealed (I11/I14); use it through sign/decrypt/ssh-add "
                "via the CLI")
TOTP_TEXT = "a TOTP seed is never revealed (I11/I14); derive a code on demand with `tarnel code` via the CLI"


def new_lines(vault, before: bytes) -> list[dict]:
    after = vault.audit_bytes()
    assert after.startswith(before)
    lines = after[len(before):].splitlines()
    return [json.loads(line) for line in lines]


def assert_event(event, action, result, coordinate, environment):
    assert list(event) == AUDIT_KEYS
    assert TIMESTAMP.fullmatch(event["ts"])
    assert event == {"ts": event["ts"], "action": action, "coordinate": coordinate, "environment": environment,
                     "result": result, "origin": "agent"}


def test_docstring_and_signature(open_session):
    session = open_session()
    assert type(session).reveal.__doc__ == REVEAL_DOC
    assert type(session).reveal.__text_signature__ == "($self, coordinate, project=None)"
    assert str(inspect.signature(session.reveal)) == "(coordinate, project=None)"


def expected_outcome(environment, sensitivity, revealable):
    if sensitivity == "inject-only":
        return "InjectOnlyNeverRevealed"
    if environment == "prod" or sensitivity == "high":
        return "McpCriticalForbidden"
    return None if revealable else "NotRevealable"


TABLE = [(environment, sensitivity, revealable)
         for environment in ("dev", "prod", "Prod", "production")
         for sensitivity in ("low", "medium", "high", "inject-only")
         for revealable in (True, False)]


@pytest.mark.parametrize(("environment", "sensitivity", "revealable"), TABLE)
def test_reveal_decision_table(vault, open_session, environment, sensitivity, revealable):
    path = f"{environment}/app/{sensitivity}"
    value = f"value {environment} {sensitivity} {revealable}".encode()
    vault.write(literal(path, value, sensitivity=sensitivity, revealable=revealable))
    session = open_session(operations=["reveal"])
    before = vault.audit_bytes()
    denial = expected_outcome(environment, sensitivity, revealable)
    if denial is None:
        assert session.reveal(f"secret:{path}") == value
        [event] = new_lines(vault, before)
        assert_event(event, "reveal", "revealed", path, environment)
    else:
        with pytest.raises(TarnelDenied) as caught:
            session.reveal(f"secret:{path}")
        assert type(caught.value) is TarnelDenied
        assert caught.value.args == (denial,)
        [event] = new_lines(vault, before)
        assert_event(event, "deny", "denied", path, environment)


@pytest.mark.parametrize(
    ("record", "text"),
    [
        (reference("dev/api/token", "azure-kv://kv/token", sensitivity="low", revealable=True), REFERENCE_TEXT),
        (reference("prod/api/token", "aws-sm://eu-west-1/t", sensitivity="inject-only"), REFERENCE_TEXT),
        (keypair("dev/ssh/deploy", "ssh-ed25519 AAAA", sensitivity="low", revealable=True), KEYPAIR_TEXT),
        (keypair("dev/ssh/public", "ssh-rsa BBBB", private=None, algorithm="rsa"), KEYPAIR_TEXT),
        (totp("dev/mail/otp", b"seed", sensitivity="low"), TOTP_TEXT),
        (totp("prod/mail/otp", b"seed", algorithm="sha512", sensitivity="high"), TOTP_TEXT),
    ],
)
def test_other_kinds_are_refused_by_kind_without_audit(vault, open_session, record, text):
    record["revealable"] = True
    vault.write(record)
    path = "/".join((record["environment"], record["component"], record["key"]))
    with pytest.raises(TarnelDenied) as caught:
        open_session(operations=["reveal"]).reveal(f"secret:{path}")
    assert caught.value.args == (text,)
    assert vault.audit_bytes() == b""


@pytest.mark.parametrize(
    ("scope", "coordinate", "project"),
    [
        ({"operations": ["reveal"]}, "secret:dev/db/absent", None),
        ({"operations": ["metadata", "write", "inject"]}, "secret:dev/db/password", None),
        ({"operations": ["reveal"], "projects": ["alpha"]}, "secret:dev/db/password", None),
        ({"operations": ["reveal"], "projects": "beta"}, "secret:dev/db/password", "alpha"),
        ({"operations": ["reveal"], "environments": "prod"}, "secret:dev/db/password", None),
        ({"operations": ["reveal"], "projects": []}, "secret:dev/db/password", "alpha"),
    ],
)
def test_out_of_scope_and_absent_look_the_same_and_are_not_audited(vault, open_session, scope, coordinate,
                                                                   project):
    vault.write(literal("dev/db/password", b"v", sensitivity="low", revealable=True))
    vault.write(literal("dev/db/password", b"v", sensitivity="low", revealable=True), project="alpha")
    open_session().reveal("secret:dev/db/password")  # a line already there, to compare byte for byte
    before = vault.audit_bytes()
    session = open_session(**scope)
    with pytest.raises(TarnelNotFound) as caught:
        session.reveal(coordinate, project)
    assert type(caught.value) is TarnelNotFound
    assert caught.value.args == ("not addressable",)
    assert vault.audit_bytes() == before


def test_out_of_scope_is_decided_before_the_file_is_read(vault, open_session):
    vault.write(literal("staging/db/password", b"v", revealable=True))
    vault.path_of("staging/db/password").write_bytes(b"damaged")
    with pytest.raises(TarnelNotFound):
        open_session(environments=["dev"]).reveal("secret:staging/db/password")
    with pytest.raises(TarnelError) as caught:
        open_session().reveal("secret:staging/db/password")
    assert type(caught.value) is TarnelError
    assert vault.audit_bytes() == b""


@pytest.mark.parametrize("value", [b"\xff\xfe\x00\x80", b"", b"\x00", bytes(range(256)), "caf\u00e9".encode()])
def test_values_come_back_as_stored(vault, open_session, value):
    vault.write(literal("dev/bin/blob", value, sensitivity="low", revealable=True))
    revealed = open_session().reveal("secret:dev/bin/blob")
    assert type(revealed) is bytes
    assert revealed == value


def test_project_and_global_forms(vault, open_session):
    vault.write(literal("dev/db/password", b"global", revealable=True))
    vault.write(literal("dev/db/password", b"alpha", revealable=True), project="alpha")
    session = open_session()
    assert session.reveal("secret:dev/db/password", "alpha") == b"alpha"
    assert session.reveal("secret:dev/db/password", project="beta") == b"global"
    assert session.reveal(coordinate="secret://global/dev/db/password", project="alpha") == b"global"
    events = vault.audit()
    assert len(events) == 3
    for event in events:
        assert_event(event, "reveal", "revealed", "dev/db/password", "dev")


def test_unwritable_audit_log_does_not_change_the_outcome(vault, open_session):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    vault.write(literal("dev/db/closed", b"v", revealable=False))
    (vault.root / "audit.log").mkdir()
    session = open_session()
    assert session.reveal("secret:dev/db/password") == b"v"
    with pytest.raises(TarnelDenied, match="^NotRevealable$"):
        session.reveal("secret:dev/db/closed")


def test_bad_coordinates_are_errors_without_audit(vault, open_session):
    session = open_session()
    with pytest.raises(TarnelError) as malformed:
        session.reveal("secret:dev/db")
    assert type(malformed.value) is TarnelError
    assert str(malformed.value).startswith("invalid coordinate URI: ")
    with pytest.raises(TarnelError) as placeholder:
        session.reveal("secret:${ENV}/db/password")
    assert type(placeholder.value) is TarnelError
    assert str(placeholder.value).endswith("(a coordinate must be concrete, not ${ENV})")
    assert vault.audit_bytes() == b""


def test_record_from_another_key_is_an_error_without_audit(vault, open_session):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    from tarnel_ffi import TarnelSession
    session = TarnelSession({"operations": ["reveal"]}, str(vault.root), "another passphrase")
    with pytest.raises(TarnelError) as caught:
        session.reveal("secret:dev/db/password")
    assert str(caught.value) == "crypto operation failed"
    assert vault.audit_bytes() == b""


def test_argument_type_errors_name_the_argument(open_session):
    session = open_session()
    with pytest.raises(TypeError, match="argument 'coordinate' must be str, not bytes"):
        session.reveal(b"secret:dev/db/password")
    with pytest.raises(TypeError, match="argument 'project' must be str or None, not int"):
        session.reveal("secret:dev/db/password", 1)
    with pytest.raises(TypeError):
        session.reveal()
    with pytest.raises(TypeError):
        session.reveal("secret:dev/db/password", None, None)
