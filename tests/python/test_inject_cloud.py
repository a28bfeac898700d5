"""inject_run with values kept in cloud secret stores: the reference records
of the vault, the clients they run, what those clients get to see and how
their failures reach Python.

The `aws` client is the real one, talking to a local moto server. The `az`
client is a scripted stand-in: the real Azure CLI (about 730 MB) is too big to
install here. A client that outlasts the 15-second time-out is not run here,
as it would make the suite that much slower; the provider tests cover the
time-out with a 1-second one.
"""

import json
import os
import socket
import subprocess
import sys

import pytest
import tarnel_ffi
from cloud import SCRIPTS, ScriptedAz, az_lookup_args
from progress import ticking
from vaultkit import audit_pairs, reference

SH = "/bin/sh"


def aws_cli(env, *args):
    return subprocess.run(["aws", *args], env={**os.environ, **env}, capture_output=True, timeout=60)


def put_on_path(monkeypatch, directory):
    monkeypatch.setenv("PATH", f"{directory}{os.pathsep}{os.environ['PATH']}")


def stand_in_client(directory, name, body):
    """A shell script called `name` in `directory`, to put first on PATH."""
    directory.mkdir(parents=True, exist_ok=True)
    script = directory / name
    script.write_text(f"#!/bin/sh\n{body}\n")
    script.chmod(0o755)
    return script


def without_ts(events):
    return [{key: value for key, value in event.items() if key != "ts"} for event in events]


def test_an_aws_secret_reaches_the_child_once_per_reference_and_is_masked(vault, open_session, aws_env,
                                                                         monkeypatch, tmp_path):
    value = "s3cr3t p\u00e4ss-42"
    created = aws_cli(aws_env, "secretsmanager", "create-secret", "--name", "team/db", "--secret-string", value)
    assert created.returncode == 0, created.stderr
    for name, setting in aws_env.items():
        monkeypatch.setenv(name, setting)
    # A counting shim in front of the real client shows how often it runs.
    calls = tmp_path / "aws-calls"
    real_aws = SCRIPTS / "aws"
    stand_in_client(tmp_path / "shim", "aws", f'echo "$@" >> "{calls}"\nexec "{real_aws}" "$@"')
    put_on_path(monkeypatch, tmp_path / "shim")
    vault.write(reference("dev/app/db", "aws-sm://us-east-1/team/db"))
    vault.write(reference("dev/app/replica", "aws-sm://us-east-1/team/db"))

    result = open_session().inject_run(
        "DB=secret:dev/app/db\nREPLICA=secret:${ENV}/app/replica\n", "dev", SH,
        ["-c", f'[ "$DB" = "{value}" ] && [ "$REPLICA" = "$DB" ] && echo same; echo "$DB|$REPLICA"'])

    assert result == {"status": 0, "stdout": b"same\n***|***\n", "stderr": b""}
    assert calls.read_text() == ("secretsmanager get-secret-value --secret-id team/db --region us-east-1 "
                                 "--query SecretString --output text\n")
    assert without_ts(vault.audit()) == [
        {"action": "provider-invocation", "coordinate": "dev/app/db", "environment": "dev",
         "result": "scheme:aws-sm", "origin": "agent"},
        {"action": "inject", "coordinate": "dev/app/db", "environment": "dev", "result": "injected",
         "origin": "agent"},
        {"action": "inject", "coordinate": "dev/app/replica", "environment": "dev", "result": "injected",
         "origin": "agent"},
    ]


# A refused run used to fetch its references first: the cloud was asked for a
# value whose run the allowlist then refused.
def test_a_run_the_allowlist_refuses_asks_no_provider(vault, open_session, monkeypatch, tmp_path):
    calls = tmp_path / "aws-calls"
    stand_in_client(tmp_path / "shim", "aws", f'echo "$@" >> "{calls}"; exit 1')
    put_on_path(monkeypatch, tmp_path / "shim")
    vault.write(reference("prod/app/db", "aws-sm://us-east-1/team/db"))
    with pytest.raises(tarnel_ffi.TarnelDenied, match="is not on the executor allowlist"):
        open_session().inject_run("DB=secret:prod/app/db\n", "prod", SH, ["-c", "true"])
    assert not calls.exists()
    assert audit_pairs(vault) == [("deny", "denied:not-allowlisted")]


def _closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


