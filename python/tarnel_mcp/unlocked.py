"""The server `tarnel unlock` starts: it holds one unlocked session for one
scope and serves MCP clients on a Unix socket in the user's private runtime
directory, until it has seen no call for its idle time, is told to lock, or
gets SIGTERM or SIGHUP.

It takes the key from the unlocking `tarnel` over a socket that side listens
on, only after it has made itself non-dumpable (the module refuses the key
otherwise, and the other side checks it from outside). A second socket
answers the owner's `tarnel status` and `tarnel lock`, one line each.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import signal
import socket
import stat
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import anyio
import anyio.abc
from anyio.streams.buffered import BufferedByteReceiveStream

import tarnel_ffi
from tarnel_mcp.config import ConfigError, ServerConfig, parse_config
from tarnel_mcp.connect import peer_is_this_user
from tarnel_mcp.passphrase import lock_memory, require_undumpable

logger = logging.getLogger("tarnel_mcp")

# One JSON-RPC message per line; a larger one ends that connection.
_MAX_LINE = 16 * 1024 * 1024
_MAX_CONNECTIONS = 64
_CONTROL_WORDS = ("status", "lock")


@dataclass
class Activity:
    """Calls seen, for the idle time: a server is idle only with no call in
    flight, and once its idle time has passed since the last message."""

    idle_seconds: int
    last: float = field(default_factory=time.monotonic)
    in_flight: dict[int, set[Any]] = field(default_factory=dict)
    clients: dict[int, str] = field(default_factory=dict)

    def incoming(self, connection: int, line: bytes) -> None:
        self.last = time.monotonic()
        message = _parsed(line)
        if "method" in message and "id" in message:
            self.in_flight.setdefault(connection, set()).add(_key(message["id"]))
        if message.get("method") == "initialize":
            info = (message.get("params") or {}).get("clientInfo") or {}
            self.clients[connection] = _client_text(info)

    def outgoing(self, connection: int, text: str) -> None:
        message = _parsed(text.encode())
        if "id" in message and ("result" in message or "error" in message):
            self.in_flight.get(connection, set()).discard(_key(message["id"]))
        self.last = time.monotonic()

    def closed(self, connection: int) -> None:
        self.in_flight.pop(connection, None)
        self.clients.pop(connection, None)
        self.last = time.monotonic()

    def seconds_left(self) -> int:
        if any(self.in_flight.values()):
            return self.idle_seconds
        return max(0, int(self.idle_seconds - (time.monotonic() - self.last)))


def _parsed(line: bytes) -> dict[str, Any]:
    try:
        message = json.loads(line)
    except ValueError:
        return {}
    return message if isinstance(message, dict) else {}


def _key(identifier: Any) -> Any:
    return identifier if isinstance(identifier, (str, int)) else repr(identifier)


def _client_text(info: Any) -> str:
    if not isinstance(info, dict):
        return "a client that declared no name"
    name = "".join(ch if ch.isprintable() else "?" for ch in str(info.get("name", "")))[:64]
    version = "".join(ch if ch.isprintable() else "?" for ch in str(info.get("version", "")))[:32]
    return f'"{name}" {version} (self-declared)'


class _Wire:
    """One client's socket as the SDK's stdio transport reads and writes its
    streams: lines of JSON text."""

    def __init__(self, stream: anyio.abc.SocketStream, connection: int, activity: Activity) -> None:
        self._stream = stream
        self._buffered = BufferedByteReceiveStream(stream)
        self._connection = connection
        self._activity = activity

    def __aiter__(self):
        return self._lines()

    async def _lines(self):
        while True:
            try:
                line = await self._buffered.receive_until(b"\n", _MAX_LINE)
            except (anyio.IncompleteRead, anyio.EndOfStream, anyio.ClosedResourceError,
                    anyio.BrokenResourceError, anyio.DelimiterNotFound, OSError):
                return
            self._activity.incoming(self._connection, line)
            yield line.decode("utf-8", errors="replace")

    async def write(self, text: str) -> None:
        self._activity.outgoing(self._connection, text)
        try:
            await self._stream.send(text.encode())
        except (anyio.ClosedResourceError, anyio.BrokenResourceError, OSError):
            pass

    async def flush(self) -> None:
        return None


def _listening_socket(path: str) -> socket.socket:
    """Bound where nothing is: bind never follows a link or replaces a file."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    old_mask = os.umask(0o177)
    try:
        listener.bind(path)
    except OSError as error:
        listener.close()
        raise ConfigError(f"binding {path}: {error.strerror}") from None
    finally:
        os.umask(old_mask)
    listener.listen(16)
    return listener


