#!/usr/bin/env python3
"""One Tessaral per user: later launches hand their links to the first and exit.

    test_single_instance.py bus|local TESSARAL

"bus" runs on a private session bus; "local" has none, so the local socket carries the links.
Each link names a port of its own where this script listens: a connection to it proves which
link arrived, and one still open after its launch exited belongs to the process that stayed.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

results = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    results.append(condition)
    return condition


class Listener:
    def __init__(self):
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.link = "vnc://127.0.0.1:%d" % self.socket.getsockname()[1]
        self.connection = None

    def accept(self, timeout=15):
        self.socket.settimeout(timeout)
        try:
            self.connection, _ = self.socket.accept()
            return True
        except socket.timeout:
            return False

    def peer_alive(self):
        # The client waits for the server to speak first, so a live peer sends nothing; a peer
        # that exited has closed the connection.
        self.connection.settimeout(0.5)
        try:
            return self.connection.recv(1) != b""
        except socket.timeout:
            return True
        except OSError:
            return False

    def close(self):
        for s in (self.connection, self.socket):
            if s:
                s.close()


def stop(process):
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def socket_path():
    return os.path.join(os.environ["XDG_RUNTIME_DIR"], "org.tessaral.Tessaral.socket")


def owner_visible(mode):
    if mode == "local":
        return os.path.exists(socket_path())
    reply = subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
         "string:org.tessaral.Tessaral"], capture_output=True, text=True, timeout=10)
    return "boolean true" in reply.stdout


def hand_over(mode, tessaral, log):
    first_link, second_link = Listener(), Listener()
    first = subprocess.Popen([tessaral, first_link.link], stdout=log, stderr=subprocess.STDOUT)
    try:
        check(first_link.accept(), "the first launch opens its link")
        check(owner_visible(mode), "the first launch owns the instance over " + mode)
        began = time.monotonic()
        second = subprocess.run([tessaral, second_link.link], stdout=log,
                                stderr=subprocess.STDOUT, timeout=20)
        check(second.returncode == 0 and time.monotonic() - began < 5,
              "the second launch exits 0 promptly (%d)" % second.returncode)
        check(second_link.accept(10) and second_link.peer_alive(),
              "the second launch's link arrives at the first")
        check(first.poll() is None and first_link.peer_alive(), "the first keeps running")
        if mode == "bus":
            check(not os.path.exists(socket_path()), "no local socket while a bus is there")
    finally:
        stop(first)
        first_link.close()
        second_link.close()


def launch_together(mode, tessaral, log, round):
    links = [Listener(), Listener()]
    # Both launches find nobody listening before either listens; only the lock keeps the second
    # from taking over as well.
    env = dict(os.environ, TESSARAL_TEST_CLAIM_DELAY_MS="400" if mode == "local" else "0")
    processes = [subprocess.Popen([tessaral, listener.link], stdout=log, stderr=subprocess.STDOUT,
                                  env=env) for listener in links]
    try:
        arrived = all([listener.accept() for listener in links])
        deadline = time.monotonic() + 10
        while all(p.poll() is None for p in processes) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # a second owner would still be running now
        codes = [p.poll() for p in processes]
        check(sorted(codes, key=str) == [0, None],
              "round %d: of two launches at once one exits 0, one stays (%s)" % (round, codes))
        check(arrived and all(listener.peer_alive() for listener in links),
              "round %d: both links arrive at the one that stays" % round)
    finally:
        for process in processes:
            stop(process)
        for listener in links:
            listener.close()


def main():
    mode, tessaral = sys.argv[1], sys.argv[2]
    scratch = tempfile.TemporaryDirectory(prefix="tessaral-instance-")
    env = os.environ
    if mode == "bus":
        if not check("DBUS_SESSION_BUS_ADDRESS" in env, "runs on a private session bus"):
            return 1
    else:
        # Nothing of the user's: no bus, no display, folders of its own.
        for name in ("HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"):
            env[name] = os.path.join(scratch.name, name.lower())
        env["XDG_RUNTIME_DIR"] = os.path.join(scratch.name, "runtime")
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(scratch.name, "no-bus")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env["QT_QPA_PLATFORM"] = "offscreen"

    with open(os.path.join(scratch.name, "tessaral.log"), "w+") as log:
        hand_over(mode, tessaral, log)
        if mode == "local":
            # The owner above was killed and left its socket behind: nobody listens on it.
            check(os.path.exists(socket_path()), "a stale socket is left for the next launch")
        for round in range(1, 3):
            launch_together(mode, tessaral, log, round)
        failing = results.count(False)
        if failing:
            log.seek(0)
            print("---- tessaral's output\n" + log.read())
    print("single instance (%s): %d checks, %d failing" % (mode, len(results), failing))
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