AWS_FAILURES = {
    "missing secret": (
        lambda env: env,
        "the secret was not found in the region (check the name and your access)"),
    # The config files aws_env names do not exist, so nothing else supplies keys.
    "no credentials": (
        lambda env: {name: value for name, value in env.items()
                     if name not in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY")},
        "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; "
        "check the IAM permission for secretsmanager:GetSecretValue)"),
    "endpoint down": (
        lambda env: {**env, "AWS_ENDPOINT_URL": f"http://127.0.0.1:{_closed_port()}"},
        "the region endpoint is unreachable or the region is invalid"),
}


@pytest.mark.parametrize("case", AWS_FAILURES)
def test_aws_failures_raise_the_classified_text_and_run_nothing(case, vault, open_session, aws_env, monkeypatch,
                                                                tmp_path):
    adjust, message = AWS_FAILURES[case]
    for name, setting in adjust(aws_env).items():
        monkeypatch.setenv(name, setting)
    vault.write(reference("dev/app/db", "aws-sm://us-east-1/absent"))
    marker = tmp_path / "ran"

    with pytest.raises(tarnel_ffi.TarnelError) as raised:
        open_session().inject_run("DB=secret:dev/app/db\n", "dev", SH, ["-c", f'touch "{marker}"'])

    assert type(raised.value) is tarnel_ffi.TarnelError
    assert str(raised.value) == f"provider error: aws-sm: {message} [region=`us-east-1`, secret=`absent`, exit=255]"
    assert not marker.exists()
    assert audit_pairs(vault) == [("provider-invocation", "scheme:aws-sm")]


# Run in a process of its own so that its standard input can be a pipe holding
# data, as a server's protocol stream would be.
STDIN_PROBE = """
import json, sys
import tarnel_ffi
root, passphrase = sys.argv[1:3]
session = tarnel_ffi.TarnelSession({"operations": ["inject"]}, vault_dir=root, passphrase=passphrase)
result = session.inject_run("DB=secret:dev/app/db\\n", "dev", "/bin/sh", ["-c", "cat; echo \\"$DB\\""])
print(json.dumps({"stdout": result["stdout"].decode(), "left": sys.stdin.read()}))
"""


def test_neither_client_nor_child_consumes_the_callers_standard_input(vault, tmp_path):
    client_read = tmp_path / "client-read"
    bin_dir = tmp_path / "bin"
    stand_in_client(bin_dir, "aws", f'cat > "{client_read}"\nprintf "stdin-probe-value\\n"')
    vault.write(reference("dev/app/db", "aws-sm://us-east-1/db"))
    data = "first message\nsecond message\n"

    probe = subprocess.run(
        [sys.executable, "-c", STDIN_PROBE, str(vault.root), vault.passphrase], input=data.encode(),
        capture_output=True, timeout=60, env={**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"})

    assert probe.returncode == 0, probe.stderr
    assert json.loads(probe.stdout) == {"stdout": "***\n", "left": data}
    assert client_read.read_bytes() == b""


def test_the_vaults_settings_never_reach_the_client(vault, open_session, monkeypatch, tmp_path):
    dump = tmp_path / "client-env"
    stand_in_client(tmp_path / "bin", "aws", f'env -0 > "{dump}"\nprintf "env-probe-value\\n"')
    put_on_path(monkeypatch, tmp_path / "bin")
    monkeypatch.setenv("TARNEL_PASSPHRASE", vault.passphrase)
    monkeypatch.setenv("TARNEL_VAULT_DIR", str(vault.root))
    monkeypatch.setenv("TARNEL_ANYTHING_ELSE", "x")
    monkeypatch.setenv("NOT_TARNEL_SETTING", "kept")
    vault.write(reference("dev/app/db", "aws-sm://us-east-1/db"))

    result = open_session().inject_run("DB=secret:dev/app/db\n", "dev", SH, ["-c", 'echo "$DB"'])

    assert result["stdout"] == b"***\n"
    names = {entry.split(b"=", 1)[0] for entry in dump.read_bytes().split(b"\0") if entry}
    assert not {name for name in names if name.startswith(b"TARNEL_")}
    # Everything else is inherited, the PATH that found the client included.
    assert {b"NOT_TARNEL_SETTING", b"PATH", b"HOME"} <= names


def test_azure_references_run_the_lookup_and_classify_a_missing_login(vault, open_session, monkeypatch, tmp_path):
    az = ScriptedAz(tmp_path / "az-ok", "kv1", "db-pass", stdout=b"az-value-123\r\n")
    put_on_path(monkeypatch, az.dir)
    vault.write(reference("dev/app/db", "azure-kv://kv1/db-pass"))
    session = open_session()

    result = session.inject_run("DB=secret:dev/app/db\n", "dev", SH,
                                ["-c", '[ "$DB" = "az-value-123" ] && echo same; echo "$DB"'])

    assert result == {"status": 0, "stdout": b"same\n***\n", "stderr": b""}
    assert az.calls() == [az_lookup_args("kv1", "db-pass")]
    assert audit_pairs(vault) == [("provider-invocation", "scheme:azure-kv"), ("inject", "injected")]

    # What the real client says and does before `az login`.
    logged_out = ScriptedAz(tmp_path / "az-logged-out", "v", "s",
                            stderr="ERROR: Please run 'az login' to setup account.\n", code=1)
    put_on_path(monkeypatch, logged_out.dir)
    vault.write(reference("dev/app/other", "azure-kv://v/s"))
    marker = tmp_path / "ran"
    with pytest.raises(tarnel_ffi.TarnelError) as raised:
        session.inject_run("OTHER=secret:dev/app/other\n", "dev", SH, ["-c", f'touch "{marker}"'])
    assert str(raised.value) == (
        "provider error: azure-kv: az is not authenticated or lacks access (run `az login`; check the tenant and "
        "the vault access policy) [vault=`v`, secret=`s`, exit=1]")
    assert logged_out.calls() == [az_lookup_args("v", "s")]
    assert not marker.exists()


def test_other_threads_run_while_a_client_does(vault, open_session, monkeypatch, tmp_path):
    stand_in_client(tmp_path / "bin", "aws", 'sleep 1\nprintf "slow-client-value\\n"')
    put_on_path(monkeypatch, tmp_path / "bin")
    vault.write(reference("dev/app/db", "aws-sm://us-east-1/db"))
    session = open_session()
    with ticking() as ticks:
        # The child itself is quick, so the second is the client's.
        result = session.inject_run("DB=secret:dev/app/db\n", "dev", "/bin/true")
        during = ticks()
    assert result["status"] == 0
    assert during > 100
