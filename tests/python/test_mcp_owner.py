# The owner answers an agent through `tarnel` pending, approve, deny and
# intake: the agent is the SDK's client driving tarnel-mcp over stdio, the
# owner the command in a process of its own, on a pseudo-terminal where it must
# be one; and on requests the command must refuse or cannot find.

from __future__ import annotations

import json
import os
import re
import time

import anyio
import pytest

from human import needs_tarnel, on_terminal, tarnel
from mcpkit import async_test, call, mcp_session, owner, refused, while_waiting
from vaultkit import REQUEST_CONTEXT, Vault, audit_pairs, fp, reference, seal

pytestmark = needs_tarnel
# The identity the server authors from the handshake of mcpkit's AGENT.
IDENTITY = re.compile(r'MCP client "test-agent" 4\.2 \(self-declared\), connection [0-9a-f]{8}')
SH = os.path.realpath("/bin/sh")


@pytest.fixture
def root(tmp_path):
    # A vault made by `tarnel init` (approvals are proved with its passphrase).
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    for path, value, level in [("dev/app/token", b"high-token-4711", "high"), ("dev/app/medium", b"mid-31", "medium")]:
        assert tarnel(root, "set", f"secret:{path}", "--sensitivity", level, input=value).returncode == 0
    Vault.existing(root).write(reference("dev/app/cloud", "aws-sm://us-east-1/app-key"))
    return root


# Each: an edit an agent makes only with the owner's word, what the owner is shown, and the audit's word.
@pytest.mark.parametrize(("path", "edit", "shown", "word"), [
    ("dev/app/token", {"sensitivity": "medium"}, "downgrade from High", "downgrade"),
    ("dev/app/medium", {"revealable": True}, "make the value revealable to agents", "revealable"),
    ("dev/app/cloud", {"reference": "aws-sm://us-east-1/prod-root"},
     "point the reference at aws-sm://us-east-1/prod-root instead of aws-sm://us-east-1/app-key", "reference"),
])
@async_test
async def test_what_lowers_protection_waits_for_the_owner_who_approves_on_a_terminal(root, path, edit, shown, word):
    vault = Vault.existing(root)
    before, arguments = vault.path_of(path).read_bytes(), {"coordinate": f"secret:{path}", **edit}
    async with mcp_session(vault) as session:
        async def deny(request_id):
            assert (await owner(root, "deny", request_id, passphrase=None)).stdout == f"denied {request_id}\n".encode()

        result = await while_waiting(session, root, "edit_secret_metadata", arguments, deny)
        assert result.is_error and "denied" in result.content[0].text and vault.path_of(path).read_bytes() == before

        async def approve(request_id):
            listed = json.loads((await owner(root, "pending", "--json", passphrase=None)).stdout)
            assert [(e["id"], e["coordinate"], e["state"]) for e in listed] == [(request_id, path, "waiting")]
            # While the owner reads, the server answers everything else.
            with anyio.fail_after(10):
                assert (await call(session, "secret_status", coordinate="secret:dev/app/medium"))["mode"] == "literal"
            status, text = await anyio.to_thread.run_sync(on_terminal, root, "approve", request_id)
            assert status == 0 and shown.encode() in text and f"approved {request_id}".encode() in text, text

        approved = await while_waiting(session, root, "edit_secret_metadata", arguments, approve)
        assert {key: approved.structured_content[key] for key in edit} == edit, approved.content
    assert [pair for pair in audit_pairs(vault) if pair[0] in ("approve", "deny")] == [
        ("deny", f"denied-{word}"), ("approve", f"approved-{word}")]


@async_test
async def test_an_intake_names_the_client_and_its_secret_reaches_the_same_session(root):
    vault, value = Vault.existing(root), b"sk_test_51pay"
    async with mcp_session(vault) as session:
        # An argument the schema does not have is no way to speak for the client.
        asked = await call(session, "request_secret", coordinate="secret:dev/pay/stripe", sensitivity="low",
                           description="checkout tests", project="web", client_identity="forged by the agent")
        intake_id, identity = asked["intake_id"], asked["client_identity"]
        listed = json.loads((await owner(root, "intake", "--json", passphrase=None)).stdout)
        assert [(e["id"], e["project"], e["description"], e["origin"], e["requesting_process"]) for e in listed] \
            == [(intake_id, "web", "checkout tests", "agent", identity)] and IDENTITY.fullmatch(identity), listed
        done = await owner(root, "intake", "fulfil", intake_id, input=value + b"\n")
        assert done.returncode == 0 and value not in done.stdout + done.stderr, done.stderr
        view = {v["coordinate"]: v for v in (await call(session, "list_secrets"))["secrets"]}["dev/pay/stripe"]
        assert (view["sensitivity"], view["origin"], view["fingerprint"]) == ("low", "project:web", fp(value))
        # The owner gave the value; only the owner may make it revealable.
        assert "NotRevealable" in await refused(session, "reveal_secret", coordinate="secret:dev/pay/stripe",
                                                project="web")
    async with mcp_session(vault) as session:
        taken = await call(session, "request_secret", coordinate="secret:dev/app/token", sensitivity="low")
    # The same declared name on another connection is told apart by the server's own identifier.
    assert taken["client_identity"] != identity
    # A fulfilment never replaces a secret; a rejection removes the request.
    assert b"already exists" in tarnel(root, "intake", "fulfil", taken["intake_id"], input=b"replacement").stderr
    assert tarnel(root, "intake", "reject", taken["intake_id"], passphrase=None).returncode == 0
    assert bytes(vault.read("dev/app/token")["value"]) == b"high-token-4711" and not any((root / "intake").iterdir())
    assert [(e["result"], e["origin"]) for e in vault.audit() if e["result"].startswith("intake-")] == [
        ("intake-fulfilled", "human"), ("intake-rejected", "human")]


