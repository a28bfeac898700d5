"""The owner's answers through `tarnel`: pending, approve, deny and intake, on
requests it must refuse or cannot find. An agent waiting on the answers, end
to end through tarnel-mcp, is in test_mcp_owner.py."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from test_cli import KEYRING_SCRIPT, TARNEL, environment, module_session, needs_secret_service, tarnel
from vaultkit import PASSPHRASE, REQUEST_CONTEXT, Vault, audit_pairs, seal

AT = "secret:dev/app/token"


@pytest.fixture
def root(tmp_path):
    """A vault made by `tarnel init` (so it has its passphrase check) holding
    one high secret."""
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    done = tarnel(root, "set", AT, "--sensitivity", "high", input=b"v")
    assert done.returncode == 0, done.stderr
    return root


# --- refusals -------------------------------------------------------------------

def test_fulfil_never_replaces_an_existing_secret_and_reject_removes_the_request(root):
    intake_id = module_session(root).request_secret(AT, sensitivity="low")
    done = tarnel(root, "intake", "fulfil", intake_id, input=b"replacement")
    assert done.returncode == 1 and b"already exists" in done.stderr
    assert bytes(Vault.existing(root).read("dev/app/token")["value"]) == b"v"
    assert (root / "intake" / f"{intake_id}.json").exists()

    rejected = tarnel(root, "intake", "reject", intake_id, passphrase=None)
    assert rejected.returncode == 0, rejected.stderr
    assert not (root / "intake" / f"{intake_id}.json").exists()
    assert ("deny", "intake-rejected") in audit_pairs(Vault.existing(root))


@pytest.mark.parametrize("command", [["approve"], ["deny"], ["intake", "fulfil"], ["intake", "reject"]])
@pytest.mark.parametrize("request_id", ["../1-2-3", "1-2-3/../../kdf", "kdf.salt", "1-2-3.json", "-1-2"])
def test_an_identifier_that_is_not_one_never_reaches_a_path(root, command, request_id):
    (root / "pending").mkdir(exist_ok=True)
    before = sorted(str(path) for path in root.rglob("*"))
    done = tarnel(root, *command, "--", request_id)
    assert done.returncode == 1 and b"is not a request identifier" in done.stderr, done.stderr
    assert sorted(str(path) for path in root.rglob("*")) == before


@pytest.mark.parametrize("command", [["approve"], ["deny"], ["intake", "fulfil"], ["intake", "reject"]])
def test_an_unknown_identifier_is_not_found(root, command):
    done = tarnel(root, *command, "1-2-3", input=b"v")
    what = "intake request" if "intake" in command else "pending request"
    # approve refuses a pipe before it looks.
    expected = (4, b"needs a terminal") if command == ["approve"] else (3, f"tarnel: no {what} 1-2-3\n".encode())
    assert done.returncode == expected[0] and expected[1] in done.stderr


def plant_confirmation(root: Path, request_id: str, created: int, **fields):
    request = {"resolved_command": None, "coordinate": "dev/app/token", "sensitivity": "high",
               "environment": "dev", "origin": "agent", "requesting_process": None,
               "requester_description": None, "action": None, "allow_password": False, "run": None, **fields}
    (root / "pending").mkdir(exist_ok=True)
    path = root / "pending" / f"{request_id}.json"
    # Sealed with a key that is not the vault's: listed and deniable, never approvable.
    body = json.dumps({"id": request_id, "created_unix": created, "request": request,
                       "expires_unix": created + 120, "nonce": "00" * 16}, separators=(",", ":"))
    path.write_bytes(seal(body[:-1].encode(), bytes(32), REQUEST_CONTEXT))
    return path


def test_expired_and_answered_requests_take_no_answer(root):
    plant_confirmation(root, "1-1-0", int(time.time()) - 121)
    plant_confirmation(root, "1-1-1", int(time.time()))
    (root / "pending" / "1-1-1.decision").write_text("denied\n")
    expired = tarnel(root, "deny", "1-1-0", passphrase=None)
    assert expired.returncode == 1 and b"has expired" in expired.stderr
    assert not (root / "pending" / "1-1-0.decision").exists()
    answered = tarnel(root, "deny", "1-1-1", passphrase=None)
    assert answered.returncode == 1 and b"already been answered" in answered.stderr
    states = {entry["id"]: entry["state"] for entry in json.loads(tarnel(root, "pending", "--json").stdout)}
    assert states == {"1-1-0": "expired", "1-1-1": "answered"}


def test_planted_request_files_are_skipped_by_name_and_never_waited_on(root):
    (root / "intake").mkdir()
    os.mkfifo(root / "intake" / "1-1-0.json")
    (root / "intake" / "1-1-1.json").symlink_to(root / "kdf.salt")
    (root / "intake" / "1-1-2.json").write_text("{" * 100 + "not json")
    (root / "intake" / "1-1-3.json").write_bytes(b" " * (1024 * 1024 + 1))
    listed = tarnel(root, "intake", passphrase=None)
    assert (listed.returncode, listed.stdout) == (0, b"no intake requests\n")
    assert listed.stderr.decode().splitlines() == [
        "tarnel: skipped intake 1-1-0: format error: not a regular file",
        "tarnel: skipped intake 1-1-1: format error: not a regular file",
        "tarnel: skipped intake 1-1-2: format error: not valid JSON",
        "tarnel: skipped intake 1-1-3: format error: larger than 1048576 bytes"]
    fulfil = tarnel(root, "intake", "fulfil", "1-1-0", input=b"v")
    assert fulfil.returncode == 1 and b"not a regular file" in fulfil.stderr


def test_what_the_requester_wrote_cannot_rewrite_the_terminal(root):
    plant_confirmation(root, "1-1-0", int(time.time()), requester_description="ok\r\x1b[2Kapprove me\u202e")
    shown = tarnel(root, "pending").stdout
    assert b"\x1b" not in shown and b"\r" not in shown
    assert b"ok\\x0d\\x1b[2Kapprove me\\u202e" in shown


# --- a keyring vault ---------------------------------------------------------------

KEYRING_WARNING = ("tarnel-mcp: warning: this vault's key comes from the system keyring, which hands it to any "
                   "process of this user that asks; an agent with a shell as this user can take it and approve its "
                   "own requests. Against such agents use a vault with a passphrase (tarnel init)")

# The module, keyed by the keyring, waits for a downgrade; the owner answers
# with a wrong code, then with the one shown.
KEYRING_APPROVAL = textwrap.dedent("""
    import os, subprocess, sys, threading, time, pexpect
    import tarnel_ffi
    tarnel, root = sys.argv[1], sys.argv[2]
    assert subprocess.run([tarnel, "init", "--keyring"], stdout=subprocess.DEVNULL).returncode == 0
    # The module would take the passphrase from the environment; the owner's tool never does.
    passphrase = os.environ.pop("TARNEL_PASSPHRASE")
    session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root)
    os.environ["TARNEL_PASSPHRASE"] = passphrase
    session.set("secret:dev/app/token", "v")
    session.edit_metadata("secret:dev/app/token", sensitivity="high")
    outcome = {}
    def downgrade():
        outcome["view"] = session.edit_metadata("secret:dev/app/token", sensitivity="medium")
    waiter = threading.Thread(target=downgrade)
    waiter.start()
    pending = os.path.join(root, "pending")
    while not (os.path.isdir(pending) and any(n.endswith(".json") for n in os.listdir(pending))):
        time.sleep(0.01)
    request = [n for n in os.listdir(pending) if n.endswith(".json")][0][:-len(".json")]
    for answer in ("wrong", None):
        child = pexpect.spawn(tarnel, ["approve", request], timeout=30)
        child.expect(r"Type (\\w+) to approve: ")
        child.sendline(answer or child.match.group(1).decode())
        child.expect(pexpect.EOF)
        child.close()
        print(f"status={child.exitstatus}")
    waiter.join(timeout=60)
    print(outcome["view"]["sensitivity"])
    # The server says at start what the keyring cannot keep from a same-user agent.
    server = os.path.join(os.path.dirname(sys.executable), "tarnel-mcp")
    env = {k: v for k, v in os.environ.items() if k != "TARNEL_PASSPHRASE"}
    served = subprocess.run([server, "--vault-dir", root, "--operations", "metadata"], env=env,
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    print([line for line in served.stderr.decode().splitlines() if "keyring" in line])
""")


@needs_secret_service
def test_a_keyring_vault_approves_with_a_code_typed_back(tmp_path):
    pytest.importorskip("pexpect")
    root = tmp_path / "vault"
    env = environment(root, passphrase=PASSPHRASE)
    del env["DBUS_SESSION_BUS_ADDRESS"]
    done = subprocess.run(["sh", str(KEYRING_SCRIPT), sys.executable, "-c", KEYRING_APPROVAL, str(TARNEL), str(root)],
                          capture_output=True, env=env, timeout=120, start_new_session=True)
    lines = done.stdout.decode().splitlines()
    assert lines[-4:-1] == ["status=4", "status=0", "medium"], done.stderr
    assert lines[-1] == repr([KEYRING_WARNING]), done.stderr
