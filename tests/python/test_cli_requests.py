"""The owner's answers through `tarnel`: pending, approve, deny and intake.

Each half runs in its own process: the agent is a Python process holding a
module session and waiting on the human; the human is the command, on a
pseudo-terminal where it must be one."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from test_cli import KEYRING_SCRIPT, TARNEL, environment, module_session, pexpect_eof, spawn, tarnel
from vaultkit import PASSPHRASE, Vault, audit_pairs

AT = "secret:dev/app/token"
DENIED = "denied \u2014 sensitivity not lowered"


@pytest.fixture
def root(tmp_path):
    """A vault made by `tarnel init` (so it has its passphrase check) holding
    one high secret."""
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    done = tarnel(root, "set", AT, "--sensitivity", "high", input=b"v")
    assert done.returncode == 0, done.stderr
    return root


AGENT = textwrap.dedent("""
    import json, sys, tarnel_ffi
    root, call, args = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    session = tarnel_ffi.TarnelSession({"operations": ["metadata", "write"]}, vault_dir=root,
                                       passphrase=sys.argv[4])
    try:
        print(json.dumps({"ok": getattr(session, call)(*args[0], **args[1])}))
    except tarnel_ffi.TarnelError as error:
        print(json.dumps({type(error).__name__: str(error)}))
""")


def agent(root: Path, call: str, *args, **kwargs) -> subprocess.Popen:
    """An agent's call in a process of its own; .communicate() gives its outcome."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("TARNEL_")}
    return subprocess.Popen([sys.executable, "-c", AGENT, str(root), call, json.dumps([args, kwargs]), PASSPHRASE],
                            stdout=subprocess.PIPE, env=env, text=True)


def outcome(process: subprocess.Popen) -> dict:
    out, _ = process.communicate(timeout=150)
    return json.loads(out)


