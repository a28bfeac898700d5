#!/usr/bin/env python3
"""inject_run against what a Python caller would otherwise do, in one run.

1. Starting /bin/true from a process with 1 GiB resident: inject_run with no
   vault variable against subprocess.run with the same environment.
2. Where the time of a run with 20 vault variables goes: resolution (records
   read and opened), the audit line synced per variable, and the child, found
   by difference between runs with no variables, 20 literal ones, 20 vault
   ones with the audit log unwritable, and 20 vault ones. /bin/true prints
   nothing, so no masker is built.
3. Capturing and masking 64 MiB of output: inject_run of cat with 100 (then 1)
   32-byte values injected, against subprocess.run of the same cat followed by
   one bytes.replace per value.

Every figure is the median of interleaved repetitions, so the ratios compare
runs made under the same load. The vault and every file live in a temporary
directory (under $TMPDIR, or the first argument).
Usage: bench_inject.py [parent-dir]
"""

from __future__ import annotations

import base64
import gc
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import tarnel_ffi  # noqa: E402
from vaultkit import Vault, literal  # noqa: E402

TRUE = "/bin/true"
CAT = shutil.which("cat") or "/bin/cat"
OPERATIONS = ["metadata", "inject", "reveal", "write"]

RESIDENT = 1 << 30
OUTPUT_SIZE = 64 << 20
VALUE_SIZE = 32
RAW_COPIES = 10

START_ROUNDS = 41
SPLIT_ROUNDS = 31
MASK_ROUNDS = 5


def median_times(rounds: int, cases: dict) -> dict[str, float]:
    """Seconds per case, median over rounds; the order flips each round so
    neither case always runs first."""
    samples: dict[str, list[float]] = {name: [] for name in cases}
    items = list(cases.items())
    for round_ in range(rounds):
        for name, body in items if round_ % 2 == 0 else reversed(items):
            start = time.perf_counter()
            body()
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(times) for name, times in samples.items()}


def ms(seconds: float) -> str:
    return f"{seconds * 1000:8.2f} ms"


def printable(rng: random.Random, size: int) -> bytes:
    return bytes(rng.randrange(32, 127) for _ in range(size))


def child_environment() -> dict[str, str]:
    # What inject_run hands a child before its own variables.
    return {name: value for name, value in os.environ.items() if not name.startswith("TARNEL_")}


def open_session(vault: Vault) -> tarnel_ffi.TarnelSession:
    return tarnel_ffi.TarnelSession({"operations": OPERATIONS}, vault_dir=str(vault.root),
                                    passphrase=vault.passphrase)


def vault_refs(vault: Vault, values: list[bytes], component: str) -> str:
    """Stores each value as a low-sensitivity dev literal; the .env.refs text naming them."""
    lines = []
    for i, value in enumerate(values):
        vault.write(literal(f"dev/{component}/key{i:03}", value, sensitivity="low"))
        lines.append(f"V{i:03}=secret:dev/{component}/key{i:03}\n")
    return "".join(lines)


# --- 1. starting a child ---------------------------------------------------------

