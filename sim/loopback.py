"""Listening sockets on loopback addresses of their own.

The servers that stand in for the terminal's peers (push server,
dispatcher) listen on the fixed ports the terminal uses. The whole of
127.0.0.0/8 reaches this machine, so parallel tests can each have a fixed
port on an address of their own. 127.0.0.x is left to people.
"""

import errno
import random
import socket


def listen(host, port, options=(), backlog=16):
    """A non-blocking listening socket; options are (level, name, value)
    set before binding (accepted connections inherit them)."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        # Connections of an earlier server on this address may linger in
        # TIME_WAIT; they must not keep this one from listening.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        for level, name, value in options:
            sock.setsockopt(level, name, value)
        sock.bind((host, port))
        sock.listen(backlog)
        sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


def random_host():
    return f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"


def listen_anywhere(port, options=(), backlog=16):
    """(host, socket) listening on port of a free loopback address."""
    for _ in range(100):
        host = random_host()
        try:
            return host, listen(host, port, options, backlog)
        except OSError as e:
            if e.errno != errno.EADDRINUSE:
                raise
    raise RuntimeError(f"no free loopback address for port {port}")
