"""One sensitivity downgrade that nobody answers, run in a process of its own.

Usage: timeout_probe.py WORKDIR. Prints one JSON object describing the outcome.
A watcher process copies the pending request while the session waits.
"""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import tarnel_ffi
from vaultkit import Vault, literal

WATCH = """
import pathlib, sys, time
pending, seen = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    for request in (sorted(pending.glob("*.json")) if pending.is_dir() else []):
        try:
            text = request.read_text()
        except FileNotFoundError:
            continue
        seen.with_suffix(".partial").write_text(text)
        seen.with_suffix(".partial").rename(seen)
        sys.exit(0)
    time.sleep(0.01)
"""


def main(workdir: Path) -> None:
    vault = Vault(workdir / "vault")
    record = vault.write(literal("prod/db/password", b"v", sensitivity="high"))
    before = record.read_bytes()
    pending = vault.root / "pending"
    seen = workdir / "seen.json"
    watcher = subprocess.Popen([sys.executable, "-c", WATCH, str(pending), str(seen)])

    session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=str(vault.root),
                                       passphrase=vault.passphrase)
    start = time.monotonic()
    try:
        session.edit_metadata("secret:prod/db/password", sensitivity="low")
        outcome = {"raised": None, "message": None}
    except tarnel_ffi.TarnelError as error:
        outcome = {"raised": type(error).__name__, "message": str(error)}
    outcome["elapsed"] = time.monotonic() - start
    watcher.wait(timeout=70)

    outcome["seen"] = json.loads(seen.read_text()) if seen.exists() else None
    outcome["pending_after"] = sorted(os.listdir(pending)) if pending.exists() else []
    outcome["unchanged"] = record.read_bytes() == before
    outcome["audit"] = [[event["action"], event["result"]] for event in vault.audit()]
    print(json.dumps(outcome))


if __name__ == "__main__":
    main(Path(sys.argv[1]))
