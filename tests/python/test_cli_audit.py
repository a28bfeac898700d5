# `tarnel audit`: the log the module and the command write, read back as a
# table or as its own lines, filtered, and followed while it grows. It needs no
# passphrase, so every run here goes without one.

import json
import signal
import subprocess

import pytest

from human import TARNEL, Lines, agent_session, default_signals, end, environment, needs_tarnel, tarnel
from vaultkit import literal

pytestmark = needs_tarnel
OLD = '{"ts":"2020-01-02T03:04:05Z","action":"reveal","coordinate":"dev/app/token","environment":"dev",' \
      '"result":"revealed","origin":"agent"}\n'


def audit(root, *args):
    return tarnel(root, "audit", *args, passphrase=None)


def append(vault, text: str | bytes):
    with open(vault.root / "audit.log", "ab") as log:
        log.write(text.encode() if isinstance(text, str) else text)


def test_table_and_json_show_what_the_module_and_the_command_wrote_filtered(vault):
    # Events from the module (the agent) and from the command (the human), and one of 2020.
    vault.write(literal("dev/app/open", b"o", revealable=True))
    agent = agent_session(vault.root)
    agent.set("secret:dev/app/token", "t1")
    agent.reveal("secret:dev/app/open")
    assert tarnel(vault.root, "set", "secret:prod/db/password", input=b"pw").returncode == 0
    append(vault, OLD)
    table = [line.split() for line in audit(vault.root).stdout.decode().splitlines()]
    assert [row[1:3] for row in table[1:]] == [["agent", "create"], ["agent", "reveal"], ["human", "create"],
                                               ["agent", "reveal"]]
    assert audit(vault.root, "--json").stdout == vault.audit_bytes()  # the lines as stored

    def results(*args):
        return [event["ts"][:4] for event in map(json.loads, audit(vault.root, "--json", *args).stdout.split())]

    now = vault.audit()[0]["ts"][:4]
    assert results("--coordinate", "secret://global/dev/app/token#private") == [now, "2020"]
    assert results("--coordinate", "dev/app/token", "--action", "reveal") == ["2020"]
    assert results("--action", "reveal", "--since", "1h") == [now]
    assert audit(vault.root, "--action", "timeout").stdout == b"no matching audit events\n"


# Guards: torn audit lines (the reader holds back a tail a writer has not finished).
def test_bad_lines_are_skipped_with_a_warning_terminal_words_escaped_and_a_torn_tail_held_back(vault):
    agent_session(vault.root).set("secret:dev/app/token", "t1")
    append(vault, b"{not json\n")
    append(vault, '{"ts":"2026-12-07T10:00:00Z","action":"edit","result":"\\u001b[2Jcleared","pid":4021,'
                  '"requester_note":"a\\nb\\u009bc"}\n')
    append(vault, b'{"ts":"2026-12-07T10:00:01Z","action":"del')  # a writer still at work, or killed
    done = audit(vault.root)
    assert (done.returncode, done.stderr) == (
        0, b"tarnel: skipping audit.log line 2: not JSON: Missing a name for object member.\n")
    assert "\x1b" not in done.stdout.decode() and "\x9b" not in done.stdout.decode() and b"del" not in done.stdout
    assert done.stdout.decode().splitlines()[-1].split() == [
        "2026-12-07T10:00:00Z", "-", "edit", "\\x1b[2Jcleared", "-", "-", "requester_note=a\\x0ab\\u009bc", "pid=4021"]
    as_json = audit(vault.root, "--json")
    assert as_json.stderr == done.stderr and len(as_json.stdout.splitlines()) == 2 and b"del" not in as_json.stdout


# Guards: a link planted at the log was followed.
def test_the_log_is_opened_safely_needs_no_key_and_bad_filters_are_usage_errors(tmp_path, vault):
    for args, message in [(["--action", "peek"], b"unknown action `peek`; one of: access, reveal, "),
                          (["--coordinate", "secret:${ENV}/app/db"], b"coordinate is not storable")]:
        done = audit(vault.root, *args)
        assert (done.returncode, done.stdout) == (2, b"") and done.stderr.startswith(b"tarnel: ") and message in done.stderr
    assert audit(tmp_path / "nowhere").returncode == 1
    assert audit(vault.root).stdout == b"no audit events\n" and audit(vault.root, "--json").stdout == b""
    (tmp_path / "elsewhere.log").write_text(OLD)
    (vault.root / "audit.log").symlink_to(tmp_path / "elsewhere.log")
    done = audit(vault.root)
    assert (done.returncode, done.stderr) == (1, b"tarnel: audit error: open audit log: a symbolic link; "
                                                 b"not following it\n")


@pytest.mark.parametrize(("signum", "status"), [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_follow_prints_filtered_lines_as_they_are_completed_until_ended(vault, signum, status):
    # Started before the log exists. Guards: a follower started from a background job (SIGINT ignored) never ended.
    process = subprocess.Popen([str(TARNEL), "audit", "--follow", "--json", "--action", "create"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment(vault.root, None),
                               start_new_session=True, preexec_fn=default_signals)
    line = Lines(process.stdout)
    try:
        agent = agent_session(vault.root)
        agent.set("secret:dev/app/token", "t1")
        assert json.loads(line())["coordinate"] == "dev/app/token"
        torn = b'{"ts":"2026-12-07T10:00:00Z","action":"create","coordinate":"dev/app/x",'
        append(vault, torn)
        assert line.quiet(0.6)
        append(vault, b'"environment":"dev","result":"created"}\n')
        assert line() == torn + b'"environment":"dev","result":"created"}'
        process.send_signal(signum)
        assert process.wait(timeout=15) == status and process.stderr.read() == b""
    finally:
        end(process)