@async_test
async def test_a_high_run_of_an_allowed_program_is_approved_on_a_terminal_and_comes_back_masked(root):
    status, shown = await anyio.to_thread.run_sync(on_terminal, root, "allow", SH, "--env", "CFG", "--", "-c", "*")
    assert status == 0, shown
    async with mcp_session(Vault.existing(root)) as session:
        async def approve(request_id):
            status, shown = await anyio.to_thread.run_sync(on_terminal, root, "approve", request_id)
            # What starts is the link's target; the missing record's stand-in is the agent's text.
            lines = [line.strip() for line in shown.decode().splitlines()]
            assert status == 0 and b"high-token-4711" not in shown and f"program:       {SH}" in lines, shown
            assert ('variable:      CFG = "/agent/cfg" (set by the requester: secret:dev/none/cfg is not in the vault)'
                    in lines), lines

        # The agent names the program by a link.
        result = await while_waiting(session, root, "run_with_secrets", {
            "refs": "TOKEN=secret:${ENV}/app/token\nCFG=secret:${ENV}/none/cfg | /agent/cfg\n", "env": "dev",
            "program": "/bin/sh", "args": ["-c", 'echo "token=$TOKEN"']}, approve)
        assert not result.is_error and result.structured_content["stdout"] == "token=***\n", result.content
    assert audit_pairs(Vault.existing(root))[-3:] == [("approve", "approved"), ("inject", "injected"),
                                                      ("inject", "injected")]


# --- requests the owner's command refuses ----------------------------------------

@pytest.mark.parametrize("command", [["approve"], ["deny"], ["intake", "fulfil"], ["intake", "reject"]])
@pytest.mark.parametrize("request_id", ["../1-2-3", "kdf.salt", "-1-2", "1-2-3"])
def test_an_identifier_reaches_no_path_and_an_unknown_one_is_not_found(root, command, request_id):
    (root / "pending").mkdir()
    before = sorted(root.rglob("*"))
    done = tarnel(root, *command, "--", request_id, input=b"v")
    if request_id != "1-2-3":
        expected = (1, b"is not a request identifier")
    elif command == ["approve"]:
        expected = (4, b"needs a terminal")  # approve refuses a pipe before it looks
    else:
        expected = (3, f"tarnel: no {'intake' if 'intake' in command else 'pending'} request 1-2-3\n".encode())
    assert done.returncode == expected[0] and expected[1] in done.stderr, done.stderr
    assert sorted(root.rglob("*")) == before


def plant_confirmation(root, request_id: str, created: int, **fields):
    request = {"resolved_command": None, "coordinate": "dev/app/token", "sensitivity": "high", "environment": "dev",
               "origin": "agent", "requesting_process": None, "requester_description": None, "action": None,
               "allow_password": False, "run": None, **fields}
    # Sealed with a key that is not the vault's: listed and deniable, never approvable.
    body = json.dumps({"id": request_id, "created_unix": created, "request": request, "expires_unix": created + 120,
                       "nonce": "00" * 16}, separators=(",", ":"))
    (root / "pending" / f"{request_id}.json").write_bytes(seal(body[:-1].encode(), bytes(32), REQUEST_CONTEXT))


def test_expired_answered_and_planted_requests_take_no_answer_and_requester_words_are_escaped(root):
    (root / "pending").mkdir()
    plant_confirmation(root, "1-1-0", int(time.time()) - 121)
    plant_confirmation(root, "1-1-1", int(time.time()), requester_description="ok\r\x1b[2Kapprove me\u202e")
    (root / "pending" / "1-1-1.decision").write_text("denied\n")
    for request_id, text in [("1-1-0", b"has expired"), ("1-1-1", b"already been answered")]:
        done = tarnel(root, "deny", request_id, passphrase=None)
        assert done.returncode == 1 and text in done.stderr, done.stderr
    assert not (root / "pending" / "1-1-0.decision").exists()
    shown = tarnel(root, "pending").stdout
    assert b"\x1b" not in shown and b"\r" not in shown and b"ok\\x0d\\x1b[2Kapprove me\\u202e" in shown
    # Guards: planted links and FIFOs among the requests were followed or waited on.
    (root / "intake").mkdir()
    # What the reader makes of each kind of file is the core's (requests_test); here, that the command goes on.
    os.mkfifo(root / "intake" / "1-1-0.json")
    (root / "intake" / "1-1-1.json").symlink_to(root / "kdf.salt")
    listed = tarnel(root, "intake", passphrase=None)
    assert (listed.returncode, listed.stdout) == (0, b"no intake requests\n")
    assert listed.stderr.count(b"format error: not a regular file") == 2 and b"skipped intake 1-1-1" in listed.stderr
    fulfil = tarnel(root, "intake", "fulfil", "1-1-0", input=b"v")
    assert fulfil.returncode == 1 and b"not a regular file" in fulfil.stderr
