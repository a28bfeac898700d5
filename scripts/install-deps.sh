#!/usr/bin/env bash
# Installs every system package the build and the tests need (Debian 12 and 13),
# then the Python packages used by the tests into the virtual environment.
# Safe to run again: apt and pip skip what is already there.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${TARNEL_VENV:-$here/.venv}

apt_packages=(
  build-essential g++ cmake ninja-build pkg-config
  libsodium-dev libssl-dev libargon2-dev libsecret-1-dev libglib2.0-dev
  librust-blake3-dev b3sum
  rapidjson-dev nlohmann-json3-dev libsimdjson-dev
  libhyperscan-dev
  libcli11-dev libfmt-dev
  libgtest-dev googletest
  gnome-keyring dbus dbus-x11 libsecret-tools
  # the tests' desktop notification service, run by the system's python3 on a private bus
  python3-gi
  python3-venv python3-dev
  # scripts/fuzz.sh: the oldest clang Debian 12 has that builds the core, and its libFuzzer
  clang-19 libclang-rt-19-dev
  # the shells whose completion scripts the tests load
  zsh fish
  # the house format (.clang-format), for developers; the tests do not run it
  clang-format-19
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Debian 13 ships libblake3 as a library of its own; take it where it exists.
if apt-cache show libblake3-dev >/dev/null 2>&1 \
   && ! dpkg-query -W -f='${Status}' libblake3-dev 2>/dev/null | grep -q "install ok installed"; then
  missing+=(libblake3-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

python=${PYTHON:-python3}
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r "$here/requirements-test.txt"
