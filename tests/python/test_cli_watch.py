# `tarnel pending --watch` and `tarnel intake --watch`: the owner on a
# pseudo-terminal answers each request as it comes, an agent waiting on the
# other side (the SDK's client over tarnel-mcp, or the module itself); and the
# desktop notification each new request raises, seen by a notification service
# of the tests' own on a private session bus.

from __future__ import annotations

import fcntl
import json
import shutil
import socket
import subprocess
import time
from contextlib import contextmanager
from pathlib import Path

import anyio
import pytest

from human import TARNEL, Lines, agent_session, end, needs_tarnel, tarnel, terminal
from mcpkit import async_test, mcp_session, while_waiting
from vaultkit import PASSPHRASE, REQUEST_CONTEXT, Vault, audit_pairs, fp, seal

pytestmark = needs_tarnel
pexpect = pytest.importorskip("pexpect")

APPROVE_DENY_SKIP = r"approve, deny or skip\? \[a/d/s\] "
FULFIL_REJECT_SKIP = r"fulfil, reject or skip\? \[f/r/s\] "
TOKEN = b"high-token-4711"
SERVICE = Path(__file__).with_name("notification_service.py")
# The service runs on the system's interpreter, which has GLib's bindings (python3-gi).
SYSTEM_PYTHON = "/usr/bin/python3"


def _has_glib_bindings() -> bool:
    return Path(SYSTEM_PYTHON).exists() and subprocess.run(
        [SYSTEM_PYTHON, "-c", "import gi; gi.require_version('Gio', '2.0')"], capture_output=True).returncode == 0


needs_private_bus = pytest.mark.skipif(not (shutil.which("dbus-run-session") and _has_glib_bindings()),
                                       reason="needs dbus-run-session and python3-gi")


@pytest.fixture
def root(tmp_path):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    assert tarnel(root, "set", "secret:dev/app/token", "--sensitivity", "high", input=TOKEN).returncode == 0
    return root


def stop(watch) -> int:
    # Ctrl-C while the watch waits: it ends as interrupted commands do.
    watch.sendintr()
    watch.expect(pexpect.EOF)
    watch.close()
    return watch.exitstatus


@contextmanager
def notification_service(tmp_path: Path):
    # The bus address and a reader of what the service was sent, for as long as the test needs them.
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "LANG": "C.UTF-8"}
    with open(tmp_path / "notification-service.log", "wb") as log:
        process = subprocess.Popen(["dbus-run-session", "--", SYSTEM_PYTHON, str(SERVICE)], env=env,
                                   stdout=subprocess.PIPE, stderr=log, start_new_session=True)
    try:
        lines = Lines(process.stdout)
        ready = json.loads(lines(30))
        yield ready["address"], lambda: json.loads(lines(10)), lines
    finally:
        end(process)


# --- pending --watch ------------------------------------------------------------

@async_test
async def test_the_watch_approves_an_agents_waiting_downgrade_with_the_passphrase_and_ends_on_ctrl_c(root):
    vault = Vault.existing(root)
    seen = {}
    # TARNEL_PASSPHRASE is set: the approval must ask on the terminal all the same.
    with terminal(root, "pending", "--watch") as watch:
        watch.expect("waiting for requests")
        async with mcp_session(vault) as session:
            def owner(request_id):
                asked = time.monotonic()
                watch.expect(APPROVE_DENY_SKIP)
                seen.update(after=time.monotonic() - asked, shown=watch.before)
                watch.sendline("a")
                watch.expect("Vault passphrase: ")
                watch.sendline(PASSPHRASE)
                watch.expect(f"approved {request_id}")

            async def approve(request_id):
                await anyio.to_thread.run_sync(owner, request_id)

            result = await while_waiting(session, root, "edit_secret_metadata",
                                         {"coordinate": "secret:dev/app/token", "sensitivity": "medium"}, approve)
        assert not result.is_error and result.structured_content["sensitivity"] == "medium", result.content
        # Shown as approve shows it, soon after it was made.
        assert b"downgrade from High" in seen["shown"] and seen["after"] < 2, seen
        assert stop(watch) == 130
    assert ("approve", "approved-downgrade") in audit_pairs(vault)


def plant_confirmation(root: Path, request_id: str) -> Path:
    # A request sealed with a key that is not the vault's; held as a waiting requester holds its request.
    created = int(time.time())
    request = {"resolved_command": "edit dev/app/token --sensitivity low (downgrade from High)",
               "coordinate": "dev/app/token", "sensitivity": "high", "environment": "dev", "origin": "agent",
               "requesting_process": None, "requester_description": None, "action": None, "allow_password": True,
               "run": None}
    body = json.dumps({"id": request_id, "created_unix": created, "request": request, "expires_unix": created + 120,
                       "nonce": "00" * 16}, separators=(",", ":"))
    (root / "pending").mkdir(exist_ok=True)
    path = root / "pending" / f"{request_id}.json"
    path.write_bytes(seal(body[:-1].encode(), bytes(32), REQUEST_CONTEXT))
    return path


