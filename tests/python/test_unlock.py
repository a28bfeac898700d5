"""`tarnel unlock` on a terminal, the server it leaves behind, and the host's
entry `tarnel-mcp --connect`, driven by the SDK's own client. The attacker is
a real process of the same user (uid 0 stripped of every capability when the
tests run as root)."""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from contextlib import asynccontextmanager
from pathlib import Path

import anyio
import pytest

from mcpkit import AGENT, async_test, call, refused, server_command, server_environment
from test_cli import KEYRING_SCRIPT, TARNEL, environment, may_lock_memory, needs_secret_service, tarnel
from test_mcp_hardening import _drop_capabilities
from test_mcp_owner import approve_on_terminal, while_waiting
from vaultkit import PASSPHRASE, Vault, audit_pairs

from mcp.client.session import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402
from mcp.shared.exceptions import MCPError  # noqa: E402

pytestmark = pytest.mark.skipif(not TARNEL.exists(), reason=f"tarnel is not installed beside {TARNEL.parent}")

README = Path(__file__).resolve().parents[2] / "README.md"
LOCKED = "the tarnel vault is locked: run `tarnel unlock` in a terminal"


class Owner:
    """A vault made by `tarnel init`, and a runtime directory of the owner's."""

    def __init__(self, tmp_path: Path) -> None:
        self.root = tmp_path / "vault"
        self.runtime = tmp_path / "run"
        self.runtime.mkdir(mode=0o700)
        assert tarnel(self.root, "init").returncode == 0
        for path, value, flags in [("dev/app/token", b"dev-token-4711", ["low", "--revealable"]),
                                   ("prod/db/password", b"prod-pw-0815", ["high"])]:
            done = tarnel(self.root, "set", f"secret:{path}", "--sensitivity", *flags, input=value)
            assert done.returncode == 0, done.stderr
        self.key = Vault.existing(self.root).key
        self.pids: list[int] = []

    def run(self, *args: str, **extra: str):
        return tarnel(self.root, *args, XDG_RUNTIME_DIR=str(self.runtime), **extra)

    def unlock(self, *args: str, typed: str = PASSPHRASE, variable: str | None = PASSPHRASE,
               preexec_fn=None, program: Path = TARNEL, **extra: str) -> tuple[int, str]:
        """`tarnel unlock` on a terminal, the passphrase typed; TARNEL_PASSPHRASE
        (by default set to the right one) is never taken."""
        import pexpect

        child = pexpect.spawn(str(program), ["unlock", *args], timeout=60, preexec_fn=preexec_fn,
                              env=environment(self.root, variable, XDG_RUNTIME_DIR=str(self.runtime), **extra))
        if child.expect(["Vault passphrase: ", pexpect.EOF]) == 0:
            child.sendline(typed)
            child.expect(pexpect.EOF)
        child.close()
        shown = child.before.decode()
        found = re.search(r"server pid (\d+)", shown)
        if found:
            self.pids.append(int(found.group(1)))
        return child.exitstatus, shown

    def status(self) -> str:
        done = self.run("status")
        assert done.returncode == 0, done.stderr
        return done.stdout.decode()

    def connect_params(self, *args: str, **extra: str) -> StdioServerParameters:
        command = server_command("--connect", *args)
        return StdioServerParameters(command=command[0], args=command[1:],
                                     env=server_environment(XDG_RUNTIME_DIR=str(self.runtime), **extra))

    @asynccontextmanager
    async def connected(self, *args: str, **extra: str):
        with open(self.root.parent / "connect-stderr.log", "a") as errlog:
            async with stdio_client(self.connect_params(*args, **extra), errlog=errlog) as (read, write):
                async with ClientSession(read, write, client_info=AGENT) as session:
                    await session.initialize()
                    yield session

    async def locked_answer(self, *args: str) -> str:
        with open(self.root.parent / "connect-stderr.log", "a") as errlog:
            async with stdio_client(self.connect_params(*args), errlog=errlog) as (read, write):
                async with ClientSession(read, write) as session:
                    with pytest.raises(MCPError) as raised:
                        await session.initialize()
        return str(raised.value)

    def stop_all(self) -> None:
        for pid in self.pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


