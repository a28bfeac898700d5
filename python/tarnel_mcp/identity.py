"""The client identity the server vouches for: what the client declared when
it connected, and an identifier the server drew for the connection. The
human reads it on confirmation requests and intake requests, so it is built
by the server, never taken from a tool argument."""

from __future__ import annotations

import secrets
import weakref
from typing import Protocol

_MAX_DECLARED = 64


class _Implementation(Protocol):
    name: str
    version: str


class _ClientParams(Protocol):
    client_info: _Implementation


def _printable(text: str) -> str:
    # The client chose this text; keep it to one short line on the human's screen.
    cleaned = "".join(ch if ch.isprintable() else "?" for ch in text)
    return cleaned if len(cleaned) <= _MAX_DECLARED else cleaned[: _MAX_DECLARED - 1] + "…"


class ConnectionIdentities:
    """One identifier per client connection, drawn on the connection's first call.

    A connection is recognised by the handshake parameters the SDK keeps for
    it: the same object for every request of the connection.
    """

    def __init__(self) -> None:
        self._drawn: dict[int, tuple[weakref.ref[object], str]] = {}
        self._anonymous = secrets.token_hex(4)

    def _connection_id(self, params: object) -> str:
        key = id(params)
        known = self._drawn.get(key)
        if known is not None and known[0]() is params:
            return known[1]
        drawn = secrets.token_hex(4)
        self._drawn[key] = (weakref.ref(params, lambda _: self._drawn.pop(key, None)), drawn)
        return drawn

    def describe(self, params: _ClientParams | None) -> str:
        if params is None:
            return f"MCP client that declared no name, connection {self._anonymous}"
        info = params.client_info
        return (f'MCP client "{_printable(info.name)}" {_printable(info.version)} '
                f"(self-declared), connection {self._connection_id(params)}")
