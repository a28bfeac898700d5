"""The `tarnel_ffi` extension module."""

from collections.abc import Sequence
from typing import Any, final

def version() -> str: ...
def server_paths(name: str = "default", vault_dir: str | None = None) -> dict[str, str | None]: ...

@final
class TarnelSession:
    def __new__(
        cls,
        scope: dict[str, Any],
        vault_dir: str | None = None,
        passphrase: str | None = None,
        key_fd: int | None = None,
    ) -> TarnelSession: ...
    def list(self) -> list[dict[str, Any]]: ...
    def status(self, coordinate: str, project: str | None = None) -> dict[str, Any]: ...
    def fingerprint(self, coordinate: str, project: str | None = None) -> str: ...
    def reveal(self, coordinate: str, project: str | None = None) -> bytes: ...
    def set(self, coordinate: str, value: str, project: str | None = None) -> dict[str, Any]: ...
    def generate(
        self,
        coordinate: str,
        length: int = 32,
        sensitivity: str | None = None,
        description: str | None = None,
        project: str | None = None,
    ) -> dict[str, Any]: ...
    def delete(self, coordinate: str, project: str | None = None) -> None: ...
    def edit_metadata(
        self,
        coordinate: str,
        sensitivity: str | None = None,
        description: str | None = None,
        revealable: bool | None = None,
        reference: str | None = None,
        project: str | None = None,
    ) -> dict[str, Any]: ...
    def request_secret(
        self,
        coordinate: str,
        sensitivity: str | None = None,
        description: str | None = None,
        project: str | None = None,
        client_identity: str | None = None,
    ) -> str: ...
    def inject_run(
        self,
        refs: str,
        env: str,
        program: str,
        args: Sequence[str] = ...,
        project: str | None = None,
        client_identity: str | None = None,
    ) -> dict[str, Any]: ...

class TarnelError(Exception): ...
class TarnelNotFound(TarnelError): ...
class TarnelDenied(TarnelError): ...
