# Hostile input through the module: files planted in the vault root by another process
# of the same user, paths from the agent's arguments, two processes with one pid.
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from tarnel_ffi import TarnelError

OPEN = """
import tarnel_ffi, sys
try:
    tarnel_ffi.TarnelSession({"operations": ["metadata"]}, vault_dir=sys.argv[1], passphrase="p")
except tarnel_ffi.TarnelError as error:
    print(error)
"""


# Guards: a FIFO or a link to /dev/zero planted as kdf.salt blocked or exhausted the opening process.
@pytest.mark.parametrize("plant, expected", [
    (lambda salt: os.mkfifo(salt), "kdf.salt in the vault root is not a regular file"),
    (lambda salt: os.symlink("/dev/zero", salt), "kdf.salt in the vault root is not a regular file"),
    (lambda salt: open(salt, "wb").truncate(2**40), "kdf.salt in the vault root is larger than 1024 bytes"),
])
def test_a_special_or_huge_salt_is_refused_at_once(vault, plant, expected):
    (vault.root / "kdf.salt").unlink()
    plant(vault.root / "kdf.salt")
    # In a fresh interpreter, so a call that blocks is killed instead of hanging the suite.
    done = subprocess.run([sys.executable, "-c", OPEN, str(vault.root)], capture_output=True, text=True, timeout=20)
    assert (done.returncode, done.stdout.strip()) == (0, expected)


# Guards: request_secret took project names such as ../x that every write refuses.
@pytest.mark.parametrize("project", ["../x", "a/b", "nul\0byte"])
def test_request_secret_refuses_project_names_a_write_refuses(vault, open_session, project):
    with pytest.raises(TarnelError, match="^vault I/O failed: invalid project name"):
        open_session().request_secret("secret:dev/app/token", project=project)
    assert not (vault.root / "intake").exists()


def can_unshare_pids() -> bool:
    try:
        done = subprocess.run(["unshare", "--pid", "--fork", "sh", "-c", "echo $$"], capture_output=True,
                              text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0 and done.stdout.strip() == "1"


# Guards: requests of two containers that both run as pid 1 got one identifier and replaced each other.
@pytest.mark.skipif(not can_unshare_pids(), reason="needs PID namespaces (unshare as root)")
def test_requests_of_two_processes_that_are_both_pid_1_never_replace_each_other(vault):
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
        runs = [subprocess.Popen(["unshare", "--pid", "--fork", "--kill-child", sys.executable, "-c", script],
                                 env={**os.environ, "WHO": who}, stdout=subprocess.PIPE, text=True)
                for who in ("first", "second")]
        try:
            ids = [run.communicate(timeout=30)[0].strip() for run in runs]
        finally:  # nothing left running when the test fails
            for run in runs:
                run.kill()
                run.wait()
        assert all(run.returncode == 0 for run in runs)
        if ids[0].split("-")[0] == ids[1].split("-")[0]:
            break
    assert all(i.split("-")[1] == "1" for i in ids) and ids[0] != ids[1]
    files = sorted(p.name for p in (vault.root / "intake").iterdir())
    assert files == sorted(i + ".json" for i in ids)
    asked = sorted(json.loads((vault.root / "intake" / f).read_text())["coordinate"] for f in files)
    assert asked == ["secret:dev/app/first", "secret:dev/app/second"]
