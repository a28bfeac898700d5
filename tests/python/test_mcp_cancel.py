# A client that gives up: cancelling a call, or letting it time out, withdraws
# what it waits for. The agent is the SDK's own client over stdio; the owner
# answers through the genuine `tarnel` on a terminal.

from __future__ import annotations

import fcntl
import os
import signal
import time
from contextlib import asynccontextmanager
from pathlib import Path

import anyio
import pytest
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

from human import needs_tarnel, on_terminal, tarnel
from mcpkit import AGENT, async_test, server_command, server_environment
from vaultkit import Vault, audit_pairs

pytestmark = needs_tarnel


@pytest.fixture
def root(tmp_path):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    assert tarnel(root, "set", "secret:dev/app/token", "--sensitivity", "high", input=b"high-token-4711").returncode == 0
    assert tarnel(root, "set", "secret:dev/app/low", input=b"low-42").returncode == 0
    return root


def _field(message, name):
    inner = getattr(message.message, "root", message.message)
    return getattr(inner, name, None)


@asynccontextmanager
async def recorded_session(root: Path, log: Path):
    # A client session whose every message from the server is kept, with the ids of the calls it made.
    received, calls = [], []
    params = StdioServerParameters(command=server_command()[0], args=[
        *server_command()[1:], "--vault-dir", str(root), "--operations", "metadata,write,inject"],
        env=server_environment(TARNEL_PASSPHRASE=Vault.existing(root).passphrase))
    with open(log, "a") as errlog:
        async with stdio_client(params, errlog=errlog) as (read, write), anyio.create_task_group() as group:
            to_server, from_client = anyio.create_memory_object_stream(100)
            to_client, from_server = anyio.create_memory_object_stream(100)

            async def up():
                async for message in from_client:
                    if _field(message, "method") == "tools/call":
                        calls.append(_field(message, "id"))
                    await write.send(message)

            async def down():
                async for message in read:
                    received.append(message)
                    await to_client.send(message)

            group.start_soon(up)
            group.start_soon(down)
            async with ClientSession(from_server, to_server, client_info=AGENT) as session:
                await session.initialize()
                yield session, received, calls
            group.cancel_scope.cancel()


def answers_to(received, request_id):
    return [m for m in received if _field(m, "id") == request_id and _field(m, "method") is None]


def gone(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@async_test
async def test_a_cancelled_downgrade_is_withdrawn_and_a_later_approval_changes_nothing(root, tmp_path):
    vault = Vault.existing(root)
    before = vault.path_of("dev/app/token").read_bytes()
    progress, request_ids = [], []
    async with recorded_session(root, tmp_path / "server.log") as (session, received, calls):
        with anyio.move_on_after(30) as waited:
            async def note(value, total, message):
                progress.append(message)
                request_ids.extend(path.stem for path in (root / "pending").glob("*.json"))
                waited.cancel()  # the agent gives up once it heard the server is still waiting

            await session.call_tool("edit_secret_metadata", {"coordinate": "secret:dev/app/token",
                                                             "sensitivity": "low"}, progress_callback=note)
        # Progress came while the call waited for the owner; then the cancellation withdrew the request.
        assert progress == ["waiting for the vault's owner"] and waited.cancelled_caught
        with anyio.fail_after(5):
            while list((root / "pending").glob("*")):
                await anyio.sleep(0.05)
        await anyio.sleep(1)
        assert answers_to(received, calls[-1]) == []
    # The owner's genuine approval finds nothing to approve.
    (request_id,) = request_ids
    status, shown = await anyio.to_thread.run_sync(on_terminal, root, "approve", request_id)
    assert status != 0 and b"no pending request" in shown, shown
    assert vault.path_of("dev/app/token").read_bytes() == before
    assert ("deny", "withdrawn-downgrade") in audit_pairs(vault)
    assert not any(word.startswith("approved") or word == "downgraded" for _, word in audit_pairs(vault))


@async_test
async def test_a_run_the_client_stops_waiting_for_is_ended_with_all_it_started(root, tmp_path):
    pids = tmp_path / "pids"
    async with recorded_session(root, tmp_path / "server.log") as (session, received, calls):
        started = time.monotonic()
        with pytest.raises(Exception, match="(?i)time"):
            await session.call_tool("run_with_secrets", {
                "refs": "TOKEN=secret:${ENV}/app/low\n", "env": "dev", "program": "/bin/sh",
                "args": ["-c", f'sleep 30 & echo $! > {pids}; echo $$ >> {pids}; wait']}, read_timeout_seconds=1)
        children = [int(line) for line in pids.read_text().split()]
        with anyio.fail_after(2):
            while not all(gone(pid) for pid in children):
                await anyio.sleep(0.05)
        assert time.monotonic() - started < 4
        await anyio.sleep(1)
        assert answers_to(received, calls[-1]) == []
        # The server goes on serving.
        assert not (await session.call_tool("secret_status", {"coordinate": "secret:dev/app/low"})).is_error


async def pending_ids(root: Path, count: int) -> set[str]:
    with anyio.fail_after(10):
        while len(ids := {path.stem for path in (root / "pending").glob("*.json")}) < count:
            await anyio.sleep(0.05)
    return ids


async def released(path: Path) -> None:
    with anyio.fail_after(10), open(path) as probe:
        while True:
            try:
                fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return fcntl.flock(probe, fcntl.LOCK_UN)
            except BlockingIOError:
                await anyio.sleep(0.02)


@async_test
async def test_requests_of_a_killed_server_are_removed_by_the_next_listing_and_a_live_one_stays(root, tmp_path):
    downgrade = {"coordinate": "secret:dev/app/token", "sensitivity": "low"}
    async with recorded_session(root, tmp_path / "live.log") as (live, _, _), anyio.create_task_group() as group:
        group.start_soon(lambda: live.call_tool("edit_secret_metadata", downgrade))
        (live_id,) = await pending_ids(root, 1)
        async with recorded_session(root, tmp_path / "dead.log") as (doomed, _, _):
            group.start_soon(lambda: doomed.call_tool("edit_secret_metadata", downgrade))
            (dead_id,) = await pending_ids(root, 2) - {live_id}
            os.kill(int(dead_id.split("-")[1]), signal.SIGKILL)
            await released(root / "pending" / f"{dead_id}.json")  # the kernel lets go of a killed holder's lock
            # Both published a minute ago, as far as the files tell.
            for request_id in (live_id, dead_id):
                os.utime(root / "pending" / f"{request_id}.json", (time.time() - 60,) * 2)
            listings = [await anyio.to_thread.run_sync(lambda: tarnel(root, "pending")) for _ in range(2)]
            group.cancel_scope.cancel()
    first, second = listings
    assert first.returncode == 0 and "removed 1 request whose requester is gone" in first.stderr.decode()
    assert live_id in first.stdout.decode() and dead_id not in first.stdout.decode()
    assert second.returncode == 0 and second.stderr == b"" and live_id in second.stdout.decode()
    assert not (root / "pending" / f"{dead_id}.json").exists()
