# The `tarnel` command installed beside this interpreter, driven as a user
# would: through pipes, and on a pseudo-terminal for its prompts. The module
# reads what the command wrote, and the other way round.

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from human import (KEYRING_SCRIPT, TARNEL, agent_session, converse, end, environment, may_lock_memory,
                   needs_secret_service, needs_tarnel, on_terminal, proc_status, tarnel, terminal)
from vaultkit import PASSPHRASE, Vault, allow_entry, audit_pairs, fp, literal, sealed_allowlist

pytestmark = needs_tarnel

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


# That --help lists every command and option the parser knows is test_cli_completion.py's.
@pytest.mark.parametrize("argv", [[], ["frobnicate"], ["set"], ["ls", "--bogus"], ["completion", "tcsh"]])
def test_help_names_the_exit_codes_and_usage_errors_exit_2(tmp_path, argv):
    shown = subprocess.run([str(TARNEL), "--help"], capture_output=True, text=True).stdout
    assert all(word in shown for word in ["--vault-dir", "Exit codes:", "3  not found", "4  denied"])
    done = tarnel(tmp_path / "vault", *argv)
    assert done.returncode == 2 and done.stderr.startswith(b"tarnel: ") and done.stdout == b""


@pytest.mark.parametrize(("argv", "passphrase", "status", "message"), [
    (["init"], None, 1, "no passphrase: set TARNEL_PASSPHRASE or run on a terminal"),
    (["init"], "", 1, "the passphrase must not be empty"),
    # The option wins over the variable (naming a new root), and init never replaces a vault.
    (["--vault-dir", "MADE", "init"], "another", 1,
     "kdf.salt already exists in the vault root; refusing to replace it"),
    # `get` of a high value through pipes is RevealPolicy's unattended row; its exit code, test_cli_kinds.py's.
    (["rm", "secret:dev/app/none"], PASSPHRASE, 3, "`secret:dev/app/none` not found"),
])
def test_refusals_exit_with_their_code_and_one_message(made, argv, passphrase, status, message):
    root = made.parent / "new" if "init" in argv else made
    done = tarnel(root, *[str(made) if arg == "MADE" else arg for arg in argv], input=b"v", passphrase=passphrase)
    assert (done.returncode, done.stdout, done.stderr) == (status, b"", f"tarnel: {message}\n".encode())
    assert not (made.parent / "new").exists() and Vault.existing(made).read("dev/app/x") is None


def test_set_with_metadata_creates_in_one_audited_write_ls_shows_it_and_rm_deletes(vault):
    at = ["secret:dev/app/token", "--project", "web"]
    done = tarnel(vault.root, "set", *at, "--revealable", "--description", "the web token", input=b"\x00v1\n\n")
    assert done.returncode == 0 and b"v1" not in done.stdout + done.stderr, done.stderr
    # Standard input less one line end, binary as it is.
    assert bytes(vault.read("dev/app/token", project="web")["value"]) == b"\x00v1\n"
    # Over an existing record: the value is replaced, then the metadata edited.
    assert tarnel(vault.root, "set", *at, "--sensitivity", "high", input=b"v2\r\n").returncode == 0
    record = vault.read("dev/app/token", project="web")
    assert (bytes(record["value"]), record["sensitivity"], record["revealable"], record["description"]) == (
        b"v2", "high", True, "the web token")
    vault.write(literal("dev/db/password", b"pw"))
    listed = json.loads(tarnel(vault.root, "ls", "--json", "--project", "web").stdout)
    assert {(entry["coordinate"], entry["origin"], entry["fingerprint"]) for entry in listed} == {
        ("dev/db/password", "global", fp(b"pw")), ("dev/app/token", "project:web", fp(b"v2"))}
    assert tarnel(vault.root, "ls").stdout.decode().split()[:6] == ["COORDINATE", "SENSITIVITY", "MODE", "FINGERPRINT",
                                                                     "ORIGIN", "dev/db/password"]
    assert tarnel(vault.root, "rm", *at).returncode == 0 and vault.read("dev/app/token", project="web") is None
    assert [(e["result"], e["origin"]) for e in vault.audit()] == [("created", "human"), ("value-updated", "human"),
                                                                  ("metadata-updated", "human"), ("deleted", "human")]


# --- prompts on a terminal ------------------------------------------------------

