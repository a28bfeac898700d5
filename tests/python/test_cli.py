"""The `tarnel` command installed beside this interpreter, driven as a user
would: through pipes, and on a pseudo-terminal for its prompts. Each run is
its own process; the module reads what the command wrote, and the other way
round."""

import json
import os
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from vaultkit import PASSPHRASE, Vault, allow_entry, audit_pairs, fp, literal, sealed_allowlist

# The installed command, or another build of it (e.g. a sanitizer build).
TARNEL = Path(os.environ.get("TARNEL_TEST_CLI") or Path(sys.executable).parent / "tarnel")
KEYRING_SCRIPT = Path(__file__).resolve().parents[1] / "keyring" / "with_secret_service.sh"
# Tests that run KEYRING_SCRIPT's private Secret Service.
needs_secret_service = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("dbus-run-session", "gnome-keyring-daemon", "secret-tool", "gdbus")),
    reason="needs dbus-run-session, gnome-keyring-daemon, secret-tool and gdbus")

pytestmark = pytest.mark.skipif(not TARNEL.exists(),
                                reason=f"tarnel is not installed beside {sys.executable} (pip install .)")

COMMANDS = ["init", "set", "ls", "get", "rm", "ref", "keypair", "totp", "code", "allow", "disallow", "allowlist",
            "audit", "pending", "approve", "deny", "intake", "run", "unlock", "lock", "status", "mcp-entry"]


