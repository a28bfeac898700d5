"""edit_metadata end to end, with a human answering downgrades through pending/."""

import atexit
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from human import OWNER_APPROVES, ScriptedHuman
from tarnel_ffi import TarnelDenied, TarnelError, TarnelNotFound
from vaultkit import STAMP, audit_pairs, keypair, literal, reference, totp

DENIED = "denied \u2014 sensitivity not lowered"
TIMED_OUT = "timed out \u2014 sensitivity not lowered"
AT = "secret:dev/app/token"


def pending_names(vault):
    pending = vault.root / "pending"
    return sorted(p.name for p in pending.iterdir()) if pending.exists() else []


# --- downgrades a human decides ---------------------------------------------------


# The owner's proof is made here with Python's hashlib and hmac, apart from the
# module; a bare "approved", which any process of the user can write, is a forgery.
@pytest.mark.parametrize(("answer", "refusal"), [(OWNER_APPROVES, None), ("approved\n", "forged-approval-downgrade"),
                                                 ("no", "denied-downgrade")])
def test_a_downgrade_is_applied_only_when_the_human_approves(vault, open_session, tmp_path, answer, refusal):
    path = vault.write(literal("dev/app/token", b"v", sensitivity="high", description="d"))
    before = path.read_bytes()
    session = open_session()
    with ScriptedHuman(vault.root / "pending", answer, tmp_path, key=vault.key) as human:
        if refusal is None:
            view = session.edit_metadata(AT, sensitivity="medium", description="changed")
        else:
            with pytest.raises(TarnelDenied) as raised:
                session.edit_metadata(AT, sensitivity="medium", description="changed")
    name, pending = human.seen()
    assert name == pending["id"] + ".json"
    assert list(pending) == ["id", "created_unix", "request", "expires_unix", "nonce", "mac"]
    assert pending["expires_unix"] == pending["created_unix"] + 120
    assert type(pending["created_unix"]) is int
    assert pending["request"] == {
        "resolved_command": "edit dev/app/token --sensitivity medium (downgrade from High)",
        "coordinate": "dev/app/token", "sensitivity": "high", "environment": "dev", "origin": "agent",
        "requesting_process": None, "requester_description": None, "action": None, "allow_password": True,
        "run": None,
    }
    assert list(pending["request"])[0] == "resolved_command"
    assert pending_names(vault) == []
    if refusal is not None:
        assert str(raised.value) == DENIED
        assert path.read_bytes() == before
        assert audit_pairs(vault) == [("deny", refusal)]
        return
    assert view["sensitivity"] == "medium"
    stored = vault.read("dev/app/token")
    assert (stored["sensitivity"], stored["description"]) == ("medium", "changed")
    assert audit_pairs(vault) == [("approve", "approved-downgrade"), ("sensitivity-downgrade", "downgraded"),
                                  ("edit", "metadata-updated")]
    assert {(e["coordinate"], e["environment"], e["origin"]) for e in vault.audit()} == {
        ("dev/app/token", "dev", "agent")}


def test_inject_only_is_named_by_its_variant_name(vault, open_session, tmp_path):
    vault.write(literal("dev/app/token", b"v", sensitivity="inject-only"))
    with ScriptedHuman(vault.root / "pending", OWNER_APPROVES, tmp_path, key=vault.key) as human:
        view = open_session().edit_metadata(AT, sensitivity="high")
    assert view["sensitivity"] == "high"
    assert human.seen()[1]["request"]["resolved_command"] == (
        "edit dev/app/token --sensitivity high (downgrade from InjectOnly)")
    assert human.seen()[1]["request"]["sensitivity"] == "inject-only"


# --- edits that need no human -----------------------------------------------------


def test_medium_to_low_needs_no_human_and_raising_or_keeping_is_only_an_edit(vault, open_session):
    vault.write(literal("dev/app/token", b"v", sensitivity="medium"))
    session = open_session()
    assert session.edit_metadata(AT, sensitivity="low")["sensitivity"] == "low"
    assert audit_pairs(vault) == [("sensitivity-downgrade", "downgraded"), ("edit", "metadata-updated")]
    assert not (vault.root / "pending").exists()
    assert session.edit_metadata(AT, sensitivity="HIGH")["sensitivity"] == "high"
    assert session.edit_metadata(AT, sensitivity="high")["sensitivity"] == "high"
    assert session.edit_metadata(AT, sensitivity="Inject_Only")["sensitivity"] == "injectonly"
    assert vault.read("dev/app/token")["sensitivity"] == "inject-only"
    assert audit_pairs(vault)[2:] == [("edit", "metadata-updated")] * 3


