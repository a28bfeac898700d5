#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (scripts/sanitized-build.sh) and runs
# each fuzz/<name>_fuzz.cpp for a while. Usage: scripts/fuzz.sh
# [seconds-per-target] (default $TARNEL_FUZZ_SECONDS, else 60). New inputs go to
# build/check/corpus/<name>, libFuzzer's output to build/check/logs/<name>.log
# and inputs that fail a target to build/check/findings; the seed corpora under
# fuzz/corpus are only read. Exits non-zero when any target finds something.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
seconds=${1:-${TARNEL_FUZZ_SECONDS:-60}}
clang_major=19
out=build/check

# scripts/test.sh has installed everything and built the targets already.
if [ "${TARNEL_DEPS_READY:-}" != 1 ]; then
  scripts/install-deps.sh
  scripts/sanitized-build.sh
fi

# Fresh records as the store writes them today, next to the committed seeds.
rm -rf "$out/seeds" "$out/logs" "$out/findings"
mkdir -p "$out/logs" "$out/findings"
"$out/fuzz/tarnel_make_corpus" "$out/seeds"

# Readable stacks without LLVM's tools: addr2line is there with binutils.
symbolizer=$(command -v "llvm-symbolizer-$clang_major" || command -v addr2line || true)
export ASAN_OPTIONS="external_symbolizer_path=$symbolizer"
export UBSAN_OPTIONS="external_symbolizer_path=$symbolizer:print_stacktrace=1"

# The report from its first line on, without ASan's shadow memory dump; the
# log's end when there is no report.
report() {
  local text
  text=$(awk '/ERROR|runtime error/ { on = 1 } /^Shadow bytes around/ { skip = 1 } /ABORTING/ { skip = 0 }
              on && !skip' "$1" | head -n 80)
  if [ -n "$text" ]; then printf '%s\n' "$text"; else tail -n 40 "$1"; fi
}

# One line when the target finds nothing; else its report and the failing inputs.
run_target() {
  local name=$1 log="$out/logs/$1.log"
  local args=(-max_total_time="$seconds" -timeout=25 -print_final_stats=1
              -artifact_prefix="$out/findings/$name-")
  local dirs=("$out/corpus/$name") seeds
  if [ -f "fuzz/$name.dict" ]; then args+=(-dict="fuzz/$name.dict"); fi
  for seeds in "fuzz/corpus/$name" "$out/seeds/$name"; do
    if [ -d "$seeds" ]; then dirs+=("$seeds"); fi
  done
  mkdir -p "$out/corpus/$name"
  if "$out/fuzz/tarnel_${name}_fuzz" "${args[@]}" "${dirs[@]}" >"$log" 2>&1; then
    printf '%-14s ok: %s\n' "$name" "$(grep -E '^Done [0-9]+ runs' "$log" | tail -1)"
    return 0
  fi
  printf '%-14s FAILED; from %s:\n' "$name" "$log"
  report "$log"
  for input in "$out/findings/$name"-*; do
    [ -f "$input" ] || continue
    printf 'input %s (base64): %s\n' "$input" "$(head -c 4096 "$input" | base64 -w0)"
  done
  return 1
}

status=0
for source in fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  run_target "$name" || status=1
done
exit "$status"
