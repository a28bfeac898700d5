#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs each once. Every benchmark
# measures its own baseline in the same run and prints ratios, so figures from
# a loaded machine still compare like with like.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=${TARNEL_VENV:-$here/.venv}

scripts/install-deps.sh
export PATH="$venv/bin:$PATH"
# The module is built too: tarnel_bench_list imports it.
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON \
  -DTARNEL_BUILD_MODULE=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build/bench -j "$(nproc)"
for bench in tarnel_bench_json tarnel_bench_argon2 tarnel_bench_store tarnel_bench_list tarnel_bench_mask; do
  printf '\n== %s\n' "$bench"
  "build/bench/bench/$bench"
done
