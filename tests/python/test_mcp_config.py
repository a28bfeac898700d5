"""tarnel-mcp's own configuration: flags and a TOML file, and what it refuses."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mcp", reason="the mcp SDK is not installed (pip install .)")

from tarnel_mcp.config import ConfigError, parse_config  # noqa: E402


def test_flags_and_file_give_the_same_scope_and_flags_win(tmp_path):
    config_file = tmp_path / "server.toml"
    config_file.write_text('vault_dir = "vault"\noperations = ["metadata", "Reveal"]\n'
                           'projects = "alpha, beta"\nenvironments = ["*", "dev"]\nport = 9000\n')
    from_file = parse_config(["--config", str(config_file)])
    assert from_file.vault_dir == tmp_path / "vault"  # relative to the file
    assert from_file.scope() == {"operations": ["metadata", "reveal"], "projects": ["alpha", "beta"]}
    assert (from_file.http, from_file.port) == (False, 9000)

    from_flags = parse_config(["--vault-dir", str(tmp_path / "vault"), "--operations", "metadata,reveal",
                               "--projects", "alpha,beta", "--environments", "*"])
    assert from_flags.scope() == from_file.scope()

    both = parse_config(["--config", str(config_file), "--operations", "inject", "--projects", "", "--http"])
    assert both.scope() == {"operations": ["inject"], "projects": []} and both.http


@pytest.mark.parametrize(("text", "argv", "message"), [
    ('passphrase = "hunter2"\n', [], "never configured in place"),
    ('operation = ["metadata"]\n', [], "unknown key `operation`"),
    ('operations = ["read"]\n', [], "unknown operation `read`"),
    ("", [], "no operations granted"),
    ('operations = "metadata"\nport = 70000\n', [], "port must be"),
    ('operations = "metadata"\nprojects = 3\n', [], "`projects` must be"),
    ("operations = [\n", [], "server.toml"),
])
def test_refused_configurations(tmp_path, text, argv, message):
    config_file = tmp_path / "server.toml"
    config_file.write_text(text)
    with pytest.raises(ConfigError, match=message):
        parse_config(["--config", str(config_file), *argv])


def test_no_passphrase_flag_and_nothing_on_standard_output_when_refusing(tmp_path):
    from mcpkit import server_command, server_environment

    for argv, expected in [(["--passphrase", "x", "--operations", "metadata"], b"unrecognized arguments"),
                           (["--operations", "metadata", "--vault-dir", str(tmp_path / "none"),
                             "--passphrase-file", str(tmp_path / "absent")], b"reading the passphrase file")]:
        done = subprocess.run(server_command(*argv), capture_output=True, timeout=60, env=server_environment())
        assert done.returncode == 2 and done.stdout == b"", done.stderr
        assert expected in done.stderr


def test_the_server_refuses_a_module_of_another_version(tmp_path):
    # A stand-in module that reports another version, found before the real one.
    (tmp_path / "tarnel_ffi.py").write_text('def version():\n    return "0.0.1"\n')
    package = Path(__import__("tarnel_mcp").__file__).parent.parent
    done = subprocess.run([sys.executable, "-c", "import tarnel_mcp"], capture_output=True, text=True,
                          env={"PYTHONPATH": f"{tmp_path}:{package}"}, timeout=60)
    assert done.returncode == 1 and "needs tarnel_ffi" in done.stderr and "found 0.0.1" in done.stderr


def test_a_wrong_passphrase_ends_the_server_at_start(tmp_path):
    # Before the check, the server started and every call failed; an agent's
    # first write sealed a record under a key the owner does not have.
    from mcpkit import server_command, server_environment
    from test_cli import TARNEL, tarnel

    if not TARNEL.exists():
        pytest.skip("tarnel is not installed")
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    done = subprocess.run(server_command("--vault-dir", str(root), "--operations", "write"), capture_output=True,
                          timeout=60, env=server_environment(TARNEL_PASSPHRASE="not the passphrase"),
                          stdin=subprocess.DEVNULL)
    assert (done.returncode, done.stdout) == (1, b"")
    assert done.stderr == f"tarnel-mcp: opening the vault at {root}: wrong passphrase\n".encode()
    assert not any((root / "global").iterdir())


def test_a_passphrase_from_the_environment_or_a_file_is_warned_about_at_start(tmp_path):
    from mcpkit import server_command, server_environment
    from test_cli import TARNEL, tarnel
    from vaultkit import PASSPHRASE

    if not TARNEL.exists():
        pytest.skip("tarnel is not installed")
    root = tmp_path / "vault"
    assert tarnel(root, "init").returncode == 0
    (tmp_path / "passphrase").write_text(PASSPHRASE + "\n")
    for extra_args, variables in [((), {"TARNEL_PASSPHRASE": PASSPHRASE}),
                                  (("--passphrase-file", str(tmp_path / "passphrase")), {})]:
        done = subprocess.run(server_command("--vault-dir", str(root), "--operations", "metadata", *extra_args),
                              capture_output=True, timeout=60, env=server_environment(**variables),
                              stdin=subprocess.DEVNULL, text=True)
        warnings = [line for line in done.stderr.splitlines() if "warning" in line]
        assert done.returncode == 0 and len(warnings) == 1, done.stderr
        assert "can be read by this user's other processes" in warnings[0]
        assert "`tarnel unlock`" in warnings[0] and PASSPHRASE not in done.stderr
