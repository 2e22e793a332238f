"""What the Python test servers share: exact reads, hanging up without a reset, a line of log per
event, and serving each connection on a thread of its own."""

import os
import socket
import sys
import threading


class Closed(Exception):
    """The peer went away, or this side hung up on purpose."""


def log(peer, text):
    name = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    print("%s %s: %s" % (name, peer, text), file=sys.stderr, flush=True)


def receive(conn, count):
    data = bytearray()
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            raise Closed("connection closed")
        data += chunk
    return bytes(data)


def hang_up(conn, reason, shutdown=True):
    """Reads on after its end of the stream: closing at once would answer with a reset."""
    if shutdown:
        conn.shutdown(socket.SHUT_WR)
    while conn.recv(65536):
        pass
    raise Closed(reason)


def serve_forever(serve, said=""):
    """Prints "PORT <n>" and `said` on one line, then calls serve(conn) for each connection."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(("PORT %d %s" % (listener.getsockname()[1], said)).rstrip(), flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()
