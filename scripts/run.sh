#!/usr/bin/env bash
# The main job: set the machine up, build and install the module into the
# project's virtual environment, and run a smoke check of it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=${TARNEL_VENV:-$here/.venv}

scripts/install-deps.sh
"$venv/bin/python" -m pip install -q "$here"
"$venv/bin/python" scripts/smoke.py
