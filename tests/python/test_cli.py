# The `tarnel` command installed beside this interpreter, driven as a user
# would: through pipes, and on a pseudo-terminal for its prompts. The module
# reads what the command wrote, and the other way round.

import contextlib
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from human import (KEYRING_SCRIPT, TARNEL, agent_session, converse, environment, may_lock_memory, needs_secret_service,
                   needs_tarnel, on_terminal, proc_status, tarnel, terminal)
from vaultkit import PASSPHRASE, Vault, allow_entry, audit_pairs, fp, literal, sealed_allowlist

__all__ = ["TARNEL", "on_terminal", "tarnel"]  # other suites drive the command through these
pytestmark = needs_tarnel

COMMANDS = ["init", "set", "ls", "get", "rm", "ref", "keypair", "totp", "code", "allow", "disallow", "allowlist",
            "audit", "pending", "approve", "deny", "intake", "run", "unlock", "lock", "status", "mcp-entry"]
TYPED = "typed passphrase"
SH = os.path.realpath("/bin/sh")


@pytest.fixture
def made(tmp_path):
    # A vault made by `tarnel init` (with its passphrase check), a medium and a high value in it.
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    assert tarnel(root, "set", "secret:dev/app/token", input=b"v").returncode == 0
    assert tarnel(root, "set", "secret:dev/app/high", "--sensitivity", "high", input=b"guarded").returncode == 0
    return root


@pytest.mark.parametrize("argv", [[], ["frobnicate"], ["set"], ["ls", "--bogus"]])
def test_help_on_every_command_and_usage_errors_exit_2(tmp_path, argv):
    shown = subprocess.run([str(TARNEL), "--help"], capture_output=True, text=True).stdout
    assert all(word in shown for word in COMMANDS + ["--vault-dir", "Exit codes:", "3  not found", "4  denied"])
    assert all("--help" in tarnel(tmp_path, command, "--help").stdout.decode() for command in COMMANDS)
    done = tarnel(tmp_path / "vault", *argv)
    assert done.returncode == 2 and done.stderr.startswith(b"tarnel: ") and done.stdout == b""


def test_init_makes_a_vault_the_module_opens_and_never_replaces_it(tmp_path):
    root = tmp_path / "vault"
    done = tarnel(tmp_path / "ignored", "--vault-dir", str(root), "init")  # the option wins over the variable
    assert done.returncode == 0 and not (tmp_path / "ignored").exists(), done.stderr
    salt = (root / "kdf.salt").read_bytes()
    assert len(salt) == 16 and {(root / name).stat().st_mode & 0o777 for name in ("kdf.salt", "kdf.check")} == {0o600}
    assert (root / "global").is_dir() and (root / "projects").is_dir() and agent_session(root).list() == []
    again = tarnel(root, "init", passphrase="another passphrase")
    assert (again.returncode, again.stderr) == (
        1, b"tarnel: kdf.salt already exists in the vault root; refusing to replace it\n")
    assert (root / "kdf.salt").read_bytes() == salt
    assert tarnel(tmp_path / "other", "init").returncode == 0 and (tmp_path / "other/kdf.salt").read_bytes() != salt


@pytest.mark.parametrize(("argv", "passphrase", "status", "message"), [
    (["init"], None, 1, "no passphrase: set TARNEL_PASSPHRASE or run on a terminal"),
    (["init"], "", 1, "the passphrase must not be empty"),
    (["get", "secret:dev/app/token"], "not the passphrase", 1, "wrong passphrase"),
    (["get", "secret:dev/app/none"], PASSPHRASE, 3, "`secret:dev/app/none` not found"),
    (["rm", "secret:dev/app/none"], PASSPHRASE, 3, "`secret:dev/app/none` not found"),
    (["get", "secret:dev/app/high"], PASSPHRASE, 4, "reveal requires attended confirmation (not available over MCP)"),
    (["set", "secret:dev/app/x", "--sensitivity", "secretish"], PASSPHRASE, 1,
     "unknown sensitivity `secretish` (expected low|medium|high|inject-only)"),
])
def test_refusals_exit_with_their_code_and_one_message(made, argv, passphrase, status, message):
    root = made.parent / "new" if argv == ["init"] else made
    done = tarnel(root, *argv, input=b"v", passphrase=passphrase)
    assert (done.returncode, done.stdout, done.stderr) == (status, b"", f"tarnel: {message}\n".encode())
    assert not (made.parent / "new").exists() and Vault.existing(made).read("dev/app/x") is None