@pytest.fixture
def owner(tmp_path):
    owner = Owner(tmp_path)
    yield owner
    owner.stop_all()


def gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    # Reparented to an init that may not reap it yet.
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(") ")[1].startswith("Z")
    except FileNotFoundError:
        return True


def wait_until(predicate, seconds: float = 30) -> None:
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


# --- serving -----------------------------------------------------------------------

@async_test
async def test_every_tool_works_through_connect_and_a_downgrade_waits_for_the_owners_approval(owner):
    status, shown = owner.unlock("--operations", "metadata,reveal,write,inject", "--idle", "10m")
    assert status == 0, shown
    assert "operations metadata,reveal,write,inject; projects any; environments any" in shown
    async with owner.connected() as session:
        tools = {tool.name for tool in (await session.list_tools()).tools}
        assert tools == {"list_secrets", "secret_status", "secret_fingerprint", "reveal_secret", "set_secret",
                         "generate_secret", "delete_secret", "edit_secret_metadata", "request_secret",
                         "run_with_secrets"}
        await call(session, "set_secret", coordinate="secret:dev/app/url", value="https://x", sensitivity="low")
        assert (await call(session, "reveal_secret", coordinate="secret:dev/app/token"))["value"] == "dev-token-4711"
        assert (await call(session, "secret_status", coordinate="secret:prod/db/password"))["sensitivity"] == "high"
        assert (await call(session, "secret_fingerprint", coordinate="secret:dev/app/token"))
        await call(session, "generate_secret", coordinate="secret:dev/app/salt", length=24)
        await call(session, "delete_secret", coordinate="secret:dev/app/salt")
        asked = await call(session, "request_secret", coordinate="secret:dev/pay/key", sensitivity="low")
        assert asked["client_identity"].startswith('MCP client "test-agent" 4.2 (self-declared), connection ')
        run = await call(session, "run_with_secrets", refs="T=secret:dev/app/token", env="dev", program="/bin/sh",
                         args=["-c", 'echo "t=$T"'])
        assert run["stdout"] == "t=***\n"
        listed = {view["coordinate"] for view in (await call(session, "list_secrets"))["secrets"]}
        assert {"dev/app/token", "dev/app/url", "prod/db/password"} <= listed
        shown_status = owner.status()
        assert "clients: 1 connected" in shown_status and '"test-agent" 4.2' in shown_status

        async def approve(request_id):
            done, text = await approve_on_terminal(owner.root, request_id)
            assert done == 0, text

        approved = await while_waiting(session, owner.root, "edit_secret_metadata",
                                       {"coordinate": "secret:prod/db/password", "sensitivity": "medium"}, approve)
        assert not approved.is_error, approved.content
        assert approved.structured_content["sensitivity"] == "medium"
    assert ("approve", "approved-downgrade") in audit_pairs(Vault.existing(owner.root))


def _end_by(owner: Owner, how: str, pid: int) -> None:
    if how == "lock":
        done = owner.run("lock")
        assert done.returncode == 0 and done.stdout.decode() == f"Locked `default` (server pid {pid})\n", done
    elif how in ("SIGTERM", "SIGHUP", "SIGKILL"):
        os.kill(pid, getattr(signal, how))
    # "idle": nothing to do but wait.


@pytest.mark.parametrize("how", ["idle", "lock", "SIGTERM", "SIGHUP", "SIGKILL"])
def test_the_server_ends_and_connect_then_says_locked(owner, how):
    idle = "2s" if how == "idle" else "10m"
    status, shown = owner.unlock("--operations", "metadata", "--idle", idle)
    assert status == 0, shown
    pid = owner.pids[-1]
    _end_by(owner, how, pid)
    wait_until(lambda: gone(pid))
    sockets = {path.name for path in (owner.runtime / "tarnel").glob("default.*") if path.suffix != ".log"}
    # A killed server leaves its sockets; nothing else does.
    assert sockets == ({"default.sock", "default.ctl"} if how == "SIGKILL" else set())
    # The process that started it ends a moment after the key holder.
    expected = "default: locked\n" if how == "SIGKILL" else "Nothing is unlocked\n"
    wait_until(lambda: owner.status() == expected, 10)
    assert LOCKED in anyio.run(owner.locked_answer)
    # Nothing left blocks the next unlock.
    again, shown = owner.unlock("--operations", "metadata")
    assert again == 0, shown


