"""Where the vault passphrase comes from, and keeping it out of reach of the
programs the server runs for the agent.

A child of the server (or any process of the same user) can read the server's
/proc/PID/environ and cmdline, which hold what the server was started with,
whatever the server later removes from os.environ. So a passphrase given in
TARNEL_PASSPHRASE is handed to a fresh image of the server through an
inherited pipe, and the server replaces itself with that image, started
without the variable. The process stays the same (same pid, same standard
streams), only its environment block is new.
"""

from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path

from tarnel_mcp.config import ConfigError

PASSPHRASE_VARIABLE = "TARNEL_PASSPHRASE"
# Names the descriptor the previous image left the passphrase in; a number, no secret.
PASSPHRASE_FD_VARIABLE = "TARNEL_MCP_PASSPHRASE_FD"
# A pipe's capacity on Linux; writing more would block the exec.
_MAX_PASSPHRASE = 65536
_PR_GET_DUMPABLE, _PR_SET_DUMPABLE = 3, 4
_MCL_CURRENT, _MCL_FUTURE, _MCL_ONFAULT = 1, 2, 4
_CAPABILITY_VERSION_3 = 0x20080522
_READ_ANY_PROCESS = (19, 21, 38)  # CAP_SYS_PTRACE, CAP_SYS_ADMIN, CAP_PERFMON


def make_undumpable() -> None:
    """Keeps processes of the same user out of our memory and /proc entries,
    leaves no core file, and keeps memory out of swap where the lock limit
    allows all of it.

    Not inherited across exec, so the programs run for the agent stay
    ordinary processes.
    """
    if not sys.platform.startswith("linux"):
        return
    import resource

    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_DUMPABLE, 0, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_DUMPABLE, 0)")
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    _drop_capabilities_that_read_processes(libc)
    lock_memory()


def require_undumpable() -> None:
    """Refuses to go on in a process that is still dumpable: the steps that
    read a passphrase or receive a key call it first, so their order after
    make_undumpable() is checked rather than kept by convention."""
    if not sys.platform.startswith("linux"):
        return
    if ctypes.CDLL(None, use_errno=True).prctl(_PR_GET_DUMPABLE, 0, 0, 0, 0) != 0:
        raise RuntimeError("tarnel-mcp: the process is still dumpable; make_undumpable() comes first")


def lock_memory() -> None:
    """Keeps this process's memory out of swap where it may lock all of it: an
    unlimited lock limit, or CAP_IPC_LOCK. Under a finite limit, locking future
    mappings would make allocations fail once it is reached; then nothing is
    locked. A forked child holds no locks of its parent's: it calls this again."""
    import resource

    if resource.getrlimit(resource.RLIMIT_MEMLOCK)[0] != resource.RLIM_INFINITY and not _holds_ipc_lock():
        return
    ctypes.CDLL(None, use_errno=True).mlockall(_MCL_CURRENT | _MCL_FUTURE | _MCL_ONFAULT)


def _holds_ipc_lock() -> bool:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("CapEff:"):
            return bool(int(line.split()[1], 16) >> 14 & 1)  # CAP_IPC_LOCK
    return False


def _drop_capabilities_that_read_processes(libc: ctypes.CDLL) -> None:
    """CAP_SYS_PTRACE, CAP_SYS_ADMIN and CAP_PERFMON read any process, dumpable
    or not; uid 0 holds them. Dropped from this process only: the programs it
    runs for the agent get what exec gives them, as before. `tarnel unlock`
    hands its key only to a server without them, the only kind it can check."""
    header = (ctypes.c_uint32 * 2)(_CAPABILITY_VERSION_3, 0)
    data = (ctypes.c_uint32 * 6)()  # effective, permitted, inheritable; twice
    if libc.capget(header, data) != 0:
        return
    for capability in _READ_ANY_PROCESS:
        word, bit = divmod(capability, 32)
        data[3 * word] &= ~(1 << bit)
        data[3 * word + 1] &= ~(1 << bit)
    if libc.capset(header, data) != 0:
        raise OSError(ctypes.get_errno(), "capset")


def take_passphrase(passphrase_file: Path | None) -> str | None:
    """The passphrase, or None to let the module ask the system keyring.

    Does not return when the passphrase is still in the environment block:
    the process re-executes itself without it first.
    """
    require_undumpable()
    if PASSPHRASE_VARIABLE in os.environ:
        # A passphrase file, when also given, wins; the variable goes either way.
        carried = os.environ[PASSPHRASE_VARIABLE] if passphrase_file is None else None
        _reexecute_without_variable(carried)
    inherited = os.environ.pop(PASSPHRASE_FD_VARIABLE, None)
    if inherited is not None:
        return _read_inherited(inherited)
    if passphrase_file is not None:
        return _read_passphrase_file(passphrase_file)
    return None


def _reexecute_without_variable(passphrase: str | None) -> None:
    environment = {name: value for name, value in os.environ.items() if name != PASSPHRASE_VARIABLE}
    keep: tuple[int, ...] = ()
    if passphrase is not None:
        data = passphrase.encode()
        if not data:
            raise ConfigError(f"{PASSPHRASE_VARIABLE} is empty")
        if len(data) > _MAX_PASSPHRASE:
            raise ConfigError(f"{PASSPHRASE_VARIABLE} is longer than {_MAX_PASSPHRASE} bytes")
        reader, writer = os.pipe()
        try:
            os.write(writer, data)
        finally:
            os.close(writer)
        os.set_inheritable(reader, True)
        environment[PASSPHRASE_FD_VARIABLE] = str(reader)
        keep = (reader,)
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execve(sys.executable, [sys.executable, *sys.orig_argv[1:]], environment)
    finally:
        for descriptor in keep:
            os.close(descriptor)


def _read_inherited(descriptor_text: str) -> str:
    try:
        descriptor = int(descriptor_text)
    except ValueError:
        raise ConfigError(f"{PASSPHRASE_FD_VARIABLE} is not a descriptor number") from None
    chunks = []
    try:
        while chunk := os.read(descriptor, _MAX_PASSPHRASE):
            chunks.append(chunk)
    except OSError as error:
        raise ConfigError(f"reading the passphrase from descriptor {descriptor}: {error.strerror}") from None
    finally:
        try:
            os.close(descriptor)
        except OSError:
            pass
    return _decoded(b"".join(chunks), f"descriptor {descriptor}")


def _read_passphrase_file(path: Path) -> str:
    try:
        data = path.read_bytes()
    except OSError as error:
        raise ConfigError(f"reading the passphrase file {path}: {error.strerror}") from None
    # Editors and `echo` end the file with a line end that is no part of the passphrase.
    for ending in (b"\r\n", b"\n"):
        if data.endswith(ending):
            data = data[: -len(ending)]
            break
    return _decoded(data, str(path))


def _decoded(data: bytes, source: str) -> str:
    if not data:
        raise ConfigError(f"the passphrase from {source} is empty")
    try:
        return data.decode()
    except UnicodeDecodeError:
        raise ConfigError(f"the passphrase from {source} is not UTF-8 text") from None