@pytest.mark.parametrize(("piped", "stored"), [(b"s3cret\r\n", b"s3cret"), (b"two\n\n", b"two\n"),
                                               (b"no end", b"no end"), (b"\x00\xffbinary\n", b"\x00\xffbinary")])
def test_set_reads_standard_input_dropping_one_line_end(vault, piped, stored):
    done = tarnel(vault.root, "set", "secret:dev/app/token", input=piped)
    assert done.returncode == 0 and piped not in done.stdout + done.stderr, done.stderr
    assert agent_session(vault.root).fingerprint("secret:dev/app/token") == fp(stored)
    assert bytes(vault.read("dev/app/token")["value"]) == tarnel(vault.root, "get", "secret:dev/app/token").stdout \
        == stored


def test_set_with_metadata_creates_in_one_audited_write_ls_shows_it_and_rm_deletes(vault):
    at = ["secret:dev/app/token", "--project", "web"]
    assert tarnel(vault.root, "set", *at, "--sensitivity", "low", "--revealable", "--description", "the web token",
                  input=b"v1").returncode == 0
    assert [(e["action"], e["result"], e["origin"]) for e in vault.audit()] == [("create", "created", "human")]
    # Over an existing record: the value is replaced, then the metadata edited.
    assert tarnel(vault.root, "set", *at, "--sensitivity", "high", input=b"v2").returncode == 0
    record = vault.read("dev/app/token", project="web")
    assert (bytes(record["value"]), record["sensitivity"], record["revealable"], record["description"]) == (
        b"v2", "high", True, "the web token")
    vault.write(literal("dev/db/password", b"pw"))
    listed = json.loads(tarnel(vault.root, "ls", "--json", "--project", "web").stdout)
    assert {(entry["coordinate"], entry["origin"], entry["fingerprint"]) for entry in listed} == {
        ("dev/db/password", "global", fp(b"pw")), ("dev/app/token", "project:web", fp(b"v2"))}
    table = tarnel(vault.root, "ls").stdout.decode()
    assert table.splitlines()[0].split() == ["COORDINATE", "SENSITIVITY", "MODE", "FINGERPRINT", "ORIGIN"]
    assert "dev/app/token" in table and "v2" not in table
    assert tarnel(vault.root, "rm", *at).returncode == 0 and audit_pairs(vault)[-1] == ("delete", "deleted")
    assert vault.read("dev/app/token", project="web") is None


# --- prompts on a terminal ------------------------------------------------------

@pytest.mark.parametrize(("args", "steps", "status", "shows"), [
    (["init"], [("New vault passphrase: ", TYPED), ("Repeat the passphrase: ", TYPED)], 0, b"initialised"),
    (["init"], [("New vault passphrase: ", TYPED), ("Repeat the passphrase: ", "two")], 1,
     b"tarnel: the passphrases do not match"),
    (["ls"], [("Vault passphrase: ", TYPED)], 1, b"tarnel: wrong passphrase"),
    (["get", "secret:dev/app/high"], [("Vault passphrase: ", PASSPHRASE), ("Type yes to approve: ", "no")], 4,
     b"tarnel: reveal not confirmed"),
    (["get", "secret:dev/app/high"], [("Vault passphrase: ", PASSPHRASE), ("Type yes to approve: ", "yes")], 0,
     b"guarded"),
])
def test_prompts_ask_once_without_echo(made, args, steps, status, shows):
    root = made.parent / "new" if args == ["init"] else made
    done, shown = converse(root, *args, steps=steps, passphrase=None)
    assert done == status and shows in shown, shown
    assert TYPED.encode() not in shown and PASSPHRASE.encode() not in shown
    assert all(shown.count(prompt.encode()) == 1 for prompt, _ in steps)
    if args == ["init"]:
        assert (root / "kdf.salt").exists() == (status == 0) and (status or agent_session(root, TYPED).list() == [])
    else:
        assert (args[0] == "ls") or (("approve", "approved-reveal") if status == 0 else ("deny", "denied-reveal")) \
            in audit_pairs(Vault.existing(made))


def test_ctrl_c_at_the_prompt_leaves_echo_on(tmp_path):
    # The shell outlives the interrupted command and reports the terminal's mode.
    script = f'trap : INT; "{TARNEL}" init; echo "status=$?"; stty -a'
    with terminal(tmp_path / "vault", passphrase=None, command=["/bin/sh", "-c", script]) as child:
        child.expect("New vault passphrase: ")
        child.sendintr()
        child.expect(r"status=(\d+)")
        assert child.match.group(1) == b"130"
        child.expect(pytest.importorskip("pexpect").EOF)
    assert b"echo" in child.before.split() and b"-echo" not in child.before.split()


