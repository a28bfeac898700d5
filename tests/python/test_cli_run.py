"""`tarnel run`: the owner's own program with values injected, on the owner's
terminal and standard streams, through the same gates and audit as an agent's
run; its exit status and the signals meant for it pass through tarnel."""

import os
import signal
import subprocess
import sys
import time

import pytest

from test_cli import TARNEL, environment, pexpect_eof, spawn, tarnel
from vaultkit import allow_entry, literal, seal_allowlist

pytestmark = pytest.mark.skipif(not TARNEL.exists(), reason=f"tarnel is not installed beside {sys.executable}")

SH = os.path.realpath("/bin/sh")


def refs_file(tmp_path, text="TOKEN=secret:dev/app/token\n"):
    path = tmp_path / ".env.refs"
    path.write_text(text)
    return path


def run(vault, refs, *command, **kwargs):
    return tarnel(vault.root, "run", "--refs", str(refs), "--", *command, **kwargs)


def audited(vault):
    return [(event["action"], event["result"], event.get("coordinate"), event["origin"]) for event in vault.audit()]


def wait_for(path):
    for _ in range(600):
        if path.exists():
            return
        time.sleep(0.05)
    raise AssertionError(f"{path} never appeared")


@pytest.mark.parametrize(("script", "status"), [
    ("exit 0", 0), ("exit 3", 3), ("exit 255", 255), ("kill -TERM $$", 128 + 15), ("kill -KILL $$", 128 + 9),
])
def test_the_exit_status_is_the_programs(vault, tmp_path, script, status):
    done = run(vault, refs_file(tmp_path, ""), "/bin/sh", "-c", script)
    assert (done.returncode, done.stderr) == (status, b"")



