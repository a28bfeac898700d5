#!/usr/bin/env bash
# Every test: the include layering is checked; the wheel is built and
# installed as a user would install it; one clang build with AddressSanitizer,
# UndefinedBehaviorSanitizer and the fuzzer's coverage instrumentation serves
# both the GoogleTest suites and the libFuzzer targets, which run for
# TARNEL_FUZZ_SECONDS each (default 15) on one core beside pytest;
# the core suite built on the wheel's objects runs the memory residue scan,
# which means nothing under the sanitizers; pytest runs against the
# installed module; then the fuzzers' results are printed, and any failure
# fails the run.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=${TARNEL_VENV:-$here/.venv}
jobs=$(nproc)
fuzz_seconds=${TARNEL_FUZZ_SECONDS:-15}

# Each step's time, printed when the run ends however it ends.
timings=""
step_name=""
step_start=$SECONDS
close_step() {
  [ -n "$step_name" ] && timings+=$(printf '%5ds  %s' $((SECONDS - step_start)) "$step_name")$'\n'
  step_start=$SECONDS
}
step() {
  close_step
  step_name=$*
  printf '\n== %s\n' "$*"
}
trap 'close_step; printf "\n== times\n%s%5ds  in all\n" "$timings" "$SECONDS"' EXIT

step "dependencies"
scripts/install-deps.sh
export PATH="$venv/bin:$PATH"

step "include layering"
python scripts/check_layers.py

step "wheel"
rm -rf build/wheel
# Built in build/release, which the memory residue step below reuses.
python -m pip wheel -q --no-deps -C build-dir="$here/build/release" -w build/wheel "$here"
wheel=$(ls build/wheel/tarnel-*.whl)
python -m pip install -q --force-reinstall --no-deps "$wheel"

step "C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/sanitized-build.sh
symbolizer=$(command -v llvm-symbolizer-19 || command -v llvm-symbolizer || command -v addr2line || true)
ASAN_OPTIONS="abort_on_error=1:external_symbolizer_path=$symbolizer" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:external_symbolizer_path=$symbolizer" \
  ctest --test-dir build/check --output-on-failure -j "$jobs"

step "memory residue, in the wheel's build"
# The wheel's own objects, so the scan sees the code that ships; only the
# core suite is compiled on top.
cmake -S . -B build/release -DTARNEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build/release -j "$jobs" --target tarnel_core_tests
build/release/tests/tarnel_core_tests --gtest_filter='*Residue*' --gtest_brief=1

# One fuzzer at a time on one core, beside pytest, whose tests mostly wait
# (on children, prompts and key derivations) rather than compute.
fuzz_log=$(mktemp)
TARNEL_DEPS_READY=1 setsid scripts/fuzz.sh "$fuzz_seconds" >"$fuzz_log" 2>&1 &
fuzz_pid=$!
# A run that stops early takes the fuzzers (a process group of their own) with it.
trap 'kill -- "-$fuzz_pid" 2>/dev/null || true; close_step; printf "\n== times\n%s%5ds  in all\n" "$timings" "$SECONDS"' EXIT

step "python tests, two at a time"
# Run from outside the source tree so the installed module is the one imported.
cd "$here/tests/python"
# A short base directory: socket paths under it must stay within 108 bytes.
basetemp=$(mktemp -d "${TMPDIR:-/tmp}/tnXXXX")
TARNEL_WHEEL="$here/$wheel" python -m pytest -q -p no:cacheprovider -n 2 --basetemp="$basetemp" "$@"
rm -rf "$basetemp"
cd "$here"

step "fuzz targets, $fuzz_seconds s each (run beside the python tests)"
fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?
cat "$fuzz_log"
rm -f "$fuzz_log"
exit "$fuzz_status"
