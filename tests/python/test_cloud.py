"""The cloud stand-ins themselves: what later tests of references rely on."""

import os
import subprocess
import urllib.error
import urllib.request

import pytest

from cloud import ScriptedAz, az_lookup_args, running_moto


def aws(env, *args):
    return subprocess.run(["aws", *args], env={**os.environ, **env}, capture_output=True, timeout=60)


def test_the_aws_client_stores_and_reads_a_secret_in_moto(aws_env):
    created = aws(aws_env, "secretsmanager", "create-secret", "--name", "team/db", "--secret-string", "s3cr3t\u00e9")
    assert created.returncode == 0, created.stderr
    # The lookup a reference makes.
    got = aws(aws_env, "secretsmanager", "get-secret-value", "--secret-id", "team/db", "--region", "eu-west-1",
              "--query", "SecretString", "--output", "text")
    assert got.returncode != 0 and b"ResourceNotFoundException" in got.stderr  # regions are kept apart
    got = aws(aws_env, "secretsmanager", "get-secret-value", "--secret-id", "team/db", "--region", "us-east-1",
              "--query", "SecretString", "--output", "text")
    assert (got.returncode, got.stdout) == (0, "s3cr3t\u00e9\n".encode())


def test_each_test_starts_with_an_empty_moto(aws_env):
    listed = aws(aws_env, "secretsmanager", "list-secrets", "--query", "length(SecretList)", "--output", "text")
    assert (listed.returncode, listed.stdout) == (0, b"0\n")


def test_a_moto_server_is_gone_once_its_scope_ends(tmp_path):
    with running_moto(tmp_path / "log") as endpoint:
        urllib.request.urlopen(endpoint + "/moto-api/", timeout=5).close()
    with pytest.raises(urllib.error.URLError):
        urllib.request.urlopen(endpoint + "/moto-api/", timeout=5)


def test_the_scripted_az_replays_only_the_exact_lookup(tmp_path):
    az = ScriptedAz(tmp_path / "bin", "kv1", "db-pass", stdout=b"value\r\n", stderr="warning", code=3)
    env = {**os.environ, "PATH": f"{az.dir}{os.pathsep}{os.environ['PATH']}"}
    run = subprocess.run(["az", *az_lookup_args("kv1", "db-pass")], env=env, capture_output=True, timeout=30)
    assert (run.returncode, run.stdout, run.stderr) == (3, b"value\r\n", b"warning")

    for wrong in (az_lookup_args("kv1", "other"), az_lookup_args("kv1", "db-pass")[:-1],
                  [*az_lookup_args("kv1", "db-pass"), "--debug"]):
        run = subprocess.run([str(az.path), *wrong], capture_output=True, timeout=30)
        assert (run.returncode, run.stdout) == (97, b"")
    assert az.calls() == [az_lookup_args("kv1", "db-pass"), az_lookup_args("kv1", "other"),
                          az_lookup_args("kv1", "db-pass")[:-1], [*az_lookup_args("kv1", "db-pass"), "--debug"]]
