# Driving `tarnel-mcp` as an MCP client does: the SDK's own client over the
# server's standard input/output, against a temporary vault; and the owner
# answering it through `tarnel` while a call waits.

from __future__ import annotations

import functools
import json
import os
import select
import subprocess
import sys
import time
from contextlib import asynccontextmanager
from pathlib import Path

import pytest

pytest.importorskip("mcp", reason="the mcp SDK is not installed (pip install .)")

import anyio  # noqa: E402
import mcp_types as types  # noqa: E402
from mcp.client.session import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402

from human import tarnel  # noqa: E402

ALL = "metadata,reveal,write,inject"
EVERY_TOOL = {"metadata": {"list_secrets", "secret_status", "secret_fingerprint"}, "reveal": {"reveal_secret"},
              "write": {"set_secret", "generate_secret", "delete_secret", "edit_secret_metadata", "request_secret"},
              "inject": {"run_with_secrets"}}
AGENT = types.Implementation(name="test-agent", version="4.2")
INITIALIZE = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize",
                         "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                                    "clientInfo": {"name": "host", "version": "1"}}}) + "\n"
# The installed console script, else the package from PYTHONPATH.
_SCRIPT = Path(sys.executable).parent / "tarnel-mcp"


def server_command(*args: str, script: Path | None = None) -> list[str]:
    start = [sys.executable, str(script)] if script else [str(_SCRIPT)] if _SCRIPT.exists() else [
        sys.executable, "-m", "tarnel_mcp"]
    return [*start, *args]


def server_environment(**extra: str) -> dict[str, str]:
    # A clean environment: no real vault, no real keyring, no cloud account.
    pythonpath = {"PYTHONPATH": os.environ["PYTHONPATH"]} if "PYTHONPATH" in os.environ else {}
    return {"PATH": os.environ["PATH"], "HOME": "/nonexistent", "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent",
            "LANG": "C.UTF-8", **pythonpath, **extra}


def wait_for_stderr(process: subprocess.Popen, text: bytes, seconds: float = 60) -> None:
    seen, deadline = b"", time.monotonic() + seconds
    while text not in seen:
        left = deadline - time.monotonic()
        assert left > 0 and process.poll() is None, seen.decode(errors="replace")
        if select.select([process.stderr], [], [], left)[0]:
            seen += os.read(process.stderr.fileno(), 4096)


def serve_once(*args: str, text: str = INITIALIZE, **extra: str) -> subprocess.CompletedProcess:
    # tarnel-mcp given `text` (by default one initialize) and then the end of its input.
    return subprocess.run(server_command(*args), input=text, env=server_environment(**extra), capture_output=True,
                          text=True, timeout=60)


@asynccontextmanager
async def client(command: list[str], env: dict[str, str], log: Path):
    # An initialised client session with the server `command` starts; what it logs goes to `log`.
    with open(log, "a") as errlog:
        params = StdioServerParameters(command=command[0], args=command[1:], env=env)
        async with stdio_client(params, errlog=errlog) as (read, write):
            async with ClientSession(read, write, client_info=AGENT) as session:
                await session.initialize()
                yield session


def mcp_session(vault, *args: str, operations: str = ALL, variable: str | None = "", script: Path | None = None):
    # A client session with a server on `vault`; TARNEL_PASSPHRASE is `variable`,
    # by default the vault's passphrase, None for unset.
    variable = vault.passphrase if variable == "" else variable
    return client(server_command("--vault-dir", str(vault.root), "--operations", operations, *args, script=script),
                  server_environment(**({"TARNEL_PASSPHRASE": variable} if variable is not None else {})),
                  vault.root.parent / "server-stderr.log")


async def call(session: ClientSession, tool: str, **arguments):
    # The structured result of a call that must succeed.
    result = await session.call_tool(tool, arguments)
    assert not result.is_error, result.content
    return result.structured_content


async def refused(session: ClientSession, tool: str, **arguments) -> str:
    # The error text of a call that must fail.
    result = await session.call_tool(tool, arguments)
    assert result.is_error and result.structured_content is None, result.structured_content
    return result.content[0].text


def async_test(test):
    # A test coroutine run to completion, bounded so a lost answer fails it.
    @functools.wraps(test)
    def run(*args, **kwargs):
        async def bounded():
            with anyio.fail_after(90):
                await test(*args, **kwargs)
        anyio.run(bounded)
    return run


# --- the owner, while an agent's call waits ------------------------------------------

async def owner(root: Path, *args, **options):
    # `tarnel` through pipes, off the event loop so the agent's calls go on.
    return await anyio.to_thread.run_sync(functools.partial(tarnel, root, *args, **options))


async def while_waiting(session, root: Path, tool: str, arguments: dict, answer):
    # Makes a tool call that waits on the owner; `answer(request_id)` runs while it waits. Returns the call's result.
    outcome = {}

    async def calling():
        outcome["result"] = await session.call_tool(tool, arguments)

    async with anyio.create_task_group() as group:
        group.start_soon(calling)
        pending = root / "pending"
        with anyio.fail_after(30):
            while not (pending.is_dir() and any(pending.glob("*.json"))):
                await anyio.sleep(0.05)
        await answer(next(pending.glob("*.json")).stem)
    return outcome["result"]
