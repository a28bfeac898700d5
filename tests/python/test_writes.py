"""set, generate and delete end to end, checked on disk by the independent reader."""

import inspect
import re

import pytest
from blake3 import blake3

from tarnel_ffi import TarnelError, TarnelNotFound
from vaultkit import STAMP, keypair, literal, reference, storage_id, totp

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
RFC3339 = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")

DOCS = {
    "set": ("set($self, coordinate, value, project=None)", "(coordinate, value, project=None)",
            "Create or update a literal value. The value crosses as a tool argument,\n"
            "never argv (I6). Returns the new metadata (no value). `prod` is born\n"
            "`high` (I5)."),
    "generate": ("generate($self, coordinate, length=32, sensitivity=None, description=None, project=None)",
                 "(coordinate, length=32, sensitivity=None, description=None, project=None)",
                 "Generate a random value server-side and store it. Returns metadata only \u2014\n"
                 "the value is never returned to the model (I6, AC3)."),
    "delete": ("delete($self, coordinate, project=None)", "(coordinate, project=None)",
               "Delete a secret. Raises `TarnelNotFound` when out of scope or absent (I13)."),
}


def fp(data: bytes) -> str:
    return blake3(data).hexdigest()[:8]


def audit_pairs(vault):
    return [(event["action"], event["result"]) for event in vault.audit()]


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstring_and_signature(open_session, name):
    _, bound, doc = DOCS[name]
    session = open_session()
    assert getattr(type(session), name).__doc__ == doc
    assert str(inspect.signature(getattr(session, name))) == bound


# --- set --------------------------------------------------------------------------


def test_set_creates_a_medium_literal(vault, open_session):
    view = open_session().set("secret:dev/app/token", "s3cret")
    assert view == {
        "coordinate": "dev/app/token", "environment": "dev", "component": "app", "key": "token",
        "sensitivity": "medium", "mode": "literal", "fingerprint": fp(b"s3cret"), "revealable": False,
        "origin": "global", "reference": None,
    }
    stored = vault.read("dev/app/token")
    assert stored["mode"] == "literal"
    assert bytes(stored["value"]) == b"s3cret"
    assert (stored["sensitivity"], stored["revealable"]) == ("medium", False)
    assert (stored["environment"], stored["component"], stored["key"]) == ("dev", "app", "token")
    assert "description" not in stored
    assert RFC3339.match(stored["created"]) and stored["created"] == stored["updated"]

    [event] = vault.audit()
    assert (event["action"], event["result"]) == ("create", "created")
    assert (event["coordinate"], event["environment"], event["origin"]) == ("dev/app/token", "dev", "agent")
    assert RFC3339.match(event["ts"])


def test_set_in_prod_is_born_high(vault, open_session):
    view = open_session().set("secret:prod/app/token", "v")
    assert (view["sensitivity"], view["revealable"]) == ("high", False)
    assert vault.read("prod/app/token")["sensitivity"] == "high"


def test_set_stores_the_utf8_bytes_of_the_text(vault, open_session):
    open_session().set("secret:dev/app/token", "p\u00e4ss \u2603")
    assert bytes(vault.read("dev/app/token")["value"]) == "p\u00e4ss \u2603".encode()


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


@pytest.mark.parametrize("record, message", [
    (keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"),
     "`secret:dev/ssh/deploy` is a keypair; it cannot be overwritten with `set`"),
    (totp("dev/ssh/deploy", b"seed"),
     "`secret:dev/ssh/deploy` is a TOTP enrollment; it cannot be overwritten with `set`"),
])
def test_set_over_a_keypair_or_totp_is_refused_and_nothing_changes(vault, open_session, record, message):
    path = vault.write(record)
    before = path.read_bytes()
    with pytest.raises(TarnelError) as raised:
        open_session().set("secret:dev/ssh/deploy", "overwrite")
    assert type(raised.value) is TarnelError
    assert str(raised.value) == message
    assert path.read_bytes() == before
    assert vault.audit_bytes() == b""


def test_set_names_the_coordinate_as_written(vault, open_session):
    vault.write(keypair("dev/ssh/deploy", "pub"))
    with pytest.raises(TarnelError, match=r"^`secret://global/dev/ssh/deploy#public` is a keypair;"):
        open_session().set("secret://global/dev/ssh/deploy#public", "x")


def test_only_the_project_argument_chooses_the_vault(vault, open_session):
    view = open_session().set("secret://global/dev/app/token", "in alpha", project="alpha")
    assert view["origin"] == "project:alpha"
    assert bytes(vault.read("dev/app/token", "alpha")["value"]) == b"in alpha"
    assert vault.read("dev/app/token") is None


