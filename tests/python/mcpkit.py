"""Driving `tarnel-mcp` as an MCP client does: the SDK's own client over the
server's standard input/output (or HTTP), against a temporary vault."""

from __future__ import annotations

import functools
import json
import os
import sys
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("mcp", reason="the mcp SDK is not installed (pip install .)")

import anyio  # noqa: E402
import mcp_types as types  # noqa: E402
from mcp.client.session import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402

ALL = "metadata,reveal,write,inject"
AGENT = types.Implementation(name="test-agent", version="4.2")
# The installed console script, else the package from PYTHONPATH.
_SCRIPT = Path(sys.executable).parent / "tarnel-mcp"
HERE = Path(__file__).resolve().parent


def server_command(*args: str, script: Path | None = None) -> list[str]:
    if script is not None:
        return [sys.executable, str(script), *args]
    if _SCRIPT.exists():
        return [str(_SCRIPT), *args]
    return [sys.executable, "-m", "tarnel_mcp", *args]


def server_environment(**extra: str) -> dict[str, str]:
    """A clean environment: no real vault, no real keyring, no cloud account."""
    env = {"PATH": os.environ["PATH"], "HOME": extra.pop("HOME", "/nonexistent"),
           "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent", "LANG": "C.UTF-8"}
    if "PYTHONPATH" in os.environ:
        env["PYTHONPATH"] = os.environ["PYTHONPATH"]
    env.update(extra)
    return env


@asynccontextmanager
async def mcp_session(vault, *args: str, operations: str = ALL, variable: str | None = "", script: Path | None = None,
                      client_info: types.Implementation = AGENT):
    """An initialised client session with a server on `vault`; TARNEL_PASSPHRASE
    is `variable`, by default the vault's passphrase, None for unset."""
    if variable == "":
        variable = vault.passphrase
    extra = {"TARNEL_PASSPHRASE": variable} if variable is not None else {}
    command = server_command("--vault-dir", str(vault.root), "--operations", operations, *args, script=script)
    params = StdioServerParameters(command=command[0], args=command[1:], env=server_environment(**extra))
    with open(vault.root.parent / "server-stderr.log", "a") as errlog:
        async with stdio_client(params, errlog=errlog) as (read, write):
            async with ClientSession(read, write, client_info=client_info) as session:
                await session.initialize()
                yield session


async def call(session: ClientSession, tool: str, **arguments: Any) -> Any:
    """The structured result of a call that must succeed."""
    result = await session.call_tool(tool, arguments)
    assert not result.is_error, result.content
    return result.structured_content


async def refused(session: ClientSession, tool: str, **arguments: Any) -> str:
    """The error text of a call that must fail."""
    result = await session.call_tool(tool, arguments)
    assert result.is_error, result.structured_content
    assert result.structured_content is None
    return result.content[0].text


def intake(vault, intake_id: str) -> dict:
    return json.loads((vault.root / "intake" / f"{intake_id}.json").read_text())


def async_test(test):
    """A test coroutine run to completion, bounded so a lost answer fails it."""
    @functools.wraps(test)
    def run(*args, **kwargs):
        async def bounded():
            with anyio.fail_after(90):
                await test(*args, **kwargs)
        anyio.run(bounded)
    return run
