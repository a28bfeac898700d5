# `tarnel unlock` on a terminal, the server it leaves behind, and the host's
# entry `tarnel-mcp --connect`, driven by the SDK's own client. The attacker is
# a real process of the same user (uid 0 stripped of every capability when the
# tests run as root).

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from contextlib import suppress
from pathlib import Path

import pytest

from human import (TARNEL, converse, default_signals, environment, may_lock_memory, needs_tarnel, proc_status, tarnel,
                   wait_until)
from mcpkit import (ALL, EVERY_TOOL, INITIALIZE, async_test, call, client, refused, serve_once, server_command,
                    server_environment, wait_for_stderr)
from vaultkit import PASSPHRASE, Vault

pytestmark = needs_tarnel


def drop_capabilities() -> None:
    # An empty bounding set: what this process executes next holds no capability, even as uid 0.
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in range(int(Path("/proc/sys/kernel/cap_last_cap").read_text()) + 1):
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "PR_CAPBSET_DROP")


# Same uid, no capability: exactly what another process of the owner can do.
SAME_USER = {"preexec_fn": drop_capabilities} if os.geteuid() == 0 else {}


def server_pid(shown: str) -> int:
    return int(re.search(r"server pid (\d+)", shown).group(1))


class Owner:
    # A vault made by `tarnel init` and the owner's runtime directory (the one environment() names).
    def __init__(self, tmp_path: Path) -> None:
        self.root, self.runtime = tmp_path / "vault", tmp_path / "run"
        self.runtime.mkdir(mode=0o700)
        assert tarnel(self.root, "init").returncode == 0
        for path, value, flags in [("dev/app/token", b"dev-token-4711", ["low", "--revealable"]),
                                   ("prod/db/password", b"prod-pw-0815", ["high"])]:
            assert tarnel(self.root, "set", f"secret:{path}", "--sensitivity", *flags, input=value).returncode == 0
        self.key = Vault.existing(self.root).key

    def run(self, *args: str, **extra: str):
        return tarnel(self.root, *args, **extra)

    def unlock(self, *args: str, typed: str = PASSPHRASE, **extra) -> tuple[int, str]:
        # On a terminal, the passphrase typed; TARNEL_PASSPHRASE (set to the right one) is never taken.
        status, shown = converse(self.root, "unlock", *args, steps=[("Vault passphrase: ", typed)], **extra)
        return status, shown.decode()

    def status(self) -> str:
        return self.run("status").stdout.decode()

    def locked_answer(self) -> str:
        # What --connect answers a host when no server is there: an error, a clean exit, no traceback.
        done = serve_once("--connect", XDG_RUNTIME_DIR=str(self.runtime))
        assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
        return json.loads(done.stdout)["error"]["message"]


@pytest.fixture
def owner(tmp_path):
    owner = Owner(tmp_path)
    yield owner
    # Whatever the test left unlocked ends with it.
    for pid in re.findall(r"server pid (\d+)", owner.run("status").stdout.decode()):
        with suppress(ProcessLookupError):
            os.kill(int(pid), signal.SIGKILL)


def gone(pid: int) -> bool:
    # Reaped, or a zombie of an init that may not reap it yet.
    with suppress(FileNotFoundError):
        return Path(f"/proc/{pid}/stat").read_text().split(") ")[1].startswith("Z")
    return True


# --- serving -----------------------------------------------------------------------

# Guards (renamed): a server whose sockets were renamed away could not be found, nor ended.
@pytest.mark.parametrize("how", ["idle", "lock", "renamed", "SIGTERM", "SIGKILL"])
def test_the_server_ends_and_connect_then_says_locked(owner, how):
    status, shown = owner.unlock("--operations", "metadata", "--idle", "2s" if how == "idle" else "10m")
    assert status == 0, shown
    pid, directory = server_pid(shown), owner.runtime / "tarnel"
    if how == "renamed":
        for name in ("default.sock", "default.ctl"):
            (directory / name).rename(directory / f".hidden-{name}")
        assert "unreachable: its sockets are gone; `tarnel lock` ends it" in owner.status()
    if how in ("lock", "renamed"):
        done = owner.run("lock")
        assert done.returncode == 0 and done.stdout.decode() == f"Locked `default` (server pid {pid})\n", done
    elif how != "idle":
        os.kill(pid, getattr(signal, how))
    wait_until(lambda: gone(pid))
    # A killed server leaves its sockets; nothing else does.
    sockets = {path.name for path in directory.glob("default.*") if path.suffix != ".log"}
    assert sockets == ({"default.sock", "default.ctl"} if how == "SIGKILL" else set())
    # The process that started it ends a moment after the key holder.
    wait_until(lambda: owner.status() == ("default: locked\n" if how == "SIGKILL" else "Nothing is unlocked\n"), 10)
    assert "the tarnel vault is locked: run `tarnel unlock` in a terminal" in owner.locked_answer()
    assert owner.unlock("--operations", "metadata")[0] == 0  # nothing left blocks the next unlock


