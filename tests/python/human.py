"""A human answering confirmation requests through the pending directory.

The human runs in a process of its own (spawned, so it shares nothing with the
test), as the human-facing tool does.
"""

from __future__ import annotations

import json
import multiprocessing
import time
from pathlib import Path

from vaultkit import owner_approval

# As a decision: the owner's genuine approval, with the proof made from the key.
OWNER_APPROVES = "<the owner approves>"


def _answer(pending: str, decision: str | None, seen: str, patience: float, key: bytes | None) -> None:
    pending_dir, seen_file = Path(pending), Path(seen)
    deadline = time.monotonic() + patience
    while time.monotonic() < deadline:
        requests = sorted(pending_dir.glob("*.json")) if pending_dir.is_dir() else []
        for request in requests:
            try:
                text = request.read_text()
            except FileNotFoundError:
                continue
            scratch = seen_file.with_suffix(".partial")
            scratch.write_text(json.dumps({"name": request.name, "json": text}))
            scratch.rename(seen_file)
            if decision is not None:
                # Written whole and renamed into place, as the human-facing tool does.
                answer = pending_dir / f"{request.stem}.human"
                answer.write_bytes(owner_approval(text.encode(), key) if decision == OWNER_APPROVES
                                   else decision.encode())
                answer.rename(pending_dir / f"{request.stem}.decision")
            return
        time.sleep(0.005)


class ScriptedHuman:
    """Waits for one request in `pending` and answers it with `decision`.

    With decision None it only looks and never answers; OWNER_APPROVES needs
    the vault's key.
    """

    def __init__(self, pending: Path, decision: str | None, workdir: Path, patience: float = 60.0,
                 key: bytes | None = None):
        self._seen = workdir / "human-seen.json"
        context = multiprocessing.get_context("spawn")
        self._process = context.Process(target=_answer, args=(str(pending), decision, str(self._seen), patience, key))

    def __enter__(self) -> ScriptedHuman:
        self._process.start()
        return self

    def __exit__(self, *exc_info) -> None:
        self._process.join(timeout=70)
        if self._process.is_alive():
            self._process.kill()
            self._process.join()

    def seen(self) -> tuple[str, dict] | None:
        """The request file's name and its parsed JSON, once the human has seen one."""
        if not self._seen.exists():
            return None
        seen = json.loads(self._seen.read_text())
        return seen["name"], json.loads(seen["json"])
