#!/usr/bin/env bash
# Runs a command against a private, throwaway Secret Service: its own D-Bus session bus
# (dbus-run-session) with gnome-keyring-daemon serving only the secrets component from an unlocked
# keyring in a temporary folder. The user's own keyrings and session bus are never touched.
#
#   with-secret-service.sh [--without-keyring] COMMAND [ARGUMENT...]
#
# --without-keyring gives the same private bus with nobody serving secrets (and nothing that
# could be activated to serve them): the "keyring not installed or not running" case.
#
# The command sees TESSARAL_SECRET_SERVICE=running (or "none") and its exit status is returned.
# Every process started here is stopped by its pid, also when the script is interrupted.
set -euo pipefail

script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"

fail() {
    echo "with-secret-service: $*" >&2
    exit 2
}

source "$(dirname "$script")/stop-pid.sh"

# ---- Inside the private session bus ------------------------------------------------------------
if [[ ${1-} == --inside ]]; then
    shift
    mode=$1 work=$2
    shift 2
    echo $$ >"$work/inside.pid"
    keyring="" command=""
    cleanup() {
        stop_pid "$command"
        stop_pid "$keyring"
    }
    trap cleanup EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT

    export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
    export XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime"
    mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
    mkdir -p "$XDG_RUNTIME_DIR"
    chmod 0700 "$XDG_RUNTIME_DIR"
    # No display: nothing may try to show an unlock prompt or autolaunch another bus.
    unset DISPLAY WAYLAND_DISPLAY

    if [[ $mode == running ]]; then
        # --unlock reads the keyring password from standard input; a new "login" keyring is
        # created with it and becomes the default collection.
        printf 'tessaral-test-keyring' |
            gnome-keyring-daemon --foreground --unlock --components=secrets \
                >"$work/keyring.log" 2>&1 &
        keyring=$!
        ready=""
        for _ in $(seq 100); do
            if ! kill -0 "$keyring" 2>/dev/null; then
                cat "$work/keyring.log" >&2
                fail "gnome-keyring-daemon exited"
            fi
            if dbus-send --session --print-reply --dest=org.freedesktop.DBus \
                /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
                string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; then
                ready=yes
                break
            fi
            sleep 0.1
        done
        [[ -n $ready ]] || { cat "$work/keyring.log" >&2; fail "no Secret Service on the bus"; }
    fi

    export TESSARAL_SECRET_SERVICE=$mode
    "$@" &
    command=$!
    status=0
    wait "$command" || status=$?
    command=""
    exit "$status"
fi

# ---- Outside: set up the folder and the bus ----------------------------------------------------
mode=running
if [[ ${1-} == --without-keyring ]]; then
    mode=none
    shift
fi
(($#)) || fail "usage: with-secret-service.sh [--without-keyring] COMMAND [ARGUMENT...]"
for tool in dbus-run-session dbus-send gnome-keyring-daemon; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

work="$(mktemp -d /tmp/tessaral-secrets-XXXXXX)"
session=""
cleanup() {
    if [[ -n $session ]]; then
        # Stopping the inner script ends the command and the keyring; dbus-run-session then
        # stops its bus and exits by itself.
        if [[ -s $work/inside.pid ]]; then
            stop_pid "$(cat "$work/inside.pid")"
        fi
        stop_pid "$session"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# Like the stock session bus, but without any service directories: nothing is started by bus
# activation, so only the daemon started above can own org.freedesktop.secrets, and a missing
# keyring stays missing.
cat >"$work/session.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

dbus-run-session --config-file="$work/session.conf" -- "$script" --inside "$mode" "$work" "$@" &
session=$!
status=0
wait "$session" || status=$?
session=""
exit "$status"
