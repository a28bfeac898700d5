"""set, generate and delete end to end, checked on disk by the independent reader."""

import re

import pytest

from tarnel_ffi import TarnelError, TarnelNotFound
from vaultkit import STAMP, audit_pairs, fp, keypair, literal, reference, storage_id, totp

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
RFC3339 = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
TEXT = "p\u00e4ss \u2603"


def test_set_creates_a_medium_literal_of_the_utf8_bytes(vault, open_session):
    view = open_session(["write"]).set("secret:dev/app/token", TEXT)
    assert view == {
        "coordinate": "dev/app/token", "environment": "dev", "component": "app", "key": "token",
        "sensitivity": "medium", "mode": "literal", "fingerprint": fp(TEXT.encode()), "revealable": False,
        "origin": "global", "reference": None,
    }
    stored = vault.read("dev/app/token")
    assert stored["mode"] == "literal"
    assert bytes(stored["value"]) == TEXT.encode()
    assert (stored["sensitivity"], stored["revealable"]) == ("medium", False)
    assert (stored["environment"], stored["component"], stored["key"]) == ("dev", "app", "token")
    assert "description" not in stored
    assert RFC3339.match(stored["created"]) and stored["created"] == stored["updated"]

    [event] = vault.audit()
    assert (event["action"], event["result"]) == ("create", "created")
    assert (event["coordinate"], event["environment"], event["origin"]) == ("dev/app/token", "dev", "agent")
    assert RFC3339.match(event["ts"])


def test_set_over_a_literal_keeps_its_metadata(vault, open_session):
    vault.write(literal("dev/app/token", b"old", sensitivity="inject-only", revealable=True, description="kept"))
    view = open_session().set("secret:dev/app/token", "new")
    assert (view["sensitivity"], view["revealable"], view["fingerprint"]) == ("injectonly", True, fp(b"new"))
    stored = vault.read("dev/app/token")
    assert bytes(stored["value"]) == b"new"
    assert (stored["sensitivity"], stored["revealable"], stored["description"]) == ("inject-only", True, "kept")
    assert stored["created"] == STAMP and stored["updated"] != STAMP
    assert audit_pairs(vault) == [("edit", "value-updated")]


def test_set_over_a_reference_makes_a_literal_with_the_old_metadata(vault, open_session):
    vault.write(reference("dev/app/token", "aws-sm://eu-west-1/token", sensitivity="high", description="was ref"))
    view = open_session().set("secret:dev/app/token", "literal now")
    assert (view["mode"], view["reference"], view["sensitivity"]) == ("literal", None, "high")
    stored = vault.read("dev/app/token")
    assert stored["mode"] == "literal" and "ref" not in stored
    assert (stored["description"], stored["created"]) == ("was ref", STAMP)


