#!/usr/bin/env python3
"""One tool call over stdio, as an agent's host makes it: `secret_status`
of tarnel-mcp against an `echo` tool of a server on the same MCP SDK, each
driven by the SDK's own client in this process. Calls alternate between the
two servers, so both run under the same load; after a warm-up, each side's
figure is the median of 200 calls, and the ratio is the cost of the vault's
call against the SDK's own floor. The vault lives in a temporary directory
(under $TMPDIR, or the first argument).
Usage: bench_mcp.py [parent-dir]
"""

from __future__ import annotations

import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import anyio  # noqa: E402
from mcp.client.session import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402

from vaultkit import Vault, literal  # noqa: E402

WARM_UP = 20
ROUNDS = 200
GOAL = 1.15

# The floor: a tool on the same SDK that returns a structured result as small
# as a secret's view, with no session behind it.
ECHO_SERVER = '''
from typing_extensions import TypedDict
from mcp.server.mcpserver import MCPServer

class Echoed(TypedDict):
    coordinate: str
    sensitivity: str

server = MCPServer(name="echo", log_level="WARNING")

@server.tool(structured_output=True)
async def echo(coordinate: str) -> Echoed:
    """Returns what it was given."""
    return {"coordinate": coordinate, "sensitivity": "low"}

server.run("stdio")
'''

COORDINATE = "secret:dev/app/token"


def tarnel_mcp() -> list[str]:
    script = Path(sys.executable).parent / "tarnel-mcp"
    return [str(script)] if script.exists() else [sys.executable, "-m", "tarnel_mcp"]


async def timed(session: ClientSession, tool: str) -> float:
    start = time.perf_counter()
    result = await session.call_tool(tool, {"coordinate": COORDINATE})
    elapsed = time.perf_counter() - start
    if result.is_error:
        raise SystemExit(f"{tool} failed: {result.content}")
    return elapsed


async def measure(root: Path) -> tuple[list[float], list[float]]:
    base = {"PATH": os.environ["PATH"], "HOME": str(root.parent), "XDG_RUNTIME_DIR": str(root.parent),
            "LANG": "C.UTF-8"}
    vault_server = StdioServerParameters(command=tarnel_mcp()[0], args=[
        *tarnel_mcp()[1:], "--vault-dir", str(root), "--operations", "metadata"],
        env={**base, "TARNEL_PASSPHRASE": Vault.existing(root).passphrase})
    echo_server = StdioServerParameters(command=sys.executable, args=["-c", ECHO_SERVER], env=base)
    with open(root.parent / "servers.log", "w") as errlog:
        async with stdio_client(vault_server, errlog=errlog) as (vault_read, vault_write), \
                stdio_client(echo_server, errlog=errlog) as (echo_read, echo_write), \
                ClientSession(vault_read, vault_write) as vault, ClientSession(echo_read, echo_write) as echo:
            await vault.initialize()
            await echo.initialize()
            for _ in range(WARM_UP):
                await timed(vault, "secret_status")
                await timed(echo, "echo")
            vault_times, echo_times = [], []
            for round_ in range(ROUNDS):
                # Which goes first alternates, so neither always follows the other.
                order = [(vault, "secret_status", vault_times), (echo, "echo", echo_times)]
                for session, tool, times in order if round_ % 2 == 0 else reversed(order):
                    times.append(await timed(session, tool))
    return vault_times, echo_times


def main() -> None:
    parent = sys.argv[1] if len(sys.argv) > 1 else None
    with tempfile.TemporaryDirectory(dir=parent) as scratch:
        root = Path(scratch) / "vault"
        vault = Vault(root)
        vault.write(literal("dev/app/token", b"bench-token-value", sensitivity="low", revealable=True))
        vault_times, echo_times = anyio.run(measure, root)
    vault_median, echo_median = statistics.median(vault_times), statistics.median(echo_times)
    ratio = vault_median / echo_median
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, "
          f"Python {platform.python_version()}")
    print(f"medians of {ROUNDS} interleaved calls over stdio, after {WARM_UP} of each")
    print(f"  echo (same SDK, no session)    {echo_median * 1e3:8.3f} ms  1.00x")
    print(f"  tarnel-mcp secret_status       {vault_median * 1e3:8.3f} ms  {ratio:.2f}x  "
          f"(goal {GOAL:.2f}x or less: {'met' if ratio <= GOAL else 'not met'})")


if __name__ == "__main__":
    main()
