# tarnel-mcp end to end: the SDK's client talks to the server over stdio (or
# HTTP), the server to a temporary vault, and what the agent sees is checked
# against the vault's files; its configuration, what it says when it starts, and
# what it keeps from the programs it runs and from other local processes. What
# a reader of the same user finds in its memory is in test_unlock.py.

from __future__ import annotations

import base64
import json
import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from human import needs_tarnel, tarnel, wait_until
from mcpkit import INITIALIZE, async_test, call, mcp_session, refused, serve_once, server_command, server_environment
from tarnel_mcp.config import parse_config  # after mcpkit, which skips without the SDK
from vaultkit import PASSPHRASE, fp, keypair, literal, reference, totp


# --- configuration and start --------------------------------------------------

def test_flags_and_file_give_the_same_scope_and_flags_win(tmp_path):
    (tmp_path / "server.toml").write_text('vault_dir = "vault"\noperations = ["metadata", "Reveal"]\n'
                                          'projects = "alpha, beta"\nenvironments = ["*", "dev"]\nport = 9000\n')
    from_file = parse_config(["--config", str(tmp_path / "server.toml")])
    assert (from_file.vault_dir, from_file.http, from_file.port) == (tmp_path / "vault", False, 9000)  # file-relative
    assert from_file.scope() == {"operations": ["metadata", "reveal"], "projects": ["alpha", "beta"]}
    both = parse_config(["--config", str(tmp_path / "server.toml"), "--operations", "inject", "--projects", "",
                         "--http"])
    assert both.scope() == {"operations": ["inject"], "projects": []} and both.http


# Each: a configuration file, more arguments, the exit status and what stderr says.
@pytest.mark.parametrize(("toml", "argv", "status", "message"), [
    ('passphrase = "hunter2"\n', [], 2, "never configured in place"),
    ('operation = ["metadata"]\n', [], 2, "unknown key `operation`"),
    # No abbreviated flags: --passphrase is refused, never read as --passphrase-file.
    ("", ["--passphrase", "x", "--operations", "metadata"], 2, "unrecognized arguments"),
    ("", ["--operations", "metadata", "--passphrase-file", "absent"], 2, "reading the passphrase file"),
    # Guards: with a wrong passphrase the server started, and an agent's first write sealed a record under a key
    # the owner does not have.
    ("", ["--operations", "write", "--passphrase-file", "wrong"], 1, "opening the vault at VAULT: wrong passphrase\n"),
    ("", ["--operations", "metadata"], 0, "can be read by this user's other processes"),
])
@needs_tarnel
def test_the_server_refuses_or_warns_at_start_with_nothing_on_standard_output(tmp_path, toml, argv, status, message):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    (tmp_path / "server.toml").write_text(f'vault_dir = "vault"\n{toml}')
    (tmp_path / "wrong").write_text("not the passphrase\n")
    args = [str(tmp_path / arg) if arg in ("absent", "wrong") else arg for arg in argv]
    done = serve_once("--config", str(tmp_path / "server.toml"), *args, text="",
                      **({} if "--passphrase-file" in argv else {"TARNEL_PASSPHRASE": PASSPHRASE}))
    assert (done.returncode, done.stdout, ("warning" in done.stderr)) == (status, "", status == 0), done.stderr
    assert message.replace("VAULT", str(root)) in done.stderr and PASSPHRASE not in done.stderr
    assert not any((root / "global").iterdir())


def test_the_server_refuses_a_module_of_another_version(tmp_path):
    # A stand-in module that reports another version, found before the real one.
    (tmp_path / "tarnel_ffi.py").write_text('def version():\n    return "0.0.1"\n')
    package = Path(__import__("tarnel_mcp").__file__).parent.parent
    done = subprocess.run([sys.executable, "-c", "import tarnel_mcp"], capture_output=True, text=True,
                          env={"PYTHONPATH": f"{tmp_path}:{package}"}, timeout=60)
    assert done.returncode == 1 and "needs tarnel_ffi" in done.stderr and "found 0.0.1" in done.stderr


# --- the tools -------------------------------------------------------------------

