# `tarnel run`: the owner's own program with values injected, on the owner's
# terminal and standard streams, through the same gates and audit as an agent's
# run; its exit status and the signals meant for it pass through tarnel.

import os
import signal
import subprocess
import sys
import time

import pytest

from human import (TARNEL, Lines, converse, default_signals, end, environment, needs_tarnel, tarnel, terminal,
                   wait_until)
from vaultkit import allow_entry, audit_pairs, literal, seal_allowlist

pytestmark = needs_tarnel
SH = os.path.realpath("/bin/sh")


@pytest.fixture
def refs(tmp_path):
    (tmp_path / ".env.refs").write_text("")
    return tmp_path / ".env.refs"


def run(vault, refs, *command, **options):
    return tarnel(vault.root, "run", "--refs", str(refs), "--", *command, **options)


@pytest.mark.parametrize(("text", "command", "status", "message"), [
    ("", ["/bin/sh", "-c", "kill -TERM $$"], 128 + 15, ""),
    ("", ["no-such-program"], 127,
     "failed to launch child process: launch no-such-program: No such file or directory (os error 2)"),
    # A refs file that fails runs nothing (else the status would be the program's 7).
    ("A=secret:dev/app/none\n", ["/bin/sh", "-c", "exit 7"], 1,
     "env-refs error: `A`: coordinate `secret:dev/app/none` did not resolve and has no fallback"),
    (None, ["/bin/sh", "-c", "exit 7"], 1, "cannot read REFS: No such file or directory (os error 2)"),
])
def test_the_exit_status_is_the_programs_or_tarnels_own_with_one_message(vault, refs, text, command, status, message):
    refs.unlink() if text is None else refs.write_text(text)
    done = run(vault, refs, *command)
    assert done.returncode == status and vault.audit() == []
    assert done.stderr.decode() == (f"tarnel: {message}\n" if message else "").replace("REFS", str(refs))


# Guards: TARNEL_ variables leaked into the program's environment.
# Guards: an ignored SIGCHLD, inherited across exec, had the kernel reap the child and lose its status.
def test_the_program_gets_the_value_our_streams_none_of_the_vault_settings_and_the_agents_gates(vault, refs):
    def ignoring():
        default_signals()
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    vault.write(literal("dev/app/token", b"tok-value"))
    refs.write_text("TOKEN=secret:dev/app/token\n")
    script = 'printf "%s|%s|%s|" "$TOKEN" "${TARNEL_PASSPHRASE-unset}" "${TARNEL_VAULT_DIR-unset}"; cat; echo e >&2'
    done = run(vault, refs, "/bin/sh", "-c", script + "; exit 5", input=b"piped\ndata", preexec_fn=ignoring)
    # The owner's own output, passed through unmasked; stdin left for the program.
    assert (done.returncode, done.stdout, done.stderr) == (5, b"tok-value|unset|unset|piped\ndata", b"e\n")
    assert [(e["action"], e["coordinate"], e["origin"]) for e in vault.audit()] == [
        ("inject", "dev/app/token", "human")]
    # The owner passes the same gates as an agent, and confirms on this terminal.
    vault.write(literal("dev/app/token", b"tok-value", sensitivity="high"))
    # Then allowed, but with no terminal to confirm on: refused as well.
    for text in [f"`{SH}` is not on the executor allowlist; high/prod injection refused (I15)", "confirmation denied"]:
        done = run(vault, refs, "/bin/sh", "-c", "exit 7")
        assert done.returncode == 4 and text in done.stderr.decode(), done.stderr
        seal_allowlist(vault.root, vault.key, allow_entry(SH))
    status, shown = converse(vault.root, "run", "--refs", str(refs), "--", "/bin/sh", "-c",
                             'test -t 0 && test -t 1 && echo "on the terminal: $TOKEN"; exit 6',
                             steps=[("Type yes to approve: ", "yes")])
    assert status == 6 and b"on the terminal: tok-value" in shown
    assert audit_pairs(vault)[1:] == [("deny", "denied:not-allowlisted"), ("deny", "denied"), ("approve", "approved"),
                                  ("inject", "injected")]