def waiting_request(root: Path) -> str:
    """The identifier of the one request the agent is waiting on."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        found = sorted((root / "pending").glob("*.json")) if (root / "pending").is_dir() else []
        if found:
            return found[0].stem
        time.sleep(0.02)
    raise AssertionError("no pending request appeared")


def approve_on_terminal(root: Path, request_id: str, typed: str):
    # TARNEL_PASSPHRASE is set (to the right one) and must be ignored.
    child = spawn(root, "approve", request_id)
    child.expect("Vault passphrase: ")
    shown = child.before
    child.sendline(typed)
    child.expect(pexpect_eof())
    child.close()
    return child, shown + child.before


# --- closing the loop with a waiting agent ---------------------------------------

def test_a_downgrade_is_approved_on_a_terminal_with_the_passphrase(root):
    waiting = agent(root, "edit_metadata", AT, sensitivity="medium", description="rotated")
    request_id = waiting_request(root)

    listed = json.loads(tarnel(root, "pending", "--json", passphrase=None).stdout)
    assert listed == [{
        "id": request_id, "created_unix": listed[0]["created_unix"], "age_seconds": listed[0]["age_seconds"],
        "state": "waiting", "resolved_command": "edit dev/app/token --sensitivity medium (downgrade from High)",
        "coordinate": "dev/app/token", "sensitivity": "high", "environment": "dev", "origin": "agent",
        "requesting_process": None, "requester_description": None, "action": None, "allow_password": True}]
    assert 0 <= listed[0]["age_seconds"] < 120
    text = tarnel(root, "pending", passphrase=None).stdout.decode()
    assert request_id in text and "downgrade from High" in text and "left to answer" in text

    child, shown = approve_on_terminal(root, request_id, PASSPHRASE)
    assert child.exitstatus == 0, shown
    assert b"downgrade from High" in shown and f"approved {request_id}".encode() in shown
    assert PASSPHRASE.encode() not in shown
    result = outcome(waiting)
    assert result["ok"]["sensitivity"] == "medium"
    assert ("approve", "approved-downgrade") in audit_pairs(Vault.existing(root))
    assert list((root / "pending").iterdir()) == []


def test_no_approval_from_a_pipe_or_with_a_wrong_passphrase_and_deny_answers(root):
    waiting = agent(root, "edit_metadata", AT, sensitivity="low")
    request_id = waiting_request(root)
    decision = root / "pending" / f"{request_id}.decision"

    piped = tarnel(root, "approve", request_id)
    assert piped.returncode == 4 and b"needs a terminal" in piped.stderr
    child, shown = approve_on_terminal(root, request_id, "not the passphrase")
    assert child.exitstatus == 1 and b"tarnel: wrong passphrase" in shown
    assert not decision.exists() and waiting.poll() is None

    denied = tarnel(root, "deny", request_id, passphrase=None)
    assert (denied.returncode, denied.stdout) == (0, f"denied {request_id}\n".encode())
    assert outcome(waiting) == {"TarnelDenied": DENIED}
    assert Vault.existing(root).read("dev/app/token")["sensitivity"] == "high"
    again = tarnel(root, "deny", request_id, passphrase=None)
    assert (again.returncode, again.stderr) == (3, f"tarnel: no pending request {request_id}\n".encode())


def test_an_intake_is_fulfilled_from_standard_input_and_the_agent_sees_it(root):
    requested = agent(root, "request_secret", "secret:dev/db/password", sensitivity="inject-only",
                      description="the app's database", project="web", client_identity="client/2")
    intake_id = outcome(requested)["ok"]

    listed = json.loads(tarnel(root, "intake", "--json", passphrase=None).stdout)
    assert [(entry["id"], entry["coordinate"], entry["sensitivity"], entry["project"], entry["description"],
             entry["requesting_process"]) for entry in listed] == [
        (intake_id, "secret:dev/db/password", "inject-only", "web", "the app's database", "client/2")]

    done = tarnel(root, "intake", "fulfil", intake_id, input=b"hunter2\n")
    assert done.returncode == 0, done.stderr
    assert b"hunter2" not in done.stdout + done.stderr
    assert not (root / "intake" / f"{intake_id}.json").exists()
    seen = outcome(agent(root, "list"))["ok"]
    entry = next(view for view in seen if view["coordinate"] == "dev/db/password")
    assert entry["origin"] == "project:web"
    vault = Vault.existing(root)
    record = vault.read("dev/db/password", project="web")
    assert (bytes(record["value"]), record["sensitivity"], record["description"]) == (
        b"hunter2", "inject-only", "the app's database")
    assert [event["origin"] for event in vault.audit() if event["result"] == "intake-fulfilled"] == ["human"]

    twice = tarnel(root, "intake", "fulfil", intake_id, input=b"other")
    assert (twice.returncode, twice.stderr) == (3, f"tarnel: no intake request {intake_id}\n".encode())


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
               "requester_description": None, "action": None, "allow_password": False, **fields}
    (root / "pending").mkdir(exist_ok=True)
    path = root / "pending" / f"{request_id}.json"
    path.write_text(json.dumps({"id": request_id, "created_unix": created, "request": request}))
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

KEYRING_APPROVAL = textwrap.dedent("""
    import json, os, subprocess, sys, time, pexpect
    tarnel, root = sys.argv[1], sys.argv[2]
    assert subprocess.run([tarnel, "init", "--keyring"], stdout=subprocess.DEVNULL).returncode == 0
    os.makedirs(os.path.join(root, "pending"))
    request = {"resolved_command": None, "coordinate": "dev/app/token", "sensitivity": "high",
               "environment": "dev", "origin": "agent", "requesting_process": None,
               "requester_description": None, "action": None, "allow_password": True}
    with open(os.path.join(root, "pending", "1-1-0.json"), "w") as f:
        json.dump({"id": "1-1-0", "created_unix": int(time.time()), "request": request}, f)
    for answer in ("wrong", None):
        child = pexpect.spawn(tarnel, ["approve", "1-1-0"], timeout=30)
        child.expect(r"Type (\\w+) to approve: ")
        child.sendline(answer or child.match.group(1).decode())
        child.expect(pexpect.EOF)
        child.close()
        print(f"status={child.exitstatus}")
    print(open(os.path.join(root, "pending", "1-1-0.decision")).read().strip())
""")


@pytest.mark.skipif(not all(shutil.which(tool) for tool in ("dbus-run-session", "gnome-keyring-daemon",
                                                             "secret-tool", "gdbus")),
                    reason="needs dbus-run-session, gnome-keyring-daemon, secret-tool and gdbus")
def test_a_keyring_vault_approves_with_a_code_typed_back(tmp_path):
    pytest.importorskip("pexpect")
    root = tmp_path / "vault"
    env = environment(root, passphrase=PASSPHRASE)
    del env["DBUS_SESSION_BUS_ADDRESS"]
    done = subprocess.run(["sh", str(KEYRING_SCRIPT), sys.executable, "-c", KEYRING_APPROVAL, str(TARNEL), str(root)],
                          capture_output=True, env=env, timeout=120, start_new_session=True)
    assert done.stdout.decode().splitlines()[-3:] == ["status=4", "status=0", "approved"], done.stderr
