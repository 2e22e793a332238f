#!/usr/bin/env bash
# Runs a command inside a throwaway network namespace that has its own system D-Bus and its own
# avahi-daemon, so that mDNS tests see exactly the services they publish (with avahi-publish) and
# no multicast ever reaches a real network: the daemon's only interface is one end of a veth pair
# whose other end is in the same namespace. Needs root (ip netns, mounts).
#
#   with-avahi-namespace.sh [--without-daemon] COMMAND [ARGUMENT...]
#
# Inside, /run is a private tmpfs: the system bus socket is at its usual path
# (/run/dbus/system_bus_socket), so avahi-client, avahi-publish and the daemon find it without
# configuration, and nothing of the host's /run (its bus, a host avahi-daemon) is visible.
# --without-daemon starts the bus but no avahi-daemon: the "Avahi installed but not running" case.
#
# The command sees TESSARAL_AVAHI_NAMESPACE=<namespace name> (and TESSARAL_AVAHI_DAEMON=running or
# none); its exit status is returned. Everything started here is stopped by pid, and the namespace
# is deleted, also when the script fails or is interrupted.
set -euo pipefail

script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
prefix=tessaral-mdns-
interface=tmdns0
peer=tmdns1

fail() {
    echo "with-avahi-namespace: $*" >&2
    exit 2
}

source "$(dirname "$script")/stop-pid.sh"

# ---- Inside the namespace ----------------------------------------------------------------------
if [[ ${1-} == --inside ]]; then
    shift
    mode=$1 work=$2 namespace=$3
    shift 3
    echo $$ >"$work/inside.pid"
    bus="" daemon="" command=""
    cleanup() {
        stop_pid "$command"
        stop_pid "$daemon"
        stop_pid "$bus"
    }
    trap cleanup EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT

    # `ip netns exec` gave this process its own mount namespace with private propagation, so this
    # tmpfs is seen by this script and its children only.
    mount -t tmpfs -o mode=0755 tessaral-run /run
    mkdir -p /run/dbus /run/avahi-daemon

    ip link set lo up
    ip link add "$interface" type veth peer name "$peer"
    # 192.0.2.0/24 is reserved for documentation: it can never be a real network.
    ip address add 192.0.2.1/24 dev "$interface"
    ip link set "$interface" up
    ip link set "$peer" up

    cat >"$work/system.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF
    dbus-daemon --nofork --nopidfile --nosyslog --config-file="$work/system.conf" \
        >"$work/dbus.log" 2>&1 &
    bus=$!
    for _ in $(seq 100); do
        [[ -S /run/dbus/system_bus_socket ]] && break
        kill -0 "$bus" 2>/dev/null || { cat "$work/dbus.log" >&2; fail "dbus-daemon exited"; }
        sleep 0.05
    done
    [[ -S /run/dbus/system_bus_socket ]] || fail "no system bus socket"
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket

    if [[ $mode == running ]]; then
        cat >"$work/avahi-daemon.conf" <<EOF
[server]
host-name=tessaral-test
domain-name=local
use-ipv4=yes
use-ipv6=yes
allow-interfaces=$interface
enable-dbus=yes
disallow-other-stacks=yes
ratelimit-interval-usec=0

[wide-area]
enable-wide-area=no

[publish]
publish-hinfo=no
publish-workstation=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no

[reflector]
enable-reflector=no

[rlimits]
EOF
        avahi-daemon --file="$work/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits \
            --no-proc-title >"$work/avahi.log" 2>&1 &
        daemon=$!
        # Ready once the daemon has registered its own host name (server state 2, running).
        ready=""
        for _ in $(seq 200); do
            kill -0 "$daemon" 2>/dev/null || { cat "$work/avahi.log" >&2; fail "avahi-daemon exited"; }
            if dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
                org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'; then
                ready=yes
                break
            fi
            sleep 0.05
        done
        [[ -n $ready ]] || { cat "$work/avahi.log" >&2; fail "avahi-daemon did not start"; }
    fi

    export TESSARAL_AVAHI_NAMESPACE=$namespace TESSARAL_AVAHI_DAEMON=$mode
    "$@" &
    command=$!
    status=0
    wait "$command" || status=$?
    command=""
    if ((status != 0)) && [[ -s $work/avahi.log ]]; then
        echo "---- avahi-daemon log ----" >&2
        cat "$work/avahi.log" >&2
    fi
    exit "$status"
fi

# ---- Outside: create the namespace -------------------------------------------------------------
mode=running
if [[ ${1-} == --without-daemon ]]; then
    mode=none
    shift
fi
(($#)) || fail "usage: with-avahi-namespace.sh [--without-daemon] COMMAND [ARGUMENT...]"
[[ $(id -u) -eq 0 ]] || fail "needs root to create a network namespace"
for tool in ip dbus-daemon dbus-send avahi-daemon avahi-publish; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# Namespaces left behind by a run that was killed outright: named after the pid of the script
# that made them; removed once that script is gone and nothing runs in them any more.
for stale in $(ip netns list | awk '{print $1}' | grep "^$prefix" || true); do
    owner=${stale#"$prefix"}
    if ! kill -0 "$owner" 2>/dev/null && [[ -z $(ip netns pids "$stale" 2>/dev/null) ]]; then
        ip netns delete "$stale" 2>/dev/null || true
    fi
done

namespace="$prefix$$"
work="$(mktemp -d /tmp/tessaral-avahi-XXXXXX)"
inside=""
created=""
cleanup() {
    if [[ -n $inside ]]; then
        stop_pid "$inside"
    fi
    if [[ -n $created ]]; then
        # Deleting the namespace also removes the veth pair, which lives only there.
        ip netns delete "$namespace" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

ip netns add "$namespace"
created=yes
ip netns exec "$namespace" "$script" --inside "$mode" "$work" "$namespace" "$@" &
inside=$!
status=0
wait "$inside" || status=$?
inside=""
exit "$status"
