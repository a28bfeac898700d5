"""request_secret: an intake request for a human, with no value anywhere."""

import json
import os
from concurrent.futures import ThreadPoolExecutor

import pytest

from tarnel_ffi import TarnelError
from vaultkit import literal

KEYS = ["id", "created_unix", "coordinate", "sensitivity", "environment", "origin", "requesting_process",
        "description", "project"]


def intake(vault, intake_id):
    path = vault.root / "intake" / f"{intake_id}.json"
    return path, json.loads(path.read_text())


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


@pytest.mark.parametrize(("arguments", "expected"), [
    (("secret://global/dev/db/password#private", "Inject_Only", "the db password", "alpha", "claude-desktop/1.2"),
     {"coordinate": "secret://global/dev/db/password#private", "sensitivity": "inject-only", "environment": "dev",
      "requesting_process": "claude-desktop/1.2", "description": "the db password", "project": "alpha"}),
    (("secret:dev/app/token", None, "", ""),  # an empty project is written as null
     {"coordinate": "secret:dev/app/token", "sensitivity": "medium", "environment": "dev",
      "requesting_process": None, "description": "", "project": None}),
])
def test_optional_fields_and_the_coordinate_as_written(vault, open_session, arguments, expected):
    _, data = intake(vault, open_session().request_secret(*arguments))
    assert {key: data[key] for key in expected} == expected
    with pytest.raises(TarnelError, match=r"^unknown sensitivity `secret` \(expected low\|medium\|high\|inject-only\)$"):
        open_session().request_secret("secret:dev/app/other", "secret")
    assert len(list((vault.root / "intake").iterdir())) == 1


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

    def request_many(index):
        return [sessions[index % 2].request_secret(f"secret:dev/app/k{index}-{n}") for n in range(25)]

    with ThreadPoolExecutor(4) as pool:
        ids = [intake_id for batch in pool.map(request_many, range(4)) for intake_id in batch]
    assert len(set(ids)) == 100
    assert len(list((vault.root / "intake").iterdir())) == 100
    assert {intake(vault, i)[1]["id"] for i in ids} == set(ids)