# Counts every INT, TERM, HUP and QUIT delivered (one byte each on the wakeup pipe), reports
# the count once a line comes, and exits with 40 + the count. It spins while
# it waits: a signal that finds it running is taken at once, so a second one
# sent after it cannot merge into the first while still pending.
COUNTER = r"""
import os, select, signal, sys
r, w = os.pipe()
os.set_blocking(w, False)
signal.set_wakeup_fd(w)
for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
    signal.signal(signum, lambda *_: print("interrupted", flush=True))
print("ready", flush=True)
while not select.select([sys.stdin], [], [], 0)[0]:
    pass
sys.stdin.readline()
os.set_blocking(r, False)
count = len(os.read(r, 64))
print(f"count={count}", flush=True)
sys.exit(40 + count)
"""
# Leaves tarnel's process group, so the terminal's Ctrl-C reaches only tarnel.
LEAVER = ("import os, signal, sys; os.setpgid(0, 0); signal.signal(signal.SIGINT, lambda *_: sys.exit(42)); "
          "print('ready', flush=True); signal.pause()")


@pytest.mark.parametrize(("program", "status"), [
    ([sys.executable, "-c", LEAVER], 42),  # relayed to a program that left the foreground group
    (["/bin/sh", "-c", "echo ready; exec sleep 60"], 130),  # tarnel outlives the interrupt that ends it, and says so
])
# Guards: a program that left the foreground group never got the terminal's Ctrl-C.
def test_ctrl_c_on_the_terminal_reaches_the_program(vault, refs, program, status):
    with terminal(vault.root, "run", "--refs", str(refs), "--", *program) as child:
        child.expect("ready")
        child.sendintr()
        child.expect(pytest.importorskip("pexpect").EOF)
    assert (child.exitstatus, child.signalstatus) == (status, None)


@pytest.mark.parametrize(("signum", "target", "allowed"), [
    (signal.SIGTERM, "tarnel", {1}), (signal.SIGINT, "tarnel", {1}), (signal.SIGINT, "its process group", {1, 2})])
# Guards: with the worker tarnel forks, signals reached the program more often than before.
def test_a_signal_sent_by_a_process_reaches_the_program_as_often_as_it_should(vault, refs, signum, target, allowed):
    # tarnel waits while a worker it forked runs the command; the waiting parent
    # passes signals on, and drops what the worker got directly. A group signal
    # reaches the program itself and through the run's relay, which cannot tell
    # it from one sent to tarnel alone (two copies, or one where they merge
    # while pending); never a third time through the parent.
    process = subprocess.Popen([str(TARNEL), "run", "--refs", str(refs), "--", sys.executable, "-c", COUNTER],
                               env=environment(vault.root), start_new_session=True, preexec_fn=default_signals,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = Lines(process.stdout)
    try:
        assert line() == b"ready"
        (process.send_signal if target == "tarnel" else lambda s: os.killpg(process.pid, s))(signum)
        assert b"interrupted" in line()
        time.sleep(1)
        process.stdin.write(b"\n")
        process.stdin.flush()
        # The handler may run once for two (Python folds them, even onto one line); the wakeup bytes count each.
        while not (last := line()).startswith(b"count="):
            pass
        copies = int(last.removeprefix(b"count="))
        assert copies in allowed and process.wait(timeout=60) == 40 + copies
    finally:
        end(process)


# Guards: the hangup of a terminal tarnel leads was not passed on.
def test_a_hangup_of_the_terminal_tarnel_leads_reaches_the_program(vault, refs, tmp_path):
    # Under `ssh -t host tarnel run ...` tarnel leads the terminal's session,
    # and the kernel sends the hangup to the leader alone.
    got = tmp_path / "got"
    script = f"trap 'echo HUP > \"{got}\"; exit 9' HUP; echo ready; for i in $(seq 600); do sleep 0.1 & wait $!; done"
    with terminal(vault.root, "run", "--refs", str(refs), "--", "/bin/sh", "-c", script) as child:
        child.expect("ready")
        child.close(force=False)
        wait_until(got.exists)
    assert got.read_text() == "HUP\n"