def test_the_status_survives_a_parent_that_ignores_sigchld(vault, tmp_path):
    # An ignored SIGCHLD is inherited across exec and would have the kernel reap the child.
    done = subprocess.run([str(TARNEL), "run", "--refs", str(refs_file(tmp_path, "")), "--", "/bin/sh", "-c", "exit 5"],
                          capture_output=True, timeout=60, env=environment(vault.root), start_new_session=True,
                          preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
    assert (done.returncode, done.stderr) == (5, b"")

def test_the_program_gets_the_value_our_streams_and_none_of_the_vault_settings(vault, tmp_path):
    vault.write(literal("dev/app/token", b"tok-value"))
    script = 'printf "%s|%s|%s|" "$TOKEN" "${TARNEL_PASSPHRASE-unset}" "${TARNEL_VAULT_DIR-unset}"; cat; echo e >&2'
    done = run(vault, refs_file(tmp_path), "/bin/sh", "-c", script, input=b"piped\ndata")
    # The owner's own output, passed through unmasked; stdin left for the program.
    assert (done.returncode, done.stdout, done.stderr) == (0, b"tok-value|unset|unset|piped\ndata", b"e\n")
    assert audited(vault) == [("inject", "injected", "dev/app/token", "human")]


@pytest.mark.parametrize(("text", "message"), [
    ("NOT A LINE\n", "env-refs error: line 1: expected `NAME=<source>` or `project = <name>`"),
    ("A=secret:${ENV}/app/x\n", "env-refs error: `A`: a `${ENV}` coordinate needs a non-empty --env"),
    ("A=secret:dev/app/none\n", "env-refs error: `A`: coordinate `secret:dev/app/none` did not resolve and has no fallback"),
    (None, "cannot read REFS: No such file or directory (os error 2)"),
])
def test_a_refs_file_that_fails_runs_nothing(vault, tmp_path, text, message):
    refs = refs_file(tmp_path, text) if text is not None else tmp_path / "absent.refs"
    marker = tmp_path / "ran"
    done = run(vault, refs, "/bin/sh", "-c", f'touch "{marker}"')
    assert (done.returncode, done.stderr.decode()) == (1, f"tarnel: {message.replace('REFS', str(refs))}\n")
    assert not marker.exists() and vault.audit() == []


def test_a_program_that_cannot_start_exits_127_or_126(vault, tmp_path):
    refs = refs_file(tmp_path, "")
    missing = run(vault, refs, "no-such-program-here")
    assert (missing.returncode, missing.stderr) == (127, b"tarnel: failed to launch child process: launch "
                                                         b"no-such-program-here: No such file or directory (os error 2)\n")
    plain = tmp_path / "plain"
    plain.write_text("#!/bin/sh\n")
    assert run(vault, refs, str(plain)).returncode == 126


def test_the_owner_passes_the_same_gates_as_an_agent(vault, tmp_path):
    vault.write(literal("dev/app/token", b"tok-value", sensitivity="high"))
    marker = tmp_path / "ran"
    refs = refs_file(tmp_path)
    done = run(vault, refs, "/bin/sh", "-c", f'touch "{marker}"')
    assert (done.returncode, done.stderr.decode()) == (
        4, f"tarnel: `{SH}` is not on the executor allowlist; high/prod injection refused (I15)\n")
    # Allowed, but with no terminal to confirm on: refused as well.
    seal_allowlist(vault.root, vault.key, allow_entry(SH))
    done = run(vault, refs, "/bin/sh", "-c", f'touch "{marker}"')
    assert (done.returncode, done.stderr) == (4, b"tarnel: confirmation denied; high/prod injection refused\n")
    assert not marker.exists()
    assert audited(vault) == [("deny", "denied:not-allowlisted", "dev/app/token", "human"),
                              ("deny", "denied", "dev/app/token", "human")]


def test_a_confirmed_high_value_reaches_a_program_on_this_terminal(vault, tmp_path):
    vault.write(literal("dev/app/token", b"tok-value", sensitivity="high"))
    seal_allowlist(vault.root, vault.key, allow_entry(SH))
    child = spawn(vault.root, "run", "--refs", str(refs_file(tmp_path)), "--",
                  "/bin/sh", "-c", 'test -t 0 && test -t 1 && echo "on the terminal: $TOKEN"; exit 6')
    child.expect("Type yes to approve: ")
    child.sendline("yes")
    child.expect("on the terminal: tok-value")
    child.expect(pexpect_eof())
    child.close()
    assert child.exitstatus == 6
    assert audited(vault) == [("approve", "approved", "dev/app/token", "human"),
                              ("inject", "injected", "dev/app/token", "human")]


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGINT])
def test_a_signal_sent_to_tarnel_reaches_the_program(vault, tmp_path, signum):
    ready, got = tmp_path / "ready", tmp_path / "got"
    name = signum.name[3:]
    script = (f"trap 'echo {name} >> \"{got}\"; exit 9' {name}; touch \"{ready}\"; "
              "for i in $(seq 600); do sleep 0.1 & wait $!; done")
    process = subprocess.Popen([str(TARNEL), "run", "--refs", str(refs_file(tmp_path, "")), "--", "/bin/sh", "-c",
                                script], env=environment(vault.root), start_new_session=True)
    try:
        wait_for(ready)
        process.send_signal(signum)
        assert process.wait(timeout=60) == 9
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert got.read_text() == f"{name}\n"


# Counts every SIGINT delivered (one byte each on the wakeup pipe), reports
# the count once a line comes, and exits with 40 + the count. It spins while
# it waits: a signal that finds it running is taken at once, so a second one
# sent after it cannot merge into the first while still pending.
COUNTER = r"""
import os, select, signal, sys
r, w = os.pipe()
os.set_blocking(w, False)
signal.set_wakeup_fd(w)
signal.signal(signal.SIGINT, lambda *_: print("interrupted", flush=True))
print("ready", flush=True)
while not select.select([sys.stdin], [], [], 0)[0]:
    pass
sys.stdin.readline()
os.set_blocking(r, False)
count = len(os.read(r, 64))
print(f"count={count}", flush=True)
sys.exit(40 + count)
"""


