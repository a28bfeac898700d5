#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (instrumented, with ASan and UBSan)
# and runs each one for a while. Usage: scripts/fuzz.sh [seconds-per-target]
# (default 60). New inputs go to build/fuzz/corpus/<target>; the seed corpora
# under fuzz/corpus are only read.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
seconds=${1:-60}

scripts/install-deps.sh

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
apt_install() {
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@"
}

# The newest clang++ present, else Debian's default one.
clangxx=$(compgen -c clang++ | grep -E '^clang\+\+(-[0-9]+)?$' | sort -t- -k2 -n | tail -1 || true)
if [ -z "$clangxx" ]; then
  apt_install clang
  clangxx=clang++
fi
major=$("$clangxx" --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
if ! dpkg-query -W -f='${Status}' "libclang-rt-$major-dev" 2>/dev/null | grep -q "install ok installed"; then
  apt_install "libclang-rt-$major-dev"
fi
clangc=${clangxx/clang++/clang}

cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER="$clangc" -DCMAKE_CXX_COMPILER="$clangxx" \
  -DTARNEL_BUILD_FUZZ=ON -DTARNEL_BUILD_MODULE=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)"
for target in sealed_json record_json; do
  printf '\n== %s\n' "$target"
  mkdir -p "build/fuzz/corpus/$target"
  "build/fuzz/fuzz/tarnel_${target}_fuzz" -dict="fuzz/$target.dict" -max_total_time="$seconds" \
    "build/fuzz/corpus/$target" "fuzz/corpus/$target"
done