def test_a_request_withdrawn_while_shown_is_reported_and_not_answered(root):
    path = plant_confirmation(root, "1-1-7")
    with open(path) as held:
        fcntl.flock(held, fcntl.LOCK_SH)
        with terminal(root, "pending", "--watch") as watch:
            watch.expect(APPROVE_DENY_SKIP)
            path.unlink()  # its requester gave up while the owner read it
            watch.sendline("a")
            watch.expect("Vault passphrase: ")
            watch.sendline(PASSPHRASE)
            watch.expect("no pending request 1-1-7")
            # Guards: the approval went on to the request as shown and left an answer nobody reads.
            assert list((root / "pending").iterdir()) == []
            assert stop(watch) == 130
    assert not any(word.startswith("approval-refused") for _, word in audit_pairs(Vault.existing(root)))


@pytest.mark.parametrize("command", [["pending", "--watch"], ["intake", "--watch"]])
def test_a_watch_needs_a_terminal(root, command):
    done = tarnel(root, *command)
    assert (done.returncode, done.stdout) == (4, b"") and b"--watch needs a terminal" in done.stderr, done.stderr


# --- notifications ----------------------------------------------------------------

def test_a_bus_that_never_answers_holds_the_watch_up_a_second_at_most(root, tmp_path):
    path = plant_confirmation(root, "1-1-7")
    with socket.socket(socket.AF_UNIX) as mute, open(path) as held:
        fcntl.flock(held, fcntl.LOCK_SH)
        mute.bind(str(tmp_path / "bus"))
        mute.listen()  # connections are taken in, and nothing is ever said on them
        started = time.monotonic()
        with terminal(root, "pending", "--watch", DBUS_SESSION_BUS_ADDRESS=f"unix:path={tmp_path / 'bus'}") as watch:
            watch.expect(APPROVE_DENY_SKIP, timeout=10)
            assert time.monotonic() - started < 3
            assert b"no desktop notifications: the session bus does not answer" in watch.before
            watch.sendline("s")
            watch.expect("skipped 1-1-7")
            assert stop(watch) == 130


@needs_private_bus
def test_an_intake_notification_escapes_the_agents_text_and_leaves_its_words_out(root, tmp_path):
    asked = agent_session(root).request_secret('secret:dev/<b>pay&c/"key"', "low", "<b>urgent</b>: paste it", None,
                                                "agent/1")
    with notification_service(tmp_path) as (address, notified, _), \
            terminal(root, "intake", "--watch", DBUS_SESSION_BUS_ADDRESS=address) as watch:
        note = notified()
        assert note["summary"] == "tarnel: an intake waits for a value"
        assert note["body"] == f"secret:dev/&lt;b&gt;pay&amp;c/&quot;key&quot;\nintake {asked}"
        watch.expect(FULFIL_REJECT_SKIP)
        watch.sendline("s")
        watch.expect(f"skipped intake {asked}")
        assert stop(watch) == 130


# --- intake --watch ---------------------------------------------------------------

def test_the_intake_watch_fulfils_asking_the_passphrase_once_and_values_without_echo_until_ctrl_c(root):
    agent, values = agent_session(root), [b"sk_test_51pay", None]
    script = f'trap : INT; "{TARNEL}" intake --watch; echo "status=$?"; stty -a'
    with terminal(root, command=["/bin/sh", "-c", script], passphrase=None) as watch:
        watch.expect("waiting for intakes")
        for number, value in enumerate(values):
            asked = agent.request_secret(f"secret:dev/pay/key{number}", "medium", "checkout tests", None, "agent/1")
            watch.expect(FULFIL_REJECT_SKIP)
            watch.sendline("f")
            if number == 0:  # the session opened for the first is kept for the next
                watch.expect("Vault passphrase: ")
                watch.sendline(PASSPHRASE)
            watch.expect(f"Value for secret:dev/pay/key{number}: ")
            assert not watch.getecho()
            if value is None:
                break
            watch.sendline(value)
            watch.expect(f"created dev/pay/key{number} .* for intake {asked}\r\n")
            assert value not in watch.before + watch.after
        # Ctrl-C at the last one's prompt ends the watch as interrupted commands end, with echo back on.
        watch.sendintr()
        watch.expect(r"status=(\d+)")
        assert watch.match.group(1) == b"130"
        watch.expect(pexpect.EOF)
    assert b"echo" in watch.before.split() and b"-echo" not in watch.before.split()
    views = {view["coordinate"]: view for view in agent.list()}
    assert (views["dev/pay/key0"]["fingerprint"], views["dev/pay/key0"]["sensitivity"]) == (fp(values[0]), "medium")
    assert [path.stem for path in (root / "intake").iterdir()] == [asked]