@async_test
async def test_two_names_serve_their_own_scopes_through_connect_and_a_client_cannot_widen_either(owner, tmp_path):
    status, shown = owner.unlock("--operations", ALL, "--environments", "dev", "--idle", "10m")
    assert status == 0 and "operations metadata,reveal,write,inject; projects any; environments dev" in shown, shown
    assert owner.unlock("--operations", "metadata,inject", "--environments", "prod", "--name", "ops")[0] == 0
    again, shown = owner.unlock("--operations", "metadata,reveal", "--name", "ops")
    assert again == 1 and "`ops` is already unlocked" in shown
    other = str(Vault(tmp_path / "other", passphrase="other").root)
    for name, environment_, tools, outside in [
            ("default", "dev", set().union(*EVERY_TOOL.values()), "secret:prod/db/password"),
            ("ops", "prod", EVERY_TOOL["metadata"] | EVERY_TOOL["inject"], "secret:dev/app/token")]:
        # Whatever the host adds to the environment, and wherever it says the vault is.
        async with client(server_command("--connect", "--name", name, "--vault-dir", other), server_environment(
                XDG_RUNTIME_DIR=str(owner.runtime), TARNEL_PASSPHRASE=PASSPHRASE, TARNEL_VAULT_DIR=other,
                TARNEL_MCP_PASSPHRASE_FD="0"), tmp_path / "connect-stderr.log") as session:
            assert {tool.name for tool in (await session.list_tools()).tools} == tools
            assert {view["environment"] for view in (await call(session, "list_secrets"))["secrets"]} == {environment_}
            assert "not addressable" in await refused(session, "secret_status", coordinate=outside)
            if name == "default":  # a value read with the handed key (the tools themselves are test_mcp_server.py's)
                run = await call(session, "run_with_secrets", refs="T=secret:dev/app/token", env="dev",
                                 program="/bin/sh", args=["-c", 'echo "t=$T"'])
                assert run["stdout"] == "t=***\n" and '"test-agent" 4.2' in owner.status()
    # More scope is not an argument --connect takes.
    widened = serve_once("--connect", "--operations", "reveal", XDG_RUNTIME_DIR=str(owner.runtime))
    assert widened.returncode == 2 and "unrecognized arguments: --operations reveal" in widened.stderr


@pytest.mark.parametrize(("args", "typed", "status", "text"), [
    (["--operations", "metadata"], "not the passphrase", 1, "wrong passphrase"),
    # Guards: the server's exit status decides (2 is its word for a scope it refuses), and its words are shown.
    (["--operations", "metadata,bogus"], PASSPHRASE, 2, "unknown operation `bogus`"),
    (["--operations", "metadata"], None, 4, "needs a terminal"),
    ([], None, 2, "give the agent's scope"),
    (["--operations", "metadata", "--name", "../x"], None, 1, "`../x` is not a server name"),
])
def test_unlock_takes_only_the_typed_passphrase_and_a_valid_scope(owner, args, typed, status, text):
    if typed is None:  # through pipes
        done = owner.run("unlock", *args)
        result = (done.returncode, done.stderr.decode())
    else:
        result = owner.unlock(*args, typed=typed)
    assert result[0] == status and text in result[1], result
    assert owner.status() == "Nothing is unlocked\n"


# --- what a process of the same user can read --------------------------------------

