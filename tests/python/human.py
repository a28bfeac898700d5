# The owner at the `tarnel` command: through pipes, or typing on a pseudo-terminal.

from __future__ import annotations

import os
import selectors
import shutil
import signal
import subprocess
import sys
import time
from contextlib import contextmanager, suppress
from pathlib import Path

import pytest

from vaultkit import PASSPHRASE

# The installed command, or another build of it (e.g. a sanitizer build).
TARNEL = Path(os.environ.get("TARNEL_TEST_CLI") or Path(sys.executable).parent / "tarnel")
needs_tarnel = pytest.mark.skipif(not TARNEL.exists(), reason=f"tarnel is not installed beside {sys.executable}")
KEYRING_SCRIPT = Path(__file__).resolve().parents[1] / "keyring" / "with_secret_service.sh"
needs_secret_service = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("dbus-run-session", "gnome-keyring-daemon", "secret-tool", "gdbus")),
    reason="needs dbus-run-session, gnome-keyring-daemon, secret-tool and gdbus")


def default_signals() -> None:
    # A job started in the background has SIGINT and SIGQUIT ignored, and its children inherit that.
    for signum in (signal.SIGINT, signal.SIGQUIT):
        signal.signal(signum, signal.SIG_DFL)


def environment(root: Path, passphrase: str | None = PASSPHRASE, **extra) -> dict:
    env = {key: value for key, value in os.environ.items() if not key.startswith(("TARNEL_", "DBUS_", "AWS_"))}
    # Nothing may reach the real home, runtime directory or keyring.
    env.update(HOME=str(root.parent / "home"), XDG_RUNTIME_DIR=str(root.parent / "run"), TARNEL_VAULT_DIR=str(root),
               DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
    return {**env, **({"TARNEL_PASSPHRASE": passphrase} if passphrase is not None else {}), **extra}


def agent_session(root: Path, passphrase: str = PASSPHRASE):
    import tarnel_ffi
    return tarnel_ffi.TarnelSession({"operations": ["metadata", "inject", "reveal", "write"]}, vault_dir=str(root),
                                    passphrase=passphrase)


def tarnel(root: Path, *args, input: bytes = b"", passphrase: str | None = PASSPHRASE, preexec_fn=default_signals,
           **extra):
    # A session of its own: no controlling terminal to prompt on.
    return subprocess.run([str(TARNEL), *args], input=input, capture_output=True, timeout=60, preexec_fn=preexec_fn,
                          env=environment(root, passphrase, **extra), start_new_session=True)


@contextmanager
def terminal(root: Path, *args, passphrase: str | None = PASSPHRASE, command=None, preexec_fn=default_signals,
             **extra):
    # `tarnel` (or `command`) on a pseudo-terminal, ended however the test ends.
    pexpect = pytest.importorskip("pexpect")
    argv = command or [str(TARNEL), *args]
    child = pexpect.spawn(argv[0], argv[1:], env=environment(root, passphrase, **extra), timeout=60,
                          preexec_fn=preexec_fn)
    try:
        yield child
    finally:
        child.close(force=True)


def converse(root: Path, *args, steps=(), **options) -> tuple[int, bytes]:
    # Runs `tarnel` on a terminal and answers each (prompt, reply) in turn: its exit status and all it showed.
    # TARNEL_PASSPHRASE is set (to the right one) unless told otherwise, and a prompt must ignore it.
    import pexpect
    shown = b""
    with terminal(root, *args, **options) as child:
        for prompt, reply in steps:
            if child.expect([prompt, pexpect.EOF]):
                break  # it ended before asking: its status and words tell why
            shown += child.before + child.after
            child.sendline(reply)
        else:
            child.expect(pexpect.EOF)
    return child.exitstatus, shown + child.before


def on_terminal(root: Path, *args, typed: str = PASSPHRASE) -> tuple[int, bytes]:
    # The owner runs a command that asks the vault passphrase on the terminal, and types it.
    return converse(root, *args, steps=[("Vault passphrase: ", typed)])


def proc_status(pid: int, field: str) -> str:
    return next(line for line in Path(f"/proc/{pid}/status").read_text().splitlines()
                if line.startswith(f"{field}:")).split()[1]


def may_lock_memory() -> bool:
    # What tarnel itself checks: an unlimited lock limit or CAP_IPC_LOCK.
    # AddressSanitizer makes mlockall a no-op, so a sanitizer build locks nothing.
    import resource
    return b"__asan_init" not in TARNEL.read_bytes() and (
        resource.getrlimit(resource.RLIMIT_MEMLOCK)[0] == resource.RLIM_INFINITY
        or bool(int(proc_status(os.getpid(), "CapEff"), 16) >> 14 & 1))


class Lines:
    # What a child writes to `stream`, a line at a time, each within its time or the test fails.
    def __init__(self, stream):
        self.stream, self.pending, self.selector = stream, b"", selectors.DefaultSelector()
        self.selector.register(stream, selectors.EVENT_READ)

    def quiet(self, seconds: float) -> bool:
        return not self.pending and not self.selector.select(seconds)

    def __call__(self, timeout: float = 60.0) -> bytes:
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            assert self.selector.select(deadline - time.monotonic()), f"no line in {timeout}s: {self.pending!r}"
            self.pending += os.read(self.stream.fileno(), 65536) or pytest.fail("the output ended")
        line, self.pending = self.pending.split(b"\n", 1)
        return line


def wait_until(predicate, seconds: float = 30) -> None:
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def end(process: subprocess.Popen) -> None:
    # A child started in a session of its own, and whatever it started, however the test ended.
    with suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()