@pytest.mark.parametrize(("record", "coordinate", "kind"), [
    (keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"), "secret:dev/ssh/deploy", "a keypair"),
    (keypair("dev/ssh/deploy", "pub"), "secret://global/dev/ssh/deploy#public", "a keypair"),
    (totp("dev/ssh/deploy", b"seed"), "secret:dev/ssh/deploy", "a TOTP enrollment"),
])
def test_set_over_a_keypair_or_totp_is_refused_and_nothing_changes(vault, open_session, record, coordinate, kind):
    path = vault.write(record)
    before = path.read_bytes()
    with pytest.raises(TarnelError) as raised:
        open_session().set(coordinate, "overwrite")
    assert type(raised.value) is TarnelError
    assert str(raised.value) == f"`{coordinate}` is {kind}; it cannot be overwritten with `set`"
    assert path.read_bytes() == before
    assert vault.audit_bytes() == b""


def test_only_the_project_argument_chooses_the_vault(vault, open_session):
    view = open_session().set("secret://global/dev/app/token", "in alpha", project="alpha")
    assert view["origin"] == "project:alpha"
    assert bytes(vault.read("dev/app/token", "alpha")["value"]) == b"in alpha"
    assert vault.read("dev/app/token") is None
    vault.write(literal("dev/app/other", b"v"))
    with pytest.raises(TarnelNotFound):  # delete never falls back to the global vault either
        open_session().delete("secret:dev/app/other", project="beta")
    assert vault.read("dev/app/other") is not None and not vault.dir("beta").exists()


def test_generate_stores_a_value_the_caller_never_sees(vault, open_session):
    view = open_session(["write"]).generate("secret:dev/app/key", description="api key")
    stored = vault.read("dev/app/key")
    value = bytes(stored["value"]).decode("ascii")
    assert len(value) == 32 and set(value) <= set(ALPHABET)
    assert view["fingerprint"] == fp(value.encode())
    assert value not in repr(view)
    assert (view["sensitivity"], view["mode"], view["revealable"]) == ("medium", "literal", False)
    assert stored["description"] == "api key"
    assert audit_pairs(vault) == [("create", "generated")]
    assert value.encode() not in vault.audit_bytes()


def test_generate_length_one_and_long_values_use_the_whole_alphabet(vault, open_session):
    session = open_session()
    session.generate("secret:dev/app/one", length=1)
    assert len(vault.read("dev/app/one")["value"]) == 1
    session.generate("secret:dev/app/long", length=62 * 100)
    value = bytes(vault.read("dev/app/long")["value"]).decode("ascii")
    assert len(value) == 6200
    assert set(value) == set(ALPHABET)
    # 100 expected per character; a folded or skewed draw leaves this band.
    assert all(40 < value.count(c) < 160 for c in ALPHABET)


def test_generate_sensitivity_and_refusals(vault, open_session):
    session = open_session()
    assert session.generate("secret:dev/a/b", 8, "Inject_Only")["sensitivity"] == "injectonly"
    assert session.generate("secret:prod/a/b", 8, "inject-only")["sensitivity"] == "high"
    assert session.generate("secret:prod/a/c", 8, "low")["sensitivity"] == "high"
    assert vault.read("prod/a/c")["sensitivity"] == "high"
    assert (session.set("secret:prod/a/d", "v")["sensitivity"], vault.read("prod/a/d")["sensitivity"]) == (
        "high", "high")
    with pytest.raises(TarnelError, match=r"^unknown sensitivity `secret` \(expected low\|medium\|high\|inject-only\)$"):
        session.generate("secret:dev/a/c", 8, "Secret")
    with pytest.raises(TarnelError, match="^length must be at least 1$"):
        session.generate("secret:dev/a/c", 0)
    assert vault.read("dev/a/c") is None
    path = vault.write(keypair("dev/ssh/deploy", "pub"))
    before, audit = path.read_bytes(), vault.audit_bytes()
    # The existence check comes before the sensitivity word.
    with pytest.raises(TarnelError, match=r"^`secret:dev/ssh/deploy` already exists$"):
        session.generate("secret:dev/ssh/deploy", 8, "nonsense")
    assert path.read_bytes() == before
    assert vault.audit_bytes() == audit


def test_delete_removes_the_record_and_its_lock_once(vault, open_session):
    session = open_session(["write"])
    session.set("secret:dev/app/token", "v")
    sid = storage_id("dev/app/token")
    assert sorted(p.name for p in vault.dir().iterdir()) == [f"{sid}.sec", f"{sid}.sec.lock"]
    assert (vault.dir() / f"{sid}.sec.lock").stat().st_mode & 0o777 == 0o600
    assert session.delete("secret:dev/app/token") is None
    assert list(vault.dir().iterdir()) == []
    with pytest.raises(TarnelNotFound, match="^not addressable$"):
        session.delete("secret:dev/app/token")
    path = vault.write(keypair("dev/ssh/deploy", "pub"))
    session.delete("secret:dev/ssh/deploy")
    assert not path.exists()
    assert [(e["action"], e["result"], e["coordinate"]) for e in vault.audit()] == [
        ("create", "created", "dev/app/token"), ("delete", "deleted", "dev/app/token"),
        ("delete", "deleted", "dev/ssh/deploy")]