def environment(root: Path, passphrase: str | None = PASSPHRASE, **extra) -> dict:
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("TARNEL_", "DBUS_", "AWS_"))}
    # Nothing may reach the real home or the real keyring.
    env.update(HOME=str(root.parent / "home"), TARNEL_VAULT_DIR=str(root),
               DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
    if passphrase is not None:
        env["TARNEL_PASSPHRASE"] = passphrase
    env.update(extra)
    return env


def tarnel(root: Path, *args, input: bytes = b"", passphrase: str | None = PASSPHRASE, **extra):
    # A session of its own: no controlling terminal to prompt on.
    return subprocess.run([str(TARNEL), *args], input=input, capture_output=True, timeout=60,
                          env=environment(root, passphrase, **extra), start_new_session=True)


def spawn(root: Path, *args, passphrase: str | None = PASSPHRASE, command=None):
    pexpect = pytest.importorskip("pexpect")
    argv = command or [str(TARNEL), *args]
    return pexpect.spawn(argv[0], argv[1:], env=environment(root, passphrase), timeout=30)


def on_terminal(root: Path, *args, typed: str = PASSPHRASE) -> tuple[int, bytes]:
    """The owner runs a command that asks the vault passphrase on the terminal
    and types it. TARNEL_PASSPHRASE is set (to the right one) and must be ignored."""
    child = spawn(root, *args)
    child.expect("Vault passphrase: ")
    shown = child.before
    child.sendline(typed)
    child.expect(pexpect_eof())
    child.close()
    return child.exitstatus, shown + child.before


def module_session(root: Path, passphrase: str = PASSPHRASE):
    import tarnel_ffi
    return tarnel_ffi.TarnelSession({"operations": ["metadata", "inject", "reveal", "write"]},
                                    vault_dir=str(root), passphrase=passphrase)


def mode_of(path: Path) -> int:
    return stat.S_IMODE(path.stat().st_mode)


# --- the command line itself ------------------------------------------------------

def test_help_on_every_command_and_the_exit_code_table():
    shown = subprocess.run([str(TARNEL), "--help"], capture_output=True, text=True)
    assert shown.returncode == 0
    for word in COMMANDS + ["--vault-dir", "Exit codes:", "3  not found", "4  denied"]:
        assert word in shown.stdout
    for command in COMMANDS:
        sub = subprocess.run([str(TARNEL), command, "--help"], capture_output=True, text=True)
        assert sub.returncode == 0 and "--help" in sub.stdout, command


@pytest.mark.parametrize("argv", [[], ["frobnicate"], ["set"], ["ls", "--bogus"]])
def test_usage_errors_exit_2_with_one_prefixed_message(tmp_path, argv):
    done = tarnel(tmp_path / "vault", *argv)
    assert done.returncode == 2
    assert done.stderr.startswith(b"tarnel: ") and done.stdout == b""


def test_vault_dir_option_wins_over_the_environment(tmp_path):
    chosen = tmp_path / "chosen"
    done = tarnel(tmp_path / "ignored", "--vault-dir", str(chosen), "init")
    assert done.returncode == 0, done.stderr
    assert (chosen / "kdf.salt").exists() and not (tmp_path / "ignored").exists()


# --- init -------------------------------------------------------------------------

def test_init_makes_a_vault_the_module_opens_and_never_replaces_it(tmp_path):
    root = tmp_path / "vault"
    done = tarnel(root, "init")
    assert done.returncode == 0, done.stderr
    salt = (root / "kdf.salt").read_bytes()
    assert len(salt) == 16
    assert mode_of(root / "kdf.salt") == 0o600 and mode_of(root / "kdf.check") == 0o600
    assert (root / "global").is_dir() and (root / "projects").is_dir()
    # The module ignores the check file and derives the same key from the salt.
    assert module_session(root).list() == []

    again = tarnel(root, "init", passphrase="another passphrase")
    assert again.returncode == 1
    assert again.stderr == b"tarnel: kdf.salt already exists in the vault root; refusing to replace it\n"
    assert (root / "kdf.salt").read_bytes() == salt
    assert tarnel(tmp_path / "other", "init").returncode == 0
    assert (tmp_path / "other" / "kdf.salt").read_bytes() != salt


@pytest.mark.parametrize(("passphrase", "message"), [
    (None, b"tarnel: no passphrase: set TARNEL_PASSPHRASE or run on a terminal\n"),
    ("", b"tarnel: the passphrase must not be empty\n"),
])
def test_init_without_a_usable_passphrase_is_an_error(tmp_path, passphrase, message):
    done = tarnel(tmp_path / "vault", "init", passphrase=passphrase)
    assert (done.returncode, done.stderr) == (1, message)
    assert not (tmp_path / "vault" / "kdf.salt").exists()


def test_a_wrong_passphrase_is_reported_as_such(tmp_path):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    assert tarnel(root, "set", "secret:dev/app/token", input=b"v").returncode == 0
    for args in (["ls"], ["get", "secret:dev/app/token"], ["rm", "secret:dev/app/token"]):
        done = tarnel(root, *args, passphrase="not the passphrase")
        assert (done.returncode, done.stderr) == (1, b"tarnel: wrong passphrase\n"), args
    # A vault without the check (made by another writer) still opens.
    assert tarnel(tmp_path / "bare", "ls").returncode == 1
    Vault(tmp_path / "bare")
    assert tarnel(tmp_path / "bare", "ls").returncode == 0


# --- secrets, closing the loop with the module ----------------------------------

@pytest.mark.parametrize(("piped", "stored"), [
    (b"s3cret\n", b"s3cret"), (b"s3cret\r\n", b"s3cret"), (b"two\n\n", b"two\n"),
    (b"no end", b"no end"), (b"\x00\xffbinary\n", b"\x00\xffbinary"),
])
def test_set_reads_standard_input_dropping_one_line_end(vault, piped, stored):
    done = tarnel(vault.root, "set", "secret:dev/app/token", input=piped)
    assert done.returncode == 0, done.stderr
    assert piped not in done.stdout + done.stderr
    assert module_session(vault.root).fingerprint("secret:dev/app/token") == fp(stored)
    assert bytes(vault.read("dev/app/token")["value"]) == stored
    got = tarnel(vault.root, "get", "secret:dev/app/token")
    assert (got.returncode, got.stdout) == (0, stored)


def test_set_with_metadata_creates_the_record_in_one_audited_write(vault):
    done = tarnel(vault.root, "set", "secret:dev/app/token", "--project", "web", "--sensitivity", "low",
                  "--revealable", "--description", "the web token", input=b"v1")
    assert done.returncode == 0, done.stderr
    record = vault.read("dev/app/token", project="web")
    assert (record["sensitivity"], record["revealable"], record["description"]) == ("low", True, "the web token")
    assert vault.read("dev/app/token") is None
    assert audit_pairs(vault) == [("create", "created")]
    assert [entry["origin"] for entry in vault.audit()] == ["human"]
    # Over an existing record: the value is replaced, then the metadata edited.
    done = tarnel(vault.root, "set", "secret:dev/app/token", "--project", "web", "--sensitivity", "high",
                  input=b"v2")
    assert done.returncode == 0, done.stderr
    record = vault.read("dev/app/token", project="web")
    assert (bytes(record["value"]), record["sensitivity"], record["description"]) == (b"v2", "high", "the web token")


def test_set_refuses_a_bad_sensitivity_and_writes_nothing(vault):
    done = tarnel(vault.root, "set", "secret:dev/app/token", "--sensitivity", "secretish", input=b"v")
    assert done.returncode == 1 and done.stderr.startswith(b"tarnel: ")
    assert vault.read("dev/app/token") is None


def test_ls_shows_what_the_module_wrote(vault):
    module_session(vault.root).set("secret:dev/db/password", "pw")
    vault.write(literal("dev/app/token", b"tok", sensitivity="high"), project="web")
    listed = json.loads(tarnel(vault.root, "ls", "--json").stdout)
    assert {(entry["coordinate"], entry["origin"], entry["fingerprint"]) for entry in listed} == {
        ("dev/db/password", "global", fp(b"pw")), ("dev/app/token", "project:web", fp(b"tok"))}
    only_global = json.loads(tarnel(vault.root, "ls", "--json", "--project", "other").stdout)
    assert [entry["coordinate"] for entry in only_global] == ["dev/db/password"]
    table = tarnel(vault.root, "ls").stdout.decode()
    assert table.splitlines()[0].split() == ["COORDINATE", "SENSITIVITY", "MODE", "FINGERPRINT", "ORIGIN"]
    assert "dev/app/token" in table and "pw" not in table.replace("password", "")
    assert tarnel(vault.root, "ls", "--json", "--project", "nobody").returncode == 0


def test_get_and_rm_of_what_is_absent_exit_3(vault):
    for args in (["get", "secret:dev/app/none"], ["rm", "secret:dev/app/none"]):
        done = tarnel(vault.root, *args)
        assert (done.returncode, done.stderr) == (3, b"tarnel: `secret:dev/app/none` not found\n")


def test_rm_deletes_what_set_made(vault):
    assert tarnel(vault.root, "set", "secret:dev/app/token", input=b"v").returncode == 0
    assert tarnel(vault.root, "rm", "secret:dev/app/token").returncode == 0
    assert module_session(vault.root).list() == []
    assert ("delete", "deleted") in audit_pairs(vault)


@pytest.mark.parametrize("path", ["dev/app/high", "prod/app/medium"])
def test_get_unattended_of_a_high_or_prod_value_is_refused(vault, path):
    vault.write(literal(path, b"guarded", sensitivity="high" if "high" in path else "medium"))
    done = tarnel(vault.root, "get", f"secret:{path}")
    assert done.returncode == 4 and done.stdout == b""
    assert done.stderr.startswith(b"tarnel: ") and b"guarded" not in done.stderr


# --- prompts on a terminal ------------------------------------------------------

def test_init_asks_twice_without_echo(tmp_path):
    root = tmp_path / "vault"
    child = spawn(root, "init", passphrase=None)
    child.expect("New vault passphrase: ")
    child.sendline("typed passphrase")
    child.expect("Repeat the passphrase: ")
    child.sendline("typed passphrase")
    child.expect(pexpect_eof())
    child.close()
    assert child.exitstatus == 0
    assert b"typed passphrase" not in child.before
    assert module_session(root, "typed passphrase").list() == []


def test_init_with_mismatched_passphrases_writes_nothing(tmp_path):
    root = tmp_path / "vault"
    child = spawn(root, "init", passphrase=None)
    child.expect("New vault passphrase: ")
    child.sendline("one")
    child.expect("Repeat the passphrase: ")
    child.sendline("two")
    child.expect("tarnel: the passphrases do not match")
    child.expect(pexpect_eof())
    child.close()
    assert child.exitstatus == 1
    assert not (root / "kdf.salt").exists()


def test_ctrl_c_at_the_prompt_leaves_echo_on(tmp_path):
    # The shell outlives the interrupted command and reports the terminal's mode.
    script = f'trap : INT; "{TARNEL}" init; echo "status=$?"; stty -a'
    child = spawn(tmp_path / "vault", passphrase=None, command=["/bin/sh", "-c", script])
    child.expect("New vault passphrase: ")
    child.sendintr()
    child.expect(r"status=(\d+)")
    assert child.match.group(1) == b"130"
    child.expect(pexpect_eof())
    modes = child.before.split()
    assert b"echo" in modes and b"-echo" not in modes


def test_passphrase_asked_once_on_the_terminal(tmp_path):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    assert tarnel(root, "set", "secret:dev/app/token", input=b"v").returncode == 0
    child = spawn(root, "ls", passphrase=None)
    child.expect("Vault passphrase: ")
    child.sendline("wrong one")
    child.expect("tarnel: wrong passphrase")
    child.expect(pexpect_eof())
    child.close()
    assert child.exitstatus == 1

    child = spawn(root, "ls", passphrase=None)
    child.expect("Vault passphrase: ")
    child.sendline(PASSPHRASE)
    child.expect("dev/app/token")
    child.expect(pexpect_eof())
    child.close()
    assert child.exitstatus == 0
    assert b"Vault passphrase" not in child.before


def test_set_on_a_terminal_asks_for_the_value_without_echo(vault):
    child = spawn(vault.root, "set", "secret:dev/app/token")
    child.expect("Value for secret:dev/app/token: ")
    if may_lock_memory():
        # What it holds while it asks (the key, and soon the value) stays out of swap.
        assert locked_kib(child.pid) > 0
    child.sendline("typed value")
    child.expect(pexpect_eof())
    child.close()
    assert child.exitstatus == 0 and b"typed value" not in child.before
    assert module_session(vault.root).fingerprint("secret:dev/app/token") == fp(b"typed value")


def may_lock_memory() -> bool:
    # What tarnel itself checks: an unlimited lock limit or CAP_IPC_LOCK.
    # AddressSanitizer makes mlockall a no-op, so a sanitizer build locks nothing.
    import resource
    if b"__asan_init" in TARNEL.read_bytes():
        return False
    if resource.getrlimit(resource.RLIMIT_MEMLOCK)[0] == resource.RLIM_INFINITY:
        return True
    status = Path("/proc/self/status").read_text()
    capabilities = next(line for line in status.splitlines() if line.startswith("CapEff:"))
    return bool(int(capabilities.split()[1], 16) >> 14 & 1)


def locked_kib(pid: int) -> int:
    # The command works in a child of the process started, forked once that is non-dumpable.
    worker = int(Path(f"/proc/{pid}/task/{pid}/children").read_text().split()[0])
    status = Path(f"/proc/{worker}/status").read_text()
    return int(next(line for line in status.splitlines() if line.startswith("VmLck:")).split()[1])


@pytest.mark.parametrize(("answer", "status"), [("yes", 0), ("no", 4)])
def test_get_on_a_terminal_confirms_a_high_value(vault, answer, status):
    vault.write(literal("dev/app/high", b"guarded", sensitivity="high"))
    child = spawn(vault.root, "get", "secret:dev/app/high")
    child.expect("Type yes to approve: ")
    child.sendline(answer)
    child.expect(pexpect_eof())
    child.close()
    assert child.exitstatus == status
    assert (b"guarded" in child.before) == (status == 0)
    expected = ("approve", "approved-reveal") if status == 0 else ("deny", "denied-reveal")
    assert expected in audit_pairs(vault)


def pexpect_eof():
    import pexpect
    return pexpect.EOF


# --- the allowlist ----------------------------------------------------------------

def test_allow_and_disallow_seal_the_file_with_the_owners_key(tmp_path):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    vault = Vault.existing(root)
    program = tmp_path / "tool"
    program.write_text("#!/bin/sh\n")
    (tmp_path / "link").symlink_to(program)
    entry = ["allow", str(tmp_path / "link"), "--env", "B", "--env", "A", "--", "log", "*"]
    shown = f"{program.resolve()} --env A --env B -- log *"

    blind = tarnel(root, *entry)
    assert (blind.returncode, blind.stderr) == (
        4, b"tarnel: this needs a terminal, where you type the vault passphrase; nothing allowed\n")
    assert on_terminal(root, *entry) == (0, f"\r\nallowed {shown}\r\n".encode())
    assert on_terminal(root, *entry)[1].endswith(f"already allowed: {shown}\r\n".encode())
    assert sealed_allowlist(root, vault.key) == [allow_entry(program, ["log"], True, ["A", "B"])]
    assert mode_of(root / "allowlist") == 0o600
    assert tarnel(root, "allowlist", passphrase=None).stdout == f"{shown}\n".encode()

    warned = on_terminal(root, "allow", "/bin/sh", "--", "-c", "exit 0")[1]
    assert b"runs commands taken from its arguments" in warned
    assert on_terminal(root, "disallow", str(program))[0] == 0
    assert sealed_allowlist(root, vault.key) == [allow_entry("/bin/sh", ["-c", "exit 0"], False)]
    missing = on_terminal(root, "disallow", str(program))
    assert missing[0] == 3 and b"not in the allowlist" in missing[1]
    assert tarnel(root, "allow", str(tmp_path / "nothing")).returncode == 1
    assert audit_pairs(vault)[-3:] == [("scope-grant", f"allowlist-allow:{shown}"),
                                       ("scope-grant", f"allowlist-allow:{Path('/bin/sh').resolve()} -- -c exit 0"),
                                       ("scope-grant", f"allowlist-disallow:{program.resolve()}")]

    # Another process of the user holding the lock delays a change, and never hangs it.
    holder = subprocess.Popen([sys.executable, "-c", "import fcntl, sys, time\n"
                               "f = open(sys.argv[1], 'a'); fcntl.flock(f, fcntl.LOCK_EX); print(flush=True)\n"
                               "time.sleep(60)", str(root / "allowlist.lock")], stdout=subprocess.PIPE)
    try:
        holder.stdout.readline()
        status, shown = on_terminal(root, "allow", "/bin/true")
    finally:
        holder.kill()
        holder.wait()
    assert status == 1 and b"another process holds" in shown and b"nothing changed" in shown, shown
    assert sealed_allowlist(root, vault.key) == [allow_entry("/bin/sh", ["-c", "exit 0"], False)]


def test_an_allowlist_of_the_earlier_form_is_adopted_only_by_sealing_it_on_a_terminal(tmp_path):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    vault = Vault.existing(root)
    (root / "allowlist").write_text("# trusted\n  /usr/bin/env  \n")
    env = Path("/usr/bin/env").resolve()

    listed = tarnel(root, "allowlist")
    assert listed.stdout == f"{env} -- *\n".encode() and b"allows nothing until you seal it" in listed.stderr
    refused = on_terminal(root, "allow", "/bin/true")
    assert refused[0] == 4 and b"earlier one-path-a-line form" in refused[1]
    assert tarnel(root, "allowlist", "--seal").returncode == 4  # no terminal

    status, shown = on_terminal(root, "allowlist", "--seal")
    assert status == 0 and f"{env} -- *".encode() in shown and b"sealed 1 entry" in shown
    assert sealed_allowlist(root, vault.key) == [allow_entry(env)]
    assert on_terminal(root, "allowlist", "--seal")[1].endswith(b"already sealed\r\n")
    assert audit_pairs(vault)[-2:] == [("deny", "allowlist-refused:unsealed"), ("scope-grant", "allowlist-seal:1 entries")]


# --- the keyring ------------------------------------------------------------------

@needs_secret_service
def test_init_keyring_on_a_private_secret_service(tmp_path):
    root = tmp_path / "vault"
    script = (f'"{TARNEL}" init --keyring && printf v | "{TARNEL}" set secret:dev/app/token && '
              f'"{TARNEL}" get secret:dev/app/token && echo && "{TARNEL}" init --keyring; echo "status=$?"')
    env = environment(root, passphrase=None)
    del env["DBUS_SESSION_BUS_ADDRESS"]
    done = subprocess.run(["sh", str(KEYRING_SCRIPT), "sh", "-c", script], capture_output=True, env=env,
                          timeout=120, start_new_session=True)
    out = done.stdout.decode()
    assert "set dev/app/token (medium" in out and "\nv\n" in out, done.stderr
    assert "status=1" in out
    assert b"tarnel: the keyring already holds a master key; refusing to replace it" in done.stderr
    assert not (root / "kdf.salt").exists() and (root / "global").is_dir()


def test_an_unwritable_standard_error_loses_the_message_not_the_exit_code(vault):
    # The message used to throw out of the error path and abort (134).
    with open("/dev/full", "wb") as full:
        done = subprocess.run([str(TARNEL), "get", "secret:dev/none/x"], stderr=full, stdout=subprocess.DEVNULL,
                              env=environment(vault.root), timeout=60, start_new_session=True)
    assert done.returncode == 3
