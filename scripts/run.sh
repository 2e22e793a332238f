#!/usr/bin/env bash
# Builds Tessaral and runs tessaral-snapshot. With arguments they are passed on
# (tessaral-snapshot [options] ADDRESS OUTPUT.png); without, it starts a throwaway
# TigerVNC server on loopback and saves its screen to snapshot.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-dependencies.sh"
build="$root/build/release"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tessaral-snapshot
snapshot="$build/tools/tessaral-snapshot/tessaral-snapshot"

if (($#)); then
    exec "$snapshot" "$@"
fi

display=:57
Xvnc "$display" -rfbport 5957 -localhost -SecurityTypes None -geometry 1024x768 -depth 24 \
    >/tmp/tessaral-demo-xvnc.log 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -S /tmp/.X11-unix/X${display#:} ]] && break; sleep 0.1; done
DISPLAY=$display xsetroot -solid steelblue
"$snapshot" --stats 127.0.0.1:5957 snapshot.png
echo "Saved snapshot.png"
