#!/usr/bin/env bash
# Installs what is missing, builds Tessaral and starts it.
#
#   scripts/run.sh [vnc://[user[:password]@]host[:port]]...   links are passed on to tessaral
#   scripts/run.sh --demo   also starts a throwaway local VNC server with a sample desktop and
#                           opens it; the server stops when Tessaral exits
#
# tessaral-snapshot is built along with it: build/release/tools/tessaral-snapshot/tessaral-snapshot.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/stop-pid.sh"

demo=""
if [[ ${1-} == --demo ]]; then
    demo=1
    shift
fi
case "${1-}" in
    --version | --help | -h) ;;
    *)
        if [[ -z ${DISPLAY-} && -z ${WAYLAND_DISPLAY-} ]]; then
            echo "run.sh: no display: neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
            echo "Tessaral is a desktop program; start it from a graphical session." >&2
            exit 2
        fi
        ;;
esac

"$root/scripts/install-dependencies.sh"
build="$root/build/release"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tessaral tessaral-snapshot
tessaral="$build/Tessaral/App/tessaral"

if [[ -z $demo ]]; then
    exec "$tessaral" "$@"
fi

# ---- The demo server -------------------------------------------------------------------------
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
number=""
for candidate in $(seq 57 99); do
    if [[ ! -e /tmp/.X11-unix/X$candidate && ! -e /tmp/.X$candidate-lock ]] &&
        ! port_in_use $((5900 + candidate)); then
        number=$candidate
        break
    fi
done
[[ -n $number ]] || { echo "run.sh: no free display from :57 to :99" >&2; exit 1; }
port=$((5900 + number))
work="$(mktemp -d /tmp/tessaral-demo-XXXXXX)"
pids=()
cleanup() {
    local i
    # The programs on the sample desktop first, then their server.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

Xvnc ":$number" -rfbport "$port" -localhost -SecurityTypes None -geometry 1280x800 -depth 24 \
    -desktop "Tessaral demo" >"$work/xvnc.log" 2>&1 &
pids=($!)
for _ in $(seq 100); do
    port_in_use "$port" && break
    kill -0 "${pids[0]}" 2>/dev/null || { cat "$work/xvnc.log" >&2; exit 1; }
    sleep 0.1
done

# A sample desktop with some colour and something that moves.
DISPLAY=":$number" xsetroot -solid '#2d4f6c'
convert -size 520x340 plasma:fractal -blur 0x2 \
    -gravity center -pointsize 44 -fill white -stroke '#00000060' -annotate 0 'Tessaral demo' \
    "$work/sample.png"
DISPLAY=":$number" display -geometry +700+60 -title "Sample image" "$work/sample.png" &
pids+=($!)
DISPLAY=":$number" xterm -geometry 80x24+40+40 -title "Demo terminal" &
pids+=($!)
DISPLAY=":$number" xclock -geometry 220x220+80+480 -update 1 &
pids+=($!)
DISPLAY=":$number" xeyes -geometry 200x120+760+480 &
pids+=($!)

link="vnc://127.0.0.1:$port"
echo "Demo server on $link (display :$number)"
# A Tessaral already running takes the link and this launch ends at once; then the server has to
# stay up until the user is done with it.
running=""
if [[ -n ${DBUS_SESSION_BUS_ADDRESS-} ]] &&
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.tessaral.Tessaral 2>/dev/null |
    grep -q 'boolean true'; then
    running=1
elif [[ -S ${XDG_RUNTIME_DIR-}/org.tessaral.Tessaral.socket ]] &&
    python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' \
        "$XDG_RUNTIME_DIR/org.tessaral.Tessaral.socket" 2>/dev/null; then
    running=1
fi
"$tessaral" "$link"
if [[ -n $running ]]; then
    read -r -p "Tessaral was already running and opened the demo. Press Enter to stop the server. "
fi
