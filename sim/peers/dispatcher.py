"""A dispatcher for tests and the virtual terminal.

A CIO-mode terminal connects to TCP port 5555 of its dispatcher (IPv4) and
is driven by 4-byte commands:

    byte 0  pgs   sound request: 1 connect the sound path to line dir with
                  the filter off, 2 with the filter on (bit 2, value 4,
                  adds four-wire operation); other values leave it
    byte 1  dir   line, 1 to 8
    byte 2  hub   hub on that line, 1 to 32
    byte 3  cmd   1 to 64 a line command, 65 to 255 a line packet, 0 none

    FF FF FF FF resume, FF 00 00 00 pause, 00 00 00 00 reset,
    hub 0 with cmd 1: test mode

The terminal sends two kinds of message, each a 5-byte header and a body:

    "TC" flag len  zlib stream of the line recording; flag "0", or "1"
                   when a line's voltage is low       (data packet)
    "TE" "3"  10   ten zero bytes                     (acknowledgement)

with the body length in 16 bits, most significant byte first. Every
command releases exactly one data packet; an acknowledgement follows each
executed line command and each transmitted line packet.

This dispatcher listens on a loopback address of its own, sends the
commands tests give it, takes every message apart, decompresses the
recordings, and counts what breaks the framing or the pacing (a data
packet nobody asked for) as an error. Tests can make it refuse, reset or
stall connections, or never answer a connect, and drop connections.

Run alone it prints what it receives and sends the commands typed as four
hexadecimal bytes:

    /usr/bin/python3 -m sim.peers.dispatcher --host 127.0.0.1
"""

import argparse
import fcntl
import socket
import struct
import sys
import threading
import termios
import time
import zlib
from collections import namedtuple

from . import loopback

PORT = 5555
HEADER = 5
ACK_BODY = bytes(10)

# kind "TC" or "TE"; flag the third byte; body as sent; samples the
# decompressed recording (TC); connection its number; time of arrival;
# command the time the command that released it was sent (TC).
Message = namedtuple("Message", "kind flag body samples connection time command")


def command_bytes(cmd):
    """A command from 4 bytes, a tuple (pgs, dir, hub, cmd) or 8 hex digits."""
    if isinstance(cmd, str):
        cmd = bytes.fromhex(cmd)
    cmd = bytes(cmd)
    if len(cmd) != 4:
        raise ValueError("a command is 4 bytes")
    return cmd


class _Connection(loopback.Connection):
    def __init__(self, sock, number):
        super().__init__(sock, number)
        self.commands = []  # times the commands on this connection were sent
        self.packets = 0  # data packets received on it


