"""Hostile input from the agent's arguments, the server's configuration and
files planted in the vault root by another process of the same user."""
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import tarnel_ffi
from tarnel_ffi import TarnelError

from vaultkit import literal

C = "secret:dev/app/token"


# --- sizes the agent controls -------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda s: s.generate(C, length=2**40), "length must be at most 65536"),
    (lambda s: s.generate(C, length=2**70), "length must be at most 65536"),
    (lambda s: s.generate(C, length=2**64), "length must be at most 65536"),
    (lambda s: s.generate(C, length=65537), "length must be at most 65536"),
    (lambda s: s.set(C, "v" * (2**20 + 1)), "value must be at most 1048576 bytes"),
    (lambda s: s.generate(C, description="d" * (2**16 + 1)), "`description` must be at most 65536 bytes"),
    (lambda s: s.edit_metadata(C, reference="r" * 4097), "`reference` must be at most 4096 bytes"),
    (lambda s: s.status("secret:dev/app/" + "k" * 5000), "`coordinate` must be at most 4096 bytes"),
    (lambda s: s.generate(C, sensitivity="x" * 10**6), "`sensitivity` must be at most 64 bytes"),
    (lambda s: s.request_secret(C, client_identity="c" * 5000), "`client_identity` must be at most 4096 bytes"),
    (lambda s: s.status(C, project="p" * 10**6), "vault I/O failed: invalid project name: longer than 255 bytes"),
])
def test_oversized_arguments_are_refused_naming_the_bound(vault, open_session, call, message):
    vault.write(literal("dev/app/token", b"v"))
    before = sorted(p.name for p in vault.dir().iterdir())
    with pytest.raises(TarnelError) as raised:
        call(open_session())
    assert str(raised.value) == message
    assert type(raised.value) is TarnelError
    assert sorted(p.name for p in vault.dir().iterdir()) == before
    assert not (vault.root / "intake").exists()


def test_the_largest_allowed_sizes_still_work(vault, open_session):
    session = open_session()
    session.generate(C, length=65536, description="d" * 2**16)
    session.set("secret:dev/app/big", "v" * 2**20)
    assert vault.read("dev/app/big")["value"] == list(b"v" * 2**20)


# --- text that becomes a path -------------------------------------------------

def test_a_nul_in_vault_dir_is_refused_before_the_disk_is_touched(vault):
    salt = (vault.root / "kdf.salt").read_bytes()
    with pytest.raises(TarnelError, match="^invalid vault directory: a path must not contain NUL$"):
        tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=str(vault.root / "kdf.salt") + "\0",
                                 passphrase=vault.passphrase)
    assert (vault.root / "kdf.salt").read_bytes() == salt
    assert sorted(p.name for p in vault.root.iterdir()) == ["kdf.salt"]


@pytest.mark.parametrize("project", ["../x", "/", "a/b", ".", "..", "nul\0byte"])
def test_request_secret_refuses_project_names_a_write_refuses(vault, open_session, project):
    with pytest.raises(TarnelError, match="^vault I/O failed: invalid project name"):
        open_session().request_secret(C, project=project)
    assert not (vault.root / "intake").exists()
    assert not (vault.root.parent / "x").exists()


# --- files planted in the vault root ------------------------------------------

def run_isolated(vault, body: str) -> str:
    """Runs body in a fresh interpreter with `session` opened (or opening) on
    the vault; a call that blocks is killed after 20 s instead of hanging the suite."""
    script = textwrap.dedent(f"""
        import tarnel_ffi
        root, phrase = {str(vault.root)!r}, {vault.passphrase!r}
        def open_session():
            return tarnel_ffi.TarnelSession({{"operations": ["metadata", "reveal", "write"]}},
                                            vault_dir=root, passphrase=phrase)
    """) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=20)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("plant, expected", [
    (lambda salt: os.mkfifo(salt), "kdf.salt in the vault root is not a regular file"),
    (lambda salt: os.symlink("/dev/zero", salt), "kdf.salt in the vault root is not a regular file"),
    (lambda salt: open(salt, "wb").truncate(2**40), "kdf.salt in the vault root is larger than 1024 bytes"),
])
def test_a_special_or_huge_salt_is_refused_at_once(vault, plant, expected):
    salt = vault.root / "kdf.salt"
    salt.unlink()
    plant(salt)
    out = run_isolated(vault, """
        try:
            open_session()
        except tarnel_ffi.TarnelError as error:
            print(error)
    """)
    assert out.strip() == expected


