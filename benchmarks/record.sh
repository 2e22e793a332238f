#!/bin/bash
# Regenerates benchmarks/recordings/: for each encoding and quality, a fresh TigerVNC Xvnc on
# loopback shows a small desktop (a gradient, an xterm, a photo-like image), Tessaral's snapshot
# tool watches it through tools/rfb-record while the xterm scrolls text and the windows move,
# and the proxy keeps the server's side of that session.
#
# The hd-SCENE-ENCODING recordings are of a 1920 × 1080 desktop in full colour, one kind of
# activity each, as a user's session has them: a page of text and pictures scrolled (scroll), a
# window dragged across the screen (drag), a video-like animation in part of the screen (video),
# typing in a terminal (typing).
#
# usage: benchmarks/record.sh BUILD_DIR [NAME ...]
#   BUILD_DIR holds tools/tessaral-snapshot/tessaral-snapshot; a NAME is ENCODING-QUALITY or
#   hd-SCENE-ENCODING. Without names, all ten 1024 × 768 recordings (zrle, hextile, raw × full,
#   thousands, low, and zrle+copyrect-full) are made; with "hd", all twenty hd ones. An ENCODING
#   of the form zrle+copyrect asks the server for both; tight+jpeg8 asks for Tight with JPEG at
#   quality 8 (tools/rfb-record names the pseudo-encodings).
# Needs: tigervnc-standalone-server, xterm, xdotool, imagemagick, x11-utils, fonts-dejavu-core,
# python3, python3-tk.

set -Eeuo pipefail
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
elif [ "${names[*]}" = hd ]; then
    names=()
    for scene in scroll drag video typing; do
        for encoding in zrle hextile raw tight tight+jpeg8; do
            names+=("hd-$scene-$encoding")
        done
    done
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

move_windows() {  # moves the photo and the terminal about while the text scrolls
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
    move_windows "$photo" "$terminal"
    kill -TERM "$proxy" 2>/dev/null || true
    wait "$proxy" 2>/dev/null || true
    cat "$log/record.log" >&2
    stop_all
    unset DISPLAY
}

# ---- 1920 × 1080 scenes ----------------------------------------------------------------------

hd_width=1920
hd_height=1080
# Enough for each scene's few seconds. Photo-like pixels cost ZRLE about 3 bytes each, so the
# stream is capped too, to keep the twenty recordings at about 32 MB on disk together; Raw and
# Hextile streams shrink in gzip, ZRLE's and Tight's do not.
declare -A hd_caps=([zrle]=200 [hextile]=200 [raw]=200 [tight]=200)
declare -A hd_bytes=([zrle]=2500000 [hextile]=5000000 [raw]=30000000 [tight]=2500000
                     [video-zrle]=4000000 [video-hextile]=6000000 [video-raw]=12000000
                     [drag-raw]=40000000)

hd_content() {  # made once, on first use
    [ -e "$work/hd/ready" ] && return
    mkdir -p "$work/hd/video"
    convert -size ${hd_width}x${hd_height} gradient:'#1d3b5a'-'#5a2f4a' "$work/hd/wallpaper.png"
    # Pictures for the page, the photo to drag.
    local part
    for part in 0 1 2 3; do
        convert -size 80x45 -seed $((part + 3)) plasma:fractal -resize 320x180! \
            "$work/hd/picture$part.png"
    done
    # A long page of text and pictures, scrolled as a browser scrolls: by copying what stays
    # on screen and drawing what comes in.
    cat >"$work/hd/page.py" <<'PAGE'
import os, sys, tkinter as tk
text, go, pictures = sys.argv[1], sys.argv[2], sys.argv[3:]
root = tk.Tk()
root.title("page")
root.geometry("900x640+300+80")
canvas = tk.Canvas(root, bg="white", highlightthickness=0, yscrollincrement=4)
canvas.pack(fill="both", expand=True)
images, y = [], 20
for i, paragraph in enumerate(open(text).read().split("\n\n")[:80]):
    item = canvas.create_text(60, y, anchor="nw", text=paragraph, width=780, fill="#202020",
                              font=("DejaVu Serif", 13))
    y = canvas.bbox(item)[3] + 16
    if i % 5 == 4:
        images.append(tk.PhotoImage(file=pictures[len(images) % len(pictures)]))
        canvas.create_image(50, y, anchor="nw", image=images[-1])
        y += images[-1].height() + 16
canvas.configure(scrollregion=(0, 0, 900, y))
def scroll():
    if os.path.exists(go):
        canvas.yview_scroll(3, "units")
    root.after(30, scroll)
scroll()
root.mainloop()
PAGE
    # The video stand-in: a 320 × 180 picture panning, frame by frame.
    local frame name
    convert -size 80x45 -seed 11 plasma:fractal -resize 640x360! "$work/hd/film.png"
    for frame in $(seq 0 23); do
        printf -v name '%s/hd/video/%03d.png' "$work" $frame
        convert "$work/hd/film.png" -crop 320x180+$((frame * 12))+$((frame * 7)) +repage "$name"
    done
    convert -size 60x40 -seed 5 plasma:fractal -resize 240x160! "$work/hd/photo.png"
    touch "$work/hd/ready"
}

