# tarnel import: dotenv files read as python-dotenv reads them, all or none, and the
# .env.refs text it writes run by a real inject_run.

import hashlib
import io

import pytest
from dotenv import dotenv_values

from human import needs_tarnel, tarnel
from vaultkit import Vault, literal

pytestmark = needs_tarnel

DOTENV = [
    "A=plain\nexport B=exported\n",
    "C = spaced value   # a comment\nD=a#b\nE=tab\tinside  \n",
    "F='single \\n kept \\' quote \\\\ x'\n",
    'G="tab\\tnl\\nquote\\"back\\\\slash\\x"\n',
    'H="first line\nsecond line"\nI="  padded  " # comment\n',
    "J=crlf\r\nK=\"quoted\"\r\n# comment\r\n\r\nL=last\r\n",
    "M=\nN=''\nO=\"\"\n",
    "  # indented comment\n\n\tP=indented\nQ=${HOME}/not-expanded\n",
    "R=h\u00e9llo w\u00f6rld \u00a0\nS=cr only\rT=\"\u00a0kept\u00a0\"\r",
    'U="a \\\\"b"\n',
]


@pytest.mark.parametrize("text", DOTENV)
def test_values_are_those_python_dotenv_reads(vault, text):
    expected = dotenv_values(stream=io.StringIO(text), interpolate=False)
    (vault.root.parent / "vars.env").write_bytes(text.encode())
    done = tarnel(vault.root, "import", str(vault.root.parent / "vars.env"), "--env", "dev")
    assert done.returncode == 0, done.stderr
    stored = {name: bytes(vault.read(f"dev/app/{name}")["value"]).decode() for name in expected}
    assert stored == expected
    assert not any(value.encode() in done.stdout + done.stderr for value in expected.values() if len(value) > 3)


@pytest.mark.parametrize(("text", "existing", "flags", "status", "message"), [
    ("A=1\nB\n", False, [], 1, "line 2: `B` has no `=`"),
    ("A=1\nB='open\n", False, [], 1, "line 2: unterminated single quote"),
    ("A=1\nB=\"x\" trailing\n", False, [], 1, "line 2: unexpected text after the value"),
    ("A=1\nA=2\n", False, [], 1, "line 2: `A` is given twice (first on line 1)"),
    ("A=1\n1B=2\n", False, [], 1, "line 2: the name is not a valid identifier"),
    ("A=1\nOLD=new-value\n", True, [], 1, "line 2: `secret:dev/app/OLD` already exists; nothing was imported"),
    # Without a terminal nobody can approve lowering the existing high record.
    ("A=1\nOLD=new-value\n", True, ["--replace", "--sensitivity", "low"], 4, "line 2: `secret:dev/app/OLD`: "),
])
def test_a_bad_line_or_target_imports_nothing(vault, text, existing, flags, status, message):
    if existing:
        vault.write(literal("dev/app/OLD", b"old-value", sensitivity="high"))
    (vault.root.parent / "vars.env").write_bytes(text.encode())
    done = tarnel(vault.root, "import", str(vault.root.parent / "vars.env"), "--env", "dev", *flags)
    assert (done.returncode, message in done.stderr.decode()) == (status, True), done.stderr
    assert vault.read("dev/app/A") is None
    assert not existing or bytes(vault.read("dev/app/OLD")["value"]) == b"old-value"
    assert b"new-value" not in done.stderr


def test_replace_keeps_the_level_and_refs_out_runs_the_same_names(vault, open_session):
    vault.write(literal("dev/shop/TOKEN", b"old-token", sensitivity="low"), project="shop")
    env_file, refs = vault.root.parent / "shop.env", vault.root.parent / ".env.refs"
    env_file.write_text("TOKEN=new-token\nexport DB_URL='postgres://u:p@h/db'\n")
    done = tarnel(vault.root, "import", str(env_file), "--env", "dev", "--project", "shop", "--replace",
                  "--refs-out", str(refs))
    assert done.returncode == 0, done.stderr
    assert refs.read_text() == ("project = shop\nTOKEN = secret:${ENV}/shop/TOKEN\n"
                                "DB_URL = secret:${ENV}/shop/DB_URL\n")
    assert vault.read("dev/shop/TOKEN", "shop")["sensitivity"] == "low"
    script = 'for v in "$TOKEN" "$DB_URL"; do printf %s "$v" | sha256sum; done'
    result = open_session().inject_run(refs.read_text(), "dev", "/bin/sh", ["-c", script])
    assert result["stdout"].decode().split()[::2] == [hashlib.sha256(v).hexdigest()
                                                       for v in (b"new-token", b"postgres://u:p@h/db")]
    # An existing refs file is never replaced, and the refusal comes first.
    again = tarnel(vault.root, "import", str(env_file), "--env", "prod", "--refs-out", str(refs))
    assert again.returncode == 1 and b"already exists" in again.stderr
    assert Vault.existing(vault.root).read("prod/app/TOKEN") is None
