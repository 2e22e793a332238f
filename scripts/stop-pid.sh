# Sourced by the scripts that start test services: stops a process by pid with SIGTERM, a bounded
# wait, then SIGKILL. An empty pid or a process already gone is fine.
stop_pid() {
    local pid=$1
    [[ -n $pid ]] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
