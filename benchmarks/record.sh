#!/bin/bash
# Regenerates benchmarks/recordings/: for each encoding and quality, a fresh TigerVNC Xvnc on
# loopback shows a small desktop (a gradient, an xterm, a photo-like image), Tessaral's snapshot
# tool watches it through tools/rfb-record while the xterm scrolls text and the windows move,
# and the proxy keeps the server's side of that session.
#
# usage: benchmarks/record.sh BUILD_DIR [ENCODING-QUALITY ...]
#   BUILD_DIR holds tools/tessaral-snapshot/tessaral-snapshot; without names, all ten
#   recordings (zrle, hextile, raw × full, thousands, low, and zrle+copyrect-full) are made. An
#   ENCODING of the form zrle+copyrect asks the server for both.
# Needs: tigervnc-standalone-server, xterm, xdotool, imagemagick, x11-utils, fonts-dejavu-core,
# python3.

set -euo pipefail
trap 'echo "record.sh: failed at line $LINENO" >&2' ERR

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: record.sh BUILD_DIR [ENCODING-QUALITY ...]}
shift
snapshot=$build/tools/tessaral-snapshot/tessaral-snapshot
recorder=$here/../tools/rfb-record/rfb-record.py
output=$here/recordings
[ -x "$snapshot" ] || { echo "record.sh: no $snapshot" >&2; exit 2; }

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    names=(zrle-full zrle-thousands zrle-low hextile-full hextile-thousands hextile-low
           raw-full raw-thousands raw-low zrle+copyrect-full)
fi

width=1024
height=768
# The animation makes about 240 updates; should a faster machine make many more, these caps keep
# the recordings (the raw ones above all) small.
declare -A caps=([zrle]=400 [hextile]=400 [raw]=250)

work=$(mktemp -d)
pids=()
stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

start() {  # start LOG COMMAND...: runs in the background, remembered for stopping by pid
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    pids+=($!)
    last_pid=$!
}

wait_for() {  # wait_for SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# Content shared by every recording, made once.
convert -size ${width}x${height} gradient:'#2b4f7e'-'#6f3a5c' "$work/wallpaper.png"
# A photo stand-in: smooth colour fields with fine grain, about as compressible as a photo.
convert -size 48x36 -seed 7 plasma:fractal -resize 192x144 -attenuate 0.15 +noise Gaussian \
    "$work/photo.png"
fmt -w 64 /usr/share/common-licenses/GPL-3 >"$work/license"
head -n 150 "$work/license" >"$work/text"

# Scrolls the text into the xterm once the recording has begun.
cat >"$work/scroll.sh" <<'EOF'
while [ ! -e "$1/go" ]; do sleep 0.05; done
while IFS= read -r line; do
    printf '%s\n' "$line"
    sleep 0.015
done <"$1/text"
sleep 60
EOF

animate() {  # moves the photo and the terminal about while the text scrolls
    local photo=$1 terminal=$2 i x y
    touch "$work/go"
    sleep 2
    for i in $(seq 0 14); do
        x=$((640 - i * 24))
        y=$((420 + (i % 5) * 24))
        xdotool windowmove "$photo" $x $y
        sleep 0.04
    done
    for i in $(seq 0 11); do
        xdotool windowmove "$terminal" $((20 + i * 12)) $((20 + i * 6))
        sleep 0.04
    done
    # Typing: many small updates. Without a window manager the keyboard follows the pointer;
    # the terminal echoes what is typed.
    xdotool mousemove --window "$terminal" 100 100
    xdotool type --delay 30 'echo the quick brown fox jumps over the lazy dog; ls -l /usr/share'
    sleep 1
}

record() {  # record ENCODING QUALITY
    local encoding=$1 quality=$2
    local name=$encoding-$quality
    local log=$work/$name
    mkdir -p "$log"
    rm -f "$work/go"

    local port
    port=$(free_port)
    start "$log/Xvnc.log" Xvnc -displayfd 3 -rfbport "$port" -localhost -nolisten tcp \
        -SecurityTypes None -geometry ${width}x${height} -depth 24 -desktop "Tessaral replay" \
        3>"$log/display"
    wait_for 10 test -s "$log/display"
    export DISPLAY=:$(cat "$log/display") XAUTHORITY=/dev/null
    wait_for 10 xdpyinfo

    display -window root "$work/wallpaper.png" >/dev/null 2>&1 || true  # exits 1 on success
    start "$log/xterm.log" xterm -geometry 64x16+20+20 -fa 'DejaVu Sans Mono' -fs 9 \
        -bg '#fdfdf6' -fg '#202020' -title terminal -e /bin/sh "$work/scroll.sh" "$work"
    start "$log/display.log" display -geometry +640+420 -title photo "$work/photo.png"
    wait_for 10 xdotool search --name '^terminal$'
    wait_for 10 xdotool search --name '^photo'
    local terminal photo
    terminal=$(xdotool search --name '^terminal$' | awk 'NR == 1')
    photo=$(xdotool search --name '^photo' | awk 'NR == 1')

    local proxy_port
    proxy_port=$(free_port)
    start "$log/record.log" /usr/bin/python3 "$recorder" --listen "$proxy_port" \
        --server "127.0.0.1:$port" --encodings "${encoding//+/,}" \
        --updates "${caps[${encoding%%+*}]}" \
        --output "$output/$name.rfbrec.gz"
    local proxy=$last_pid
    wait_for 10 grep -q listening "$log/record.log"
    start "$log/snapshot.log" "$snapshot" --quality "$quality" --no-cursor --timeout 30 \
        --updates 1000000 "127.0.0.1:$proxy_port" "$log/last.png"
    sleep 1
    animate "$photo" "$terminal"
    kill -TERM "$proxy" 2>/dev/null || true
    wait "$proxy" 2>/dev/null || true
    cat "$log/record.log" >&2
    stop_all
    unset DISPLAY
}

mkdir -p "$output"
for name in "${names[@]}"; do
    record "${name%%-*}" "${name#*-}"
done
ls -l "$output"
