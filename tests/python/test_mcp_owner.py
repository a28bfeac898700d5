"""The owner answers an agent: the agent is the SDK's client driving tarnel-mcp
over stdio, the owner is the `tarnel` command in a process of its own, on a
pseudo-terminal where it must be one. Nothing here writes a request's answer
file by hand."""

from __future__ import annotations

import functools
import json
import os
import re
import shutil
from pathlib import Path

import anyio
import pytest

from mcpkit import async_test, call, mcp_session, refused
from test_cli import TARNEL, on_terminal, tarnel
from vaultkit import PASSPHRASE, Vault, allow_entry, audit_pairs, fp, literal, reference, seal_allowlist

pytestmark = pytest.mark.skipif(not TARNEL.exists(), reason=f"tarnel is not installed beside {TARNEL.parent}")

TOKEN = "dev/app/token"
KEY = "dev/app/key"
TOKEN_VALUE = b"high-token-4711"
DENIED = "denied \u2014 sensitivity not lowered"
# The identity the server authors from the handshake of mcpkit's AGENT.
IDENTITY = re.compile(r'MCP client "test-agent" 4\.2 \(self-declared\), connection [0-9a-f]{8}')
SH = os.path.realpath("/bin/sh")


@pytest.fixture
def root(tmp_path):
    """A vault made by `tarnel init` (approvals are proved with its passphrase)
    holding two high secrets."""
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    for path, value in [(TOKEN, TOKEN_VALUE), (KEY, b"high-key-0815")]:
        done = tarnel(root, "set", f"secret:{path}", "--sensitivity", "high", input=value)
        assert done.returncode == 0, done.stderr
    return root


async def owner(root: Path, *args, **options):
    """`tarnel` through pipes, off the event loop so the agent's calls go on."""
    return await anyio.to_thread.run_sync(functools.partial(tarnel, root, *args, **options))


async def approve_on_terminal(root: Path, request_id: str, typed: str = PASSPHRASE) -> tuple[int, bytes]:
    return await anyio.to_thread.run_sync(functools.partial(on_terminal, root, "approve", request_id, typed=typed))


async def while_waiting(session, root: Path, tool: str, arguments: dict, answer):
    """Makes a tool call that waits on the owner; `answer(request_id)` runs
    while it waits. Returns the call's result."""
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


async def refused_while_waiting(session, root: Path, tool: str, arguments: dict, answer) -> str:
    result = await while_waiting(session, root, tool, arguments, answer)
    assert result.is_error and result.structured_content is None
    return result.content[0].text


async def pending_requests(root: Path) -> list[dict]:
    listed = await owner(root, "pending", "--json", passphrase=None)
    assert listed.returncode == 0, listed.stderr
    return json.loads(listed.stdout)


@async_test
async def test_a_downgrade_waits_for_the_owner_who_approves_only_on_a_terminal(root):
    vault = Vault.existing(root)
    async with mcp_session(vault) as session:
        denied_ids = []

        async def refuse_then_deny(request_id):
            piped = await owner(root, "approve", request_id)
            assert piped.returncode == 4 and b"needs a terminal" in piped.stderr
            status, shown = await approve_on_terminal(root, request_id, "not the passphrase")
            assert status == 1 and b"tarnel: wrong passphrase" in shown
            assert not (root / "pending" / f"{request_id}.decision").exists()
            denied = await owner(root, "deny", request_id, passphrase=None)
            assert (denied.returncode, denied.stdout) == (0, f"denied {request_id}\n".encode())
            denied_ids.append(request_id)

        text = await refused_while_waiting(session, root, "edit_secret_metadata",
                                           {"coordinate": f"secret:{TOKEN}", "sensitivity": "low"}, refuse_then_deny)
        assert text == f"Error executing tool edit_secret_metadata: {DENIED}"
        again = await owner(root, "deny", denied_ids[0], passphrase=None)
        assert (again.returncode, again.stderr) == (3, f"tarnel: no pending request {denied_ids[0]}\n".encode())

        async def approve(request_id):
            listed = await pending_requests(root)
            assert listed == [{
                "id": request_id, "created_unix": listed[0]["created_unix"], "age_seconds": listed[0]["age_seconds"],
                "expires_unix": listed[0]["created_unix"] + 120, "state": "waiting", "resolved_command": f"edit {KEY} --sensitivity medium (downgrade from High)",
                "coordinate": KEY, "sensitivity": "high", "environment": "dev", "origin": "agent",
                "requesting_process": None, "requester_description": None, "action": None, "allow_password": True,
                "run": None}]
            assert 0 <= listed[0]["age_seconds"] < 120
            text = (await owner(root, "pending", passphrase=None)).stdout.decode()
            assert request_id in text and "downgrade from High" in text and "left to answer" in text
            # While the owner reads, the server answers everything else.
            with anyio.fail_after(10):
                await session.send_ping()
                assert (await call(session, "secret_status", coordinate=f"secret:{KEY}"))["sensitivity"] == "high"
                run = await call(session, "run_with_secrets", refs="", env="dev", program="/bin/echo", args=["hi"])
                assert run["stdout"] == "hi\n"
            status, shown = await approve_on_terminal(root, request_id)
            assert status == 0, shown
            assert b"downgrade from High" in shown and f"approved {request_id}".encode() in shown
            assert PASSPHRASE.encode() not in shown

        approved = await while_waiting(session, root, "edit_secret_metadata",
                                       {"coordinate": f"secret:{KEY}", "sensitivity": "medium",
                                        "description": "rotated"}, approve)
        assert not approved.is_error, approved.content
        assert approved.structured_content["sensitivity"] == "medium"

    assert (vault.read(TOKEN)["sensitivity"], vault.read(KEY)["sensitivity"]) == ("high", "medium")
    assert vault.read(KEY)["description"] == "rotated"
    assert audit_pairs(vault)[2:] == [
        ("deny", "denied-downgrade"), ("approve", "approved-downgrade"),
        ("sensitivity-downgrade", "downgraded"), ("edit", "metadata-updated")]
    assert list((root / "pending").iterdir()) == []