class Dispatcher(loopback.Server):
    """Serves the dispatcher port (see loopback.Server for the modes); in
    mode "deaf" it listens with a full backlog, so that connects are never
    answered."""

    PORT = PORT
    MODES = loopback.Server.MODES + ("deaf",)

    def __init__(self, host=None):
        self._messages = []
        self._fillers = []  # connections of our own that fill a deaf backlog
        super().__init__(host)

    # What the tests see.

    @property
    def messages(self):
        with self._cond:
            return list(self._messages)

    @property
    def data_packets(self):
        return [m for m in self.messages if m.kind == "TC"]

    @property
    def acks(self):
        return [m for m in self.messages if m.kind == "TE"]

    def wait_for(self, predicate, timeout=10):
        """Waits until predicate(messages) holds; whether it did. Tried on
        every message and at least every POLL seconds."""
        return self._wait_on(self._messages, predicate, timeout)

    def wait_messages(self, n, kind=None, timeout=10):
        """Waits until n messages (of that kind) have come."""
        return self.wait_for(lambda ms: len([m for m in ms if kind in (None, m.kind)]) >= n, timeout)

    # What the tests do.

    def send(self, *commands, timeout=10):
        """Sends commands on the newest connection, waiting for one first."""
        data = b"".join(command_bytes(c) for c in commands)
        deadline = time.monotonic() + timeout
        while not self._ask(lambda: self._send(data, len(commands))):
            if time.monotonic() > deadline:
                raise TimeoutError("the terminal did not connect")
            time.sleep(loopback.POLL)

    def unread(self):
        """Bytes that wait unread on the newest connection (while stalled)."""
        return self._ask(self._unread)

    # Requests, carried out by the serving thread.

    def _newest(self):
        return max(self._clients.values(), key=lambda c: c.number, default=None)

    def _send(self, data, count):
        conn = self._newest()
        if conn is None:
            return False
        conn.sock.setblocking(True)
        try:
            conn.sock.sendall(data)
        except OSError as e:
            self._error(conn, f"sending commands: {e}")
            self._forget(conn.sock)
            return False
        finally:
            if conn.sock.fileno() >= 0:
                conn.sock.setblocking(False)
        conn.commands += [time.monotonic()] * count
        return True

    def _change_mode(self, mode):
        if self._mode == "deaf":
            self._unfill()
        if mode == "deaf":
            super()._change_mode("refuse")
            # Connections of our own, never accepted, until the backlog is
            # full and a new connect gets no answer.
            self._listen(backlog=0)
            self._selector.unregister(self._listener)
            for _ in range(8):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setblocking(False)
                s.connect_ex((self.host, PORT))
                self._fillers.append(s)
            with self._cond:
                self._mode = mode
            return
        super()._change_mode(mode)

    def _unfill(self):
        for s in self._fillers:
            s.close()
        self._fillers.clear()
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    def _shut(self):
        self._unfill()

    def _unread(self):
        conn = self._newest()
        if conn is None:
            return 0
        return struct.unpack("i", fcntl.ioctl(conn.sock, termios.FIONREAD, b"\0" * 4))[0]

    # The serving thread.

    def _connection(self, sock, number):
        return _Connection(sock, number)

    def take(self, conn, data):
        conn.pending += data
        buf = conn.pending
        while len(buf) >= HEADER:
            kind = bytes(buf[:2]).decode("ascii", "replace")
            flag = chr(buf[2])
            length = buf[3] << 8 | buf[4]
            if kind not in ("TC", "TE") or (kind == "TC" and flag not in "01") or (kind == "TE" and flag != "3"):
                self._error(conn, f"bad header {bytes(buf[:HEADER]).hex()}")
                self._forget(conn.sock)
                return
            if kind == "TE" and length != len(ACK_BODY):
                self._error(conn, f"acknowledgement of {length} bytes")
                self._forget(conn.sock)
                return
            if len(buf) < HEADER + length:
                return
            body = bytes(buf[HEADER:HEADER + length])
            del buf[:HEADER + length]
            self._received(conn, kind, flag, body)

    def _received(self, conn, kind, flag, body):
        samples = command = None
        if kind == "TE" and body != ACK_BODY:
            self._error(conn, f"acknowledgement body {body.hex()}")
        if kind == "TC":
            d = zlib.decompressobj()
            try:
                samples = d.decompress(body) + d.flush()
                if not d.eof or d.unused_data:
                    self._error(conn, "the zlib stream does not end with the body")
            except zlib.error as e:
                self._error(conn, f"recording does not decompress: {e}")
            conn.packets += 1
            if conn.packets > len(conn.commands):
                self._error(conn, f"data packet {conn.packets} after {len(conn.commands)} commands")
            else:
                command = conn.commands[conn.packets - 1]
        with self._cond:
            self._messages.append(Message(kind, flag, body, samples, conn.number, time.monotonic(), command))
            self._cond.notify_all()


def describe(m):
    if m.kind == "TE":
        return "TE acknowledgement"
    lines = "" if m.samples is None else f", {len(m.samples)} samples"
    low = " (a line is low)" if m.flag == "1" else ""
    return f"TC data packet of {len(m.body)} bytes{lines}{low}"


def main():
    ap = argparse.ArgumentParser(description="Prints what a terminal sends its dispatcher; sends the "
                                 "commands typed as 4 hex bytes (e.g. 01 03 05 07).")
    ap.add_argument("--host", default="127.0.0.1", help=f"address to listen on, port {PORT}")
    args = ap.parse_args()
    disp = Dispatcher(args.host)
    print(f"Dispatcher on {disp.host}:{PORT}. Stop with Ctrl-D.", flush=True)

    def show():
        shown = 0
        while True:
            disp.wait_for(lambda ms: len(ms) > shown, timeout=0.5)
            for m in disp.messages[shown:]:
                shown += 1
                print(f"[connection {m.connection}] {describe(m)}", flush=True)

    threading.Thread(target=show, daemon=True).start()
    try:
        for line in sys.stdin:
            if line.strip():
                try:
                    disp.send(line.replace(" ", "").strip(), timeout=1)
                except (ValueError, TimeoutError) as e:
                    print(f"[not sent] {e}", flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        disp.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