def test_the_coordinate_alone_rewrites_the_record_then_description_and_revealable(vault, open_session):
    vault.write(literal("dev/app/token", b"v", description="same", revealable=True))
    open_session().edit_metadata(AT)
    stored = vault.read("dev/app/token")
    assert (stored["description"], stored["created"], bytes(stored["value"])) == ("same", STAMP, b"v")
    assert stored["updated"] != STAMP
    assert audit_pairs(vault) == [("edit", "metadata-updated")]
    # Taking revealable away needs nobody.
    assert open_session().edit_metadata(AT, description="", revealable=False)["revealable"] is False
    stored = vault.read("dev/app/token")
    assert (stored["description"], stored["revealable"]) == ("", False)


def test_reference_edits(vault, open_session, tmp_path):
    path = vault.write(totp("dev/mail/otp", b"seed"))
    before = path.read_bytes()
    session = open_session()
    with pytest.raises(TarnelError, match=r"^`reference` edits a reference secret; this is a TOTP enrollment$"):
        session.edit_metadata("secret:dev/mail/otp", reference="aws-sm://r/s")
    assert path.read_bytes() == before
    vault.write(keypair("dev/ssh/key", "pub"))
    with pytest.raises(TarnelError, match=r"; this is a keypair$"):
        session.edit_metadata("secret:dev/ssh/key", reference="aws-sm://r/s")

    # Pointing a reference elsewhere lets the owner's cloud credentials fetch
    # something else: the owner is shown both and approves.
    vault.write(reference("dev/app/ref", "azure-kv://v/old", sensitivity="high"))
    with ScriptedHuman(vault.root / "pending", OWNER_APPROVES, tmp_path, key=vault.key) as human:
        view = session.edit_metadata("secret:dev/app/ref", reference="azure-kv://v/new")
    assert human.seen()[1]["request"]["action"] == "point the reference at azure-kv://v/new instead of azure-kv://v/old"
    assert (view["reference"], view["sensitivity"]) == ("azure-kv://v/new", "high")
    assert vault.read("dev/app/ref")["ref"] == "azure-kv://v/new"
    assert audit_pairs(vault) == [("approve", "approved-reference"), ("edit", "metadata-updated")]


def test_an_edit_never_falls_back_to_the_global_vault(vault, open_session):
    vault.write(literal("dev/app/token", b"v"))
    with pytest.raises(TarnelNotFound, match="^not addressable$"):
        open_session().edit_metadata(AT, description="x", project="p")
    vault.write(literal("dev/app/token", b"p"), project="p")
    assert open_session().edit_metadata(AT, description="x", project="p")["origin"] == "project:p"
    assert "description" not in vault.read("dev/app/token")


def test_failures_before_the_edit(vault, open_session):
    session = open_session()
    with pytest.raises(TarnelNotFound):
        session.edit_metadata(AT, sensitivity="nonsense")  # looked up before the word is read
    vault.write(literal("dev/app/token", b"v"))
    with pytest.raises(TarnelError, match=r"^unknown sensitivity `secret`"):
        session.edit_metadata(AT, sensitivity="secret")
    assert vault.audit_bytes() == b""


# --- no answer at all: the full 120-second wait -------------------------------------
#
# The wait runs in a process of its own, started as soon as collection ends
# (conftest.py), so the rest of the suite runs meanwhile; the test itself only
# collects the outcome.


def start_unanswered_downgrade():
    workdir = Path(tempfile.mkdtemp(prefix="tarnel-timeout-"))
    # Removed however the run ends, also when the test never gets to run.
    atexit.register(shutil.rmtree, workdir, ignore_errors=True)
    probe = Path(__file__).with_name("timeout_probe.py")
    process = subprocess.Popen([sys.executable, str(probe), str(workdir)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    return process, workdir


@pytest.mark.slow
def test_an_unanswered_downgrade_times_out_after_120_seconds(early_job):
    process, _ = early_job
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    outcome = json.loads(out)
    assert outcome["raised"] == "TarnelDenied"
    assert outcome["message"] == TIMED_OUT
    assert 119.5 <= outcome["elapsed"] < 150
    assert outcome["seen"]["request"]["resolved_command"] == (
        "edit prod/db/password --sensitivity low (downgrade from High)")
    assert outcome["seen"]["request"]["allow_password"] is True
    assert outcome["pending_after"] == []
    assert outcome["unchanged"] is True
    assert outcome["audit"] == [["timeout", "timeout-downgrade"]]


test_an_unanswered_downgrade_times_out_after_120_seconds.start_early = start_unanswered_downgrade
