"""The bearer token of the HTTP transport. Any local process can reach a
loopback port, so the token is what tells the owner's client from them: it
is drawn at first start into a file only the owner can read, beside the
vault, and every request must carry it."""

from __future__ import annotations

import hmac
import os
import secrets
import stat
from pathlib import Path

from mcp.server.auth.provider import AccessToken

from tarnel_mcp.config import ConfigError

TOKEN_FILE = "mcp-http.token"
_CLIENT_ID = "tarnel-mcp-http"


def load_or_create_token(vault_root: Path) -> tuple[str, Path]:
    """The token and the file that holds it, created on first use."""
    path = vault_root / TOKEN_FILE
    token = secrets.token_urlsafe(32)
    try:
        # O_EXCL and O_NOFOLLOW: a file or link planted under the name is never written through.
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return _read_token(path), path
    except OSError as error:
        raise ConfigError(f"creating {path}: {error.strerror}") from None
    with os.fdopen(descriptor, "w") as handle:
        handle.write(token + "\n")
        handle.flush()
        os.fsync(handle.fileno())
    return token, path


def _read_token(path: Path) -> str:
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as error:
        raise ConfigError(f"opening {path}: {error.strerror}") from None
    with os.fdopen(descriptor) as handle:
        info = os.fstat(handle.fileno())
        if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid() or info.st_mode & 0o077:
            raise ConfigError(f"{path} must be a regular file of yours that only you can read (mode 0600)")
        token = handle.read().strip()
    if len(token) < 32:
        raise ConfigError(f"{path} holds no usable token; remove it to draw a new one")
    return token


class FileTokenVerifier:
    """Accepts exactly the token of the file, compared in constant time."""

    def __init__(self, token: str) -> None:
        self._token = token.encode()

    async def verify_token(self, token: str) -> AccessToken | None:
        if not hmac.compare_digest(token.encode(), self._token):
            return None
        return AccessToken(token=token, client_id=_CLIENT_ID, scopes=[])
