#!/usr/bin/env bash
# fuzz.sh BINARY_DIR SECONDS TARGET... : runs each libFuzzer target from a copy of its checked-in
# corpus for SECONDS, two at a time. Any crash, leak, undefined behaviour, time-out or
# allocation above the cap fails; the input that did it is kept under build/fuzz-artifacts/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$1"
seconds="$2"
shift 2
work="$(mktemp -d)"
artifacts="$root/build/fuzz-artifacts"
mkdir -p "$artifacts"
trap 'rm -rf "$work"' EXIT

run() {
    local target="$1"
    mkdir -p "$work/$target"
    cp "$root/fuzz/corpus/$target/"* "$work/$target/"
    # A framebuffer may legitimately take 1 GiB (16384 x 16384 words); nothing may take more.
    if "$bin/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
        -malloc_limit_mb=1100 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$work/$target" >"$work/$target.log" 2>&1; then
        echo "$target: $(grep -m1 -o 'Done [0-9]* runs in [0-9]* second(s)' "$work/$target.log")"
    else
        echo "$target: FAILED"
        tail -n 60 "$work/$target.log"
        return 1
    fi
}

status=0
pids=()
for target in "$@"; do
    run "$target" &
    pids+=($!)
    if ((${#pids[@]} == 2)); then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
exit $status
