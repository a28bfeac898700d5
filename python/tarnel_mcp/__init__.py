"""The MCP server of the tarnel vault: it authors each session's scope and
client identity, and serves the vault's operations to an agent as tools."""

from __future__ import annotations

import tarnel_ffi


def _own_version() -> str:
    import importlib

    try:
        generated = importlib.import_module("tarnel_mcp._version")  # written into the wheel at build time
    except ImportError:
        # A source checkout on PYTHONPATH: the installed distribution speaks for it.
        from importlib.metadata import version

        return version("tarnel")
    return str(generated.__version__)


__version__ = _own_version()

# A server from one build driving the module of another may speak a different
# set of methods and texts; refuse to start rather than half-work.
if tarnel_ffi.version() != __version__:
    raise ImportError(
        f"tarnel_mcp {__version__} needs tarnel_ffi {__version__}, found {tarnel_ffi.version()}"
    )