# Guards: a sanitizer build of tarnel cannot lock memory (may_lock_memory knows it), and a fork inherits no locks.
def test_set_on_a_terminal_asks_for_the_value_without_echo_holding_its_memory_locked(vault):
    with terminal(vault.root, "set", "secret:dev/app/token") as child:
        child.expect("Value for secret:dev/app/token: ")
        if may_lock_memory():
            # The command works in a child forked once it is non-dumpable; what that holds stays out of swap.
            worker = int(Path(f"/proc/{child.pid}/task/{child.pid}/children").read_text().split()[0])
            assert int(proc_status(worker, "VmLck")) > 0
        child.sendline("typed value")
        child.expect(pytest.importorskip("pexpect").EOF)
        assert b"typed value" not in child.before
    assert child.exitstatus == 0 and agent_session(vault.root).fingerprint("secret:dev/app/token") == fp(b"typed value")


# --- the allowlist ----------------------------------------------------------------

# Guards: an entry naming a link followed it wherever it was repointed (entries are sealed canonical).
def test_allow_disallow_and_allowlist_seal_the_file_with_the_owners_key_on_a_terminal(made, tmp_path):
    key = Vault.existing(made).key
    program = tmp_path / "tool"
    program.write_text("#!/bin/sh\n")
    (tmp_path / "link").symlink_to(program)
    entry = ["allow", str(tmp_path / "link"), "--env", "B", "--env", "A", "--", "log", "*"]
    shown = f"{program.resolve()} --env A --env B -- log *"
    assert tarnel(made, *entry).stderr == (
        b"tarnel: this needs a terminal, where you type the vault passphrase; nothing allowed\n")
    assert on_terminal(made, *entry) == (0, f"Vault passphrase: \r\nallowed {shown}\r\n".encode())
    assert sealed_allowlist(made, key) == [allow_entry(program, ["log"], True, ["A", "B"])]
    assert (made / "allowlist").stat().st_mode & 0o777 == 0o600
    assert tarnel(made, "allowlist", passphrase=None).stdout == f"{shown}\n".encode()
    assert b"runs commands taken from its arguments" in on_terminal(made, "allow", "/bin/sh", "--", "-c", "exit 0")[1]
    assert on_terminal(made, "disallow", str(program))[0] == 0
    assert on_terminal(made, "disallow", str(program))[0] == 3  # no longer there
    assert audit_pairs(Vault.existing(made))[-3:] == [
        ("scope-grant", f"allowlist-allow:{shown}"), ("scope-grant", f"allowlist-allow:{SH} -- -c exit 0"),
        ("scope-grant", f"allowlist-disallow:{program.resolve()}")]
    # An allowlist of the earlier one-path-a-line form allows nothing until sealed on a terminal.
    (made / "allowlist").write_text("# trusted\n  /bin/sh  \n")
    assert b"allows nothing until you seal it" in tarnel(made, "allowlist").stderr
    assert b"earlier one-path-a-line form" in on_terminal(made, "allow", "/bin/true")[1]
    status, text = on_terminal(made, "allowlist", "--seal")
    assert status == 0 and b"sealed 1 entry" in text and sealed_allowlist(made, key) == [allow_entry(SH)]

    # Guards: another process of the user holding the lock hung a change (the lock wait is bounded).
    holder = subprocess.Popen([sys.executable, "-c", "import fcntl, sys, time\nf = open(sys.argv[1], 'a')\n"
                               "fcntl.flock(f, fcntl.LOCK_EX); print(flush=True); time.sleep(60)",
                               str(made / "allowlist.lock")], stdout=subprocess.PIPE)
    try:
        holder.stdout.readline()
        status, text = on_terminal(made, "allow", "/bin/true")
    finally:
        holder.kill()
        holder.wait()
    assert status == 1 and b"another process holds" in text and b"nothing changed" in text, text
    assert sealed_allowlist(made, key) == [allow_entry(SH)]


def test_an_unwritable_standard_error_loses_the_message_not_the_exit_code(vault):
    # Guards: the message threw out of the error path and aborted (134).
    with open("/dev/full", "wb") as full:
        done = subprocess.run([str(TARNEL), "get", "secret:dev/none/x"], stderr=full, stdout=subprocess.DEVNULL,
                              env=environment(vault.root), timeout=60, start_new_session=True)
    assert done.returncode == 3


