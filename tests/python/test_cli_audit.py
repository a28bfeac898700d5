"""`tarnel audit`: the log the module and the command write, read back as a
table or as its own lines, filtered, and followed while it grows. It needs no
passphrase, so every run here goes without one."""

import json
import selectors
import signal
import subprocess
import time

import pytest

from tarnel_ffi import TarnelDenied
from test_cli import TARNEL, environment, module_session, tarnel
from vaultkit import literal

OLD = '{"ts":"2020-01-02T03:04:05Z","action":"reveal","coordinate":"dev/app/token","environment":"dev",' \
      '"result":"revealed","origin":"agent"}\n'


def audit(root, *args):
    return tarnel(root, "audit", *args, passphrase=None)


def rows(done) -> list[list[str]]:
    assert done.returncode == 0, done.stderr
    return [line.split() for line in done.stdout.decode().splitlines()]


def append(vault, text: str | bytes):
    with open(vault.root / "audit.log", "ab") as log:
        log.write(text.encode() if isinstance(text, str) else text)


@pytest.fixture
def busy_vault(vault):
    """Events from the module (the agent) and from the command (the human)."""
    vault.write(literal("dev/app/open", b"o", revealable=True))
    vault.write(literal("dev/app/closed", b"c"))
    agent = module_session(vault.root)
    agent.set("secret:dev/app/token", "t1")
    agent.reveal("secret:dev/app/open")
    with pytest.raises(TarnelDenied):
        agent.reveal("secret:dev/app/closed")
    assert tarnel(vault.root, "set", "secret:prod/db/password", input=b"pw").returncode == 0
    return vault


def test_table_and_json_show_what_the_module_and_the_command_wrote(busy_vault):
    table = rows(audit(busy_vault.root))
    assert table[0] == ["TIME", "ACTOR", "ACTION", "RESULT", "COORDINATE", "ENVIRONMENT", "DETAILS"]
    assert [row[1:] for row in table[1:]] == [
        ["agent", "create", "created", "dev/app/token", "dev"],
        ["agent", "reveal", "revealed", "dev/app/open", "dev"],
        ["agent", "deny", "denied", "dev/app/closed", "dev"],
        ["human", "create", "created", "prod/db/password", "prod"],
    ]
    assert [row[0] for row in table[1:]] == [event["ts"] for event in busy_vault.audit()]

    done = audit(busy_vault.root, "--json")
    assert done.returncode == 0 and done.stderr == b""
    assert done.stdout == busy_vault.audit_bytes()  # the lines as stored
    assert [json.loads(line)["result"] for line in done.stdout.splitlines()] == [
        "created", "revealed", "denied", "created"]


def test_filters_combine(busy_vault):
    append(busy_vault, OLD)

    def results(*args):
        done = audit(busy_vault.root, "--json", *args)
        assert done.returncode == 0, done.stderr
        return [(event["action"], event["coordinate"], event["ts"][:4])
                for event in map(json.loads, done.stdout.splitlines())]

    this_year = busy_vault.audit()[0]["ts"][:4]
    for form in ("dev/app/token", "secret:dev/app/token", "secret://global/dev/app/token#private"):
        assert results("--coordinate", form) == [("create", "dev/app/token", this_year),
                                                 ("reveal", "dev/app/token", "2020")]
    assert results("--action", "reveal") == [("reveal", "dev/app/open", this_year), ("reveal", "dev/app/token", "2020")]
    assert results("--coordinate", "dev/app/token", "--action", "reveal") == [("reveal", "dev/app/token", "2020")]
    assert results("--action", "reveal", "--since", "1h") == [("reveal", "dev/app/open", this_year)]
    assert results("--action", "reveal", "--since", "2020-01-02T03:04:05Z") == results("--action", "reveal")
    assert results("--action", "reveal", "--since", "2020-01-02T04:04:06+01:00") == [
        ("reveal", "dev/app/open", this_year)]
    assert results("--action", "out-of-scope-attempt") == []
    assert rows(audit(busy_vault.root, "--action", "timeout")) == [["no", "matching", "audit", "events"]]


@pytest.mark.parametrize(("args", "message"), [
    (["--action", "peek"], b"unknown action `peek`; one of: access, reveal, inject, approve, deny, timeout, "
                           b"sensitivity-downgrade, unattended-delivery, package, provider-invocation, create, "
                           b"edit, delete, scope-grant, out-of-scope-attempt"),
    (["--since", "yesterday"], b"`yesterday` is neither an RFC 3339 time"),
    (["--since", "2026-02-30T00:00:00Z"], b"is neither an RFC 3339 time"),
    (["--since", "-5m"], b"is neither an RFC 3339 time"),
    (["--coordinate", "dev/app"], b"invalid coordinate URI: coordinate must have exactly three segments"),
    (["--coordinate", "secret:${ENV}/app/db"], b"coordinate is not storable"),
])
def test_bad_filters_are_usage_errors(vault, args, message):
    done = audit(vault.root, *args)
    assert done.returncode == 2 and done.stdout == b""
    assert done.stderr.startswith(b"tarnel: ") and message in done.stderr


