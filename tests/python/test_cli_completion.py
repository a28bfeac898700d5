# `tarnel completion`: each shell's script loaded into the real shell, asked what
# follows the words typed so far. zsh completes only inside its line editor, so
# there `_describe` and `_files` are stand-ins that print what they were given;
# the script's own logic runs as it would.

from __future__ import annotations

import re
import shutil
import subprocess

import pytest

from human import TARNEL, needs_tarnel

pytestmark = needs_tarnel

BASH = 'source "$1"; COMP_WORDS=($2); COMP_CWORD=${#COMP_WORDS[@]}; COMP_WORDS+=("$3"); _tarnel; ' \
       'printf "%s\\n" "${COMPREPLY[@]}"'
ZSH = ('compdef() { :; }; _describe() { local entry; for entry in ${(P)2}; do [[ ${entry%%:*} == ${words[CURRENT]}* ]] && print -r -- ${entry%%:*}; done; return 0; }; '
       '_files() { print FILES; }; source "$1"; words=(${=2} "$3"); CURRENT=${#words}; _tarnel')
FISH = 'source $argv[1]; complete -C "$argv[2] $argv[3]" | string replace -r "\\t.*" ""'
SHELLS = {"bash": ["bash", "-c", BASH, "bash"], "zsh": ["zsh", "-f", "-c", ZSH, "zsh"], "fish": ["fish", "-c", FISH]}


def completions(shell: str, script, typed: str, partial: str) -> set[str]:
    if shutil.which(shell) is None:
        pytest.skip(f"{shell} is not installed")
    done = subprocess.run([*SHELLS[shell], str(script), typed, partial], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return set(done.stdout.split())


@pytest.fixture(scope="module")
def scripts(tmp_path_factory):
    made = {}
    for shell in SHELLS:
        done = subprocess.run([str(TARNEL), "completion", shell], capture_output=True, timeout=30)
        assert done.returncode == 0 and done.stderr == b"", done.stderr
        made[shell] = tmp_path_factory.mktemp(shell) / "tarnel"
        made[shell].write_bytes(done.stdout)
    return made


def listed(*command: str) -> set[str]:
    # What `--help` of the command lists: its subcommands and its options.
    shown = subprocess.run([str(TARNEL), *command, "--help"], capture_output=True, text=True, timeout=30).stdout
    words = set()
    for section in re.split(r"^(?=\S)", shown, flags=re.M):
        if section.startswith(("Options:", "Subcommands:")):
            for first in re.findall(r"^  (\S+)", section, re.M):
                words.update(first.split(","))
    return words


@pytest.mark.parametrize("shell", list(SHELLS))
@pytest.mark.parametrize(("typed", "partial", "expected"), [
    # Every command and option the parser knows, none kept by hand.
    ("tarnel", "", ()),
    ("tarnel", "a", {"approve", "allow", "allowlist", "audit"}),
    ("tarnel intake", "", ("intake",)),
    ("tarnel --vault-dir /v intake fulfil", "-", ("intake", "fulfil")),
    ("tarnel set", "--s", {"--sensitivity"}),
    ("tarnel audit", "-", ("audit",)),
])
def test_each_shell_completes_the_commands_and_options_of_the_words_typed(scripts, shell, typed, partial, expected):
    # A tuple names the command whose --help lists what is expected.
    expected = expected if isinstance(expected, set) else {
        word for word in listed(*expected) if word.startswith(partial)
        # fish offers options only once a "-" is typed.
        and not (shell == "fish" and word.startswith("-") and not partial)}
    got = completions(shell, scripts[shell], typed, partial)
    assert got == expected, (got ^ expected)


@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_an_option_that_takes_a_value_completes_a_file_name(scripts, shell, tmp_path):
    got = completions(shell, scripts[shell], "tarnel run --refs", str(tmp_path))
    assert got == ({"FILES"} if shell == "zsh" else {str(tmp_path)}), got