@pytest.fixture
def stocked(vault):
    vault.write(literal("dev/app/token", b"tok-123456", sensitivity="low", revealable=True))
    vault.write(literal("dev/app/blob", b"\xff\x00bin", sensitivity="low", revealable=True))
    vault.write(literal("prod/db/password", b"prod-pass-998877", sensitivity="high"))
    vault.write(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"))
    vault.write(literal("dev/app/high", b"high-1", sensitivity="high", revealable=True))
    vault.write(literal("dev/app/only", b"only-1", sensitivity="inject-only", revealable=True))
    vault.write(literal("dev/app/closed", b"closed-1", sensitivity="low"))
    vault.write(reference("dev/app/ref", "aws-sm://eu-west-1/x", sensitivity="low", revealable=True))
    vault.write(totp("dev/app/otp", b"12345678901234567890", sensitivity="low"))
    return vault


RUN_INSTEAD = "use run_with_secrets to pass it to a program"
# Each refusal kind an agent meets: one sentence of what was refused and what to do instead, the module's word last.
REFUSALS = [
    ("reveal_secret", {"coordinate": "secret:prod/db/password"}, "secret:prod/db/password is in prod: its value is "
     f"never revealed over MCP; {RUN_INSTEAD} [McpCriticalForbidden]"),
    ("reveal_secret", {"coordinate": "secret:dev/app/high"}, "secret:dev/app/high is high: its value is never "
     f"revealed over MCP; {RUN_INSTEAD} [McpCriticalForbidden]"),
    ("reveal_secret", {"coordinate": "secret:dev/app/only"}, "secret:dev/app/only is inject-only: its value is "
     f"never revealed; {RUN_INSTEAD} [InjectOnlyNeverRevealed]"),
    ("reveal_secret", {"coordinate": "secret:dev/app/closed"}, "secret:dev/app/closed is not marked revealable, "
     f"so its value is not returned over MCP; {RUN_INSTEAD}, or ask for revealable=true with edit_secret_metadata, "
     "which the owner must approve [NotRevealable]"),
    ("reveal_secret", {"coordinate": "secret:dev/app/ref"}, "secret:dev/app/ref is a reference: its value is "
     f"fetched only when a program runs; {RUN_INSTEAD} [TarnelDenied]"),
    ("reveal_secret", {"coordinate": "secret:dev/ssh/deploy"}, "secret:dev/ssh/deploy is a keypair: its private key "
     "is never revealed; the owner uses it with `tarnel` (sign, decrypt, ssh-add) [TarnelDenied]"),
    ("reveal_secret", {"coordinate": "secret:dev/app/otp"}, "secret:dev/app/otp is a TOTP enrolment: its seed is "
     "never revealed; the owner derives a code with `tarnel code` [TarnelDenied]"),
    ("delete_secret", {"coordinate": "secret:dev/app/new"}, "secret:dev/app/new is not addressable: it is outside "
     "this server's scope or does not exist (the two are not told apart); list_secrets shows what you can use "
     "[not addressable]"),
    ("run_with_secrets", {"refs": "PW=secret:prod/db/password\n", "env": "prod", "program": "/bin/true"},
     "`/usr/bin/true` is not on the executor allowlist, so the run may not use high or prod values; only the "
     "owner can allow it, with `tarnel allow` [TarnelDenied]"),
    # A text with no sentence of its own is the module's, whole.
    ("generate_secret", {"coordinate": "secret:dev/app"}, "invalid coordinate URI: "),
    # Wrong arguments: each named with what it must be, never with the value given.
    ("generate_secret", {"coordinate": 7, "length": "many-4711"}, "argument `coordinate` must be a string; "
     "argument `length` must be an integer from 0 to 65536"),
    ("run_with_secrets", {"env": "dev", "program": "/bin/true", "args": "-x"}, "argument `refs` is missing: it must "
     "be a string; argument `args` must be a list of strings"),
    ("edit_secret_metadata", {"coordinate": "secret:dev/app/token", "revealable": "maybe"},
     "argument `revealable` must be true or false or null"),
]


@async_test
async def test_every_tool_answers_and_refuses_in_its_own_words(stocked):
    async with mcp_session(stocked) as session:
        listed = {view["coordinate"]: view for view in (await call(session, "list_secrets"))["secrets"]}
        assert listed["dev/ssh/deploy"]["mode"] == "keypair:ed25519"
        assert (await call(session, "secret_status", coordinate="secret:prod/db/password"))["sensitivity"] == "high"
        assert (await call(session, "secret_fingerprint", coordinate="secret:dev/app/token"))["fingerprint"] \
            == fp(b"tok-123456")
        assert await call(session, "reveal_secret", coordinate="secret:dev/app/blob") \
            == {"value": base64.b64encode(b"\xff\x00bin").decode(), "encoding": "base64"}
        view = await call(session, "set_secret", coordinate="secret:dev/app/new", value="fresh-value")
        assert view["fingerprint"] == fp(b"fresh-value") and "fresh-value" not in json.dumps(view)
        generated = await call(session, "generate_secret", coordinate="secret:dev/app/gen", length=24)
        assert generated["fingerprint"] == fp(value := bytes(stocked.read("dev/app/gen")["value"])) and len(value) == 24
        assert (await call(session, "delete_secret", coordinate="secret:dev/app/new"))["deleted"]
        assert stocked.read("dev/app/new") is None
        run = await call(session, "run_with_secrets", refs="TOKEN=secret:${ENV}/app/token\n", env="dev",
                         program="/bin/sh", args=["-c", r'printf "token=$TOKEN\377"; echo oops >&2; kill -9 $$'])
        assert (run["status"], run["stdout_encoding"], base64.b64decode(run["stdout"]), run["stderr"]) == (
            None, "base64", b"token=***\xff", "oops\n")
        for tool, arguments, text in REFUSALS:
            said = await refused(session, tool, **arguments)
            assert said == text if text.endswith("]") or "argument" in text else said.startswith(text), said
            assert "\n" not in said and "4711" not in said


@async_test
async def test_internal_faults_become_a_generic_error_and_the_server_goes_on(stocked):
    passphrase_file = stocked.root.parent / "passphrase"
    passphrase_file.write_text(stocked.passphrase + "\n")
    async with mcp_session(stocked, "--passphrase-file", str(passphrase_file), variable=None,
                           script=Path(__file__).with_name("mcp_faulty_server.py")) as session:
        for tool in ["secret_fingerprint", "secret_status"]:  # a BaseException, then an Exception
            text = await refused(session, tool, coordinate="secret:dev/app/token")
            assert ("internal fault" in text or text == f"Error executing tool {tool}") and "planted" not in text
        assert "dev/app/token" in {view["coordinate"] for view in (await call(session, "list_secrets"))["secrets"]}


# --- the passphrase and the HTTP port ----------------------------------------------

SHOW_PARENT = 'echo "parent=$PPID"; tr "\\0" "\\n" < /proc/$PPID/environ; tr "\\0" " " < /proc/$PPID/cmdline'


@pytest.mark.parametrize("from_file", [False, True])
@async_test
async def test_an_injected_child_finds_no_passphrase_in_its_server(vault, tmp_path, from_file):
    # Guards: the passphrase reached a child through its parent's environment block (the variable leaves it,
    # and the file wins over it).
    vault.write(literal("dev/app/token", b"tok-123456", revealable=True, sensitivity="low"))
    (tmp_path / "right").write_text(vault.passphrase + "\n")
    args, variable = (("--passphrase-file", str(tmp_path / "right")), "decoy") if from_file else ((), vault.passphrase)
    async with mcp_session(vault, *args, variable=variable) as session:
        # A server that took the decoy would not have started (a wrong passphrase stops it).
        run = await call(session, "run_with_secrets", refs="T=secret:dev/app/token\n", env="dev", program="/bin/sh",
                         args=["-c", SHOW_PARENT])
    shown = run["stdout"] + run["stderr"]
    assert vault.passphrase not in shown and variable not in shown and "TARNEL_PASSPHRASE=" not in shown
    # Root reads a non-dumpable process's entries too: proof the block itself is clean.
    assert ("PATH=" in shown and "tarnel" in shown) if os.geteuid() == 0 else "Permission denied" in shown, shown


def test_http_answers_only_with_the_token_from_the_vault_root_kept_from_links_and_other_readers(vault, tmp_path):
    httpx = pytest.importorskip("httpx2")
    from tarnel_mcp.config import ConfigError
    from tarnel_mcp.http_auth import load_or_create_token

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen(server_command("--vault-dir", str(vault.root), "--operations", "metadata", "--http",
                                             "--port", str(port)), stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              env=server_environment(TARNEL_PASSPHRASE=vault.passphrase))
    try:
        wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0)
        token, path = load_or_create_token(vault.root)  # the server's, taken again

        def post(authorization=None, **more):
            headers = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json", **more}
            return httpx.post(f"http://127.0.0.1:{port}/mcp", content=INITIALIZE, headers=dict(
                headers, **({"Authorization": authorization} if authorization else {})))

        for authorization in [None, "Bearer wrong-token-of-some-length-0123456789", f"Basic {token}", token]:
            refused = post(authorization)
            # A client that looks for how to authorize is told the scheme, the realm and the error.
            assert refused.status_code == 401, authorization
            assert refused.headers["WWW-Authenticate"].startswith('Bearer realm="tarnel", error="invalid_token"')
        # With the token, the SDK's Host check still stands; a loopback Host without a port passes it.
        assert [post(f"Bearer {token}", Host=host).status_code for host in ("evil.example", "127.0.0.1")] == [421, 200]
        assert post(f"Bearer {token}").status_code == 200
    finally:
        server.kill()
        server.wait()
    assert path.stat().st_mode & 0o777 == 0o600 and len(token) >= 32
    for plant in ("link", "open"):
        path.unlink()
        path.symlink_to(tmp_path / "elsewhere") if plant == "link" else path.write_text(token) or path.chmod(0o644)
        with pytest.raises(ConfigError):
            load_or_create_token(vault.root)
    assert not (tmp_path / "elsewhere").exists()
