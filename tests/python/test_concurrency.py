"""Several processes, each with its own TarnelSession, writing one record at once.

Each field has exactly one writer process; a set or edit that wrote back fields
read before another writer changed them shows up as a stale field. A reader
process must never find the record missing or unreadable.
"""

import json
import multiprocessing
import time
from pathlib import Path

from human import OWNER_APPROVES, ScriptedHuman
from vaultkit import Vault, literal

ROUNDS = 30
CONTEXT = multiprocessing.get_context("spawn")
AT = "secret:dev/app/token"


def _session(root, passphrase):
    import tarnel_ffi
    return tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root, passphrase=passphrase)


def _spawn(target, vault, *args):
    process = CONTEXT.Process(target=target, args=(str(vault.root), vault.passphrase, *args))
    process.start()
    return process


def _write(root, passphrase, role, start, out):
    session = _session(root, passphrase)
    start.wait()
    done = 0
    for n in range(ROUNDS):
        if role == "value":
            session.set(AT, f"value-{n}")
        elif role == "description":
            session.edit_metadata(AT, description=f"desc-{n}")
        elif role == "revealable":
            # Only taking revealable away is free; a writer that put back a
            # stale copy would bring back the starting True.
            session.edit_metadata(AT, revealable=False)
        elif role == "sensitivity":
            session.edit_metadata(AT, sensitivity="low" if n % 2 == 0 else "medium")
        done += 1
    out.put((role, done))


def _read(root, passphrase, stop, out):
    # Vault() would rewrite the salt file under the sessions opening beside us.
    vault = Vault.existing(Path(root), passphrase)
    reads = failures = 0
    while not stop.is_set():
        try:
            if vault.read("dev/app/token") is None:
                failures += 1
        except Exception:  # noqa: BLE001 - any failure to open counts
            failures += 1
        reads += 1
        time.sleep(0.001)
    out.put(("reader", reads, failures))


def test_concurrent_sets_and_edits_lose_no_field(vault):
    vault.write(literal("dev/app/token", b"value-start", sensitivity="medium", revealable=True))
    roles = ["value", "description", "revealable", "sensitivity"]
    start, stop, out = CONTEXT.Barrier(len(roles)), CONTEXT.Event(), CONTEXT.Queue()
    reader = _spawn(_read, vault, stop, out)
    writers = [_spawn(_write, vault, role, start, out) for role in roles]
    finished = dict(out.get(timeout=180) for _ in writers)
    stop.set()
    _, reads, unreadable = out.get(timeout=60)
    for process in [*writers, reader]:
        process.join(timeout=60)
        assert process.exitcode == 0

    assert finished == {role: ROUNDS for role in roles}
    assert reads > 0 and unreadable == 0
    stored = vault.read("dev/app/token")
    last = ROUNDS - 1
    assert bytes(stored["value"]) == f"value-{last}".encode()
    assert stored["description"] == f"desc-{last}"
    assert stored["revealable"] is False
    assert stored["sensitivity"] == ("low" if last % 2 == 0 else "medium")

    # One audit line per successful write, none lost or doubled.
    results = [event["result"] for event in vault.audit()]
    assert results.count("value-updated") == ROUNDS
    assert results.count("metadata-updated") == 3 * ROUNDS
    assert results.count("downgraded") == ROUNDS // 2
    assert len(results) == ROUNDS + 3 * ROUNDS + ROUNDS // 2


def _generate(root, passphrase, start, out):
    session = _session(root, passphrase)
    start.wait()
    try:
        session.generate("secret:dev/app/once", 24)
        out.put("created")
    except Exception as error:  # noqa: BLE001 - the message is compared below
        out.put(str(error))


def test_racing_generates_create_one_record(vault):
    racers = 4
    start, out = CONTEXT.Barrier(racers), CONTEXT.Queue()
    processes = [_spawn(_generate, vault, start, out) for _ in range(racers)]
    outcomes = sorted(out.get(timeout=120) for _ in processes)
    for process in processes:
        process.join(timeout=60)
    assert outcomes == ["`secret:dev/app/once` already exists"] * (racers - 1) + ["created"]
    assert [event["result"] for event in vault.audit()] == ["generated"]
    assert len(vault.read("dev/app/once")["value"]) == 24


def _edit_waiting_for_a_human(root, passphrase, out):
    session = _session(root, passphrase)
    started = time.monotonic()
    session.edit_metadata(AT, sensitivity="medium", description="from the edit")
    out.put(time.monotonic() - started)


def test_a_set_during_a_pending_downgrade_is_neither_blocked_nor_lost(vault, open_session, tmp_path):
    vault.write(literal("dev/app/token", b"before", sensitivity="high"))
    out = CONTEXT.Queue()
    editor = _spawn(_edit_waiting_for_a_human, vault, out)
    pending = vault.root / "pending"
    deadline = time.monotonic() + 60
    while not (pending.is_dir() and any(pending.glob("*.json"))) and time.monotonic() < deadline:
        time.sleep(0.01)
    request = next(pending.glob("*.json"))
    assert json.loads(request.read_text())["request"]["sensitivity"] == "high"

    # The editor is waiting for the human: a set on the same record goes through.
    started = time.monotonic()
    open_session().set(AT, "set while pending")
    assert time.monotonic() - started < 5

    with ScriptedHuman(pending, OWNER_APPROVES, tmp_path, key=vault.key):
        waited = out.get(timeout=60)
    editor.join(timeout=60)
    assert editor.exitcode == 0 and waited < 60
    stored = vault.read("dev/app/token")
    assert bytes(stored["value"]) == b"set while pending"
    assert (stored["sensitivity"], stored["description"]) == ("medium", "from the edit")
    assert [event["result"] for event in vault.audit()] == [
        "value-updated", "approved-downgrade", "downgraded", "metadata-updated"]
