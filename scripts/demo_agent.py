"""A short scripted agent: connects to tarnel-mcp over stdio with the MCP SDK's
own client and prints what an agent sees. Usage: demo_agent.py VAULT_DIR
(the passphrase in TARNEL_PASSPHRASE, as an MCP client's configuration gives it).
The server's own log goes to server.log beside the vault, as an agent never sees it."""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path

import anyio
import mcp_types as types
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client


def show(title: str, result: types.CallToolResult) -> None:
    print(f"\n-- {title}")
    if result.is_error:
        print("   refused:", result.content[0].text)  # type: ignore[union-attr]
    else:
        print("  ", json.dumps(result.structured_content, indent=2).replace("\n", "\n   "))


async def agent(vault_dir: str) -> None:
    server = Path(sys.executable).parent / "tarnel-mcp"
    params = StdioServerParameters(
        command=str(server),
        args=["--vault-dir", vault_dir, "--operations", "metadata,reveal,inject,write"],
        env={"TARNEL_PASSPHRASE": os.environ["TARNEL_PASSPHRASE"]},
    )
    with open(Path(vault_dir).parent / "server.log", "w") as log:
        async with stdio_client(params, errlog=log) as (read, write), ClientSession(
            read, write, client_info=types.Implementation(name="demo-agent", version="1.0")
        ) as session:
            await session.initialize()
            await converse(session)


async def converse(session: ClientSession) -> None:
    tools = await session.list_tools()
    print("-- tools:", ", ".join(tool.name for tool in tools.tools))

    listing = await session.call_tool("list_secrets", {})
    print("\n-- list_secrets")
    for view in (listing.structured_content or {})["secrets"]:
        print(f"   {view['coordinate']:<22} {view['sensitivity']:<7} {view['fingerprint']}"
              f"{'  revealable' if view['revealable'] else ''}")

    show("reveal_secret dev/app/api-token",
         await session.call_tool("reveal_secret", {"coordinate": "secret:dev/app/api-token"}))
    show("reveal_secret prod/db/password",
         await session.call_tool("reveal_secret", {"coordinate": "secret:prod/db/password"}))
    show("run_with_secrets: a program that prints the password it was given",
         await session.call_tool("run_with_secrets", {
             "refs": "DB_PASSWORD=secret:${ENV}/db/password\n", "env": "dev",
             "program": "/bin/sh", "args": ["-c", 'echo "connecting with $DB_PASSWORD"']}))
    show("request_secret dev/payments/stripe-key",
         await session.call_tool("request_secret", {
             "coordinate": "secret:dev/payments/stripe-key", "sensitivity": "high",
             "description": "Stripe test key for the checkout tests"}))


if __name__ == "__main__":
    anyio.run(agent, sys.argv[1])
