#!/usr/bin/env bash
# Configures and builds build/check: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, the library instrumented for the fuzzer too, the
# GoogleTest suites (the binding's included) and the libFuzzer targets.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=${TARNEL_VENV:-$here/.venv}
# The clang scripts/install-deps.sh installs: Debian 12's default clang (14),
# and its 15 and 16 too, lack the concepts libstdc++'s <expected> needs.
clang_major=19
cmake -S . -B build/check -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER="clang-$clang_major" \
  -DCMAKE_CXX_COMPILER="clang++-$clang_major" -DTARNEL_BUILD_FUZZ=ON -DTARNEL_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build/check -j "$(nproc)"