@async_test
async def test_an_intake_names_the_client_and_its_secret_reaches_the_same_session(root):
    vault = Vault.existing(root)
    value = b"sk_test_51pay"
    async with mcp_session(vault) as session:
        asked = await call(session, "request_secret", coordinate="secret:dev/pay/stripe", sensitivity="low",
                           description="checkout tests", project="web")
        intake_id, identity = asked["intake_id"], asked["client_identity"]
        assert IDENTITY.fullmatch(identity), identity
        listed = json.loads((await owner(root, "intake", "--json", passphrase=None)).stdout)
        assert [(entry["id"], entry["coordinate"], entry["sensitivity"], entry["project"], entry["description"],
                 entry["origin"], entry["requesting_process"]) for entry in listed] == [
            (intake_id, "secret:dev/pay/stripe", "low", "web", "checkout tests", "agent", identity)]

        done = await owner(root, "intake", "fulfil", intake_id, input=value + b"\n")
        assert done.returncode == 0, done.stderr
        assert value not in done.stdout + done.stderr
        assert not (root / "intake" / f"{intake_id}.json").exists()

        seen = {view["coordinate"]: view for view in (await call(session, "list_secrets"))["secrets"]}
        view = seen["dev/pay/stripe"]
        assert (view["sensitivity"], view["origin"], view["fingerprint"], view["revealable"]) \
            == ("low", "project:web", fp(value), False)
        # The owner gave the value; only the owner may make it revealable.
        assert await refused(session, "reveal_secret", coordinate="secret:dev/pay/stripe", project="web") \
            == "Error executing tool reveal_secret: NotRevealable"

        twice = await owner(root, "intake", "fulfil", intake_id, input=b"other")
        assert (twice.returncode, twice.stderr) == (3, f"tarnel: no intake request {intake_id}\n".encode())

    record = vault.read("dev/pay/stripe", project="web")
    assert (bytes(record["value"]), record["sensitivity"], record["description"]) == (value, "low", "checkout tests")
    assert [event["origin"] for event in vault.audit() if event["result"] == "intake-fulfilled"] == ["human"]


@async_test
async def test_a_high_run_of_an_allowed_program_is_approved_on_a_terminal_and_comes_back_masked(root):
    vault = Vault.existing(root)
    status, shown = await anyio.to_thread.run_sync(on_terminal, root, "allow", SH, "--env", "CFG", "--", "-c", "*")
    assert status == 0, shown
    async with mcp_session(vault) as session:
        async def approve(request_id):
            listed = await pending_requests(root)
            assert [(entry["id"], entry["coordinate"], entry["sensitivity"], entry["origin"],
                     entry["resolved_command"]) for entry in listed] == [
                (request_id, TOKEN, "high", "agent", f'{SH} -c echo "token=$TOKEN"; echo "$TOKEN" >&2')]
            assert IDENTITY.fullmatch(listed[0]["requesting_process"]), listed[0]["requesting_process"]
            status, shown = await approve_on_terminal(root, request_id)
            assert status == 0, shown
            assert TOKEN_VALUE not in shown
            # What starts is the link's target; the missing record's stand-in is the agent's text.
            lines = [line.strip() for line in shown.decode().splitlines()]
            assert f"program:       {SH}" in lines
            assert ('variable:      CFG = "/agent/cfg" (set by the requester: secret:dev/none/cfg is not in the vault)'
                    in lines), lines

        # The agent names the program by a link.
        result = await while_waiting(session, root, "run_with_secrets", {
            "refs": "TOKEN=secret:${ENV}/app/token\nCFG=secret:${ENV}/none/cfg | /agent/cfg\n", "env": "dev",
            "program": "/bin/sh",
            "args": ["-c", 'echo "token=$TOKEN"; echo "$TOKEN" >&2']}, approve)
        assert not result.is_error, result.content
        run = result.structured_content
        assert (run["status"], run["stdout"], run["stderr"]) == (0, "token=***\n", "***\n")
    assert audit_pairs(vault)[2:] == [("scope-grant", f"allowlist-allow:{SH} --env CFG -- -c *"),
                                      ("approve", "approved"), ("inject", "injected"), ("inject", "injected")]


