# A local moto server and the real `aws` client pointed at it: the cloud store that
# aws-sm:// references reach, never a real account.

from __future__ import annotations

import contextlib
import os
import socket
import subprocess
import sysconfig
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from pathlib import Path

# The test environment's executables: moto_server, aws.
SCRIPTS = Path(sysconfig.get_path("scripts"))


def _answers(endpoint: str) -> bool:
    try:
        with urllib.request.urlopen(endpoint + "/moto-api/", timeout=1):
            return True
    except urllib.error.HTTPError:
        return True  # any HTTP answer means the server is up
    except OSError:
        return False


# A moto server on a free port of 127.0.0.1; yields its endpoint URL and kills it on leaving.
@contextlib.contextmanager
def running_moto(log: Path, patience: float = 30.0) -> Iterator[str]:
    for _ in range(3):  # the port may be taken between the probe and the bind
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
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
            server.kill()
            server.wait()
    raise RuntimeError(f"moto_server kept exiting at start; see {log}")


def reset_moto(endpoint: str) -> None:  # forgets every resource the server holds
    urllib.request.urlopen(urllib.request.Request(endpoint + "/moto-api/reset", method="POST"), timeout=10).close()


# Dummy credentials and no user configuration (the files named do not exist), for an
# environment without AWS_ variables (the suite's autouse fixture removes them).
def aws_environment(endpoint: str, scratch: Path) -> dict[str, str]:
    return {
        "AWS_ENDPOINT_URL": endpoint, "AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1", "AWS_MAX_ATTEMPTS": "1", "AWS_EC2_METADATA_DISABLED": "true",
        "AWS_CONFIG_FILE": str(scratch / "no-aws-config"),
        "AWS_SHARED_CREDENTIALS_FILE": str(scratch / "no-aws-credentials"),
        "PATH": str(SCRIPTS) + os.pathsep + os.environ.get("PATH", os.defpath),
    }