# Ctrl-C at one of these prompts ends the command with 130 and echo back on: test_cli_watch.py, at the same ask_secret.
@pytest.mark.parametrize(("args", "steps", "status", "shows"), [
    # A second passphrase that differs is refused by the same prompt in test_cli_passwd.py.
    (["init"], [("New vault passphrase: ", TYPED), ("Repeat the passphrase: ", TYPED)], 0, b"initialised"),
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
    assert on_terminal(made, *entry) == (0, f"Vault passphrase: \r\nallowed {shown}\r\n".encode())
    assert sealed_allowlist(made, key) == [allow_entry(program, ["log"], True, ["A", "B"])]
    assert tarnel(made, "allowlist", passphrase=None).stdout == f"{shown}\n".encode()
    assert b"runs commands taken from its arguments" in on_terminal(made, "allow", "/bin/sh", "--", "-c", "exit 0")[1]
    assert [on_terminal(made, "disallow", str(program))[0] for _ in "12"] == [0, 3]  # then no longer there
    assert audit_pairs(Vault.existing(made))[-1] == ("scope-grant", f"allowlist-disallow:{program.resolve()}")
    # An allowlist of the earlier one-path-a-line form allows nothing until sealed on a terminal.
    (made / "allowlist").write_text("# trusted\n  /bin/sh  \n")
    assert b"allows nothing until you seal it" in tarnel(made, "allowlist").stderr
    status, text = on_terminal(made, "allowlist", "--seal")
    assert status == 0 and b"sealed 1 entry" in text and sealed_allowlist(made, key) == [allow_entry(SH)]

    # Guards: another process of the user holding the lock hung a change (the lock wait is bounded).
    holder = subprocess.Popen([sys.executable, "-c", "import fcntl, sys, time\nf = open(sys.argv[1], 'a')\n"
                               "fcntl.flock(f, fcntl.LOCK_EX); print(flush=True); time.sleep(60)",
                               str(made / "allowlist.lock")], stdout=subprocess.PIPE, start_new_session=True)
    try:
        holder.stdout.readline()
        status, text = on_terminal(made, "allow", "/bin/true")
    finally:
        end(holder)
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
import glob, json, os, subprocess, sys, threading, time, pexpect
import tarnel_ffi
tarnel, root = sys.argv[1:]
def run(*args, piped=b"", program=tarnel):
    done = subprocess.run([program, *args], input=piped, capture_output=True, start_new_session=True, timeout=60)
    return [done.returncode, done.stdout.decode(), done.stderr.decode()]
seen = {"init": [run("init", "--keyring"), run("init", "--keyring"),
                 run("set", "secret:dev/app/token", "--sensitivity", "high", piped=b"v")], "approve": []}
session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root)
lower = lambda: seen.update(view=session.edit_metadata("secret:dev/app/token", sensitivity="medium")["sensitivity"])
(waiter := threading.Thread(target=lower)).start()
while not (requests := glob.glob(os.path.join(root, "pending", "*.json"))):
    time.sleep(0.01)
for answer in ("wrong", None):
    child = pexpect.spawn(tarnel, ["approve", os.path.basename(requests[0])[:-5]], timeout=30)
    child.expect(r"Type (\w+) to approve: ")
    child.sendline(answer or child.match.group(1).decode())
    child.expect(pexpect.EOF)
    child.close()
    seen["approve"].append(child.exitstatus)
waiter.join(timeout=60)
seen["warning"] = run("--vault-dir", root, "--operations", "metadata",
                      program=os.path.join(os.path.dirname(sys.executable), "tarnel-mcp"))[2]
seen["unlock"], seen["lock"] = run("unlock", "--operations", "metadata", "--idle", "30s"), run("lock")  # no prompt
print(json.dumps(seen))
"""


@needs_secret_service
def test_a_keyring_vault_serves_the_owner_approves_with_a_code_and_unlocks_without_a_prompt(tmp_path):
    env = environment(tmp_path / "vault", passphrase=None)
    del env["DBUS_SESSION_BUS_ADDRESS"]
    process = subprocess.Popen(["sh", str(KEYRING_SCRIPT), sys.executable, "-c", KEYRING, str(TARNEL),
                                env["TARNEL_VAULT_DIR"]], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, start_new_session=True)
    try:
        out, err = process.communicate(timeout=120)
    finally:
        end(process)
    assert out, err.decode()
    seen = json.loads(out.decode().splitlines()[-1])
    assert seen["init"][0][:2] == [0, f"initialised {env['TARNEL_VAULT_DIR']} (key in the system keyring)\n"], err
    assert "the keyring already holds a master key" in seen["init"][1][2] and seen["init"][2][0] == 0
    assert (seen["approve"], seen["view"]) == ([4, 0], "medium")
    assert "key comes from the system keyring, which hands it to any process of this user" in seen["warning"]
    assert "Unlocked `default` for " in seen["unlock"][1] and "Locked `default`" in seen["lock"][1], seen
