"""Stand-ins for the cloud secret stores that references point at.

AWS: a local moto server and the real `aws` client pointed at it. Azure: a
scripted `az` that accepts exactly the argument list a lookup uses and replays
a given output. Neither ever reaches a real account.
"""

from __future__ import annotations

import contextlib
import json
import os
import socket
import subprocess
import sys
import sysconfig
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from pathlib import Path

# The test environment's executables: moto_server, aws.
SCRIPTS = Path(sysconfig.get_path("scripts"))


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _answers(endpoint: str) -> bool:
    try:
        with urllib.request.urlopen(endpoint + "/moto-api/", timeout=1):
            return True
    except urllib.error.HTTPError:
        return True  # any HTTP answer means the server is up
    except OSError:
        return False


@contextlib.contextmanager
def running_moto(log: Path, patience: float = 30.0) -> Iterator[str]:
    """A moto server on a free port of 127.0.0.1; yields its endpoint URL."""
    for _ in range(3):  # the port may be taken between the probe and the bind
        port = _free_port()
        endpoint = f"http://127.0.0.1:{port}"
        with open(log, "ab") as sink:
            server = subprocess.Popen([str(SCRIPTS / "moto_server"), "-H", "127.0.0.1", "-p", str(port)],
                                      stdin=subprocess.DEVNULL, stdout=sink, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + patience
            while server.poll() is None and not _answers(endpoint):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"moto_server did not answer within {patience}s; see {log}")
                time.sleep(0.05)
            if server.poll() is None:
                yield endpoint
                return
        finally:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
    raise RuntimeError(f"moto_server kept exiting at start; see {log}")


def reset_moto(endpoint: str) -> None:
    """Forgets every resource the server holds."""
    urllib.request.urlopen(urllib.request.Request(endpoint + "/moto-api/reset", method="POST"), timeout=10).close()


def aws_environment(endpoint: str, scratch: Path) -> dict[str, str]:
    """Variables that point the `aws` client at the endpoint with dummy credentials.

    Meant to be laid over an environment without AWS_ variables (the suite's
    autouse fixture removes them); the config files named do not exist, so
    nothing of the user's own configuration is read.
    """
    return {
        "AWS_ENDPOINT_URL": endpoint,
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1",
        "AWS_MAX_ATTEMPTS": "1",
        "AWS_CONFIG_FILE": str(scratch / "no-aws-config"),
        "AWS_SHARED_CREDENTIALS_FILE": str(scratch / "no-aws-credentials"),
        "AWS_EC2_METADATA_DISABLED": "true",
        "PATH": str(SCRIPTS) + os.pathsep + os.environ.get("PATH", os.defpath),
    }


# --- a scripted az ------------------------------------------------------------------

_AZ_SCRIPT = """\
#!{python}
import json, sys
arguments = sys.argv[1:]
with open({calls!r}, "a") as calls:
    calls.write(json.dumps(arguments) + "\\n")
if arguments != {expected!r}:
    sys.stderr.write("scripted az: unexpected arguments %r\\n" % (arguments,))
    sys.exit(97)
sys.stdout.buffer.write({stdout!r})
sys.stderr.buffer.write({stderr!r})
sys.exit({code!r})
"""


def az_lookup_args(vault: str, secret: str) -> list[str]:
    return ["keyvault", "secret", "show", "--vault-name", vault, "--name", secret, "--query", "value",
            "-o", "tsv"]


class ScriptedAz:
    """An `az` in its own directory (put it first on PATH) that accepts only the
    lookup of `secret` in `vault` and then prints `stdout` and `stderr` and exits
    with `code`. Any other argument list exits 97 with nothing on stdout."""

    def __init__(self, directory: Path, vault: str, secret: str, stdout: bytes | str = b"",
                 stderr: bytes | str = b"", code: int = 0):
        directory.mkdir(parents=True, exist_ok=True)
        self.dir = directory
        self.path = directory / "az"
        self._calls = directory / "az-calls.jsonl"
        self.path.write_text(_AZ_SCRIPT.format(
            python=sys.executable, calls=str(self._calls), expected=az_lookup_args(vault, secret),
            stdout=_as_bytes(stdout), stderr=_as_bytes(stderr), code=code))
        self.path.chmod(0o755)

    def calls(self) -> list[list[str]]:
        """Every argument list it was run with, in order."""
        if not self._calls.exists():
            return []
        return [json.loads(line) for line in self._calls.read_text().splitlines()]


def _as_bytes(text: bytes | str) -> bytes:
    return text.encode() if isinstance(text, str) else text
