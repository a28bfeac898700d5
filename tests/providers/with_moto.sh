#!/bin/sh
# Runs a command against a private moto_server (an AWS stand-in) on
# 127.0.0.1: the AWS CLI and SDKs in the command see its endpoint, dummy
# credentials and a default region, and never a real account's settings.
#
# usage: with_moto.sh TOOL_DIR COMMAND [ARGUMENT...]
#   TOOL_DIR: where `aws` and `moto_server` are installed (a virtual
#   environment's bin); PATH is searched after it.
set -eu

if [ "$#" -lt 2 ]; then
    echo "usage: $0 TOOL_DIR COMMAND [ARGUMENT...]" >&2
    exit 2
fi
PATH="$1:$PATH"
export PATH
shift
for tool in aws moto_server python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$0: $tool not found (pip install -r requirements-test.txt)" >&2
        exit 1
    fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-moto.XXXXXX")
moto_pid=
stop() {
    if [ -n "$moto_pid" ]; then
        kill "$moto_pid" 2>/dev/null || :
        wait "$moto_pid" 2>/dev/null || :
    fi
    rm -rf "$scratch"
}
trap stop EXIT
trap 'exit 130' INT TERM

# Asking the system for a free port leaves a short window before the server
# binds it; a port taken meanwhile shows as a server that never answers.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
moto_server -H 127.0.0.1 -p "$port" >"$scratch/moto.log" 2>&1 &
moto_pid=$!

if ! python3 - "$port" "$moto_pid" <<'PY'
import os, sys, time, urllib.error, urllib.request
port, pid = sys.argv[1], int(sys.argv[2])
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{port}/moto-api/", timeout=1).close()
        sys.exit(0)
    except urllib.error.HTTPError:
        sys.exit(0)  # any HTTP answer will do
    except OSError:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            sys.exit(1)
        time.sleep(0.1)
sys.exit(1)
PY
then
    echo "$0: moto_server did not answer on port $port:" >&2
    cat "$scratch/moto.log" >&2
    exit 1
fi

export AWS_ENDPOINT_URL="http://127.0.0.1:$port"
export AWS_ACCESS_KEY_ID=testing AWS_SECRET_ACCESS_KEY=testing AWS_DEFAULT_REGION=us-east-1
export AWS_SHARED_CREDENTIALS_FILE="$scratch/credentials" AWS_CONFIG_FILE="$scratch/config"
export AWS_EC2_METADATA_DISABLED=true
unset AWS_PROFILE AWS_SESSION_TOKEN AWS_REGION AWS_ROLE_ARN AWS_WEB_IDENTITY_TOKEN_FILE

status=0
"$@" || status=$?
exit "$status"
