"""request_secret: an intake request for a human, with no value anywhere."""

import inspect
import json
import multiprocessing
import os
import threading

import pytest

from tarnel_ffi import TarnelError, TarnelNotFound
from vaultkit import literal

DOC = ("Request a human to CREATE a secret at `coordinate` (TRN-69a). You name ONLY\n"
       "the coordinate (and optionally a sensitivity/description) \u2014 there is **no\n"
       "value parameter**. A human supplies the value out-of-band, so the value\n"
       "never enters your context (I11/I14). Returns the intake id.")
KEYS = ["id", "created_unix", "coordinate", "sensitivity", "environment", "origin", "requesting_process",
        "description", "project"]


def intake(vault, intake_id):
    path = vault.root / "intake" / f"{intake_id}.json"
    return path, json.loads(path.read_text())


def test_docstring_and_signature(open_session):
    session = open_session()
    assert type(session).request_secret.__doc__ == DOC
    assert str(inspect.signature(session.request_secret)) == (
        "(coordinate, sensitivity=None, description=None, project=None, client_identity=None)")
    assert "value" not in inspect.signature(session.request_secret).parameters


def test_one_intake_file_with_every_key(vault, open_session):
    intake_id = open_session().request_secret("secret:dev/app/token")
    secs, pid, seq = intake_id.split("-")
    assert int(pid) == os.getpid() and secs.isdigit() and seq.isdigit()
    path, data = intake(vault, intake_id)
    assert sorted(p.name for p in path.parent.iterdir()) == [f"{intake_id}.json"]
    assert path.stat().st_mode & 0o777 == 0o600
    assert list(data) == KEYS
    assert data == {"id": intake_id, "created_unix": data["created_unix"], "coordinate": "secret:dev/app/token",
                    "sensitivity": "medium", "environment": "dev", "origin": "agent",
                    "requesting_process": None, "description": None, "project": None}
    assert type(data["created_unix"]) is int
    raw = path.read_bytes()
    assert b" " not in raw and not raw.endswith(b"\n")


def test_optional_fields_and_the_coordinate_as_written(vault, open_session):
    intake_id = open_session().request_secret("secret://global/dev/db/password#private", "Inject_Only",
                                              "the db password", "alpha", "claude-desktop/1.2")
    _, data = intake(vault, intake_id)
    assert data["coordinate"] == "secret://global/dev/db/password#private"
    assert (data["sensitivity"], data["environment"]) == ("inject-only", "dev")
    assert data["requesting_process"] == "claude-desktop/1.2"
    assert (data["description"], data["project"]) == ("the db password", "alpha")


def test_an_empty_project_is_written_as_null(vault, open_session):
    _, data = intake(vault, open_session().request_secret("secret:dev/app/token", project="", description=""))
    assert data["project"] is None
    assert data["description"] == ""


def test_scope_comes_before_the_sensitivity_word(vault, open_session):
    with pytest.raises(TarnelNotFound, match="^not addressable$"):
        open_session(["metadata", "reveal"]).request_secret("secret:dev/app/token", "nonsense")
    with pytest.raises(TarnelNotFound):
        open_session(projects=["alpha"]).request_secret("secret:dev/app/token")
    with pytest.raises(TarnelNotFound):
        open_session(environments="dev").request_secret("secret:prod/app/token")
    with pytest.raises(TarnelError, match=r"^unknown sensitivity `secret` \(expected low\|medium\|high\|inject-only\)$"):
        open_session().request_secret("secret:dev/app/token", "secret")
    with pytest.raises(TarnelError, match=r"not \$\{ENV\}\)$"):
        open_session().request_secret("secret:${ENV}/app/token")
    assert not (vault.root / "intake").exists()


def test_nothing_is_audited_and_no_record_is_touched(vault, open_session):
    path = vault.write(literal("dev/app/token", b"exists"))
    before = sorted(p.name for p in vault.dir().iterdir())
    open_session().request_secret("secret:dev/app/token")
    open_session().request_secret("secret:dev/app/new", project="alpha")
    assert vault.audit_bytes() == b""
    assert sorted(p.name for p in vault.dir().iterdir()) == before
    assert path.exists() and not vault.dir("alpha").exists()


def test_identifiers_are_unique_across_sessions_and_threads(vault, open_session):
    sessions = [open_session(), open_session()]
    ids, lock = [], threading.Lock()

    def request_many(index):
        for n in range(25):
            intake_id = sessions[index % 2].request_secret(f"secret:dev/app/k{index}-{n}")
            with lock:
                ids.append(intake_id)

    threads = [threading.Thread(target=request_many, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(set(ids)) == 100
    assert len(list((vault.root / "intake").iterdir())) == 100
    assert {intake(vault, i)[1]["id"] for i in ids} == set(ids)


def _request_from_another_process(root, passphrase, count, out):
    import tarnel_ffi
    session = tarnel_ffi.TarnelSession({"operations": ["write"]}, vault_dir=root, passphrase=passphrase)
    out.put([session.request_secret(f"secret:dev/app/p{os.getpid()}-{n}") for n in range(count)])


def test_identifiers_are_unique_across_processes(vault):
    context = multiprocessing.get_context("spawn")
    out = context.Queue()
    workers = [context.Process(target=_request_from_another_process,
                               args=(str(vault.root), vault.passphrase, 20, out)) for _ in range(3)]
    for worker in workers:
        worker.start()
    ids = [intake_id for _ in workers for intake_id in out.get(timeout=120)]
    for worker in workers:
        worker.join(timeout=60)
        assert worker.exitcode == 0
    assert len(set(ids)) == 60
    assert len(list((vault.root / "intake").iterdir())) == 60