def test_write_gate(vault, open_session):
    vault.write(literal("dev/app/token", b"v"))
    no_write = open_session(["metadata", "reveal", "inject"])
    with pytest.raises(TarnelNotFound, match="^not addressable$"):
        no_write.set("secret:dev/app/token", "x")
    alpha_only = open_session(projects=["alpha"])
    with pytest.raises(TarnelNotFound):
        alpha_only.set("secret:dev/app/token", "x")
    with pytest.raises(TarnelNotFound):
        open_session(environments="prod").generate("secret:dev/app/other")
    with pytest.raises(TarnelNotFound):
        no_write.delete("secret:dev/app/token")
    with pytest.raises(TarnelError, match=r"must start with `secret:`"):
        open_session().set("dev/app/token", "x")
    with pytest.raises(TarnelError, match=r"\(a coordinate must be concrete, not \$\{ENV\}\)$"):
        open_session().set("secret:${ENV}/app/token", "x")
    assert bytes(vault.read("dev/app/token")["value"]) == b"v"
    assert vault.audit_bytes() == b""


def test_write_without_metadata_still_returns_the_view(vault, open_session):
    session = open_session(["write"])
    assert session.set("secret:dev/app/a", "v")["coordinate"] == "dev/app/a"
    assert session.generate("secret:dev/app/b")["coordinate"] == "dev/app/b"
    session.delete("secret:dev/app/b")
    assert vault.read("dev/app/b") is None


def test_a_record_under_another_key_stops_the_write(vault, open_session, tmp_path):
    from vaultkit import Vault
    foreign = Vault(tmp_path / "other", passphrase="another passphrase")
    path = foreign.write(literal("dev/app/token", b"theirs"))
    target = vault.path_of("dev/app/token")
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(path.read_bytes())
    with pytest.raises(TarnelError, match="^crypto operation failed$"):
        open_session().set("secret:dev/app/token", "mine")
    assert target.read_bytes() == path.read_bytes()


# --- generate ---------------------------------------------------------------------


def test_generate_stores_a_value_the_caller_never_sees(vault, open_session):
    view = open_session().generate("secret:dev/app/key", description="api key")
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


def test_generate_sensitivity(vault, open_session):
    session = open_session()
    assert session.generate("secret:dev/a/b", 8, "Inject_Only")["sensitivity"] == "injectonly"
    assert session.generate("secret:prod/a/b", 8, "inject-only")["sensitivity"] == "high"
    assert session.generate("secret:prod/a/c", 8, "low")["sensitivity"] == "high"
    assert vault.read("prod/a/c")["sensitivity"] == "high"
    with pytest.raises(TarnelError, match=r"^unknown sensitivity `secret` \(expected low\|medium\|high\|inject-only\)$"):
        session.generate("secret:dev/a/c", 8, "Secret")
    assert vault.read("dev/a/c") is None


def test_generate_refusals(vault, open_session):
    session = open_session()
    with pytest.raises(TarnelError, match="^length must be at least 1$"):
        session.generate("secret:dev/app/key", 0)
    with pytest.raises(OverflowError):
        session.generate("secret:dev/app/key", -1)
    with pytest.raises(TypeError):
        session.generate("secret:dev/app/key", "32")
    path = vault.write(keypair("dev/ssh/deploy", "pub"))
    before = path.read_bytes()
    # The existence check comes before the sensitivity word.
    with pytest.raises(TarnelError, match=r"^`secret:dev/ssh/deploy` already exists$"):
        session.generate("secret:dev/ssh/deploy", 8, "nonsense")
    assert path.read_bytes() == before
    assert vault.audit_bytes() == b""


# --- delete -----------------------------------------------------------------------


def test_delete_removes_a_keypair_once(vault, open_session):
    path = vault.write(keypair("dev/ssh/deploy", "pub"))
    session = open_session()
    assert session.delete("secret:dev/ssh/deploy") is None
    assert not path.exists()
    with pytest.raises(TarnelNotFound, match="^not addressable$"):
        session.delete("secret:dev/ssh/deploy")
    [event] = vault.audit()
    assert (event["action"], event["result"], event["coordinate"]) == ("delete", "deleted", "dev/ssh/deploy")


def test_delete_looks_only_in_the_target_vault(vault, open_session):
    vault.write(literal("dev/app/token", b"v"))
    with pytest.raises(TarnelNotFound):
        open_session().delete("secret:dev/app/token", project="alpha")
    assert vault.read("dev/app/token") is not None
    assert not vault.dir("alpha").exists()


def test_lock_files_come_and_go_with_the_record(vault, open_session):
    session = open_session()
    session.set("secret:dev/app/token", "v")
    sid = storage_id("dev/app/token")
    lock = vault.dir() / f"{sid}.sec.lock"
    assert sorted(p.name for p in vault.dir().iterdir()) == [f"{sid}.sec", f"{sid}.sec.lock"]
    assert lock.stat().st_mode & 0o777 == 0o600
    assert [view["coordinate"] for view in session.list()] == ["dev/app/token"]
    session.delete("secret:dev/app/token")
    assert list(vault.dir().iterdir()) == []