# Started before anything of tarnel's, it opens every new process's memory the
# moment it appears (a descriptor opened while an image is still dumpable keeps
# working after it turns non-dumpable) and reads every environment and command
# line throughout. Once its input names the processes to look at, it reads
# their environment and memory, then memory through its early descriptors.
SPY = r"""
import json, os, select, sys, time
secrets = [bytes.fromhex(h) for h in sys.argv[1:]]
me, parent_cmdline = str(os.getpid()), open(f"/proc/{os.getppid()}/cmdline", "rb").read()
known, fresh, early, found, seen = set(os.listdir("/proc")), {}, {}, set(), {}
holds = lambda data: any(secret in data for secret in secrets)
def read(path):
    try:
        return open(path, "rb").read()
    except OSError:
        return b""
def memory(mem, maps):
    for line in maps.decode(errors="replace").splitlines():
        fields = line.split()
        start, end = (int(x, 16) for x in fields[0].split("-"))
        if "r" in fields[1] and end - start <= 1 << 28:
            try:
                yield os.pread(mem, end - start, start)
            except (OSError, OverflowError):
                pass
while not select.select([sys.stdin], [], [], 0)[0]:
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or pid == me:
            continue
        fresh.update({} if pid in known else {pid: time.monotonic()})
        known.add(pid)
        if pid in fresh:  # tried again until it has exec'd what it runs
            try:
                early[pid] = (os.open(f"/proc/{pid}/mem", os.O_RDONLY), os.open(f"/proc/{pid}/maps", os.O_RDONLY))
                if read(f"/proc/{pid}/cmdline") != parent_cmdline:
                    del fresh[pid]
            except OSError:
                if time.monotonic() - fresh[pid] > 3:
                    del fresh[pid]
        found |= {f"{pid}/{entry}" for entry in ("environ", "cmdline") if holds(read(f"/proc/{pid}/{entry}"))}
for pid in sys.stdin.readline().split():
    for entry in ["environ", "mem"]:
        try:
            data = open(f"/proc/{pid}/environ", "rb").read() if entry == "environ" else b"".join(
                memory(os.open(f"/proc/{pid}/mem", os.O_RDONLY), open(f"/proc/{pid}/maps", "rb").read()))
            seen[f"{pid}/{entry}"] = "FOUND" if holds(data) else "read"
        except OSError as error:
            seen[f"{pid}/{entry}"] = "denied" if error.errno in (1, 13) else "unreadable"
for pid, (mem, maps) in early.items():  # now, when the key is held and the passphrase was typed
    try:
        text = b"".join(iter(lambda: os.read(maps, 65536), b""))
    except OSError:  # gone since
        continue
    found |= {f"{pid}/early-mem"} if any(holds(region) for region in memory(mem, text)) else set()
print(json.dumps({"found": sorted(found), "opened_early": sorted(early), "seen": seen}))
"""


