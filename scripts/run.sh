#!/usr/bin/env bash
# The main job: set the machine up, build and install tarnel (the module, the
# tarnel command and the tarnel-mcp server) into the project's virtual
# environment, check the module, then create a demo vault under demo/ and
# show what an agent sees through tarnel-mcp.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=${TARNEL_VENV:-$here/.venv}

scripts/install-deps.sh
"$venv/bin/python" -m pip install -q "$here"
"$venv/bin/python" scripts/smoke.py

# A throwaway vault: a fixed passphrase, remade on every run.
demo=$here/demo/vault
export TARNEL_PASSPHRASE="demo passphrase, not for real secrets"
rm -rf "$demo"
mkdir -p "$(dirname "$demo")"
tarnel() { "$venv/bin/tarnel" --vault-dir "$demo" "$@"; }
tarnel init >/dev/null
printf 'demo-api-token-5f3a' | tarnel set secret:dev/app/api-token --sensitivity low --revealable \
  --description "API token for the dev stack"
printf 'dev-db-password-81c2' | tarnel set secret:dev/db/password --description "dev database"
printf 'prod-db-password-77e0' | tarnel set secret:prod/db/password --description "production database"
echo "demo vault: $demo"
tarnel ls

echo
echo "== what an agent sees through tarnel-mcp (the server's own log: $(dirname "$demo")/server.log)"
"$venv/bin/python" scripts/demo_agent.py "$demo"
echo
echo "== what the owner sees: tarnel intake"
tarnel intake
echo
echo "Answer it with: $venv/bin/tarnel --vault-dir $demo intake fulfil ID (the value on standard input)"
