#!/bin/sh
# Runs a command against a private gnome-keyring Secret Service: its own
# session bus, HOME and keyring files, with the default collection unlocked.
# The caller's own keyring is never touched.
#
# usage: with_secret_service.sh COMMAND [ARGUMENT...]
set -eu

if [ "$#" -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGUMENT...]" >&2
    exit 2
fi
for tool in dbus-run-session gnome-keyring-daemon secret-tool gdbus; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$0: $tool not found (packages dbus, gnome-keyring, libsecret-tools, libglib2.0-bin)" >&2
        exit 1
    fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-secret-service.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
mkdir -m 700 "$scratch/home" "$scratch/data" "$scratch/config" "$scratch/cache" "$scratch/runtime"
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config"
export XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/runtime"
# Without a display no prompt can appear, so nothing waits for a human.
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK

dbus-run-session -- sh -c '
    set -eu
    # In a fresh HOME this creates the "login" collection with this password
    # and makes it the default one. It exits 0 even for a wrong password, so
    # only a store and lookup below prove the collection is usable.
    daemon_env=$(printf %s tarnel-test-password | gnome-keyring-daemon --unlock --components=secrets)
    old_ifs=$IFS
    IFS="
"
    for assignment in $daemon_env; do export "$assignment"; done
    IFS=$old_ifs

    # The daemon may still be claiming its bus name: retry for up to 5 s.
    tries=0
    until printf probe | secret-tool store --label=probe tarnel-probe "$$" 2>/dev/null &&
        [ "$(secret-tool lookup tarnel-probe "$$" 2>/dev/null)" = probe ]; do
        tries=$((tries + 1))
        if [ "$tries" -ge 50 ]; then
            echo "with_secret_service.sh: the Secret Service does not store items" >&2
            exit 1
        fi
        sleep 0.1
    done
    secret-tool clear tarnel-probe "$$"

    TARNEL_TEST_SECRET_SERVICE=1 exec "$@"
' with_secret_service "$@"
