# Other Python threads run while a session call blocks, and one session serves several
# threads at once. Progress is shown by what another thread observes while the call
# provably has not returned, never by comparing durations.

import json
import os
import subprocess
import sys
import threading
import time

import pytest

import tarnel_ffi
from progress import ticking
from vaultkit import audit_pairs, fp, literal, owner_approval

AT = "secret:dev/app/token"


def in_thread(call):  # the returned dict gets "result" or "error"
    outcome = {}

    def run():
        try:
            outcome["result"] = call()
        except BaseException as error:  # noqa: BLE001 - handed to the test
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


# Guards: the interpreter lock was held while a downgrade waited for the human.
def test_a_downgrade_waiting_for_a_human_lets_other_threads_run(vault, open_session):
    vault.write(literal("dev/app/token", b"v", sensitivity="high"))
    caller, outcome = in_thread(lambda: open_session().edit_metadata(AT, sensitivity="medium"))
    # This thread finds the request only if it runs while the call waits.
    deadline, requests = time.monotonic() + 60, []
    while not requests and time.monotonic() < deadline:
        requests = sorted((vault.root / "pending").glob("*.json"))
    with ticking() as ticks:
        while ticks() < 100 and caller.is_alive():
            time.sleep(0.01)
        assert ticks() >= 100 and caller.is_alive()
    shown = json.loads(requests[0].read_text())
    assert shown["expires_unix"] - shown["created_unix"] == 120  # the module's wait for the owner
    # The human answers from this very process, whole and renamed into place.
    answer = requests[0].with_suffix(".human")
    answer.write_bytes(owner_approval(requests[0].read_bytes(), vault.key))
    answer.rename(requests[0].with_suffix(".decision"))
    caller.join(timeout=60)
    assert outcome["result"]["sensitivity"] == "medium" and audit_pairs(vault)[0] == ("approve", "approved-downgrade")


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads are counted through /proc")
def test_deriving_the_key_lets_other_threads_run(vault):
    # While the constructor derives the key, a thread no Python code started
    # (the derivation's worker) exists; a Python thread that sees it ran
    # during the derivation.
    python_threads = {str(thread.native_id) for thread in threading.enumerate()}
    baseline = set(os.listdir("/proc/self/task")) - python_threads
    caller, outcome = in_thread(lambda: tarnel_ffi.TarnelSession({"operations": ["metadata"]}, str(vault.root),
                                                                 vault.passphrase))
    python_threads.add(str(caller.native_id))  # set once start() has returned
    sightings = 0
    while caller.is_alive():
        sightings += bool(set(os.listdir("/proc/self/task")) - python_threads - baseline)
    caller.join()
    assert sightings > 0 and outcome["result"].list() == []


# The decision is written by an object torn down late in finalization, which
# then sleeps (lock released) so the waiting call sees it and returns.
EXIT_WHILE_WAITING = """
import builtins, os, sys, threading, time
import tarnel_ffi
root, passphrase = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from pathlib import Path
from vaultkit import Vault, owner_approval
session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root, passphrase=passphrase)
threading.Thread(target=session.edit_metadata, args=("secret:dev/app/token",),
                 kwargs={"sensitivity": "medium"}, daemon=True).start()
pending = Path(root, "pending")
while not (requests := list(pending.glob("*.json"))):
    time.sleep(0.01)

class AnswerDuringFinalization:
    def __init__(self):
        self.os, self.time, self.decision = os, time, str(requests[0].with_suffix(".decision"))
        self.answer = owner_approval(requests[0].read_bytes(), Vault.existing(Path(root), passphrase).key)
    def __del__(self):
        fd = self.os.open(self.decision, self.os.O_WRONLY | self.os.O_CREAT, 0o600)
        self.os.write(fd, self.answer)
        self.os.close(fd)
        self.time.sleep(1.5)

builtins.answer_at_exit = AnswerDuringFinalization()
"""


# Guards: a daemon thread's call that ended while the interpreter finalized aborted the process.
def test_a_call_ending_while_the_interpreter_finalizes_does_not_abort_the_process(vault):
    vault.write(literal("dev/app/token", b"v", sensitivity="high"))
    run = subprocess.run([sys.executable, "-c", EXIT_WHILE_WAITING, str(vault.root), vault.passphrase,
                          os.path.dirname(__file__)], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stderr) == (0, "")
    # The call got its answer and finished its work before the thread was ended.
    assert vault.read("dev/app/token")["sensitivity"] == "medium"


def test_one_session_serves_many_threads_at_once(vault, open_session):
    session, threads, rounds = open_session(), 8, 12
    barrier = threading.Barrier(threads)

    def work(i):
        own = f"secret:dev/t{i}/key"
        barrier.wait()
        for n in range(rounds):
            session.set(own, f"value-{i}-{n}")
            session.set("secret:dev/app/shared", f"value-{i}-{n}")
            assert session.fingerprint(own) == fp(f"value-{i}-{n}".encode())
            assert own.removeprefix("secret:") in {view["coordinate"] for view in session.list()}

    workers = [in_thread(lambda i=i: work(i)) for i in range(threads)]
    for worker, outcome in workers:
        worker.join(timeout=300)
        assert "error" not in outcome
    # Every write audited once: none lost or torn by a simultaneous append.
    results = [result for _, result in audit_pairs(vault)]
    assert (results.count("created"), len(results)) == (threads + 1, threads * 2 * rounds)
