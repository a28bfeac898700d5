# inject_run from Python: the result's form, the exception each refusal raises, the
# interpreter lock released for the child's run, and values kept in a cloud store
# reached through the real `aws` client talking to a local moto server.

import os
import signal
import subprocess

import pytest

import tarnel_ffi
from progress import ticking
from vaultkit import allow_entry, audit_pairs, literal, reference, seal_allowlist

SH = "/bin/sh"


def test_the_result_is_status_and_raw_masked_output(vault, open_session, tmp_path):
    vault.write(literal("dev/app/token", b"s3cret-token-value", sensitivity="low"))
    session = open_session()
    result = session.inject_run("TOKEN=secret:dev/app/token\nNAME=visible\n", "dev", SH,
                                ["-c", 'printf "%s %s" "$TOKEN" "$NAME"; printf "\\377" >&2; exit 3'])
    assert list(result) == ["status", "stdout", "stderr"] and result == {"status": 3, "stdout": b"*** visible",
                                                                          "stderr": b"\xff"}
    assert audit_pairs(vault) == [("inject", "injected")]
    assert session.inject_run("", "", SH, ["-c", "kill -TERM $$"]) == {"status": None, "stdout": b"", "stderr": b""}
    # Megabytes on both streams: the capture leaves the heap for a mapping that grows, the pipe is
    # widened, and the masked text is written straight into each result.
    data = (bytes(range(32, 127)) * 700 + b"s3cret-token-value") * 80
    (tmp_path / "big").write_bytes(data)
    big = session.inject_run("TOKEN=secret:dev/app/token\n", "dev", SH, ["-c", f"cat {tmp_path}/big | tee /dev/stderr"])
    assert big["stdout"] == big["stderr"] == data.replace(b"s3cret-token-value", b"***")
    assert session.inject_run("", "dev", "/bin/echo", ("a", "b c"))["stdout"] == b"a b c\n"
    # Python ignores SIGPIPE; a child must not inherit that.
    assert signal.getsignal(signal.SIGPIPE) == signal.SIG_IGN
    assert session.inject_run("", "dev", SH, ["-c", "yes | head -c 3"])["stdout"] == b"y\ny"


@pytest.mark.parametrize(("scope", "refs", "program", "error", "text"), [
    ({"operations": ["metadata"]}, "", "/bin/true", tarnel_ffi.TarnelNotFound, "not addressable"),
    ({}, "A=1\nA=2\n", "/bin/true", tarnel_ffi.TarnelError, "env-refs error: line 2: duplicate variable name"),
    ({}, "", "/no/such", tarnel_ffi.TarnelError, "failed to launch child process: launch /no/such: "),
    ({}, "DB=secret:prod/app/db\n", "/bin/true", tarnel_ffi.TarnelDenied, "`/usr/bin/true` is not on the executor"),
])
def test_each_refusal_raises_its_exception(vault, open_session, scope, refs, program, error, text):
    vault.write(literal("prod/app/db", b"prod-db-value"))
    with pytest.raises(error) as caught:
        open_session(**scope).inject_run(refs, "dev", program)
    assert type(caught.value) is error and str(caught.value).startswith(text)


def test_a_sealed_allowlist_admits_its_program(vault, open_session):
    vault.write(literal("prod/app/db", b"prod-db-value"))
    seal_allowlist(vault.root, vault.key, allow_entry("/bin/true"))
    assert open_session().inject_run("DB=secret:prod/app/db\n", "prod", "/bin/true")["status"] == 0


# Guards: inject_run held the interpreter lock for the child's whole run.
def test_other_threads_run_while_the_child_does(open_session):
    session = open_session()
    with ticking() as ticks:
        session.inject_run("", "dev", SH, ["-c", "sleep 1"])
        # Holding the lock for the child's second would leave a handful of ticks at most.
        assert ticks() > 100


def test_an_aws_secret_reaches_the_child_masked_and_without_the_vaults_settings(vault, open_session, aws_env,
                                                                              monkeypatch):
    value = "s3cr3t p\u00e4ss-42"
    created = subprocess.run(["aws", "secretsmanager", "create-secret", "--name", "team/db", "--secret-string", value],
                             env={**os.environ, **aws_env}, capture_output=True, timeout=60)
    assert created.returncode == 0, created.stderr
    for name, setting in {**aws_env, "TARNEL_VAULT_DIR": str(vault.root), "TARNEL_ANYTHING": "x"}.items():
        monkeypatch.setenv(name, setting)
    vault.write(reference("dev/app/db", "aws-sm://us-east-1/team/db"))
    result = open_session().inject_run("DB=secret:dev/app/db\n", "dev", SH, [
        "-c", f'[ "$DB" = "{value}" ] && echo same; echo "$DB"; env | grep -c ^TARNEL_ || true'])
    assert result == {"status": 0, "stdout": b"same\n***\n0\n", "stderr": b""}
    assert audit_pairs(vault) == [("provider-invocation", "scheme:aws-sm"), ("inject", "injected")]


# Guards: a run the allowlist refused fetched its references first, asking the cloud for nothing.
def test_a_run_the_allowlist_refuses_asks_no_provider(vault, open_session, monkeypatch, tmp_path):
    calls = tmp_path / "aws-calls"
    (tmp_path / "aws").write_text(f'#!/bin/sh\necho "$@" >> "{calls}"; exit 1\n')
    (tmp_path / "aws").chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    vault.write(reference("prod/app/db", "aws-sm://us-east-1/team/db"))
    with pytest.raises(tarnel_ffi.TarnelDenied, match="is not on the executor allowlist"):
        open_session().inject_run("DB=secret:prod/app/db\n", "prod", SH, ["-c", "true"])
    assert not calls.exists() and audit_pairs(vault) == [("deny", "denied:not-allowlisted")]


# What the real aws client prints when it fails is read into the user's next step.
@pytest.mark.parametrize(("drop", "text"), [
    ((), "aws-sm: the secret was not found in the region (check the name and your access) "
         "[region=`us-east-1`, secret=`absent`, exit=255]"),
    (("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"), "aws-sm: aws is not authenticated or lacks access"),
])
def test_a_failed_fetch_says_what_to_do(vault, open_session, aws_env, monkeypatch, drop, text):
    for name, setting in aws_env.items():
        if name not in drop:
            monkeypatch.setenv(name, setting)
    vault.write(reference("dev/app/db", "aws-sm://us-east-1/absent"))
    with pytest.raises(tarnel_ffi.TarnelError) as raised:
        open_session().inject_run("DB=secret:dev/app/db\n", "dev", SH, ["-c", "true"])
    assert text in str(raised.value)
