#!/usr/bin/env bash
# Every test: the include layering is checked; the wheel is built and
# installed as a user would install it; one clang build with AddressSanitizer,
# UndefinedBehaviorSanitizer and the fuzzer's coverage instrumentation serves
# both the GoogleTest suites and the libFuzzer targets, which run for
# TARNEL_FUZZ_SECONDS each (default 15); a plain build of the core suite runs
# the memory residue scan, which means nothing under the sanitizers; then
# pytest runs against the installed module.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=${TARNEL_VENV:-$here/.venv}
jobs=$(nproc)
fuzz_seconds=${TARNEL_FUZZ_SECONDS:-15}

scripts/install-deps.sh
export PATH="$venv/bin:$PATH"

step() { printf '\n== %s\n' "$*"; }

step "include layering"
python scripts/check_layers.py

step "wheel"
rm -rf build/wheel
python -m pip wheel -q --no-deps -w build/wheel "$here"
wheel=$(ls build/wheel/tarnel-*.whl)
python -m pip install -q --force-reinstall --no-deps "$wheel"

step "C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/sanitized-build.sh
symbolizer=$(command -v llvm-symbolizer-19 || command -v llvm-symbolizer || command -v addr2line || true)
ASAN_OPTIONS="abort_on_error=1:external_symbolizer_path=$symbolizer" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:external_symbolizer_path=$symbolizer" \
  ctest --test-dir build/check --output-on-failure -j "$jobs"

step "fuzz targets, $fuzz_seconds s each"
TARNEL_DEPS_READY=1 scripts/fuzz.sh "$fuzz_seconds"

step "memory residue, plain build"
cmake -S . -B build/plain -G Ninja -DTARNEL_BUILD_TESTS=ON -DTARNEL_BUILD_MODULE=OFF \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build/plain -j "$jobs" --target tarnel_core_tests
build/plain/tests/tarnel_core_tests --gtest_filter='*Residue*' --gtest_brief=1

step "python tests"
# Run from outside the source tree so the installed module is the one imported.
cd "$here/tests/python"
TARNEL_WHEEL="$here/$wheel" python -m pytest -q -p no:cacheprovider "$@"