def test_bad_lines_are_skipped_with_a_warning_and_a_torn_tail_quietly(vault):
    module_session(vault.root).set("secret:dev/app/token", "t1")
    append(vault, b"{not json\n")
    append(vault, '{"ts":"2026-12-07T10:00:00Z","action":"edit","result":"\\u001b[2Jcleared","pid":4021,'
                  '"requester_note":"a\\nb\\u009bc"}\n')
    append(vault, b'{"ts":"2026-12-07T10:00:01Z","action":"del')  # a writer still at work, or killed

    done = audit(vault.root)
    assert done.returncode == 0
    assert done.stderr == b"tarnel: skipping audit.log line 2: not JSON: Missing a name for object member.\n"
    table = done.stdout.decode()
    assert "\x1b" not in table and "\x9b" not in table
    last = table.splitlines()[-1]
    assert last.split() == ["2026-12-07T10:00:00Z", "-", "edit", "\\x1b[2Jcleared", "-", "-",
                            "requester_note=a\\x0ab\\u009bc", "pid=4021"]
    assert "del" not in table

    as_json = audit(vault.root, "--json")
    assert as_json.stderr == done.stderr
    assert len(as_json.stdout.splitlines()) == 2 and b'"action":"del' not in as_json.stdout


def test_the_log_is_opened_safely_and_needs_no_key(tmp_path, vault):
    assert audit(tmp_path / "nowhere").returncode == 1
    assert rows(audit(vault.root)) == [["no", "audit", "events"]]
    assert audit(vault.root, "--json").stdout == b""

    elsewhere = tmp_path / "elsewhere.log"
    elsewhere.write_text(OLD)
    (vault.root / "audit.log").symlink_to(elsewhere)
    done = audit(vault.root)
    assert (done.returncode, done.stdout) == (1, b"")
    assert done.stderr == b"tarnel: audit error: open audit log: a symbolic link; not following it\n"


class Follower:
    """`tarnel audit --follow` in the background, read a line at a time."""

    def __init__(self, root, *args):
        self.process = subprocess.Popen([str(TARNEL), "audit", "--follow", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=environment(root, passphrase=None),
                                        start_new_session=True, bufsize=0)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.process.stdout, selectors.EVENT_READ)
        self.pending = b""

    def line(self, timeout=60.0) -> bytes:
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            assert left > 0 and self.selector.select(left), f"no line within {timeout}s: {self.pending!r}"
            chunk = self.process.stdout.read(65536)
            assert chunk, "the follower ended"
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line

    def nothing_more(self, wait=0.6) -> bool:
        return not self.pending and not self.selector.select(wait)

    def stop(self, signal_number) -> int:
        self.process.send_signal(signal_number)
        status = self.process.wait(timeout=15)
        self.selector.close()
        return status


def test_follow_prints_lines_as_they_are_completed_until_terminated(vault):
    follower = Follower(vault.root, "--json")
    try:
        agent = module_session(vault.root)  # the log does not exist yet
        agent.set("secret:dev/app/token", "t1")
        assert json.loads(follower.line())["result"] == "created"

        torn = b'{"ts":"2026-12-07T10:00:00Z","action":"delete","coordinate":"dev/app/token",'
        append(vault, torn)
        assert follower.nothing_more()
        append(vault, b'"environment":"dev","result":"deleted"}\n')
        assert follower.line() == torn + b'"environment":"dev","result":"deleted"}'

        agent.delete("secret:dev/app/token")
        assert json.loads(follower.line())["action"] == "delete"
    finally:
        status = follower.stop(signal.SIGTERM)
    assert status == 143
    assert follower.process.stderr.read() == b""


def test_follow_as_a_table_filters_and_ends_on_interrupt(busy_vault):
    follower = Follower(busy_vault.root, "--action", "create")
    try:
        assert follower.line().split()[:3] == [b"TIME", b"ACTOR", b"ACTION"]
        assert follower.line().split()[1:5] == [b"agent", b"create", b"created", b"dev/app/token"]
        assert follower.line().split()[1:5] == [b"human", b"create", b"created", b"prod/db/password"]
        module_session(busy_vault.root).reveal("secret:dev/app/open")
        module_session(busy_vault.root).set("secret:dev/app/later", "v")
        assert follower.line().split()[1:5] == [b"agent", b"create", b"created", b"dev/app/later"]
    finally:
        status = follower.stop(signal.SIGINT)
    assert status == 130