def test_connect_exits_cleanly_with_the_message_when_nothing_is_unlocked(owner):
    request = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
               "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                          "clientInfo": {"name": "host", "version": "1"}}}
    params = owner.connect_params()
    done = subprocess.run([params.command, *params.args], input=json.dumps(request) + "\n", env=params.env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    answer = json.loads(done.stdout)
    assert answer["id"] == 1 and LOCKED in answer["error"]["message"]
    assert LOCKED in done.stderr and "Traceback" not in done.stderr


@async_test
async def test_two_names_keep_their_own_scopes_and_a_client_cannot_widen_either(owner, tmp_path):
    assert owner.unlock("--operations", "metadata", "--environments", "dev")[0] == 0
    assert owner.unlock("--operations", "metadata,inject", "--environments", "prod", "--name", "ops")[0] == 0
    again, shown = owner.unlock("--operations", "metadata,reveal", "--name", "ops")
    assert again == 1 and "`ops` is already unlocked" in shown
    other = Vault(tmp_path / "other", passphrase="other")
    # Whatever the host adds to the environment, and wherever it says the vault is.
    asks_for_more = {"TARNEL_PASSPHRASE": PASSPHRASE, "TARNEL_VAULT_DIR": str(other.root),
                     "TARNEL_MCP_PASSPHRASE_FD": "0"}
    for name, environments, tools in [("default", {"dev"}, {"list_secrets", "secret_status", "secret_fingerprint"}),
                                      ("ops", {"prod"}, {"list_secrets", "secret_status", "secret_fingerprint",
                                                         "run_with_secrets"})]:
        async with owner.connected("--name", name, "--vault-dir", str(other.root), **asks_for_more) as session:
            assert {tool.name for tool in (await session.list_tools()).tools} == tools
            seen = {view["environment"] for view in (await call(session, "list_secrets"))["secrets"]}
            assert seen == environments
            outside = "secret:prod/db/password" if name == "default" else "secret:dev/app/token"
            assert "not addressable" in await refused(session, "secret_status", coordinate=outside)
    status = owner.status()
    assert "default: unlocked" in status and "ops: unlocked" in status
    assert "operations metadata,inject; projects any; environments prod" in status
    # More scope is not an argument --connect takes.
    params = owner.connect_params("--operations", "reveal")
    refused_flag = subprocess.run([params.command, *params.args], env=params.env, capture_output=True, text=True,
                                  timeout=60, stdin=subprocess.DEVNULL)
    assert refused_flag.returncode == 2 and "unrecognized arguments: --operations reveal" in refused_flag.stderr


def test_unlock_takes_only_the_typed_passphrase_and_checks_it(owner):
    status, shown = owner.unlock("--operations", "metadata", typed="not the passphrase")
    assert status == 1 and "wrong passphrase" in shown
    assert owner.pids == [] and owner.status() == "Nothing is unlocked\n"
    # A scope the server refuses is reported, and nothing stays unlocked.
    status, shown = owner.unlock("--operations", "metadata,bogus")
    assert status == 2 and "the server did not start" in shown and "unknown operation `bogus`" in shown
    assert owner.status() == "Nothing is unlocked\n"
    piped = owner.run("unlock", "--operations", "metadata")
    assert piped.returncode == 4 and b"needs a terminal" in piped.stderr
    for argv, text in [(["--operations", "metadata", "--idle", "soon"], "--idle: `soon` is not a time"),
                       ([], "give the agent's scope"),
                       (["--operations", "metadata", "--name", "../x"], "`../x` is not a server name")]:
        done = owner.run("unlock", *argv)
        assert done.returncode in (1, 2) and text in done.stderr.decode(), (argv, done.stderr)


# --- what a process of the same user can read --------------------------------------

# Same uid, no capability: exactly what another process of the owner can do.
SAME_USER = {"preexec_fn": _drop_capabilities} if os.geteuid() == 0 else {}

# Opens every new process's memory the moment it appears: a descriptor opened
# while an image is still dumpable keeps working after it turns non-dumpable.
POLLER = r"""
import os, sys, json, time
secrets = [bytes.fromhex(h) for h in sys.argv[2:]]
stop, found, early = sys.argv[1], [], {}
parent_cmdline = open(f"/proc/{os.getppid()}/cmdline", "rb").read()
known = set(os.listdir("/proc"))
def search(pid, mem, maps):
    hits = []
    for line in maps.decode(errors="replace").splitlines():
        fields = line.split()
        start, end = (int(x, 16) for x in fields[0].split("-"))
        if "r" not in fields[1] or end - start > 1 << 28:
            continue
        try:
            data = os.pread(mem, end - start, start)
        except (OSError, OverflowError):
            continue
        hits += [f"{pid}/early-mem" for secret in secrets if secret in data]
    return hits
fresh = {}  # new pids, tried again until they have exec'd what they run
while not os.path.exists(stop):
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        if pid not in known:
            known.add(pid)
            fresh[pid] = time.monotonic()
        if pid in fresh:
            try:
                early[pid] = (os.open(f"/proc/{pid}/mem", os.O_RDONLY), os.open(f"/proc/{pid}/maps", os.O_RDONLY))
                if open(f"/proc/{pid}/cmdline", "rb").read() != parent_cmdline:
                    del fresh[pid]
            except OSError:
                if time.monotonic() - fresh[pid] > 3:
                    del fresh[pid]
        for entry in ("environ", "cmdline"):
            try:
                with open(f"/proc/{pid}/{entry}", "rb") as handle:
                    data = handle.read()
            except OSError:
                continue
            found += [f"{pid}/{entry}" for secret in secrets if secret in data]
# Read through the early descriptors now, when the key is held and the passphrase was typed.
for pid, (mem, maps) in early.items():
    text = b""
    try:
        while chunk := os.read(maps, 65536):
            text += chunk
    except OSError:  # gone since
        continue
    found += search(pid, mem, text)
print(json.dumps({"found": sorted(set(found)), "opened_early": sorted(early)}))
"""

READER = r"""
import os, sys, json
secrets = [bytes.fromhex(h) for h in sys.argv[2:]]
result = {}
for pid in sys.argv[1].split(","):
    for entry in ["environ", "cmdline", "mem"] + [f"fd/{n}" for n in range(64)]:
        path = f"/proc/{pid}/{entry}"
        try:
            if entry == "mem":
                data = b""
                with open(f"/proc/{pid}/maps") as maps, open(path, "rb", buffering=0) as mem:
                    for line in maps:
                        start, end = (int(x, 16) for x in line.split()[0].split("-"))
                        try:
                            mem.seek(start); data += mem.read(min(end - start, 1 << 24))
                        except (OSError, OverflowError, ValueError):
                            pass
            elif entry.startswith("fd/"):
                if not os.path.lexists(path):
                    continue
                fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
                try:
                    data = os.read(fd, 1 << 16)
                finally:
                    os.close(fd)
            else:
                with open(path, "rb") as handle:
                    data = handle.read()
        except OSError as error:
            result[f"{pid}/{entry}"] = "denied" if error.errno in (1, 13) else "unreadable"
            continue
        result[f"{pid}/{entry}"] = "FOUND" if any(s in data for s in secrets) else "read"
print(json.dumps(result))
"""


def test_no_proc_file_of_the_server_unlock_or_connect_holds_the_passphrase_or_the_key(owner, tmp_path):
    secrets = [PASSPHRASE.encode().hex(), owner.key.hex()]
    stop = tmp_path / "stop-polling"
    # Started before `tarnel unlock`, polling every environment and command line through the whole start-up.
    poller = subprocess.Popen([sys.executable, "-c", POLLER, str(stop), *secrets], stdout=subprocess.PIPE,
                              text=True, **SAME_USER)
    time.sleep(0.5)  # the poller has listed what runs already
    plain = subprocess.Popen(["sleep", "60"], env={"MARK": PASSPHRASE}, **SAME_USER)
    try:
        # Every process runs as the same user with the same (no) capabilities.
        status, shown = owner.unlock("--operations", "metadata,inject", variable=None,
                                     preexec_fn=SAME_USER.get("preexec_fn"))
        assert status == 0, shown
        server = owner.pids[-1]
        params = owner.connect_params()
        connect = subprocess.Popen([params.command, *params.args], env=params.env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **SAME_USER)
        initialize = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
                      "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                                 "clientInfo": {"name": "host", "version": "1"}}}
        connect.stdin.write((json.dumps(initialize) + "\n").encode())
        connect.stdin.flush()
        assert b'"serverInfo"' in connect.stdout.readline()
        parent = int(Path(f"/proc/{server}/stat").read_text().split(") ")[1].split()[1])
        pids = [server, connect.pid, plain.pid] + ([parent] if parent > 1 else [])
        read = subprocess.run([sys.executable, "-c", READER, ",".join(map(str, pids)), *secrets],
                              capture_output=True, text=True, timeout=120, **SAME_USER)
        stop.touch()
        polled = json.loads(poller.communicate(timeout=120)[0])
        connect.kill()
        connect.wait()
    finally:
        stop.touch()
        poller.kill()
        poller.wait()
        plain.kill()
        plain.wait()
    assert read.returncode == 0, read.stderr
    seen = json.loads(read.stdout)
    # The reader is not blind: it reads an ordinary process of the user, and finds the marker there.
    assert seen[f"{plain.pid}/environ"] == "FOUND"
    # An ordinary process's memory is read through an early descriptor, too; no process of tarnel's.
    assert str(plain.pid) in polled["opened_early"]
    assert polled["found"] == [f"{plain.pid}/early-mem", f"{plain.pid}/environ"]
    for pid in (server, connect.pid):
        assert seen[f"{pid}/environ"] == seen[f"{pid}/mem"] == "denied", seen
    assert not [entry for entry, what in seen.items() if what == "FOUND" and not entry.startswith(f"{plain.pid}/")]


def test_lock_ends_a_server_whose_sockets_were_renamed_away(owner):
    assert owner.unlock("--operations", "metadata")[0] == 0
    pid = owner.pids[-1]
    directory = owner.runtime / "tarnel"
    for name in ("default.sock", "default.ctl"):
        (directory / name).rename(directory / f".hidden-{name}")
    assert owner.status() == (f"default: unlocked (server pid {pid}) but unreachable: its sockets are gone; "
                              "`tarnel lock` ends it\n")
    done = owner.run("lock")
    assert (done.returncode, done.stdout.decode()) == (0, f"Locked `default` (server pid {pid})\n")
    wait_until(lambda: gone(pid), 10)


def test_what_a_server_or_its_log_says_reaches_the_terminal_escaped(owner, tmp_path):
    import socket
    import threading

    directory = owner.runtime / "tarnel"
    directory.mkdir(mode=0o700)
    impostor = socket.socket(socket.AF_UNIX)
    impostor.bind(str(directory / "default.ctl"))
    impostor.listen(1)

    def answer_once():
        connection, _ = impostor.accept()
        connection.recv(64)
        connection.sendall(json.dumps({"pid": 1, "vault": "\x1b]0;owned\x07/v", "operations": ["metadata\x1b[2J"],
                                       "clients": ["\x1b[1A\rMCP client"], "connections": 1}).encode() + b"\n")
        connection.close()

    threading.Thread(target=answer_once, daemon=True).start()
    shown = owner.status()
    impostor.close()
    assert "\x1b" not in shown and "\r" not in shown
    assert "vault: \\x1b]0;owned\\x07/v" in shown and "operations metadata\\x1b[2J" in shown


@pytest.mark.parametrize("plant", ["hard link", "fifo"])
def test_a_file_planted_at_the_log_is_replaced_not_written(owner, tmp_path, plant):
    directory = owner.runtime / "tarnel"
    directory.mkdir(mode=0o700)
    precious = tmp_path / "precious"
    precious.write_text("keep me")
    if plant == "hard link":
        os.link(precious, directory / "default.log")
    else:
        os.mkfifo(directory / "default.log")
    assert owner.unlock("--operations", "metadata")[0] == 0
    assert precious.read_text() == "keep me"
    assert (directory / "default.log").stat().st_nlink == 1 and (directory / "default.log").is_file()


def test_the_server_runs_no_code_from_the_owners_python_variables(owner, tmp_path):
    planted = tmp_path / "planted"
    planted.mkdir()
    marker = tmp_path / "ran"
    (planted / "sitecustomize.py").write_text(f"open({str(marker)!r}, 'w').close()\n")
    status, shown = owner.unlock("--operations", "metadata", PYTHONPATH=str(planted), PYTHONSTARTUP=str(planted / "sitecustomize.py"))
    assert status == 0, shown
    assert not marker.exists()


def test_unlock_starts_only_the_tarnel_mcp_beside_it(owner, tmp_path):
    # A tarnel-mcp on PATH is a program any process of the user can have put there.
    elsewhere = tmp_path / "bin"
    elsewhere.mkdir()
    shutil.copy(TARNEL, elsewhere / "tarnel")
    (elsewhere / "fake").mkdir()
    done = subprocess.run([str(elsewhere / "tarnel"), "unlock", "--operations", "metadata"], capture_output=True,
                          timeout=60, env=environment(owner.root, XDG_RUNTIME_DIR=str(owner.runtime),
                                                      PATH=f"{TARNEL.parent}:{os.environ['PATH']}"),
                          start_new_session=True)
    assert done.returncode == 1 and b"so that tarnel-mcp is beside tarnel" in done.stderr, done.stderr


# --- the private directory ---------------------------------------------------------

def _plant_directory_link(owner: Owner, tmp_path: Path) -> str:
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir(mode=0o700)
    (owner.runtime / "tarnel").symlink_to(elsewhere)
    return "it is a symbolic link"


def _open_directory(owner: Owner, tmp_path: Path) -> str:
    (owner.runtime / "tarnel").mkdir(mode=0o755)
    (owner.runtime / "tarnel").chmod(0o755)
    return "others may enter it (mode 755)"


def _plant_socket_link(owner: Owner, tmp_path: Path) -> str:
    (owner.runtime / "tarnel").mkdir(mode=0o700)
    (owner.runtime / "tarnel" / "default.sock").symlink_to(tmp_path / "agent.sock")
    return "default.sock for the unlocked server's sockets: it is a symbolic link"


def _plant_file(owner: Owner, tmp_path: Path) -> str:
    (owner.runtime / "tarnel").mkdir(mode=0o700)
    (owner.runtime / "tarnel" / "default.ctl").write_text("")
    return "default.ctl for the unlocked server's sockets: it is not a socket"


@pytest.mark.parametrize("plant", [_plant_directory_link, _open_directory, _plant_socket_link, _plant_file])
def test_a_planted_directory_or_socket_path_is_refused(owner, tmp_path, plant):
    text = plant(owner, tmp_path)
    done = owner.run("unlock", "--operations", "metadata")
    assert done.returncode == 1 and text in done.stderr.decode(), done.stderr
    assert not (tmp_path / "agent.sock").exists()
    assert text in anyio.run(owner.locked_answer)


def test_the_sockets_are_the_owners_alone_and_the_entry_is_the_readmes(owner):
    assert owner.unlock("--operations", "metadata")[0] == 0
    directory = owner.runtime / "tarnel"
    assert directory.stat().st_mode & 0o777 == 0o700 and directory.stat().st_uid == os.geteuid()
    for name in ("default.sock", "default.ctl"):
        assert (directory / name).stat().st_mode & 0o077 == 0
    if may_lock_memory():
        # Memory locks are not inherited by a fork: the key holder takes its own.
        holder = Path(f"/proc/{owner.pids[-1]}/status").read_text()
        assert int(next(line for line in holder.splitlines() if line.startswith("VmLck:")).split()[1]) > 0
    entry = json.loads(owner.run("mcp-entry").stdout)
    command = entry["mcpServers"]["tarnel"]["command"]
    assert Path(command).name == "tarnel-mcp" and Path(command).is_file()
    quick_start = re.search(r"```json\n(\{\n  \"mcpServers\".*?)\n```", README.read_text(), re.S)
    assert quick_start, "the README has no mcpServers entry"
    documented = json.loads(quick_start.group(1))
    documented["mcpServers"]["tarnel"]["command"] = command
    documented["mcpServers"]["tarnel"]["env"]["XDG_RUNTIME_DIR"] = str(owner.runtime)
    assert documented == entry
    # What --connect is given there is all it needs, in an environment of nothing else.
    server = entry["mcpServers"]["tarnel"]
    request = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
               "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                          "clientInfo": {"name": "host", "version": "1"}}}
    done = subprocess.run([server["command"], *server["args"]], input=json.dumps(request) + "\n", text=True,
                          env=server["env"], capture_output=True, timeout=60)
    assert '"serverInfo"' in done.stdout, done.stderr
    named = json.loads(owner.run("mcp-entry", "--name", "ops").stdout)
    assert named["mcpServers"]["tarnel-ops"]["args"] == ["--connect", "--name", "ops"]


# --- a keyring vault ---------------------------------------------------------------

KEYRING_UNLOCK = r"""
import json, os, subprocess, sys
tarnel, root = sys.argv[1], sys.argv[2]
server = os.path.join(os.path.dirname(sys.executable), "tarnel-mcp")
assert subprocess.run([tarnel, "init", "--keyring"], stdout=subprocess.DEVNULL).returncode == 0
env = {k: v for k, v in os.environ.items() if k != "TARNEL_PASSPHRASE"}
# No terminal, and nothing is asked.
unlocked = subprocess.run([tarnel, "unlock", "--operations", "metadata"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, env=env, start_new_session=True)
print(unlocked.returncode, unlocked.stdout.splitlines()[0] if unlocked.stdout else unlocked.stderr)
lines = [{"jsonrpc": "2.0", "id": 1, "method": "initialize",
          "params": {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "h", "version": "1"}}},
         {"jsonrpc": "2.0", "method": "notifications/initialized"},
         {"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": "list_secrets", "arguments": {}}}]
relay = subprocess.Popen([server, "--connect"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
relay.stdin.write("".join(json.dumps(line) + "\n" for line in lines).encode())
relay.stdin.flush()
relay.stdout.readline()
print(json.loads(relay.stdout.readline())["result"]["structuredContent"])
relay.kill()
print(subprocess.run([tarnel, "lock"], capture_output=True, text=True, env=env).stdout.split(" (")[0])
"""


@needs_secret_service
def test_a_keyring_vault_unlocks_without_a_prompt(tmp_path):
    root = tmp_path / "vault"
    env = environment(root, passphrase=PASSPHRASE)
    del env["DBUS_SESSION_BUS_ADDRESS"]
    done = subprocess.run(["sh", str(KEYRING_SCRIPT), sys.executable, "-c", KEYRING_UNLOCK, str(TARNEL), str(root)],
                          capture_output=True, env=env, timeout=120, start_new_session=True)
    lines = done.stdout.decode().splitlines()
    assert lines[-3].startswith("0 Unlocked `default` for "), done.stderr
    assert lines[-2:] == [repr({"secrets": []}), "Locked `default`"], done.stderr
