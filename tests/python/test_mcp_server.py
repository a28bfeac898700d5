"""tarnel-mcp end to end: the SDK's client talks to the server over stdio, the
server to a temporary vault, and what the agent sees is checked against the
vault's files."""

from __future__ import annotations

import base64
import json

import pytest

from mcpkit import ALL, AGENT, HERE, async_test, call, intake, mcp_session, refused
from vaultkit import fp, keypair, literal

EVERY_TOOL = {
    "metadata": {"list_secrets", "secret_status", "secret_fingerprint"},
    "reveal": {"reveal_secret"},
    "write": {"set_secret", "generate_secret", "delete_secret", "edit_secret_metadata", "request_secret"},
    "inject": {"run_with_secrets"},
}


@pytest.fixture
def stocked(vault):
    vault.write(literal("dev/app/token", b"tok-123456", sensitivity="low", revealable=True))
    vault.write(literal("dev/app/blob", b"\xff\x00bin", sensitivity="low", revealable=True))
    vault.write(literal("prod/db/password", b"prod-pass-998877", sensitivity="high"))
    vault.write(literal("dev/app/key", b"high-key-554433", sensitivity="high"))
    vault.write(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"))
    vault.write(literal("dev/alpha/only", b"alpha-value", revealable=True), project="alpha")
    return vault


# --- what is listed ------------------------------------------------------------------

@async_test
async def test_tools_listed_are_those_the_scope_grants(stocked):
    for operations in ["metadata", "Reveal,INJECT", "write", ALL]:
        async with mcp_session(stocked, operations=operations) as session:
            listed = {tool.name: tool for tool in (await session.list_tools()).tools}
            granted = set().union(*(EVERY_TOOL[word.lower()] for word in operations.split(",")))
            assert set(listed) == granted, operations
            for tool in listed.values():
                assert tool.description and tool.input_schema["type"] == "object"
                assert tool.output_schema is not None
                queries = EVERY_TOOL["metadata"] | {"reveal_secret"}
                assert tool.annotations.read_only_hint is (tool.name in queries), tool.name
            if "delete_secret" in listed:
                assert listed["delete_secret"].annotations.destructive_hint is True
                # No tool lets the agent speak for the client, and none takes a value to request.
                for tool in listed.values():
                    assert "client_identity" not in tool.input_schema["properties"], tool.name
                assert "value" not in listed["request_secret"].input_schema["properties"]


@async_test
async def test_projects_and_environments_come_from_the_servers_flags(stocked):
    async with mcp_session(stocked, "--projects", "alpha", "--environments", "dev",
                           operations="metadata,reveal,inject") as session:
        listed = await call(session, "list_secrets")
        assert [view["coordinate"] for view in listed["secrets"]] == ["dev/alpha/only"]
        assert await refused(session, "secret_status", coordinate="secret:dev/app/token") \
            == "Error executing tool secret_status: not addressable"
        revealed = await call(session, "reveal_secret", coordinate="secret:dev/alpha/only", project="alpha")
        assert revealed == {"value": "alpha-value", "encoding": "utf-8"}
        assert "not addressable" in await refused(session, "run_with_secrets", refs="T=secret:dev/app/token\n",
                                                  env="dev", program="/bin/true", project="beta")


# --- each tool -----------------------------------------------------------------------

@async_test
async def test_metadata_and_reveal(stocked):
    async with mcp_session(stocked) as session:
        listed = {view["coordinate"]: view for view in (await call(session, "list_secrets"))["secrets"]}
        assert listed["dev/app/token"]["fingerprint"] == fp(b"tok-123456")
        assert "value" not in listed["dev/app/token"] and listed["dev/ssh/deploy"]["mode"] == "keypair:ed25519"
        status = await call(session, "secret_status", coordinate="secret:prod/db/password")
        assert status["sensitivity"] == "high" and status["reference"] is None
        assert await call(session, "secret_fingerprint", coordinate="secret:dev/app/token") \
            == {"coordinate": "secret:dev/app/token", "fingerprint": fp(b"tok-123456")}

        assert await call(session, "reveal_secret", coordinate="secret:dev/app/token") \
            == {"value": "tok-123456", "encoding": "utf-8"}
        binary = await call(session, "reveal_secret", coordinate="secret:dev/app/blob")
        assert binary["encoding"] == "base64" and base64.b64decode(binary["value"]) == b"\xff\x00bin"

        for coordinate, text in [("secret:prod/db/password", "McpCriticalForbidden"),
                                 ("secret:dev/app/key", "McpCriticalForbidden"),
                                 ("secret:dev/app/absent", "not addressable"),
                                 ("secret:dev/app", "invalid coordinate URI: ")]:
            assert text in await refused(session, "reveal_secret", coordinate=coordinate)
        assert "private key is never revealed" in await refused(session, "reveal_secret",
                                                                coordinate="secret:dev/ssh/deploy")
    assert [(e["action"], e["result"]) for e in stocked.audit()] \
        == [("reveal", "revealed"), ("reveal", "revealed"), ("deny", "denied"), ("deny", "denied")]


@async_test
async def test_writes(stocked):
    async with mcp_session(stocked) as session:
        view = await call(session, "set_secret", coordinate="secret:dev/app/new", value="fresh-value")
        assert view["fingerprint"] == fp(b"fresh-value") and "fresh-value" not in json.dumps(view)
        assert bytes(stocked.read("dev/app/new")["value"]) == b"fresh-value"

        generated = await call(session, "generate_secret", coordinate="secret:dev/app/gen", length=24,
                               sensitivity="high", description="made here")
        value = bytes(stocked.read("dev/app/gen")["value"])
        assert len(value) == 24 and generated["fingerprint"] == fp(value) and generated["sensitivity"] == "high"
        assert "already exists" in await refused(session, "generate_secret", coordinate="secret:dev/app/gen")
        assert "length must be at least 1" in await refused(session, "generate_secret",
                                                            coordinate="secret:dev/app/g0", length=0)

        edited = await call(session, "edit_secret_metadata", coordinate="secret:dev/app/token",
                            sensitivity="medium", revealable=False, description="raised")
        assert (edited["sensitivity"], edited["revealable"]) == ("medium", False)
        assert stocked.read("dev/app/token")["description"] == "raised"

        assert await call(session, "delete_secret", coordinate="secret:dev/app/new") \
            == {"coordinate": "secret:dev/app/new", "deleted": True}
        assert stocked.read("dev/app/new") is None
        assert "not addressable" in await refused(session, "delete_secret", coordinate="secret:dev/app/new")


@async_test
async def test_request_secret_names_the_client_the_server_saw(stocked):
    async with mcp_session(stocked) as session:
        # An argument the schema does not have is no way to speak for the client.
        request = await call(session, "request_secret", coordinate="secret:dev/pay/stripe", sensitivity="high",
                             description="for checkout", client_identity="forged by the agent")
        again = await call(session, "request_secret", coordinate="secret:dev/pay/other")
    written = intake(stocked, request["intake_id"])
    identity = written["requesting_process"]
    assert identity == request["client_identity"] == again["client_identity"]
    assert '"test-agent" 4.2 (self-declared), connection ' in identity and "forged" not in identity
    assert (written["coordinate"], written["sensitivity"], written["description"], written["origin"]) \
        == ("secret:dev/pay/stripe", "high", "for checkout", "agent")

    async with mcp_session(stocked, client_info=AGENT) as session:
        other = await call(session, "request_secret", coordinate="secret:dev/pay/third")
    # The same declared name on another connection is told apart by the server's own identifier.
    assert other["client_identity"] != identity


@async_test
async def test_run_with_secrets_masks_values_and_reports_status(stocked):
    async with mcp_session(stocked) as session:
        run = await call(session, "run_with_secrets", refs="TOKEN=secret:${ENV}/app/token\n", env="dev",
                         program="/bin/sh", args=["-c", 'echo "token=$TOKEN"; echo oops >&2; exit 3'])
        assert run["status"] == 3 and run["stdout_encoding"] == run["stderr_encoding"] == "utf-8"
        assert "tok-123456" not in run["stdout"] and run["stdout"].startswith("token=")
        assert run["stderr"] == "oops\n"

        binary = await call(session, "run_with_secrets", refs="", env="dev", program="/bin/sh",
                            args=["-c", r"printf '\377\376'; kill -9 $$"])
        assert binary["status"] is None and binary["stdout_encoding"] == "base64"
        assert base64.b64decode(binary["stdout"]) == b"\xff\xfe"

        assert "not on the executor allowlist" in await refused(
            session, "run_with_secrets", refs="PW=secret:prod/db/password\n", env="prod", program="/bin/true")


# --- the server's own faults ---------------------------------------------------------

@async_test
async def test_internal_faults_become_a_generic_error_and_the_server_goes_on(stocked):
    script = HERE / "mcp_faulty_server.py"
    passphrase_file = stocked.root.parent / "passphrase"
    passphrase_file.write_text(stocked.passphrase + "\n")
    async with mcp_session(stocked, "--passphrase-file", str(passphrase_file), variable=None,
                           script=script) as session:
        for tool in ["secret_fingerprint", "secret_status"]:  # a BaseException, then an Exception
            text = await refused(session, tool, coordinate="secret:dev/app/token")
            assert "internal fault" in text or text == f"Error executing tool {tool}"
            assert "planted" not in text
        listed = await call(session, "list_secrets")
        assert "dev/app/token" in {view["coordinate"] for view in listed["secrets"]}

