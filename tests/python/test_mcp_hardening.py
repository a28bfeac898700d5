"""What tarnel-mcp keeps from the programs it runs and from other local
processes: its passphrase, its memory, and its HTTP port."""

from __future__ import annotations

import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import anyio
import pytest

from mcpkit import ALL, AGENT, call, mcp_session, server_command, server_environment
from test_mcp_server import async_test
from vaultkit import Vault, literal

NOBODY = 65534
SHOW_PARENT = 'echo "parent=$PPID"; tr "\\0" "\\n" < /proc/$PPID/environ; tr "\\0" " " < /proc/$PPID/cmdline'


def _wait_for_stderr(process: subprocess.Popen, text: bytes, seconds: float = 60) -> bytes:
    seen = b""
    deadline = time.monotonic() + seconds
    while text not in seen:
        left = deadline - time.monotonic()
        assert left > 0 and process.poll() is None, seen.decode(errors="replace")
        if select.select([process.stderr], [], [], left)[0]:
            seen += os.read(process.stderr.fileno(), 4096)
    return seen


@async_test
async def test_an_injected_child_cannot_find_the_passphrase(vault):
    vault.write(literal("dev/app/token", b"tok-123456"))
    async with mcp_session(vault) as session:
        run = await call(session, "run_with_secrets", refs="T=secret:dev/app/token\n", env="dev",
                         program="/bin/sh", args=["-c", SHOW_PARENT])
    shown = run["stdout"] + run["stderr"]
    assert vault.passphrase not in shown
    if os.geteuid() == 0:
        # Root reads a non-dumpable process's entries too: proof the block itself is clean.
        assert "PATH=" in shown and "tarnel" in shown, shown
    else:
        assert "Permission denied" in shown


def test_the_passphrase_file_and_the_variable_together(vault, tmp_path):
    # The file wins, and the variable still leaves the environment block.
    (tmp_path / "right").write_text(vault.passphrase + "\n")
    vault.write(literal("dev/app/token", b"tok-123456", revealable=True, sensitivity="low"))

    async def reveal_and_show():
        async with mcp_session(vault, "--passphrase-file", str(tmp_path / "right"),
                               variable="not the passphrase") as session:
            revealed = await call(session, "reveal_secret", coordinate="secret:dev/app/token")
            run = await call(session, "run_with_secrets", refs="", env="dev", program="/bin/sh",
                             args=["-c", SHOW_PARENT])
        return revealed, run

    revealed, run = anyio.run(reveal_and_show)
    assert revealed["value"] == "tok-123456"
    assert "not the passphrase" not in run["stdout"] and "TARNEL_PASSPHRASE=" not in run["stdout"]


PROBE = """
import json, sys
seen = {}
for pid in sys.argv[1:]:
    for entry in ("environ", "mem"):
        try:
            with open(f"/proc/{pid}/{entry}", "rb") as handle:
                handle.read(1) if entry == "environ" else None
            seen[f"{pid}/{entry}"] = "read"
        except PermissionError:
            seen[f"{pid}/{entry}"] = "denied"
print(json.dumps(seen))
"""


def _drop_capabilities() -> None:
    # An empty bounding set: what this process executes next holds no capability, even as uid 0.
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    last = int(Path("/proc/sys/kernel/cap_last_cap").read_text())
    for capability in range(last + 1):
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "PR_CAPBSET_DROP")