def bench_start(session: tarnel_ffi.TarnelSession) -> None:
    resident = bytearray(RESIDENT)
    # Every page written, so all of it is resident and mapped in this process.
    resident[::4096] = b"\x01" * (RESIDENT // 4096)
    env = child_environment()
    assert session.inject_run("", "dev", TRUE) == {"status": 0, "stdout": b"", "stderr": b""}
    times = median_times(START_ROUNDS, {
        "inject_run": lambda: session.inject_run("", "dev", TRUE),
        "subprocess.run": lambda: subprocess.run([TRUE], env=env, capture_output=True, check=True),
    })
    del resident
    gc.collect()
    inject, plain = times["inject_run"], times["subprocess.run"]
    print(f"1. /bin/true from a process with {RESIDENT >> 30} GiB resident, no vault variable "
          f"(median of {START_ROUNDS}):")
    print(f"    inject_run     {ms(inject)}")
    print(f"    subprocess.run {ms(plain)}  (capture_output=True, same environment; "
          f"CPython's own vfork/exec path)")
    print(f"    ratio inject_run / subprocess.run {inject / plain:.3f} (goal <= 1.3)")


# --- 2. where a run with 20 vault variables goes ---------------------------------

def bench_split(vault: Vault, session: tarnel_ffi.TarnelSession, rng: random.Random) -> None:
    count = 20
    values = [printable(rng, VALUE_SIZE) for _ in range(count)]
    secrets = vault_refs(vault, values, "split")
    # The same variables with values written out in the file: parsed and set
    # in the child's environment like the vault ones, but nothing is read,
    # audited or masked.
    literals = "".join(f"V{i:03}=literal-value-{i:03}-{'x' * 16}\n" for i in range(count))
    audit_log = vault.root / "audit.log"
    aside = vault.root / "audit.log.aside"

    def run(refs: str) -> None:
        if session.inject_run(refs, "dev", TRUE)["status"] != 0:
            raise SystemExit("/bin/true failed under inject_run")

    def unaudited() -> None:
        # A directory in the log's place: each audit append fails at open,
        # and a failed audit never changes the run.
        audit_log.rename(aside)
        audit_log.mkdir()
        try:
            run(secrets)
        finally:
            audit_log.rmdir()
            aside.rename(audit_log)

    run(secrets)
    lines_before = len(audit_log.read_bytes().splitlines())
    times = median_times(SPLIT_ROUNDS, {
        "none": lambda: run(""),
        "literal": lambda: run(literals),
        "unaudited": unaudited,
        "vault": lambda: run(secrets),
    })
    lines_after = len(audit_log.read_bytes().splitlines())
    if lines_after - lines_before != count * SPLIT_ROUNDS:
        raise SystemExit(f"expected {count * SPLIT_ROUNDS} audit lines, found {lines_after - lines_before}")

    total = times["vault"]
    child = times["literal"]
    resolution = times["unaudited"] - times["literal"]
    audit = times["vault"] - times["unaudited"]
    print(f"2. {count} vault variables (low, dev), /bin/true (median of {SPLIT_ROUNDS}; "
          f"audit log on the vault's disk):")
    for name, key in [("no variables", "none"), (f"{count} literal variables", "literal"),
                      (f"{count} vault variables, audit log unwritable", "unaudited"),
                      (f"{count} vault variables", "vault")]:
        print(f"    {name:46} {ms(times[key])}")
    print("    split of the last, by difference:")
    for name, part in [("start and wait for the child (+ parsing)", child),
                       (f"resolution of {count} values", resolution),
                       (f"{count} audit lines, one append and one sync", audit)]:
        print(f"      {name:44} {ms(part)}  {part / total:6.1%}")
    print(f"      per audit line {audit / count * 1000:.3f} ms; per resolved value "
          f"{resolution / count * 1000:.3f} ms")
    ratio = total / times["none"]
    print(f"    ratio {count} vault variables / no variables {ratio:.2f} (goal <= 2.0: "
          f"{'met' if ratio <= 2.0 else 'not met'})")


# --- 3. capturing and masking 64 MiB ---------------------------------------------

def printed_forms(value: bytes) -> list[bytes]:
    """What a child might print of a value besides the value itself."""
    return [base64.b64encode(value), base64.urlsafe_b64encode(b"k=" + value).rstrip(b"="),
            base64.b64encode(b"x" + value + b"yz"), value.hex().encode()]


def make_output(path: Path, values: list[bytes], rng: random.Random) -> None:
    # Printable filler from a repeated random block: quick to make, and no
    # value or form occurs in it by chance.
    block = printable(rng, 1 << 16)
    output = bytearray(block * (OUTPUT_SIZE // len(block)))
    for value in values:
        for piece in [value] * RAW_COPIES + printed_forms(value):
            at = rng.randrange(len(output) - len(piece))
            output[at:at + len(piece)] = piece
    path.write_bytes(output)


def bench_mask(vault: Vault, session: tarnel_ffi.TarnelSession, parent: Path, rng: random.Random) -> None:
    values = [printable(rng, VALUE_SIZE) for _ in range(100)]
    output_file = parent / "output.txt"
    make_output(output_file, values, rng)
    refs_all = vault_refs(vault, values, "mask")
    refs_one = refs_all.splitlines(keepends=True)[0]

    def baseline(masked: list[bytes]) -> bytes:
        out = subprocess.run([CAT, str(output_file)], capture_output=True, check=True).stdout
        for value in masked:
            out = out.replace(value, b"***")
        return out

    def injected(refs: str) -> bytes:
        return session.inject_run(refs, "dev", CAT, [str(output_file)])["stdout"]

    print(f"3. cat of {OUTPUT_SIZE >> 20} MiB with {VALUE_SIZE}-byte values planted {RAW_COPIES} times "
          f"each as they are and once in each of 4 encodings (median of {MASK_ROUNDS}):")
    for masked, refs in [(values, refs_all), (values[:1], refs_one)]:
        ours, theirs = injected(refs), baseline(masked)
        for value in masked:
            if value in ours or value in theirs:
                raise SystemExit("a value was left in the output")
        for form in printed_forms(masked[0])[:1] + [masked[0].hex().encode()]:
            if form in ours:
                raise SystemExit("an encoded form was left in inject_run's output")
        times = median_times(MASK_ROUNDS, {
            "inject_run": lambda: injected(refs),
            "baseline": lambda: baseline(masked),
        })
        del ours, theirs
        gc.collect()
        inject, plain = times["inject_run"], times["baseline"]
        goal = "<= 0.25" if len(masked) > 1 else "<= 1"
        print(f"    {len(masked):3} value(s): inject_run (values and their encoded forms masked) {ms(inject)}")
        print(f"               subprocess.run + {len(masked):3} bytes.replace (values only)  {ms(plain)}")
        print(f"               ratio {inject / plain:.3f} (goal {goal})")


def main() -> None:
    # Never a real vault: the session is given its root and passphrase, and
    # nothing of the caller's vault settings is left to fall back on.
    os.environ.pop("TARNEL_VAULT_DIR", None)
    os.environ.pop("TARNEL_PASSPHRASE", None)
    parent = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.gettempdir())
    rng = random.Random(2026)
    with tempfile.TemporaryDirectory(prefix="tarnel-bench-", dir=parent) as scratch:
        vault = Vault(Path(scratch) / "vault")
        session = open_session(vault)
        uname = os.uname()
        print(f"machine: {uname.machine}, {os.cpu_count()} CPUs, {uname.sysname} {uname.release}; "
              f"Python {sys.version.split()[0]}; files under {parent}")
        bench_start(session)
        bench_split(vault, session, rng)
        bench_mask(vault, session, Path(scratch), rng)


if __name__ == "__main__":
    main()
