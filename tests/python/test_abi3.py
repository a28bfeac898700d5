# The stable-ABI promise: one tarnel_ffi.abi3.so for CPython 3.10 and later. The wheel
# is audited when TARNEL_WHEEL names it (the test script sets it); the installed module
# is imported by this and every CPython >= 3.10 that pyenv holds.

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarnel_ffi

# Run by each interpreter against the same .so; prints "ok" when all holds.
PROBE = """
import importlib.metadata, sys, tarnel_ffi
assert tarnel_ffi.__file__ == sys.argv[1] and sys.argv[1].endswith("tarnel_ffi.abi3.so"), tarnel_ffi.__file__
assert tarnel_ffi.version() == importlib.metadata.version("tarnel"), tarnel_ffi.version()
try:
    tarnel_ffi.TarnelSession({"operations": []}, vault_dir="/nonexistent", passphrase="p")
    raise SystemExit("no error raised")
except tarnel_ffi.TarnelError as caught:
    assert type(caught) is tarnel_ffi.TarnelError and issubclass(tarnel_ffi.TarnelDenied, tarnel_ffi.TarnelError)
print("ok")
"""


def pyenv_root() -> Path:
    pyenv = shutil.which("pyenv")
    found = subprocess.run([pyenv, "root"], capture_output=True, text=True) if pyenv else None
    if found and found.returncode == 0 and found.stdout.strip():
        return Path(found.stdout.strip())
    return Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))


def cpython_versions() -> list[str]:  # plain CPython releases from 3.10 on, no free-threaded builds
    versions = pyenv_root() / "versions"
    found = [entry.name for entry in (versions.iterdir() if versions.is_dir() else ())
             if (match := re.fullmatch(r"3\.(\d+)\.\d+", entry.name)) and int(match.group(1)) >= 10]
    return sorted(found, key=lambda name: tuple(int(number) for number in name.split(".")))


def test_wheel_has_no_abi3_violation():
    wheel = os.environ.get("TARNEL_WHEEL")
    if not wheel:
        pytest.skip("TARNEL_WHEEL is not set")
    audit = subprocess.run([sys.executable, "-m", "abi3audit", "--strict", "--report", wheel],
                           capture_output=True, text=True, check=False)
    assert audit.returncode == 0, audit.stdout + audit.stderr
    extensions = [ext for audited in json.loads(audit.stdout)["specs"].values() for ext in audited["wheel"]]
    assert [ext["name"] for ext in extensions] == ["tarnel_ffi.abi3.so"]
    result = extensions[0]["result"]
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"]
    assert (result["baseline"], result["non_abi3_symbols"], result["future_abi3_objects"]) == ("3.10", [], {})


@pytest.mark.parametrize("version", ["this one", *cpython_versions()])
def test_installed_module_imports_in_each_cpython(version, tmp_path):
    interpreter = Path(sys.executable) if version == "this one" else pyenv_root() / "versions" / version / "bin/python3"
    module_file = Path(tarnel_ffi.__file__)
    env = {**os.environ, "PYTHONPATH": str(module_file.parent)}
    env.pop("PYTHONHOME", None)
    probe = subprocess.run([str(interpreter), "-s", "-c", PROBE, str(module_file)], capture_output=True,
                           text=True, env=env, cwd=tmp_path, check=False, timeout=60)
    assert (probe.returncode, probe.stdout.strip()) == (0, "ok"), probe.stderr
