# An agent with a shell of the owner's user tries to approve its own request. The
# attacker is a process of its own, as an agent's shell is; the module waits in a
# thread of this process, as the server's call does; the owner is `tarnel approve` on
# a pseudo-terminal. Each attempt ends in a denial, an audit line that says why, and
# the value in no output.

from __future__ import annotations

import subprocess
import threading
from pathlib import Path

import pytest

import tarnel_ffi
from human import TARNEL, on_terminal, tarnel, wait_until
from vaultkit import PASSPHRASE, Vault, allow_entry, audit_pairs, seal_allowlist

pytestmark = pytest.mark.skipif(not TARNEL.exists(), reason=f"tarnel is not installed beside {TARNEL.parent}")

AT = "secret:dev/app/token"
VALUE = b"high-value-7302"
DENIED = "denied \u2014 sensitivity not lowered"
AGENT_PASSPHRASE = "the agent's own passphrase"


@pytest.fixture
def root(tmp_path):
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    done = tarnel(root, "set", AT, "--sensitivity", "high", input=VALUE)
    assert done.returncode == 0, done.stderr
    return root


class WaitingDowngrade:  # the agent's downgrade, waiting in the module for the owner's word
    def __init__(self, root: Path):
        session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=str(root), passphrase=PASSPHRASE)
        self.outcome: dict = {}
        self.thread = threading.Thread(target=self._call, args=(session,), daemon=True)
        self.thread.start()
        wait_until(lambda: any((root / "pending").glob("*.json")))
        self.id = next((root / "pending").glob("*.json")).stem

    def _call(self, session):
        try:
            self.outcome["view"] = session.edit_metadata(AT, sensitivity="low")
        except tarnel_ffi.TarnelError as error:
            self.outcome["error"] = error

    def result(self):
        self.thread.join(timeout=150)
        assert not self.thread.is_alive()
        return self.outcome


def attacker(script: str, root: Path) -> None:  # a shell of the owner's user, with none of this process's state
    done = subprocess.run(["sh", "-c", script, "sh", str(root)], capture_output=True, timeout=30)
    assert done.returncode == 0, done.stderr


def assert_denied_and_unchanged(vault: Vault, waiting: WaitingDowngrade, audited: list[tuple[str, str]]):
    outcome = waiting.result()
    assert isinstance(outcome.get("error"), tarnel_ffi.TarnelDenied) and str(outcome["error"]) == DENIED
    assert vault.read("dev/app/token")["sensitivity"] == "high"
    assert audit_pairs(vault)[-len(audited):] == audited
    assert VALUE not in vault.audit_bytes()


# Guards: a bare "approved" decision file, which any process of the user can write, approved a downgrade.
def test_a_decision_file_written_by_the_agent_is_a_forgery(root):
    waiting = WaitingDowngrade(root)
    attacker(f'printf approved > "$1/pending/{waiting.id}.decision"', root)
    assert_denied_and_unchanged(Vault.existing(root), waiting, [("deny", "forged-approval-downgrade")])


@pytest.mark.parametrize("attack", ["rewritten", "salt-and-check-of-the-agents-vault"])
def test_a_request_without_the_vaults_proof_approves_nothing(root, tmp_path, attack):
    vault, typed, own = Vault.existing(root), PASSPHRASE, tmp_path / "agents-vault"
    if attack != "rewritten":
        assert tarnel(own, "init", passphrase=AGENT_PASSPHRASE).returncode == 0
        typed = AGENT_PASSPHRASE  # typed on a terminal of the agent's own
    waiting = WaitingDowngrade(root)
    attacker(f'cp "{own}/kdf.salt" "{own}/kdf.check" "$1/"' if attack != "rewritten" else
             # The owner would be shown a harmless raise instead of the downgrade.
             f'f="$1/pending/{waiting.id}.json"; sed "s/--sensitivity low (downgrade from High)/--sensitivity high/" '
             f'"$f" > "$f.new" && mv "$f.new" "$f"', root)
    status, shown = on_terminal(root, "approve", waiting.id, typed=typed)
    assert status == 4 and b"does not carry this vault's proof" in shown and VALUE not in shown
    assert_denied_and_unchanged(vault, waiting, [("deny", "approval-refused:unverified"), ("deny", "denied-downgrade")])


SH = str(Path("/bin/sh").resolve())
PROD_VALUE = b"prod-value-5521"


# Guards: an allowlist anyone of the user could edit admitted a program for high/prod injection.
@pytest.mark.parametrize("edit", [
    # The earlier form's one-line edit, appended to the sealed file.
    'echo /bin/sh >> "$1/allowlist"',
    # The sealed form with the shell added in front and the old seal kept.
    'sed "s|\\"entries\\":\\[|&{\\"program\\":\\"' + SH + '\\",\\"arguments\\":[],\\"more_arguments\\":true,'
    '\\"variables\\":[]},|" "$1/allowlist" > "$1/new" && mv "$1/new" "$1/allowlist"',
], ids=["appended", "entry-added"])
def test_a_hand_edited_allowlist_allows_nothing(root, edit):
    assert tarnel(root, "set", "secret:prod/db/password", input=PROD_VALUE).returncode == 0
    vault = Vault.existing(root)
    seal_allowlist(root, vault.key, allow_entry("/bin/true"))
    attacker(edit, root)
    session = tarnel_ffi.TarnelSession({"operations": ["inject"]}, vault_dir=str(root), passphrase=PASSPHRASE)
    with pytest.raises(tarnel_ffi.TarnelDenied) as refused:
        session.inject_run("PW=secret:prod/db/password\n", "prod", SH, ["-c", 'printf %s "$PW"'])
    message = str(refused.value)
    assert "allowlist is not sealed with this vault's key" in message and PROD_VALUE.decode() not in message
    assert audit_pairs(vault)[-1] == ("deny", "denied:allowlist-not-sealed") and PROD_VALUE not in vault.audit_bytes()


# Guards: a prod record copied under a dev coordinate's file name was served as the dev value.
def test_a_record_file_copied_under_another_coordinates_name_is_no_value(root):
    for at, value in [("secret:prod/db/password", PROD_VALUE), ("secret:dev/db/password", b"dev-value-1")]:
        assert tarnel(root, "set", at, input=value).returncode == 0, at
    vault = Vault.existing(root)
    attacker(f'cp "{vault.path_of("prod/db/password")}" "{vault.path_of("dev/db/password")}"', root)
    dev_only = tarnel_ffi.TarnelSession({"operations": ["metadata", "reveal", "inject"], "environments": ["dev"]},
                                        vault_dir=str(root), passphrase=PASSPHRASE)
    for call in (lambda: dev_only.reveal("secret:dev/db/password"),
                 lambda: dev_only.inject_run("PW=secret:dev/db/password\n", "dev", SH, ["-c", 'printf %s "$PW"'])):
        with pytest.raises(tarnel_ffi.TarnelError, match="holds prod/db/password: it was copied or moved there"):
            call()
    assert [view["coordinate"] for view in dev_only.list()] == ["dev/app/token"]  # not dev/db/password
    assert PROD_VALUE not in vault.audit_bytes()