def _unprivileged() -> dict:
    """Popen arguments that run a program as an ordinary user: nobody when this
    interpreter is reachable by nobody, else uid 0 stripped of every capability
    (then only uid and gid are shared, exactly as between two processes of one user)."""
    as_nobody = {"user": NOBODY, "group": NOBODY, "extra_groups": []}
    try:
        if subprocess.run([sys.executable, "-c", "pass"], timeout=60, **as_nobody).returncode == 0:
            return as_nobody
    except PermissionError:
        pass
    return {"preexec_fn": _drop_capabilities}


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run the server and a reader as an unprivileged user")
def test_a_process_of_the_same_user_cannot_read_the_servers_memory():
    # The server, a plain process and the reader all run as the same user; only the server hardens itself.
    user = _unprivileged()
    home = Path(tempfile.mkdtemp(prefix="tarnel-unprivileged-"))
    try:
        vault = Vault(home / "vault")
        if "user" in user:
            for path in [home, *home.rglob("*")]:
                os.chown(path, NOBODY, NOBODY)
        server = subprocess.Popen(
            server_command("--vault-dir", str(vault.root), "--operations", ALL),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=server_environment(TARNEL_PASSPHRASE=vault.passphrase), **user)
        plain = subprocess.Popen(["sleep", "60"], **user)
        try:
            _wait_for_stderr(server, b"tools: ")
            probe = subprocess.run([sys.executable, "-c", PROBE, str(server.pid), str(plain.pid)],
                                   capture_output=True, text=True, timeout=60, **user)
        finally:
            for process in (server, plain):
                process.kill()
                process.wait()
        seen = json.loads(probe.stdout)
        # The reader could read an ordinary process of its user...
        assert seen[f"{plain.pid}/environ"] == seen[f"{plain.pid}/mem"] == "read"
        # ...but not the server.
        assert seen[f"{server.pid}/environ"] == seen[f"{server.pid}/mem"] == "denied"
    finally:
        shutil.rmtree(home)


# --- HTTP --------------------------------------------------------------------------

def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def http_server(vault):
    port = _free_port()
    server = subprocess.Popen(
        server_command("--vault-dir", str(vault.root), "--operations", "metadata", "--http", "--port", str(port)),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=server_environment(TARNEL_PASSPHRASE=vault.passphrase))
    try:
        _wait_for_stderr(server, b"serving MCP at")
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline
                time.sleep(0.1)
        yield f"http://127.0.0.1:{port}/mcp", server
    finally:
        server.kill()
        server.wait()


INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "probe", "version": "1"}}}
HEADERS = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json"}


def test_http_answers_only_with_the_token_from_the_vault_root(vault, http_server):
    httpx = pytest.importorskip("httpx2")
    from mcp.client.session import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    url, server = http_server
    token_file = vault.root / "mcp-http.token"
    assert token_file.stat().st_mode & 0o777 == 0o600
    token = token_file.read_text().strip()

    for authorization in [None, "Bearer wrong-token-of-some-length-0123456789", f"Basic {token}", token]:
        headers = dict(HEADERS, **({"Authorization": authorization} if authorization else {}))
        assert httpx.post(url, json=INITIALIZE, headers=headers).status_code == 401, authorization
    # With the token, the SDK's Host and Origin checks still stand.
    bearer = dict(HEADERS, Authorization=f"Bearer {token}")
    assert httpx.post(url, json=INITIALIZE, headers=dict(bearer, Host="evil.example")).status_code == 421
    assert httpx.post(url, json=INITIALIZE, headers=dict(bearer, Origin="http://evil.example")).status_code == 403

    async def listing():
        async with httpx.AsyncClient(headers={"Authorization": f"Bearer {token}"}) as client:
            async with streamable_http_client(url, http_client=client) as (read, write):
                async with ClientSession(read, write, client_info=AGENT) as session:
                    await session.initialize()
                    return [tool.name for tool in (await session.list_tools()).tools]

    assert anyio.run(listing) == ["list_secrets", "secret_status", "secret_fingerprint"]


def test_the_token_file_is_reused_and_never_written_through_a_link(vault, tmp_path):
    from tarnel_mcp.config import ConfigError
    from tarnel_mcp.http_auth import load_or_create_token

    token, path = load_or_create_token(vault.root)
    assert load_or_create_token(vault.root) == (token, path) and len(token) >= 32
    path.unlink()
    target = tmp_path / "elsewhere"
    path.symlink_to(target)
    with pytest.raises(ConfigError):
        load_or_create_token(vault.root)
    assert not target.exists()
    path.unlink()
    path.write_text(token)
    path.chmod(0o644)
    with pytest.raises(ConfigError, match="mode 0600"):
        load_or_create_token(vault.root)