hd_scene() {  # hd_scene SCENE: sets the desktop up, then acts the scene once `act` is called
    local scene=$1
    case $scene in
        scroll)
            rm -f "$work/hd/go"
            start "$log/page.log" /usr/bin/python3 "$work/hd/page.py" "$work/license" \
                "$work/hd/go" "$work/hd/picture"[0-3].png
            wait_for 20 xdotool search --name '^page$' || { cat "$log/page.log" >&2; return 1; }
            ;;
        drag)
            start "$log/display.log" display -geometry +1500+100 -title photo "$work/hd/photo.png"
            start "$log/xterm.log" xterm -geometry 80x24+900+500 -fa 'DejaVu Sans Mono' -fs 10 \
                -bg '#fdfdf6' -fg '#202020' -title terminal -e /bin/sh -c \
                "cat '$work/text'; sleep 600"
            wait_for 20 xdotool search --name '^photo'
            wait_for 20 xdotool search --name '^terminal$'
            ;;
        video)
            start "$log/xterm.log" xterm -geometry 100x40+60+60 -fa 'DejaVu Sans Mono' -fs 10 \
                -bg '#fdfdf6' -fg '#202020' -title terminal -e /bin/sh -c \
                "cat '$work/text'; sleep 600"
            wait_for 20 xdotool search --name '^terminal$'
            ;;
        typing)
            start "$log/xterm.log" xterm -geometry 140x50+200+80 -fa 'DejaVu Sans Mono' -fs 10 \
                -bg '#fdfdf6' -fg '#202020' -title terminal -e /bin/sh
            wait_for 20 xdotool search --name '^terminal$'
            ;;
    esac
}

hd_act() {  # the scene's activity, a few seconds of it
    local scene=$1 window i
    case $scene in
        scroll)
            touch "$work/hd/go"
            sleep 2
            ;;
        drag)
            window=$(xdotool search --name '^terminal$' | awk 'NR == 1')
            for i in $(seq 0 39); do
                xdotool windowmove "$window" $((900 - i * 20)) $((500 - i * 10))
                sleep 0.03
            done
            ;;
        video)
            start "$log/animate.log" animate -geometry +1300+600 -delay 4 -title video \
                "$work/hd/video/"*.png
            wait_for 20 xdotool search --name '^video' || { cat "$log/animate.log" >&2; return 1; }
            sleep 3
            ;;
        typing)
            window=$(xdotool search --name '^terminal$' | awk 'NR == 1')
            xdotool mousemove --window "$window" 200 200
            xdotool type --delay 25 'for word in the quick brown fox jumps over the lazy dog; do echo $word; done'
            xdotool key Return
            xdotool type --delay 25 'ls -l /usr/share | head -40'
            xdotool key Return
            xdotool type --delay 25 'cat /usr/share/common-licenses/GPL-3 | head -60 | tail -30'
            xdotool key Return
            sleep 1
            ;;
    esac
}

record_hd() {  # record_hd SCENE ENCODING
    local scene=$1 encoding=$2
    local name=hd-$scene-$encoding
    local log=$work/$name
    mkdir -p "$log"
    hd_content

    local port
    port=$(free_port)
    start "$log/Xvnc.log" Xvnc -displayfd 3 -rfbport "$port" -localhost -nolisten tcp \
        -SecurityTypes None -geometry ${hd_width}x${hd_height} -depth 24 \
        -desktop "Tessaral replay" 3>"$log/display"
    wait_for 10 test -s "$log/display"
    export DISPLAY=:$(cat "$log/display") XAUTHORITY=/dev/null
    wait_for 10 xdpyinfo
    display -window root "$work/hd/wallpaper.png" >/dev/null 2>&1 || true  # exits 1 on success
    hd_scene "$scene"
    sleep 1

    local proxy_port
    proxy_port=$(free_port)
    start "$log/record.log" /usr/bin/python3 "$recorder" --listen "$proxy_port" \
        --server "127.0.0.1:$port" --encodings "${encoding//+/,}" \
        --updates "${hd_caps[${encoding%%+*}]}" \
        --max-bytes "${hd_bytes[$scene-$encoding]:-${hd_bytes[${encoding%%+*}]}}" \
        --output "$output/$name.rfbrec.gz"
    local proxy=$last_pid
    wait_for 10 grep -q listening "$log/record.log"
    start "$log/snapshot.log" "$snapshot" --quality full --no-cursor --timeout 60 \
        --updates 1000000 "127.0.0.1:$proxy_port" "$log/last.png"
    sleep 1
    hd_act "$scene"
    kill -TERM "$proxy" 2>/dev/null || true
    wait "$proxy" 2>/dev/null || true
    cat "$log/record.log" >&2
    stop_all
    unset DISPLAY
}

mkdir -p "$output"
for name in "${names[@]}"; do
    if [[ $name == hd-* ]]; then
        rest=${name#hd-}
        record_hd "${rest%%-*}" "${rest#*-}"
    else
        record "${name%%-*}" "${name#*-}"
    fi
done
ls -l "$output"
