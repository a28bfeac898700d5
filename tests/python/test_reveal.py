"""reveal: the only road from the vault into an agent's context, and its audit trail."""

import json
import re

import pytest

from tarnel_ffi import TarnelDenied
from vaultkit import keypair, literal, reference, totp

AUDIT_KEYS = ["ts", "action", "coordinate", "environment", "result", "origin"]
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")

REFERENCE_TEXT = "reference value is materialized at run time, not revealable over MCP"
KEYPAIR_TEXT = ("a keypair's private key is never revealed (I11/I14); use it through sign/decrypt/ssh-add "
                "via the CLI")
TOTP_TEXT = "a TOTP seed is never revealed (I11/I14); derive a code on demand with `tarnel code` via the CLI"


def new_lines(vault, before: bytes) -> list[dict]:
    after = vault.audit_bytes()
    assert after.startswith(before)
    return [json.loads(line) for line in after[len(before):].splitlines()]


def assert_event(event, action, result, coordinate, environment):
    assert list(event) == AUDIT_KEYS
    assert TIMESTAMP.fullmatch(event["ts"])
    assert event == {"ts": event["ts"], "action": action, "coordinate": coordinate, "environment": environment,
                     "result": result, "origin": "agent"}


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


@pytest.mark.parametrize("value", [b"\xff\xfe\x00\x80", b"", b"\x00", bytes(range(256)), "caf\u00e9".encode()])
def test_values_come_back_as_stored(vault, open_session, value):
    vault.write(literal("dev/bin/blob", value, sensitivity="low", revealable=True))
    revealed = open_session().reveal("secret:dev/bin/blob")
    assert type(revealed) is bytes
    assert revealed == value


def test_unwritable_audit_log_does_not_change_the_outcome(vault, open_session):
    vault.write(literal("dev/db/password", b"v", revealable=True))
    vault.write(literal("dev/db/closed", b"v", revealable=False))
    (vault.root / "audit.log").mkdir()
    session = open_session()
    assert session.reveal("secret:dev/db/password") == b"v"
    with pytest.raises(TarnelDenied, match="^NotRevealable$"):
        session.reveal("secret:dev/db/closed")
    assert session.set("secret:dev/db/new", "v")["coordinate"] == "dev/db/new"
