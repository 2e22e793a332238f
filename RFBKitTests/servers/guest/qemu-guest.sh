#!/usr/bin/env bash
# QEMU running guest.c, built here into FOLDER, with its VNC server on 127.0.0.1:PORT, the guest's
# serial port in FOLDER/serial.log ("ready" once it shows its picture, then a line a key) and its
# monitor on the pipes FOLDER/monitor.in and .out. More arguments are QEMU's ("-k de").
#
#   qemu-guest.sh FOLDER PORT [QEMU OPTION...]
set -euo pipefail
folder=$1 port=$2
here="$(dirname "$0")"
gcc -m32 -ffreestanding -fno-pic -fno-stack-protector -fno-asynchronous-unwind-tables -nostdlib \
    -static -no-pie -O2 -Wall -Wextra -Werror -Wl,--build-id=none,--no-warn-rwx-segments \
    -T "$here/guest.ld" -o "$folder/guest.elf" "$here/guest.c"
mkfifo "$folder/monitor.in" "$folder/monitor.out"
# lossy=on, or QEMU ignores the JPEG quality a client asks for.
exec qemu-system-x86_64 -nodefaults -machine pc -m 32 -vga std -display none \
    -kernel "$folder/guest.elf" -serial "file:$folder/serial.log" -monitor "pipe:$folder/monitor" \
    -vnc "127.0.0.1:$((port - 5900)),lossy=on" "${@:3}"
