"""Several processes, each with its own TarnelSession, writing one record at once.

Each field of the record has exactly one writer: one process sets the value,
one edits the description, one flips the revealable flag, one moves the
sensitivity between medium and low. Whatever the interleaving, the record must
end with every writer's last word; a set or an edit that wrote back fields it
had read before another writer changed them would show up as a stale field.
A reader process opens the file with the independent reader throughout: it
must never find it missing or unreadable.
"""

import json
import multiprocessing
import time
from pathlib import Path

from human import ScriptedHuman
from vaultkit import Vault, literal

ROUNDS = 30
AT = "secret:dev/app/token"


def _write(root, passphrase, role, start, out):
    import tarnel_ffi
    session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root, passphrase=passphrase)
    start.wait()
    done = 0
    for n in range(ROUNDS):
        if role == "value":
            session.set(AT, f"value-{n}")
        elif role == "description":
            session.edit_metadata(AT, description=f"desc-{n}")
        elif role == "revealable":
            session.edit_metadata(AT, revealable=n % 2 == 0)
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
    vault.write(literal("dev/app/token", b"value-start", sensitivity="medium"))
    context = multiprocessing.get_context("spawn")
    roles = ["value", "description", "revealable", "sensitivity"]
    start, stop, out = context.Barrier(len(roles)), context.Event(), context.Queue()
    writers = [context.Process(target=_write, args=(str(vault.root), vault.passphrase, role, start, out))
               for role in roles]
    reader = context.Process(target=_read, args=(str(vault.root), vault.passphrase, stop, out))
    reader.start()
    for writer in writers:
        writer.start()
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
    assert stored["revealable"] is (last % 2 == 0)
    assert stored["sensitivity"] == ("low" if last % 2 == 0 else "medium")

    # One audit line per successful write, none lost or doubled.
    results = [event["result"] for event in vault.audit()]
    assert results.count("value-updated") == ROUNDS
    assert results.count("metadata-updated") == 3 * ROUNDS
    assert results.count("downgraded") == ROUNDS // 2
    assert len(results) == ROUNDS + 3 * ROUNDS + ROUNDS // 2


def _generate(root, passphrase, start, out):
    import tarnel_ffi
    session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root, passphrase=passphrase)
    start.wait()
    try:
        session.generate("secret:dev/app/once", 24)
        out.put("created")
    except tarnel_ffi.TarnelError as error:
        out.put(str(error))


def test_racing_generates_create_one_record(vault):
    context = multiprocessing.get_context("spawn")
    racers = 4
    start, out = context.Barrier(racers), context.Queue()
    processes = [context.Process(target=_generate, args=(str(vault.root), vault.passphrase, start, out))
                 for _ in range(racers)]
    for process in processes:
        process.start()
    outcomes = sorted(out.get(timeout=120) for _ in processes)
    for process in processes:
        process.join(timeout=60)
    assert outcomes == ["`secret:dev/app/once` already exists"] * (racers - 1) + ["created"]
    assert [event["result"] for event in vault.audit()] == ["generated"]
    assert len(vault.read("dev/app/once")["value"]) == 24


def _edit_waiting_for_a_human(root, passphrase, out):
    import tarnel_ffi
    session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root, passphrase=passphrase)
    started = time.monotonic()
    session.edit_metadata(AT, sensitivity="medium", description="from the edit")
    out.put(time.monotonic() - started)


def test_a_set_during_a_pending_downgrade_is_neither_blocked_nor_lost(vault, open_session, tmp_path):
    vault.write(literal("dev/app/token", b"before", sensitivity="high"))
    context = multiprocessing.get_context("spawn")
    out = context.Queue()
    editor = context.Process(target=_edit_waiting_for_a_human, args=(str(vault.root), vault.passphrase, out))
    editor.start()
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

    with ScriptedHuman(pending, "approved", tmp_path):
        waited = out.get(timeout=60)
    editor.join(timeout=60)
    assert editor.exitcode == 0 and waited < 60
    stored = vault.read("dev/app/token")
    assert bytes(stored["value"]) == b"set while pending"
    assert (stored["sensitivity"], stored["description"]) == ("medium", "from the edit")
    assert [event["result"] for event in vault.audit()] == [
        "value-updated", "approved-downgrade", "downgraded", "metadata-updated"]