# Guards: the key holder's memory could be opened while it was still dumpable (it is now a child forked after).
def test_no_proc_file_of_a_server_unlock_or_connect_holds_the_passphrase_or_the_key(owner, tmp_path):
    secrets, processes = [PASSPHRASE.encode().hex(), owner.key.hex()], []

    def start(command, **options):
        processes.append(subprocess.Popen(command, **options, **SAME_USER))
        return processes[-1]

    try:
        # A server given the passphrase in its environment, and hardened before the spy starts.
        stdio = start(server_command("--vault-dir", str(owner.root), "--operations", ALL), stdin=subprocess.PIPE,
                      stderr=subprocess.PIPE, env=server_environment(TARNEL_PASSPHRASE=PASSPHRASE))
        wait_for_stderr(stdio, b"tools: ")
        spy = start([sys.executable, "-c", SPY, *secrets], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        time.sleep(0.5)  # the spy has listed what runs already
        plain = start(["sleep", "60"], env={"MARK": PASSPHRASE})
        status, shown = owner.unlock("--operations", "metadata,inject", passphrase=None,
                                     preexec_fn=SAME_USER.get("preexec_fn", default_signals))
        assert status == 0, shown
        server = server_pid(shown)
        connect = start(server_command("--connect"), env=server_environment(XDG_RUNTIME_DIR=str(owner.runtime)),
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        connect.stdin.write(INITIALIZE.encode())
        assert b'"serverInfo"' in connect.stdout.readline()
        parent = int(Path(f"/proc/{server}/stat").read_text().split(") ")[1].split()[1])
        pids = [server, connect.pid, stdio.pid, plain.pid] + ([parent] if parent > 1 else [])
        result = json.loads(spy.communicate(" ".join(map(str, pids)) + "\n", timeout=120)[0])
    finally:
        for process in processes:
            process.kill()
            process.wait()
    seen = result["seen"]
    # The spy is not blind: it finds the marker in an ordinary process of the user, late and early.
    assert seen[f"{plain.pid}/environ"] == "FOUND" and str(plain.pid) in result["opened_early"]
    assert result["found"] == [f"{plain.pid}/early-mem", f"{plain.pid}/environ"]
    for pid in (server, connect.pid, stdio.pid):
        assert seen[f"{pid}/environ"] == seen[f"{pid}/mem"] == "denied", seen
    assert not [entry for entry, what in seen.items() if what == "FOUND" and not entry.startswith(f"{plain.pid}/")]


# Guards: words a server (or whatever listens at its socket) sends reached the terminal unescaped.
def test_what_a_server_says_reaches_the_terminal_escaped(owner):
    (owner.runtime / "tarnel").mkdir(mode=0o700)
    impostor = socket.socket(socket.AF_UNIX)
    impostor.bind(str(owner.runtime / "tarnel" / "default.ctl"))
    impostor.listen(1)
    said = json.dumps({"pid": 1, "vault": "\x1b]0;owned\x07/v", "operations": ["metadata\x1b[2J"],
                       "clients": ["\x1b[1A\rMCP client"], "connections": 1}).encode() + b"\n"

    def answer_once():
        with impostor.accept()[0] as connection:
            connection.recv(64), connection.sendall(said)

    threading.Thread(target=answer_once, daemon=True).start()
    shown = owner.status()
    impostor.close()
    assert "\x1b" not in shown and "\r" not in shown
    assert "vault: \\x1b]0;owned\\x07/v" in shown and "operations metadata\\x1b[2J" in shown


# Each: what another process of the user plants in the private directory
# (made 0700 by the test unless the plant makes it), and what unlock says.
PLANTS = {
    "directory link": (lambda d, t: (t / "elsewhere").mkdir(mode=0o700) or d.symlink_to(t / "elsewhere"),
                       "it is a symbolic link"),
    "open directory": (lambda d, t: d.mkdir(mode=0o755) or d.chmod(0o755), "others may enter it (mode 755)"),
    "socket link": (lambda d, t: (d / "default.sock").symlink_to(t / "agent.sock"),
                    "default.sock for the unlocked server's sockets: it is a symbolic link"),
    # Guards: a planted log was written through; an interrupted unlock's handover socket was left behind.
    "log link": (lambda d, t: (t / "precious").write_text("keep me") and os.link(t / "precious", d / "default.log"),
                 None),
    "log fifo": (lambda d, t: os.mkfifo(d / "default.log"), None),
    "handover": (lambda d, t: socket.socket(socket.AF_UNIX).bind(str(d / ".handover-1")), None),
}


@pytest.mark.parametrize("plant", PLANTS)
def test_what_is_planted_in_the_private_directory_is_refused_or_replaced(owner, tmp_path, plant):
    directory = owner.runtime / "tarnel"
    if "directory" not in plant:
        directory.mkdir(mode=0o700)
    make, text = PLANTS[plant]
    make(directory, tmp_path)
    if text is None:
        assert owner.unlock("--operations", "metadata")[0] == 0
        assert [path.name for path in directory.iterdir() if path.name.startswith(".")] == []
        assert (directory / "default.log").stat().st_nlink == 1 and (directory / "default.log").is_file()
        assert plant != "log link" or (tmp_path / "precious").read_text() == "keep me"
    else:
        done = owner.run("unlock", "--operations", "metadata")
        assert done.returncode == 1 and text in done.stderr.decode(), done.stderr
        assert not (tmp_path / "agent.sock").exists() and text in owner.locked_answer()


# Guards: the server ran code from the owner's Python variables, or a tarnel-mcp found on PATH.
def test_the_server_runs_only_its_own_code_its_sockets_are_the_owners_and_the_hosts_entry_is_all_connect_needs(
        owner, tmp_path):
    planted = tmp_path / "planted"
    (planted / "bin").mkdir(parents=True)
    (planted / "sitecustomize.py").write_text(f"open({str(tmp_path / 'ran')!r}, 'w').close()\n")
    status, shown = owner.unlock("--operations", "metadata", PYTHONPATH=str(planted),
                                 PYTHONSTARTUP=str(planted / "sitecustomize.py"))
    assert status == 0 and not (tmp_path / "ran").exists(), shown
    directory = owner.runtime / "tarnel"
    assert directory.stat().st_mode & 0o777 == 0o700 and directory.stat().st_uid == os.geteuid()
    assert all((directory / name).stat().st_mode & 0o077 == 0 for name in ("default.sock", "default.ctl"))
    if may_lock_memory():
        # Guards: memory locks are not inherited by a fork; the key holder takes its own.
        assert int(proc_status(server_pid(shown), "VmLck")) > 0
    server = json.loads(owner.run("mcp-entry").stdout)["mcpServers"]["tarnel"]
    assert (server["args"], server["env"]) == (["--connect"], {"XDG_RUNTIME_DIR": str(owner.runtime)})
    # What --connect is given there is all it needs, in an environment of nothing else.
    done = subprocess.run([server["command"], *server["args"]], input=INITIALIZE, text=True, env=server["env"],
                          capture_output=True, timeout=60)
    assert Path(server["command"]).name == "tarnel-mcp" and '"serverInfo"' in done.stdout, done.stderr
    # A tarnel-mcp on PATH is a program any process of the user can have put there.
    shutil.copy(TARNEL, planted / "bin" / "tarnel")
    done = subprocess.run([str(planted / "bin" / "tarnel"), "unlock", "--name", "other", "--operations", "metadata"],
                          capture_output=True, timeout=60, start_new_session=True, preexec_fn=default_signals,
                          env=environment(owner.root, PATH=f"{TARNEL.parent}:{os.environ['PATH']}"))
    assert done.returncode == 1 and b"so that tarnel-mcp is beside tarnel" in done.stderr, done.stderr
