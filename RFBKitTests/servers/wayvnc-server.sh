#!/usr/bin/env bash
# wayvnc on a headless sway of its own, on PORT of loopback only, with authentication on as
# Debian's wayvnc offers it: VeNCrypt X509Plain with CERTIFICATE and KEY (PEM) and one user. Both
# run as nobody, since sway refuses to run as root. SIGTERM stops both.
#
#   wayvnc-server.sh PORT CERTIFICATE KEY USER PASSWORD
set -euo pipefail
port=$1 certificate=$2 key=$3 user=$4 password=$5
source "$(dirname "$0")/../../scripts/stop-pid.sh"

work="$(mktemp -d /tmp/tessaral-wayvnc-XXXXXX)"
sway="" wayvnc=""
cleanup() {
    stop_pid "$wayvnc"
    stop_pid "$sway"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

mkdir -m 700 "$work/runtime"
cp "$certificate" "$work/certificate.pem"
cp "$key" "$work/key.pem"
echo "output HEADLESS-1 resolution 640x480" >"$work/sway.conf"
cat >"$work/wayvnc.conf" <<CONFIG
address=127.0.0.1
port=$port
enable_auth=true
username=$user
password=$password
certificate_file=$work/certificate.pem
private_key_file=$work/key.pem
CONFIG
chown -R nobody "$work"
chmod 755 "$work"
# Run in the background only: it becomes the program, so that $! is the program's own pid.
as_nobody() {
    exec setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env -i PATH="$PATH" HOME="$work" XDG_RUNTIME_DIR="$work/runtime" "$@"
}

as_nobody WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    sway -c "$work/sway.conf" &
sway=$!
for _ in $(seq 100); do
    [[ -S $work/runtime/wayland-1 ]] && break
    sleep 0.1
done
as_nobody WAYLAND_DISPLAY=wayland-1 wayvnc -C "$work/wayvnc.conf" &
wayvnc=$!
wait "$wayvnc"
