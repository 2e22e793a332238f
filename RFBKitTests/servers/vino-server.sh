#!/usr/bin/env bash
# GNOME's screen-sharing server, vino, on this X display and on PORT of loopback only, with its
# defaults otherwise (anonymous TLS, security type 18), no prompt, and a session bus and settings
# of its own. SIGTERM stops vino and the bus; nothing of the user's is read or written.
#
#   vino-server.sh PORT
set -euo pipefail
port=$1
source "$(dirname "$0")/../../scripts/stop-pid.sh"

work="$(mktemp -d /tmp/tessaral-vino-XXXXXX)"
bus="" vino=""
cleanup() {
    stop_pid "$vino"
    stop_pid "$bus"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

export HOME="$work" XDG_CONFIG_HOME="$work/config" GSETTINGS_BACKEND=keyfile NO_AT_BRIDGE=1
mkdir -p "$XDG_CONFIG_HOME/glib-2.0/settings"
cat >"$XDG_CONFIG_HOME/glib-2.0/settings/keyfile" <<SETTINGS
[org/gnome/desktop/remote-access]
prompt-enabled=false
notify-on-connect=false
icon-visibility='never'
network-interface='lo'
use-alternative-port=true
alternative-port=$port
SETTINGS

# vino takes the bus name to know it runs once; without a bus it would think it already did.
dbus-daemon --session --nofork --print-address=3 3>"$work/bus" &
bus=$!
for _ in $(seq 100); do
    [[ -s $work/bus ]] && break
    sleep 0.1
done
DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$work/bus")"
export DBUS_SESSION_BUS_ADDRESS
/usr/lib/vino/vino-server --sm-disable &
vino=$!
wait "$vino"
