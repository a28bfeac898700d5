"""`tarnel-mcp --connect`: the entry an agent's host starts. It holds no
secret and no scope: it relays one MCP session between its standard streams
and the server `tarnel unlock` started. With nothing unlocked it answers the
host's first request with an error that tells the user what to do, and ends.
"""

from __future__ import annotations

import argparse
import os
import select
import socket
import struct
import sys
import threading

import tarnel_ffi

LOCKED_TEXT = "the tarnel vault is locked: run `tarnel unlock` in a terminal, then restart this MCP server"
_CHUNK = 65536


def _arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tarnel-mcp --connect", allow_abbrev=False,
        description="Relay an MCP session to the vault server that `tarnel unlock` started.")
    parser.add_argument("--connect", action="store_true", required=True)
    parser.add_argument("--name", default="default", help="the name given to tarnel unlock (default: default)")
    parser.add_argument("--vault-dir", metavar="DIR",
                        help="the vault root, where the server's socket is when XDG_RUNTIME_DIR is not set")
    return parser.parse_args(argv)


def connect_main(argv: list[str]) -> int:
    arguments = _arguments(argv)
    try:
        paths = tarnel_ffi.server_paths(arguments.name, arguments.vault_dir)
    except tarnel_ffi.TarnelError as error:
        return _answer_locked(f"tarnel-mcp: {error}")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        server.connect(paths["mcp"])
    except OSError:
        server.close()
        return _answer_locked(LOCKED_TEXT)
    if not peer_is_this_user(server):
        server.close()
        return _answer_locked(f"tarnel-mcp: {paths['mcp']} is served by another user; not connecting")
    _relay(server)
    return 0


def peer_is_this_user(sock: socket.socket) -> bool:
    """Whether the other end of a Unix socket runs as this user (SO_PEERCRED)."""
    credentials = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    return struct.unpack("3i", credentials)[1] == os.geteuid()


def _relay(server: socket.socket) -> None:
    """Bytes both ways until either side ends; the host's end of input ends the session."""
    stdin, stdout = sys.stdin.fileno(), sys.stdout.fileno()

    def host_to_server() -> None:
        try:
            while data := os.read(stdin, _CHUNK):
                server.sendall(data)
        except OSError:
            pass
        try:
            server.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    pump = threading.Thread(target=host_to_server, daemon=True)
    pump.start()
    try:
        while data := server.recv(_CHUNK):
            view = memoryview(data)
            while view:
                written = os.write(stdout, view)
                view = view[written:]
    except OSError:
        pass
    server.close()


def _answer_locked(text: str) -> int:
    """Answers the host's first request (its initialize) with `text` as the error, built
    with the SDK's own types, so the host shows it to the user; then ends cleanly."""
    import mcp_types as types

    print(text, file=sys.stderr, flush=True)
    line = _first_line(sys.stdin.fileno(), seconds=30)
    if line is None:
        return 0
    try:
        message = types.jsonrpc_message_adapter.validate_json(line, by_name=False)
    except Exception:
        return 0
    identifier = getattr(message, "id", None)
    if identifier is None:
        return 0
    error = types.JSONRPCError(jsonrpc="2.0", id=identifier,
                               error=types.ErrorData(code=types.INVALID_REQUEST, message=text))
    os.write(sys.stdout.fileno(), (error.model_dump_json(by_alias=True, exclude_unset=True) + "\n").encode())
    return 0


def _first_line(descriptor: int, seconds: float) -> bytes | None:
    data = b""
    while b"\n" not in data:
        ready, _, _ = select.select([descriptor], [], [], seconds)
        if not ready:
            return None
        chunk = os.read(descriptor, _CHUNK)
        if not chunk:
            break
        data += chunk
    return data.split(b"\n", 1)[0] or None
