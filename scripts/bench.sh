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
for bench in tarnel_bench_json tarnel_bench_argon2 tarnel_bench_store tarnel_bench_list tarnel_bench_mask \
  tarnel_bench_inject; do
  printf '\n== %s\n' "$bench"
  "build/bench/bench/$bench"
done

# inject_run as a Python caller sees it: the module installed in the venv
# (pip install . there), not the one built above.
printf '\n== bench_inject.py (tarnel_ffi from %s)\n' "$venv"
if ! "$venv/bin/python" -c 'import tarnel_ffi' 2>/dev/null; then
  echo "tarnel_ffi is not installed in $venv: run pip install . with its pip first" >&2
  exit 1
fi
"$venv/bin/python" bench/bench_inject.py

# One tool call over stdio against the SDK's own floor, same installed module.
printf '\n== bench_mcp.py\n'
"$venv/bin/python" bench/bench_mcp.py
