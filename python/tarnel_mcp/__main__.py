"""`tarnel-mcp`: serve the vault to an MCP client.

Standard output belongs to the protocol; everything else goes to standard
error.
"""

from __future__ import annotations

import logging
import sys

_EXIT_CONFIG = 2
_EXIT_VAULT = 1

_STARTUP_WARNING = ("tarnel-mcp: warning: a passphrase from TARNEL_PASSPHRASE or a passphrase file can be read by this "
                    "user's other processes (its environment, the file, and this process while it starts); for an "
                    "agent host use `tarnel unlock` in a terminal and `tarnel-mcp --connect`")

_KEYRING_WARNING = ("tarnel-mcp: warning: this vault's key comes from the system keyring, which hands it to any "
                    "process of this user that asks; an agent with a shell as this user can take it and approve its "
                    "own requests. Against such agents use a vault with a passphrase (tarnel init)")


def _configure_logging() -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("tarnel-mcp: %(levelname)s %(message)s"))
    logging.basicConfig(level=logging.WARNING, handlers=[handler])
    logging.getLogger("tarnel_mcp").setLevel(logging.INFO)


def main(argv: list[str] | None = None) -> int:
    _configure_logging()
    # First of all: take_passphrase() and serve_unlocked() refuse to run in a
    # process that is still dumpable.
    from tarnel_mcp.passphrase import make_undumpable, take_passphrase

    make_undumpable()
    arguments = sys.argv[1:] if argv is None else argv
    if "--connect" in arguments:
        from tarnel_mcp.connect import connect_main

        return connect_main(arguments)
    if "--serve-unlocked" in arguments:
        from tarnel_mcp.unlocked import serve_unlocked

        return serve_unlocked(arguments)

    import tarnel_ffi
    from tarnel_mcp.config import ConfigError, parse_config

    try:
        config = parse_config(arguments)
        passphrase = take_passphrase(config.passphrase_file)
    except ConfigError as error:
        print(f"tarnel-mcp: {error}", file=sys.stderr)
        return _EXIT_CONFIG
    # The SDK is imported only by the image that serves, not by one about to re-execute.
    from tarnel_mcp.server import build_server, open_session, serve

    try:
        session = open_session(config, passphrase)
    except tarnel_ffi.TarnelError as error:
        print(f"tarnel-mcp: opening the vault at {config.vault_root()}: {error}", file=sys.stderr)
        return _EXIT_VAULT
    print(_KEYRING_WARNING if passphrase is None else _STARTUP_WARNING, file=sys.stderr, flush=True)
    del passphrase
    try:
        server = build_server(config, session)
    except ConfigError as error:
        print(f"tarnel-mcp: {error}", file=sys.stderr)
        return _EXIT_CONFIG
    serve(config, server)
    return 0


if __name__ == "__main__":
    sys.exit(main())
