"""The server's own configuration: where the vault is, what the agent may do
there, and how the server is reached. Flags win over a TOML file; nothing of
it ever comes from the agent."""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

OPERATIONS = ("metadata", "inject", "reveal", "write")
DEFAULT_PORT = 8787

# Keys of the TOML file, spelt as the flags are (an underscore is taken too).
_FILE_KEYS = ("vault-dir", "operations", "projects", "environments", "passphrase-file", "http", "port")


class ConfigError(Exception):
    """A configuration the server refuses to start with; the text says why."""


@dataclass(frozen=True)
class ServerConfig:
    vault_dir: Path | None
    operations: tuple[str, ...]
    projects: tuple[str, ...] | None  # None: any project
    environments: tuple[str, ...] | None  # None: any environment
    passphrase_file: Path | None
    http: bool
    port: int

    def scope(self) -> dict[str, Any]:
        """The scope dictionary every session of this server is opened with."""
        scope: dict[str, Any] = {"operations": list(self.operations)}
        if self.projects is not None:
            scope["projects"] = list(self.projects)
        if self.environments is not None:
            scope["environments"] = list(self.environments)
        return scope

    def grants(self, operation: str) -> bool:
        return operation in self.operations

    def vault_root(self) -> Path:
        """The root the module opens: the same rule it applies itself."""
        if self.vault_dir is not None:
            return self.vault_dir
        if "TARNEL_VAULT_DIR" in os.environ:
            return Path(os.environ["TARNEL_VAULT_DIR"])
        return Path.home() / ".vaults"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnel-mcp",
        # Else `--passphrase hunter2` would pass as --passphrase-file and be echoed in its error.
        allow_abbrev=False,
        description="Serve a tarnel vault to an MCP client (an AI agent's host) over standard "
        "input/output, or over HTTP on 127.0.0.1 with a bearer token.",
        epilog="The passphrase comes from TARNEL_PASSPHRASE, --passphrase-file or the system "
        "keyring, never from a flag. Lists are comma-separated; '*' means any.",
    )
    parser.add_argument("--config", type=Path, metavar="FILE", help="a TOML file with the keys below")
    parser.add_argument("--vault-dir", type=Path, metavar="DIR",
                        help="the vault root (else TARNEL_VAULT_DIR, else ~/.vaults)")
    parser.add_argument("--operations", metavar="LIST", help="what the agent may do: " + ",".join(OPERATIONS))
    parser.add_argument("--projects", metavar="LIST", help="the project vaults the agent may address")
    parser.add_argument("--environments", metavar="LIST", help="the environments the agent may address")
    parser.add_argument("--passphrase-file", type=Path, metavar="FILE",
                        help="read the vault passphrase from this file")
    parser.add_argument("--http", action="store_true", default=None,
                        help="serve streamable HTTP on 127.0.0.1 instead of standard input/output")
    parser.add_argument("--port", type=int, metavar="N", help=f"the HTTP port (default {DEFAULT_PORT})")
    return parser


def _split(text: str) -> list[str]:
    return [] if text == "" else [part.strip() for part in text.split(",")]


def _names(value: Any, key: str) -> list[str]:
    if isinstance(value, str):
        return _split(value)
    if isinstance(value, list) and all(isinstance(item, str) for item in value):
        return value
    raise ConfigError(f"`{key}` must be a list of names or one comma-separated string")


def _filter(value: Any, key: str) -> tuple[str, ...] | None:
    if value is None:
        return None
    names = _names(value, key)
    return None if "*" in names else tuple(names)


def _operations(value: Any) -> tuple[str, ...]:
    if value is None:
        raise ConfigError("no operations granted: give --operations (" + ",".join(OPERATIONS) + ")")
    words = [word.lower() for word in _names(value, "operations")]
    for word in words:
        if word not in OPERATIONS:
            raise ConfigError(f"unknown operation `{word}` (expected {'|'.join(OPERATIONS)})")
    return tuple(dict.fromkeys(words))


def _read_file(path: Path) -> dict[str, Any]:
    try:
        with path.open("rb") as handle:
            raw = tomllib.load(handle)
    except OSError as error:
        raise ConfigError(f"reading {path}: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise ConfigError(f"{path}: {error}") from None
    values: dict[str, Any] = {}
    for key, value in raw.items():
        name = key.replace("_", "-")
        if name == "passphrase":
            raise ConfigError(f"{path}: the passphrase is never configured in place; "
                              "use passphrase-file, TARNEL_PASSPHRASE or the keyring")
        if name not in _FILE_KEYS:
            raise ConfigError(f"{path}: unknown key `{key}` (expected {', '.join(_FILE_KEYS)})")
        values[name] = value
    # Paths in the file are relative to the file, not to wherever the client starts us.
    for name in ("vault-dir", "passphrase-file"):
        if isinstance(values.get(name), str):
            values[name] = path.parent / Path(values[name]).expanduser()
        elif name in values:
            raise ConfigError(f"{path}: `{name}` must be a path")
    return values


def parse_config(argv: list[str]) -> ServerConfig:
    """The configuration from the command line and the file it names."""
    flags = vars(_parser().parse_args(argv))
    from_file = _read_file(flags["config"]) if flags["config"] is not None else {}

    def pick(name: str) -> Any:
        flag = flags[name.replace("-", "_")]
        return flag if flag is not None else from_file.get(name)

    port = pick("port")
    if port is None:
        port = DEFAULT_PORT
    if not isinstance(port, int) or isinstance(port, bool) or not 0 < port < 65536:
        raise ConfigError(f"port must be a number from 1 to 65535, not {port!r}")
    http = pick("http")
    if http is not None and not isinstance(http, bool):
        raise ConfigError("`http` must be true or false")
    return ServerConfig(
        vault_dir=pick("vault-dir"),
        operations=_operations(pick("operations")),
        projects=_filter(pick("projects"), "projects"),
        environments=_filter(pick("environments"), "environments"),
        passphrase_file=pick("passphrase-file"),
        http=bool(http),
        port=port,
    )