@dataclass
class Unlocked:
    name: str
    root: str
    config: ServerConfig
    activity: Activity

    def status(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "pid": os.getpid(),
            "vault": self.root,
            "operations": list(self.config.operations),
            "projects": list(self.config.projects) if self.config.projects is not None else None,
            "environments": list(self.config.environments) if self.config.environments is not None else None,
            "idle_seconds": self.activity.idle_seconds,
            "idle_left": self.activity.seconds_left(),
            "clients": sorted(self.activity.clients.values()),
            "connections": len(self.activity.clients),
        }


def _arguments(argv: list[str]) -> tuple[argparse.Namespace, list[str]]:
    parser = argparse.ArgumentParser(prog="tarnel-mcp --serve-unlocked", allow_abbrev=False)
    parser.add_argument("--serve-unlocked", action="store_true", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--idle", type=int, required=True)
    parser.add_argument("--handover", required=True)
    return parser.parse_known_args(argv)


def _traced() -> bool:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("TracerPid:"):
            return line.split()[1] != "0"
    return True


def _in_fresh_memory() -> int | None:
    """Forks the process that will hold the key, and waits for it.

    Until it made itself non-dumpable, this image could be opened through
    /proc/PID/mem by any process of the user, and a descriptor opened then
    stays usable. The child's memory is its own from the fork on, and was
    never dumpable, so no such descriptor reaches it. Returns the child's exit
    status in the parent, None in the child.
    """
    if _traced():
        print("tarnel-mcp: this process is being traced; refusing to hold the key", file=sys.stderr, flush=True)
        return 1
    child = os.fork()
    if child == 0:
        lock_memory()
        return None

    def forward(number: int, _frame: object) -> None:
        try:
            os.kill(child, number)
        except ProcessLookupError:
            pass

    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(number, forward)
    _, status = os.waitpid(child, 0)
    return os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status)


def serve_unlocked(argv: list[str]) -> int:
    """Started by `tarnel unlock`, never by hand; the process is already non-dumpable."""
    require_undumpable()
    status = _in_fresh_memory()
    if status is not None:
        return status
    own, rest = _arguments(argv)
    try:
        config = parse_config(rest)
        if config.http or config.passphrase_file is not None:
            raise ConfigError("an unlocked server takes neither --http nor --passphrase-file")
        if own.idle <= 0:
            raise ConfigError("the idle time must be at least one second")
        paths = tarnel_ffi.server_paths(own.name, str(config.vault_root()))
    except (ConfigError, tarnel_ffi.TarnelError) as error:
        print(f"tarnel-mcp: {error}", file=sys.stderr, flush=True)
        return 2
    handover = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        handover.connect(own.handover)
    except OSError as error:
        print(f"tarnel-mcp: connecting to {own.handover}: {error.strerror}", file=sys.stderr, flush=True)
        return 1

    def answer(word: str, text: str) -> None:
        try:
            handover.sendall(f"{word} {text}\n".encode())
        except OSError:
            pass
        handover.close()

    try:
        session = tarnel_ffi.TarnelSession(config.scope(), vault_dir=paths["root"], key_fd=handover.fileno())
    except tarnel_ffi.TarnelError as error:
        answer("error", str(error))
        return 1
    try:
        mcp_listener = _listening_socket(paths["mcp"])
        control_listener = _listening_socket(paths["control"])
    except ConfigError as error:
        answer("error", str(error))
        return 1

    from tarnel_mcp.server import build_server

    unlocked = Unlocked(own.name, paths["root"], config, Activity(own.idle))
    try:
        server = build_server(config, session)
    except ConfigError as error:
        answer("error", str(error))
        return 2
    _signals.install()
    answer("ready", json.dumps(unlocked.status()))
    try:
        anyio.run(_serve, server, unlocked, mcp_listener, control_listener)
    finally:
        for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(number, signal.SIG_IGN)
        for path in (paths["mcp"], paths["control"]):
            _unlink_socket(path)
        mcp_listener.close()
        control_listener.close()
        # The key goes with the last reference to the session, wiped.
        del server, session
        import gc

        gc.collect()
    logger.info("locked")
    return 0