# --- a keyring vault, on a private Secret Service ------------------------------

# The owner's commands, the module waiting on a downgrade the owner approves by
# typing back a code, the server's warning, and an unlock that asks nothing.
KEYRING = r"""
import json, os, subprocess, sys, threading, time, pexpect
import tarnel_ffi
tarnel, root, initialize = sys.argv[1:]
server, seen = os.path.join(os.path.dirname(sys.executable), "tarnel-mcp"), {}
def run(*args, piped=b""):
    done = subprocess.run([tarnel, *args], input=piped, capture_output=True, start_new_session=True, timeout=60)
    return [done.returncode, done.stdout.decode(), done.stderr.decode()]
seen["init"] = [run("init", "--keyring"), run("init", "--keyring"),
                run("set", "secret:dev/app/token", "--sensitivity", "high", piped=b"v")]
session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root)
lower = lambda: seen.update(view=session.edit_metadata("secret:dev/app/token", sensitivity="medium")["sensitivity"])
(waiter := threading.Thread(target=lower)).start()
pending = os.path.join(root, "pending")
while not (os.path.isdir(pending) and any(n.endswith(".json") for n in os.listdir(pending))):
    time.sleep(0.01)
request, seen["approve"] = next(n for n in os.listdir(pending) if n.endswith(".json"))[:-5], []
for answer in ("wrong", None):
    child = pexpect.spawn(tarnel, ["approve", request], timeout=30)
    child.expect(r"Type (\w+) to approve: ")
    child.sendline(answer or child.match.group(1).decode())
    child.expect(pexpect.EOF)
    child.close()
    seen["approve"].append(child.exitstatus)
waiter.join(timeout=60)
served = subprocess.run([server, "--vault-dir", root, "--operations", "metadata"], stdin=subprocess.DEVNULL,
                        capture_output=True, timeout=60)
seen["warning"] = [line for line in served.stderr.decode().splitlines() if "keyring" in line]
seen["unlock"] = run("unlock", "--operations", "metadata", "--idle", "30s")  # no terminal, nothing asked
try:
    relay = subprocess.Popen([server, "--connect"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    relay.stdin.write(initialize.encode() + b'{"jsonrpc":"2.0","method":"notifications/initialized"}\n{"jsonrpc":'
                      b'"2.0","id":2,"method":"tools/call","params":{"name":"list_secrets","arguments":{}}}\n')
    relay.stdin.flush()
    seen["listed"] = [relay.stdout.readline(), json.loads(relay.stdout.readline())["result"]["structuredContent"]][1]
    relay.kill()
finally:
    seen["lock"] = run("lock")
print(json.dumps(seen))
"""
KEYRING_WARNING = ("tarnel-mcp: warning: this vault's key comes from the system keyring, which hands it to any "
                   "process of this user that asks; an agent with a shell as this user can take it and approve its "
                   "own requests. Against such agents use a vault with a passphrase (tarnel init)")


@needs_secret_service
def test_a_keyring_vault_serves_the_owner_approves_with_a_code_and_unlocks_without_a_prompt(tmp_path):
    from mcpkit import INITIALIZE
    env = environment(tmp_path / "vault", passphrase=None)
    del env["DBUS_SESSION_BUS_ADDRESS"]
    process = subprocess.Popen(["sh", str(KEYRING_SCRIPT), sys.executable, "-c", KEYRING, str(TARNEL),
                                env["TARNEL_VAULT_DIR"], INITIALIZE], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, start_new_session=True)
    try:
        out, err = process.communicate(timeout=120)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    assert out, err.decode()
    seen = json.loads(out.decode().splitlines()[-1])
    assert seen["init"][:2] == [[0, f"initialised {env['TARNEL_VAULT_DIR']} (key in the system keyring)\n", ""], [
        1, "", "tarnel: the keyring already holds a master key; refusing to replace it\n"]], err
    assert seen["init"][2][1].startswith("set dev/app/token (high")
    assert (seen["approve"], seen["view"], seen["warning"]) == ([4, 0], "medium", [KEYRING_WARNING])
    assert seen["unlock"][0] == 0 and seen["unlock"][1].startswith("Unlocked `default` for "), seen["unlock"]
    assert [view["coordinate"] for view in seen["listed"]["secrets"]] == ["dev/app/token"]
    assert seen["lock"][1].startswith("Locked `default`")
