# `tarnel check` over vaults the owner's commands and an agent made: a clean one
# and its copies check clean; each file another process could plant, damage,
# move or leave behind is named with its path, the check exits 1, and nothing
# on disk is changed by it.

import json
import os
import shutil
import stat
import subprocess
from pathlib import Path

import pytest
from blake3 import blake3

from human import agent_session, needs_tarnel, on_terminal, tarnel
from vaultkit import PASSPHRASE, REQUEST_CONTEXT, Vault, seal

pytestmark = needs_tarnel

VALUES = (b"value-7c1f-first", b"value-7c1f-second")


def record_file(canonical_path: str, folder: str = "global") -> str:
    return f"{folder}/{blake3(canonical_path.encode()).hexdigest()}.sec"


TOKEN = record_file("dev/app/token")


@pytest.fixture(scope="module")
def template(tmp_path_factory) -> Path:
    # Records in global and in a project, each written twice (so with a backup and
    # a lock file), a sealed allowlist with its lock, an intake request, the audit
    # log.
    root = tmp_path_factory.mktemp("template") / "vault"
    assert tarnel(root, "init").returncode == 0
    for at, project in (("secret:dev/app/token", []), ("secret:dev/app/web", ["--project", "web"])):
        for value in VALUES:
            assert tarnel(root, "set", at, *project, input=value).returncode == 0
    assert on_terminal(root, "allow", "/bin/true")[0] == 0
    agent_session(root).request_secret("secret:dev/app/new")
    return root


@pytest.fixture
def root(template, tmp_path) -> Path:
    copy = tmp_path / "vault"
    subprocess.run(["cp", "-a", str(template), str(copy)], check=True)
    return copy


def check(root: Path, *args, passphrase=PASSPHRASE) -> tuple[int, str, str]:
    done = tarnel(root, "check", *args, passphrase=passphrase)
    assert not any(value in done.stdout + done.stderr for value in VALUES)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def snapshot(root: Path) -> dict:
    # Every name under the root with its inode, mode, size, times and content or link target.
    seen = {}
    for folder, dirs, files in os.walk(root):
        for path in [Path(folder)] + [Path(folder, name) for name in dirs + files]:
            info = path.lstat()
            content = (os.readlink(path) if stat.S_ISLNK(info.st_mode)
                       else path.read_bytes() if stat.S_ISREG(info.st_mode) else None)
            seen[str(path)] = (info.st_ino, info.st_mode, info.st_size, info.st_mtime_ns, info.st_ctime_ns, content)
    return seen


def test_a_clean_vault_its_copies_and_a_waiting_request_check_clean_and_need_the_key(root, tmp_path):
    clean = (0, "checked 2 records in 2 vaults: no problems\n", "")
    plant(root, "pending/1-2-3.json", seal(request_json(2**40), Vault.existing(root).key, REQUEST_CONTEXT))
    before = snapshot(root)
    assert check(root) == clean
    assert json.loads(check(root, "--json")[1]) == {"complete": True, "records": 2, "vaults": 2, "problems": []}
    assert snapshot(root) == before
    # Copies made while nothing writes, as a backup is made.
    subprocess.run(["cp", "-a", str(root), str(tmp_path / "copy")], check=True)
    assert check(tmp_path / "copy") == clean
    assert check(root, passphrase="wrong") == (1, "", "tarnel: wrong passphrase\n")


def request_json(expires_unix: int) -> bytes:  # a confirmation request as the module writes it, without its proof
    request = {"resolved_command": None, "coordinate": "secret:dev/app/token", "sensitivity": "medium",
               "environment": "dev", "origin": "agent", "requesting_process": None, "requester_description": None,
               "action": None, "allow_password": False, "run": None}
    return json.dumps({"id": "1-2-3", "created_unix": 1, "request": request, "expires_unix": expires_unix,
                       "nonce": "0" * 32}, separators=(",", ":")).encode()[:-1]


def plant(root: Path, name: str, data: bytes = b""):
    (root / name).parent.mkdir(mode=0o700, exist_ok=True)
    (root / name).write_bytes(data)


OTHER, REQUEST = record_file("dev/app/other"), "pending/1-2-3.json"
TRUE = os.path.realpath("/bin/true").encode()

# Each: the path, what it is reported as, and the bytes written there or what makes it (given the root and the path).
PLANTS = {
    "a link for a record": (TOKEN, "planted", lambda root, at: at.symlink_to(shutil.move(at, root.parent / "x.sec"))),
    "a FIFO for a request": (REQUEST, "planted", lambda root, at: os.mkfifo(at)),
    "a truncated backup": (TOKEN + ".bak", "damaged", lambda root, at: at.write_bytes(at.read_bytes()[:-10])),
    "a record copied under another coordinate's name": (OTHER, "wrong coordinate",
                                                        lambda root, at: shutil.copy(root / TOKEN, at)),
    "a directory named like a record": (OTHER, "wrong kind", lambda root, at: at.mkdir()),
    "a file of a name nothing writes": ("notes.txt", "wrong kind", b"n"),
    "an edited allowlist": ("allowlist", "damaged",
                            lambda root, at: at.write_bytes(at.read_bytes().replace(TRUE, b"/bin/sh"))),
    "a request without the vault's proof": (REQUEST, "damaged", request_json(2**40) + b"}"),
    "an expired request": (REQUEST, "left over", lambda root, at: at.write_bytes(
        seal(request_json(2), Vault.existing(root).key, REQUEST_CONTEXT))),
    "a decision with no request": ("pending/1-2-3.decision", "left over", b"approved"),
    "a stray temporary": (TOKEN + ".tmp.4242.4242.0", "left over", b"x"),
    "an orphaned lock file": (OTHER + ".lock", "left over", b""),
}


@pytest.mark.parametrize("case", PLANTS)
def test_each_planted_damaged_moved_or_left_over_file_is_named_and_nothing_changes(root, case):
    path, problem, make = PLANTS[case]
    (root / path).parent.mkdir(mode=0o700, exist_ok=True)
    make(root, root / path) if callable(make) else (root / path).write_bytes(make)
    before = snapshot(root)
    status, out, err = check(root)
    *findings, summary = out.splitlines()
    assert (status, err, [line.split(": ")[:2] for line in findings]) == (1, "", [[path, problem]]), out
    assert summary.startswith("checked ") and summary.endswith(" in 2 vaults: 1 problem"), summary
    assert snapshot(root) == before


# Guards: deriving the key settled the change (a commit moved over the vault's files, a stage removed).
@pytest.mark.parametrize("left", ["passwd.stage", "passwd.commit"])
def test_an_unfinished_passphrase_change_is_reported_and_left_for_a_command_to_settle(root, left):
    plant(root, f"{left}/kdf.salt", bytes(16))
    before = snapshot(root)
    status, out, err = check(root)
    assert (status, err, [line.split(": ")[:2] for line in out.splitlines()[:-1]]) == (1, "", [[left, "left over"]])
    assert out.splitlines()[-1].startswith("not checked further: ")
    report = json.loads(check(root, "--json")[1])
    assert (report["complete"], [p["path"] for p in report["problems"]]) == (False, [left])
    assert snapshot(root) == before
