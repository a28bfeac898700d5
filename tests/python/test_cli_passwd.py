# tarnel passwd: every sealed file sealed again under a new key, and a vault that opens
# with exactly one of the two passphrases whenever the change is killed.

import os
import random
import signal
import time

import pexpect
import pytest

import tarnel_ffi
from human import agent_session, converse, needs_tarnel, tarnel, terminal
from vaultkit import PASSPHRASE, Vault, allow_entry, audit_pairs, seal_allowlist, sealed_allowlist

pytestmark = needs_tarnel

NEW = "a new passphrase for the vault"
VALUES = {f"dev/app/k{n}": f"value-{n}".encode() * (n + 1) for n in range(12)}
STEPS = lambda old, new: [("Vault passphrase: ", old), ("New vault passphrase: ", new),  # noqa: E731
                          ("Repeat the passphrase: ", new)]


@pytest.fixture
def made(tmp_path):
    # Records in the global vault and a project, a backup of an earlier value, a sealed allowlist.
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    session = agent_session(root)
    for path, value in VALUES.items():
        session.set(f"secret:{path}", "earlier")
        session.set(f"secret:{path}", value.decode())
    session.set("secret:dev/shop/db", "project-value", "shop")
    seal_allowlist(root, Vault.existing(root).key, allow_entry("/bin/true"))
    return root


def opens_with(root, passphrase) -> bool:
    # Read apart from the module: the check, every record and backup, and the allowlist.
    vault = Vault.existing(root, passphrase)
    try:
        values = {path: bytes(vault.read(path)["value"]) for path in VALUES}
    except Exception:  # the tag does not verify under this key
        return False
    assert values == VALUES and bytes(vault.read("dev/shop/db", "shop")["value"]) == b"project-value"
    assert sealed_allowlist(root, vault.key) == [allow_entry("/bin/true")]
    assert not any(root.glob("passwd.*"))
    return True


def test_passwd_on_a_terminal_reseals_everything_and_only_the_new_passphrase_opens(made):
    stale = agent_session(made)  # opened with the old key before the change
    status, shown = converse(made, "passwd", steps=STEPS(PASSPHRASE, NEW))
    assert status == 0 and b"passphrase changed: 25 record files sealed again, and the allowlist" in shown, shown
    assert opens_with(made, NEW) and not opens_with(made, PASSPHRASE)
    assert tarnel(made, "get", "secret:dev/app/k3", passphrase=NEW).stdout == VALUES["dev/app/k3"]
    old = tarnel(made, "ls", passphrase=PASSPHRASE)
    assert (old.returncode, old.stderr) == (1, b"tarnel: wrong passphrase\n")
    result = agent_session(made, NEW).inject_run("V=secret:dev/app/k1\n", "dev", "/bin/sh", ["-c", 'test "$V" = value-1value-1'])
    assert result["status"] == 0
    with pytest.raises(tarnel_ffi.TarnelError):  # the module, with the old passphrase, opens no record
        agent_session(made).inject_run("V=secret:dev/app/k1\n", "dev", "/bin/true")
    assert ("edit", "passphrase-changed:25 records") in audit_pairs(Vault.existing(made, NEW))
    # Guards: a session still holding the old key would seal new records no passphrase opens.
    with pytest.raises(tarnel_ffi.TarnelError, match="passphrase was changed after this session was opened"):
        stale.set("secret:dev/app/late", "sealed with the old key")
    assert not Vault.existing(made, NEW).path_of("dev/app/late").exists()


@pytest.mark.parametrize(("prepare", "message"), [
    (lambda root: (root / "kdf.salt").unlink() or (root / "kdf.check").unlink(),
     b"this vault's key is kept in the keyring: it has no passphrase to change"),
    (lambda root: None, b"the passphrases do not match; the passphrase is unchanged"),
])
def test_refusals_change_nothing(made, prepare, message):
    prepare(made)
    before = {path: path.read_bytes() for path in made.rglob("*") if path.is_file()}
    status, shown = converse(made, "passwd", steps=[*STEPS(PASSPHRASE, NEW)[:2], ("Repeat the passphrase: ", "x")])
    assert status == 1 and message in shown, shown
    assert {path: path.read_bytes() for path in made.rglob("*") if path.is_file()} == before


def test_a_change_killed_at_any_moment_leaves_one_passphrase_opening_everything(made):
    rng = random.Random(int.from_bytes(os.urandom(4), "little"))
    current, outcomes, took = PASSPHRASE, set(), None
    for attempt in range(32):
        new = f"passphrase number {attempt}"
        with terminal(made, "passwd") as child:
            for prompt, reply in STEPS(current, new):
                child.expect(prompt)
                child.sendline(reply)
            started = time.monotonic()
            if took is None:  # the first change runs whole and tells how long one takes
                child.expect(pexpect.EOF)
                took = time.monotonic() - started
            else:
                time.sleep(rng.uniform(0, took * 1.2))
                os.killpg(child.pid, signal.SIGKILL)  # tarnel and the worker it forked
        # The next opening finishes or discards what the change left.
        for candidate in (new, current):
            if tarnel(made, "ls", passphrase=candidate).returncode == 0:
                break
        changed = opens_with(made, new)
        assert changed != opens_with(made, current), f"attempt {attempt}"
        outcomes.add(changed)
        current = new if changed else current
    assert outcomes == {True, False}  # some kills landed before the switch and some after


# Guards: a link planted as passwd.commit was followed, moving what it points at into the vault.
def test_a_planted_commit_link_is_removed_unfollowed(made, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "kdf.salt").write_bytes(b"a salt of the agent's")
    (made / "passwd.commit").symlink_to(elsewhere)
    assert tarnel(made, "ls").returncode == 0
    assert not os.path.lexists(made / "passwd.commit") and (elsewhere / "kdf.salt").exists()
    assert opens_with(made, PASSPHRASE)
