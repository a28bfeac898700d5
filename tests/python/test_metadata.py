"""list, status and fingerprint: metadata only, never a value, and nothing audited."""

import pytest

from tarnel_ffi import TarnelError, TarnelNotFound
from vaultkit import fp, keypair, literal, reference, totp

VIEW_KEYS = ["coordinate", "environment", "component", "key", "sensitivity", "mode", "fingerprint",
             "revealable", "origin", "reference"]


def test_literal_view_keys_in_order_and_values(vault, open_session):
    vault.write(literal("dev/db/password", b"hunter2", sensitivity="low", revealable=True,
                        description="never shown"))
    view = open_session().status("secret:dev/db/password")
    assert list(view) == VIEW_KEYS
    assert view == {
        "coordinate": "dev/db/password", "environment": "dev", "component": "db", "key": "password",
        "sensitivity": "low", "mode": "literal", "fingerprint": fp(b"hunter2"), "revealable": True,
        "origin": "global", "reference": None,
    }
    assert type(view["revealable"]) is bool


@pytest.mark.parametrize(("record", "mode", "fingerprint", "ref"), [
    (reference("prod/api/token", "aws-sm://eu-west-1/token"), "reference", "\u2192 aws-sm://eu-west-1/token",
     "aws-sm://eu-west-1/token"),
    (keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"), "keypair:ed25519", fp(b"ssh-ed25519 AAAA"), None),
    (keypair("dev/ssh/deploy", "ssh-rsa BBBB", private=None, algorithm="rsa"), "pubkey:rsa", fp(b"ssh-rsa BBBB"),
     None),
    (keypair("dev/ssh/deploy", "ssh-rsa CCCC", algorithm="rsa"), "keypair:rsa", fp(b"ssh-rsa CCCC"), None),
    (totp("dev/mail/otp", b"seed"), "totp:sha1", fp(b"totp:SHA1:6:30"), None),
    (totp("dev/mail/otp", b"seed", algorithm="sha256", digits=8, period=60), "totp:sha256", fp(b"totp:SHA256:8:60"),
     None),
    (totp("dev/mail/otp", b"seed", algorithm="sha512", digits=7, period=15), "totp:sha512", fp(b"totp:SHA512:7:15"),
     None),
])
def test_views_of_other_kinds(vault, open_session, record, mode, fingerprint, ref):
    vault.write(record, project="alpha")
    at = "secret:" + "/".join((record["environment"], record["component"], record["key"]))
    view = open_session().status(at, "alpha")
    assert (view["mode"], view["fingerprint"], view["reference"], view["origin"]) == (
        mode, fingerprint, ref, "project:alpha")
    assert open_session().fingerprint(at, project="alpha") == fingerprint


@pytest.mark.parametrize(("first", "second"), [
    (keypair("dev/ssh/deploy", "ssh-ed25519 AAAA", private=b"one"),
     keypair("dev/ssh/deploy", "ssh-ed25519 AAAA", private=b"two")),
    (totp("dev/ssh/deploy", b"first seed"), totp("dev/ssh/deploy", b"second seed")),
])
def test_fingerprint_never_depends_on_the_private_part(vault, open_session, first, second):
    vault.write(first)
    before = open_session().fingerprint("secret:dev/ssh/deploy")
    vault.write(second)
    assert open_session().fingerprint("secret:dev/ssh/deploy") == before


@pytest.mark.parametrize(("stored", "shown"),
                         [("low", "low"), ("medium", "medium"), ("high", "high"), ("inject-only", "injectonly")])
def test_sensitivity_text(vault, open_session, stored, shown):
    vault.write(literal("dev/db/password", b"v", sensitivity=stored))
    assert open_session().status("secret:dev/db/password")["sensitivity"] == shown


def test_list_order_holds_no_value_and_is_not_audited(vault, open_session):
    vault.write(literal("dev/db/password", b"hunter2-value"))
    vault.write(literal("dev/db/password", b"b"), project="b")
    vault.write(literal("dev/db/password", b"a"), project="a")
    vault.write(keypair("dev/ssh/deploy", "pub", private=b"private-bytes"), project="a")
    vault.write(totp("dev/mail/otp", b"seed-bytes"), project="a")
    session = open_session()
    views = session.list()
    assert [(view["origin"], view["coordinate"]) for view in views][:2] == [
        ("global", "dev/db/password"), ("project:a", "dev/db/password")]
    assert [view["origin"] for view in views][2:] == ["project:a", "project:a", "project:b"]
    assert [view["fingerprint"] for view in views if view["coordinate"] == "dev/db/password"] == [
        fp(b"hunter2-value"), fp(b"a"), fp(b"b")]
    assert all(list(view) == VIEW_KEYS for view in views)
    for secret in ("hunter2-value", "private-bytes", "seed-bytes"):
        assert secret not in repr(views)
    session.status("secret:dev/db/password")
    session.fingerprint("secret:dev/ssh/deploy", "a")
    with pytest.raises(TarnelNotFound):
        session.status("secret:dev/db/absent")
    assert not (vault.root / "audit.log").exists()


def test_list_skips_records_that_do_not_open_or_parse(vault, open_session):
    vault.write(literal("dev/db/password", b"v"))
    (vault.dir() / ("0" * 64 + ".sec")).write_bytes(b"TARN\x01\x00\x00\x00{}")
    odd = literal("dev/db/password", b"v")
    odd["component"] = "a${b"
    # Stored under some other file name; only its contents matter here.
    vault.write(odd).rename(vault.dir() / ("1" * 64 + ".sec"))
    vault.write(literal("dev/db/password", b"v"))
    assert [view["component"] for view in open_session().list()] == ["db"]


def test_list_fails_when_a_vault_cannot_be_read(vault, open_session):
    session = open_session()
    (vault.root / "global").rmdir()
    (vault.root / "global").write_bytes(b"not a directory")
    with pytest.raises(TarnelError) as caught:
        session.list()
    assert type(caught.value) is TarnelError
    assert str(caught.value).startswith("vault I/O failed: ")


def test_project_shadows_global_and_the_global_form_ignores_the_project(vault, open_session):
    vault.write(literal("dev/db/password", b"global"))
    vault.write(literal("dev/db/password", b"alpha"), project="alpha")
    session = open_session()
    assert session.status(project="alpha", coordinate="secret:dev/db/password")["origin"] == "project:alpha"
    assert session.status("secret:dev/db/password", "beta")["origin"] == "global"
    assert session.fingerprint("secret:dev/db/password") == fp(b"global")
    view = session.status("secret://global/dev/db/password", "alpha")
    assert (view["origin"], view["fingerprint"], view["coordinate"]) == ("global", fp(b"global"), "dev/db/password")
    with pytest.raises(TarnelError, match="invalid project name"):
        session.status("secret:dev/db/password", "../global")


@pytest.mark.parametrize("method", ["status", "fingerprint", "reveal"])
def test_out_of_scope_is_decided_before_the_file_is_read(vault, open_session, method):
    vault.write(literal("staging/db/password", b"v", revealable=True))
    vault.path_of("staging/db/password").write_bytes(b"damaged")
    with pytest.raises(TarnelNotFound):
        getattr(open_session(environments=["dev"]), method)("secret:staging/db/password")
    with pytest.raises(TarnelError) as caught:
        getattr(open_session(), method)("secret:staging/db/password")
    assert type(caught.value) is TarnelError
    assert vault.audit_bytes() == b""