def _unlink_socket(path: str) -> None:
    """Removes what is at `path` when it is a socket (in a directory only this user enters)."""
    try:
        if stat.S_ISSOCK(os.lstat(path).st_mode):
            os.unlink(path)
    except OSError:
        pass


class _Signals:
    """SIGTERM, SIGHUP and SIGINT end the server through its event loop.

    A handler of our own rather than the event loop's: the loop's puts the
    default action back when it is removed, and a second SIGTERM during the
    clean-up would then cut it short. Installed before the server says it is
    ready, so a signal sent at once is not lost either.
    """

    def __init__(self) -> None:
        self.received: int | None = None
        self.wake = lambda: None

    def install(self) -> None:
        for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(number, self._handle)

    def _handle(self, number: int, _frame: object) -> None:
        if self.received is None:
            self.received = number
            logger.info("locking: %s", signal.Signals(number).name)
        self.wake()


_signals = _Signals()


async def _serve(server: Any, unlocked: Unlocked, mcp_listener: socket.socket,
                 control_listener: socket.socket) -> None:
    from mcp.server.stdio import stdio_server

    lowlevel = server._lowlevel_server  # the SDK's server of one connection's streams
    options = lowlevel.create_initialization_options()
    counter = iter(range(1, 1 << 62))

    async with anyio.create_task_group() as group:
        stop = anyio.Event()
        loop = asyncio.get_running_loop()

        def stop_soon() -> None:
            try:
                loop.call_soon_threadsafe(stop.set)
            except RuntimeError:  # the loop has closed: the clean-up is under way
                pass

        _signals.wake = stop_soon
        if _signals.received:
            stop.set()

        async def one_client(stream: anyio.abc.SocketStream) -> None:
            connection = next(counter)
            async with stream:
                if not peer_is_this_user(stream.extra(anyio.abc.SocketAttribute.raw_socket)):
                    return
                if len(unlocked.activity.clients) >= _MAX_CONNECTIONS:
                    return
                unlocked.activity.clients[connection] = "a client that has not initialised yet"
                wire = _Wire(stream, connection, unlocked.activity)
                try:
                    async with stdio_server(stdin=wire, stdout=wire) as (read, write):  # type: ignore[arg-type]
                        await lowlevel.run(read, write, options)
                finally:
                    unlocked.activity.closed(connection)

        async def one_command(stream: anyio.abc.SocketStream) -> None:
            async with stream:
                if not peer_is_this_user(stream.extra(anyio.abc.SocketAttribute.raw_socket)):
                    return
                try:
                    word = (await BufferedByteReceiveStream(stream).receive_until(b"\n", 64)).decode().strip()
                except Exception:
                    return
                if word not in _CONTROL_WORDS:
                    await stream.send(json.dumps({"error": f"unknown command `{word[:20]}`"}).encode() + b"\n")
                    return
                await stream.send(json.dumps(unlocked.status()).encode() + b"\n")
                if word == "lock":
                    logger.info("locking: told to by tarnel lock")
                    stop.set()

        async def accept(listener: socket.socket, handler) -> None:
            wrapped = await anyio.abc.SocketListener.from_socket(listener)
            async with wrapped:
                await wrapped.serve(handler)

        async def idle_watch() -> None:
            while unlocked.activity.seconds_left() > 0:
                await anyio.sleep(min(1.0, max(0.05, unlocked.activity.seconds_left())))
            logger.info("locking: %d s without a call", unlocked.activity.idle_seconds)
            stop.set()


        group.start_soon(accept, mcp_listener, one_client)
        group.start_soon(accept, control_listener, one_command)
        group.start_soon(idle_watch)
        await stop.wait()
        group.cancel_scope.cancel()