# --- what an agent may lower only with the owner's word ------------------------------

@async_test
async def test_making_a_value_revealable_or_repointing_a_reference_waits_for_the_owner(root):
    vault = Vault.existing(root)
    assert tarnel(root, "set", "secret:dev/app/medium", input=b"medium-value-31").returncode == 0
    vault.write(reference("dev/app/cloud", "aws-sm://us-east-1/app-key"))
    async with mcp_session(vault) as session:
        assert await refused(session, "reveal_secret", coordinate="secret:dev/app/medium") \
            == "Error executing tool reveal_secret: NotRevealable"

        def approve(expected_action):
            async def answer(request_id):
                listed = await pending_requests(root)
                assert listed[0]["action"] == expected_action, listed
                status, shown = await approve_on_terminal(root, request_id)
                assert status == 0 and expected_action.encode() in shown, shown
            return answer

        made = await while_waiting(session, root, "edit_secret_metadata",
                                   {"coordinate": "secret:dev/app/medium", "revealable": True},
                                   approve("make the value revealable to agents"))
        assert not made.is_error, made.content
        assert (await call(session, "reveal_secret", coordinate="secret:dev/app/medium"))["value"] == "medium-value-31"

        repointed = await while_waiting(
            session, root, "edit_secret_metadata",
            {"coordinate": "secret:dev/app/cloud", "reference": "aws-sm://us-east-1/prod-root"},
            approve("point the reference at aws-sm://us-east-1/prod-root instead of aws-sm://us-east-1/app-key"))
        assert not repointed.is_error, repointed.content
        assert repointed.structured_content["reference"] == "aws-sm://us-east-1/prod-root"
    approvals = [result for action, result in audit_pairs(vault) if action == "approve"]
    assert approvals == ["approved-revealable", "approved-reference"]


GIT = shutil.which("git")
PROD_VALUE = "prod-password-8086"


# Each hijack of an allowlisted program that an agent ran with a production
# value: its own arguments (a git alias), configuration through the
# environment, its own PATH, loader and shell start-up hooks.
@pytest.mark.skipif(GIT is None, reason="needs git")
@async_test
async def test_a_gated_run_takes_only_the_arguments_and_variables_its_entry_names(root, tmp_path):
    vault = Vault.existing(root)
    vault.write(literal("prod/db/password", PROD_VALUE.encode()))  # medium: the allowlist alone gates it
    git = os.path.realpath(GIT)
    seal_allowlist(root, vault.key, allow_entry(git, ["status"], False, ["PATH"]),
                   allow_entry("/bin/sh", ["-c"], True, ["MARK"]))
    pw = "PW=secret:prod/db/password\n"
    leak = 'printf %s "$PW" | rev'
    refusals = [
        (pw, git, ["-c", f"alias.x=!{leak}", "x"], f"the allowlist has no entry for `{git}` with these arguments"),
        (pw + "GIT_CONFIG_COUNT=1\nGIT_CONFIG_KEY_0=core.fsmonitor\nGIT_CONFIG_VALUE_0=" + leak + "\n", git,
         ["status"], "`GIT_CONFIG_COUNT` is set by the run"),
        (pw + f"LD_PRELOAD={tmp_path}/x.so\n", git, ["status"], "`LD_PRELOAD` is set by the run"),
        (pw + f"BASH_ENV={tmp_path}/rc\n", "/bin/sh", ["-c", "true"], "`BASH_ENV` is set by the run"),
        (pw + f"PATH={tmp_path}\n", "/bin/sh", ["-c", "true"], "`PATH` is set by the run"),
    ]
    async with mcp_session(vault) as session:
        for refs, program, args, expected in refusals:
            text = await refused(session, "run_with_secrets", refs=refs, env="prod", program=program, args=args)
            assert expected in text and "high/prod injection refused" in text, (args, text)
        # Where the entry names them, the same kinds of variable pass.
        marked = await call(session, "run_with_secrets", refs=pw + "MARK=seen\n", env="prod", program="/bin/sh",
                            args=["-c", 'printf "%s %s" "$MARK" "$PW"'])
        assert marked["stdout"] == "seen ***"
        status = await call(session, "run_with_secrets", refs=pw + f"PATH={os.environ['PATH']}\n", env="prod",
                            program=GIT, args=["status"])
        assert PROD_VALUE not in status["stdout"] + status["stderr"]
    words = [result for action, result in audit_pairs(vault) if action == "deny"]
    assert words == ["denied:arguments-not-allowlisted"] + ["denied:variable-not-allowlisted"] * 4
    assert PROD_VALUE.encode() not in vault.audit_bytes()