def test_ctrl_c_on_the_terminal_reaches_the_program_once(vault, tmp_path):
    child = spawn(vault.root, "run", "--refs", str(refs_file(tmp_path, "")), "--", sys.executable, "-c", COUNTER)
    child.expect("ready")
    child.sendintr()
    child.expect("interrupted")
    child.sendline("")
    child.expect(r"count=(\d+)")
    assert child.match.group(1) == b"1"
    child.expect(pexpect_eof())
    child.close()
    assert (child.exitstatus, child.signalstatus) == (41, None)


@pytest.mark.parametrize(("target", "allowed"), [("tarnel", {1}), ("its process group", {1, 2})])
def test_an_interrupt_sent_by_a_process_reaches_the_program_as_often_as_it_should(vault, tmp_path, target, allowed):
    # tarnel waits while a worker it forked runs the command; the waiting parent
    # passes signals on, and drops what the worker got directly. A group signal
    # reaches the program itself and through the run's relay, which cannot tell
    # it from one sent to tarnel alone (two copies, or one where they merge
    # while pending); never a third time through the parent.
    process = subprocess.Popen([str(TARNEL), "run", "--refs", str(refs_file(tmp_path, "")), "--", sys.executable,
                                "-c", COUNTER], env=environment(vault.root), start_new_session=True,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline() == "ready\n"
        if target == "tarnel":
            process.send_signal(signal.SIGINT)
        else:
            os.killpg(process.pid, signal.SIGINT)
        assert "interrupted" in process.stdout.readline()
        time.sleep(1)
        process.stdin.write("\n")
        process.stdin.flush()
        rest = process.stdout.read().splitlines()
        copies = int(rest[-1].removeprefix("count="))
        # The handler may run once for two (Python folds them); the wakeup bytes count each.
        assert copies in allowed, rest
        assert process.wait(timeout=60) == 40 + copies
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_a_hangup_of_the_terminal_tarnel_leads_reaches_the_program(vault, tmp_path):
    # Under `ssh -t host tarnel run ...` tarnel leads the terminal's session,
    # and the kernel sends the hangup to the leader alone.
    got = tmp_path / "got"
    script = f"trap 'echo HUP > \"{got}\"; exit 9' HUP; echo ready; for i in $(seq 600); do sleep 0.1 & wait $!; done"
    child = spawn(vault.root, "run", "--refs", str(refs_file(tmp_path, "")), "--", "/bin/sh", "-c", script)
    child.expect("ready")
    child.close(force=False)
    wait_for(got)
    assert got.read_text() == "HUP\n"


# Leaves tarnel's process group, so the terminal's Ctrl-C reaches only tarnel.
LEAVER = r"""
import os, signal, sys
os.setpgid(0, 0)
signal.signal(signal.SIGINT, lambda *_: sys.exit(42))
print("ready", flush=True)
while True:
    signal.pause()
"""


def test_ctrl_c_reaches_a_program_that_left_the_foreground_group(vault, tmp_path):
    child = spawn(vault.root, "run", "--refs", str(refs_file(tmp_path, "")), "--", sys.executable, "-c", LEAVER)
    child.expect("ready")
    child.sendintr()
    child.expect(pexpect_eof())
    child.close()
    assert (child.exitstatus, child.signalstatus) == (42, None)


def test_ctrl_c_that_ends_the_program_ends_tarnel_with_130(vault, tmp_path):
    child = spawn(vault.root, "run", "--refs", str(refs_file(tmp_path, "")), "--",
                  "/bin/sh", "-c", "echo ready; exec sleep 60")
    child.expect("ready")
    child.sendintr()
    child.expect(pexpect_eof())
    child.close()
    # tarnel outlived the interrupt and reported it, rather than dying of it.
    assert (child.exitstatus, child.signalstatus) == (130, None)