def test_special_and_huge_record_files_are_refused_at_once(vault):
    vault.write(literal("dev/app/kept", b"v", revealable=True))
    fifo = vault.path_of("dev/app/fifo")
    os.mkfifo(fifo)
    huge = vault.path_of("dev/app/huge")
    with open(huge, "wb") as f:
        f.truncate(2**40)
    out = run_isolated(vault, """
        session = open_session()
        print([view["coordinate"] for view in session.list()])
        for name in ("fifo", "huge"):
            try:
                session.status("secret:dev/app/" + name)
            except tarnel_ffi.TarnelError as error:
                print(error)
    """)
    listed, fifo_error, huge_error = out.strip().splitlines()
    assert listed == "['dev/app/kept']"
    assert fifo_error == f'vault I/O failed: read record: "{fifo}": not a regular file'
    assert huge_error == f'vault I/O failed: read record: "{huge}": larger than 33554432 bytes'


def test_links_planted_for_the_audit_log_and_requests_write_nothing_outside(vault, open_session, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "target").write_text("untouched")
    os.symlink(outside / "target", vault.root / "audit.log")
    os.symlink(outside, vault.root / "intake")
    vault.write(literal("dev/app/token", b"v", revealable=True))
    session = open_session()
    assert session.reveal(C) == b"v"
    with pytest.raises(TarnelError, match="Not a directory"):
        session.request_secret("secret:dev/app/asked")
    (vault.root / "audit.log").unlink()
    os.symlink(outside / "made-by-the-log", vault.root / "audit.log")
    session.reveal(C)
    assert sorted(p.name for p in outside.iterdir()) == ["target"]
    assert (outside / "target").read_text() == "untouched"


# --- two processes with one pid -----------------------------------------------

def can_unshare_pids() -> bool:
    try:
        done = subprocess.run(["unshare", "--pid", "--fork", "sh", "-c", "echo $$"], capture_output=True,
                              text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0 and done.stdout.strip() == "1"


@pytest.mark.skipif(not can_unshare_pids(), reason="needs PID namespaces (unshare as root)")
def test_requests_of_two_processes_that_are_both_pid_1_never_replace_each_other(vault):
    """Two containers sharing a vault both run as pid 1: their identifiers
    agree within a second, and neither request may replace the other's."""
    script = textwrap.dedent(f"""
        import os, time, tarnel_ffi
        assert os.getpid() == 1
        session = tarnel_ffi.TarnelSession({{"operations": ["write"]}}, vault_dir={str(vault.root)!r},
                                           passphrase={vault.passphrase!r})
        # Start on a fresh second, so both processes get the same one.
        time.sleep(1 - time.time() % 1)
        print(session.request_secret("secret:dev/app/" + os.environ["WHO"]))
    """)
    for _ in range(5):
        shutil.rmtree(vault.root / "intake", ignore_errors=True)
        runs = [subprocess.Popen(["unshare", "--pid", "--fork", sys.executable, "-c", script],
                                 env={**os.environ, "WHO": who}, stdout=subprocess.PIPE, text=True)
                for who in ("first", "second")]
        ids = [run.communicate(timeout=30)[0].strip() for run in runs]
        assert all(run.returncode == 0 for run in runs)
        if ids[0].split("-")[0] == ids[1].split("-")[0]:
            break
    assert all(i.split("-")[1] == "1" for i in ids)
    assert ids[0] != ids[1]
    files = sorted(p.name for p in (vault.root / "intake").iterdir())
    assert files == sorted(i + ".json" for i in ids)
    asked = sorted(json.loads((vault.root / "intake" / f).read_text())["coordinate"] for f in files)
    assert asked == ["secret:dev/app/first", "secret:dev/app/second"]
