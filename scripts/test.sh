#!/usr/bin/env bash
# Every test: the wheel is built and installed as a user would install it, the
# core's GoogleTest suites run plainly and under AddressSanitizer and
# UndefinedBehaviorSanitizer, each libFuzzer target runs for TARNEL_FUZZ_SECONDS
# (default 30), then pytest runs against the installed module.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=${TARNEL_VENV:-$here/.venv}
jobs=$(nproc)
fuzz_seconds=${TARNEL_FUZZ_SECONDS:-30}

scripts/install-deps.sh
export PATH="$venv/bin:$PATH"

step() { printf '\n== %s\n' "$*"; }

step "wheel"
rm -rf build/wheel
python -m pip wheel -q --no-deps -w build/wheel "$here"
wheel=$(ls build/wheel/tarnel-*.whl)
python -m pip install -q --force-reinstall --no-deps "$wheel"

step "core tests"
cmake -S . -B build/tests -G Ninja -DTARNEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

step "core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNEL_BUILD_TESTS=ON \
  -DTARNEL_BUILD_MODULE=OFF -DTARNEL_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "fuzz targets, $fuzz_seconds s each"
TARNEL_DEPS_READY=1 scripts/fuzz.sh "$fuzz_seconds"

step "python tests"
# Run from outside the source tree so the installed module is the one imported.
cd "$here/tests/python"
TARNEL_WHEEL="$here/$wheel" python -m pytest -q -p no:cacheprovider "$@"
