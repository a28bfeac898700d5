"""inject_run from Python: its signature, the result's form, the exceptions
each refusal raises, and a child that really gets its values while the agent
gets only masked output."""

import signal
import sys

import pytest
import tarnel_ffi
from progress import ticking
from vaultkit import allow_entry, audit_pairs, literal, seal_allowlist

SH = "/bin/sh"


def test_the_result_is_status_and_raw_masked_output(vault, open_session):
    vault.write(literal("dev/app/token", b"s3cret-token-value", sensitivity="low"))
    session = open_session()
    result = session.inject_run("TOKEN=secret:dev/app/token\nNAME=visible\n", "dev", SH,
                                ["-c", 'printf "%s %s" "$TOKEN" "$NAME"; printf "\\377" >&2; exit 3'])
    assert list(result) == ["status", "stdout", "stderr"]
    assert result == {"status": 3, "stdout": b"*** visible", "stderr": b"\xff"}
    assert audit_pairs(vault) == [("inject", "injected")]

    killed = session.inject_run("", "", SH, ["-c", "kill -TERM $$"])
    assert killed == {"status": None, "stdout": b"", "stderr": b""}
    # Without args the program runs with none.
    assert session.inject_run("", "dev", "/bin/echo")["stdout"] == b"\n"
    assert session.inject_run("", "dev", "/bin/echo", ("a", "b c"))["stdout"] == b"a b c\n"


def test_arguments_of_the_wrong_type_name_the_argument(open_session):
    session = open_session()
    with pytest.raises(TypeError, match="argument 'args'.*Can't extract `str` to `Vec`"):
        session.inject_run("", "dev", "/bin/echo", "hello")
    with pytest.raises(TypeError, match="argument 'args' item 1 must be str, not int"):
        session.inject_run("", "dev", "/bin/echo", ["a", 1])
    for name, call in [("refs", lambda: session.inject_run(b"", "dev", "/bin/true")),
                       ("env", lambda: session.inject_run("", None, "/bin/true")),
                       ("program", lambda: session.inject_run("", "dev", 7)),
                       ("project", lambda: session.inject_run("", "dev", "/bin/true", project=1)),
                       ("client_identity", lambda: session.inject_run("", "dev", "/bin/true", client_identity=[]))]:
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            call()


def test_each_refusal_raises_its_exception(vault, open_session):
    vault.write(literal("prod/app/db", b"prod-db-value", sensitivity="medium"))
    with pytest.raises(tarnel_ffi.TarnelNotFound, match="^not addressable$"):
        open_session(["metadata", "reveal"]).inject_run("", "dev", "/bin/true")
    session = open_session(environments=["dev"])
    with pytest.raises(tarnel_ffi.TarnelNotFound, match="^not addressable$"):
        session.inject_run("DB=secret:prod/app/db\n", "dev", "/bin/true")
    with pytest.raises(tarnel_ffi.TarnelError, match=r"^env-refs error: line 2: duplicate variable name$"):
        session.inject_run("A=1\nA=2\n", "dev", "/bin/true")
    with pytest.raises(tarnel_ffi.TarnelError, match="^invalid coordinate URI: "):
        session.inject_run("DB=secret:dev/app\n", "dev", "/bin/true")
    with pytest.raises(tarnel_ffi.TarnelError,
                       match="^env-refs error: `DB`: coordinate `secret:dev/app/db` did not resolve"):
        session.inject_run("DB=secret:${ENV}/app/db\n", "dev", "/bin/true")
    with pytest.raises(tarnel_ffi.TarnelError, match="^failed to launch child process: launch /no/such: "):
        session.inject_run("", "dev", "/no/such")

    everywhere = open_session()
    with pytest.raises(tarnel_ffi.TarnelDenied, match="is not on the executor allowlist; high/prod injection refused"):
        everywhere.inject_run("DB=secret:prod/app/db\n", "prod", "/bin/true")
    # A list in the earlier one-path-a-line form, or anyone's hand-edit, allows nothing.
    (vault.root / "allowlist").write_text("/bin/true\n")
    with pytest.raises(tarnel_ffi.TarnelDenied, match="allowlist is not sealed with this vault's key"):
        everywhere.inject_run("DB=secret:prod/app/db\n", "prod", "/bin/true")
    seal_allowlist(vault.root, vault.key, allow_entry("/bin/true"))
    assert everywhere.inject_run("DB=secret:prod/app/db\n", "prod", "/bin/true")["status"] == 0


def test_other_threads_run_while_the_child_does(open_session):
    session = open_session()
    with ticking() as ticks:
        session.inject_run("", "dev", SH, ["-c", "sleep 1"])
        during = ticks()
    # Holding the interpreter lock for the child's second would leave the
    # counter at a handful of ticks at most.
    assert during > 100


def test_large_output_is_captured_whole(open_session):
    size = 96 * 1024 * 1024
    result = open_session().inject_run("", "dev", sys.executable, [
        "-c", f"import os; os.write(2, b'e' * 70000); os.write(1, b'x' * {size})"])
    assert result["status"] == 0
    assert len(result["stdout"]) == size and len(result["stderr"]) == 70000


def test_the_child_gets_default_signal_handling(open_session):
    # Python ignores SIGPIPE; a child must not inherit that.
    assert signal.getsignal(signal.SIGPIPE) == signal.SIG_IGN
    result = open_session().inject_run("", "dev", SH, ["-c", "yes | head -c 3"])
    assert result == {"status": 0, "stdout": b"y\ny", "stderr": b""}
