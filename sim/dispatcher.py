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
stall connections, or never answer a connect, and drop connections in the
middle of a message.

Run alone it prints what it receives and sends the commands typed as four
hexadecimal bytes:

    /usr/bin/python3 -m sim.dispatcher --host 127.0.0.1
"""

import argparse
import fcntl
import queue
import selectors
import socket
import struct
import sys
import termios
import threading
import time
import zlib
from collections import namedtuple
from concurrent.futures import Future

from . import loopback

PORT = 5555
HEADER = 5
ACK_BODY = bytes(10)
MODES = ("accept", "refuse", "reset", "stall", "deaf")
# Small buffers, so that a dispatcher that stops reading stops a data
# packet half way (see sim/push.py).
LISTEN_OPTIONS = ((socket.SOL_SOCKET, socket.SO_RCVBUF, 4096),
                  (socket.IPPROTO_TCP, socket.TCP_MAXSEG, 1460))
POLL = 0.05
REQUEST_TIMEOUT = 5

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


class _Connection:
    def __init__(self, sock, number):
        self.sock = sock
        self.number = number
        self.pending = bytearray()
        self.commands = []  # times the commands on this connection were sent
        self.packets = 0  # data packets received on it
        self.received = 0  # bytes
        self.cut_after = None  # reset once this many bytes came


class Dispatcher:
    """Serves the dispatcher port from a daemon thread; every socket belongs
    to that thread, and other threads hand it requests (see sim/push.py)."""

    def __init__(self, host=None):
        self._cond = threading.Condition()
        self._messages = []
        self._errors = []
        self._connect_times = []
        self._mode = "accept"
        self._clients = {}  # socket -> _Connection
        self._listener = None
        self._fillers = []  # connections of our own that fill a deaf backlog
        self._selector = selectors.DefaultSelector()
        self._requests = queue.SimpleQueue()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._selector.register(self._wake_r, selectors.EVENT_READ)
        self._running = True
        self._closed = False
        try:
            if host is None:
                self.host, self._listener = loopback.listen_anywhere(PORT, LISTEN_OPTIONS)
                self._selector.register(self._listener, selectors.EVENT_READ)
            else:
                self.host = host
                self._listen()
        except BaseException:
            self._selector.close()
            self._wake_r.close()
            self._wake_w.close()
            raise
        self._thread = threading.Thread(target=self._serve, name=f"dispatcher {self.host}", daemon=True)
        self._thread.start()

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

    @property
    def errors(self):
        """What broke the framing or the pacing, one description each."""
        with self._cond:
            return list(self._errors)

    @property
    def connect_times(self):
        """time.monotonic() of every accepted connection (reset ones too)."""
        with self._cond:
            return list(self._connect_times)

    @property
    def connected(self):
        return bool(self._ask(lambda: self._newest() is not None))

    def wait_for(self, predicate, timeout=10):
        """Waits until predicate(messages) holds; whether it did. Tried on
        every message and at least every POLL seconds."""
        deadline = time.monotonic() + timeout
        while True:
            messages = self.messages
            if predicate(messages):
                return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            with self._cond:
                if len(self._messages) == len(messages):
                    self._cond.wait(min(left, POLL))

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
            time.sleep(POLL)

    @property
    def mode(self):
        """"accept" reads and takes messages apart; "refuse" does not listen;
        "reset" resets each new connection at once; "stall" reads nothing
        (open connections included) until the mode changes; "deaf" listens
        with a full backlog, so that connects are never answered."""
        with self._cond:
            return self._mode

    @mode.setter
    def mode(self, mode):
        if mode not in MODES:
            raise ValueError(f"unknown mode {mode!r}; one of {', '.join(MODES)}")
        self._ask(lambda: self._change_mode(mode))

    def drop_connections(self, reset=True):
        """Closes every open connection now; with reset, with a reset."""
        self._ask(lambda: self._drop_all(reset))

    def cut_after(self, n):
        """Resets the newest connection once it has brought n more bytes."""
        self._ask(lambda: self._cut_after(n))

    def unread(self):
        """Bytes that wait unread on the newest connection (while stalled)."""
        return self._ask(self._unread)

    def close(self):
        if self._closed:
            return
        if self._thread.is_alive():
            self._ask(self._stop)
        self._closed = True
        self._thread.join(REQUEST_TIMEOUT)
        self._wake_w.close()

    # Requests, carried out by the serving thread.

    def _ask(self, action):
        if self._closed:
            raise RuntimeError("the dispatcher is closed")
        done = Future()
        self._requests.put((action, done))
        self._wake_w.send(b"!")
        return done.result(REQUEST_TIMEOUT)

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
        old = self._mode
        if old == "deaf":
            self._unfill()
        if mode in ("refuse", "deaf") and self._listener is not None:
            self._selector.unregister(self._listener)
            self._listener.close()
            self._listener = None
        if mode == "deaf":
            self._listen(backlog=0)
            self._selector.unregister(self._listener)
            self._fill()
        elif mode != "refuse" and self._listener is None:
            self._listen()
        if mode == "stall" and old != "stall":
            for sock in self._clients:
                self._selector.unregister(sock)
        elif mode != "stall" and old == "stall":
            for sock in self._clients:
                self._selector.register(sock, selectors.EVENT_READ)
        with self._cond:
            self._mode = mode

    def _fill(self):
        """Connections of our own, never accepted, until the backlog is full
        and a new connect gets no answer."""
        for _ in range(8):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex((self.host, PORT))
            self._fillers.append(s)

    def _unfill(self):
        for s in self._fillers:
            s.close()
        self._fillers.clear()
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    def _drop_all(self, reset):
        for sock in list(self._clients):
            if reset:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self._forget(sock)

    def _cut_after(self, n):
        conn = self._newest()
        if conn is not None:
            conn.cut_after = conn.received + n

    def _unread(self):
        conn = self._newest()
        if conn is None:
            return 0
        return struct.unpack("i", fcntl.ioctl(conn.sock, termios.FIONREAD, b"\0" * 4))[0]

    def _stop(self):
        self._running = False

    def _listen(self, backlog=16):
        self._listener = loopback.listen(self.host, PORT, LISTEN_OPTIONS, backlog)
        self._selector.register(self._listener, selectors.EVENT_READ)

    # The serving thread.

    def _serve(self):
        try:
            while self._running:
                for key, _ in self._selector.select():
                    if key.fileobj is self._wake_r:
                        self._carry_out_requests()
                    elif key.fileobj is self._listener:
                        self._accept()
                    elif key.fileobj in self._clients:
                        self._read(key.fileobj)
        finally:
            for sock in list(self._clients):
                self._forget(sock)
            self._unfill()
            if self._listener is not None:
                self._listener.close()
            self._selector.close()
            self._wake_r.close()

    def _carry_out_requests(self):
        try:
            while self._wake_r.recv(256):
                pass
        except BlockingIOError:
            pass
        while True:
            try:
                action, done = self._requests.get_nowait()
            except queue.Empty:
                return
            try:
                done.set_result(action())
            except Exception as e:
                done.set_exception(e)

    def _accept(self):
        try:
            sock, _ = self._listener.accept()
        except BlockingIOError:
            return
        with self._cond:
            self._connect_times.append(time.monotonic())
            number = len(self._connect_times)
        if self._mode == "reset":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
            return
        sock.setblocking(False)
        self._clients[sock] = _Connection(sock, number)
        if self._mode != "stall":
            self._selector.register(sock, selectors.EVENT_READ)

    def _read(self, sock):
        conn = self._clients[sock]
        try:
            data = sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            if conn.pending:
                self._error(conn, f"closed in the middle of a message ({len(conn.pending)} bytes of it came)")
            self._forget(sock)
            return
        if conn.cut_after is not None and conn.received + len(data) >= conn.cut_after:
            data = data[:conn.cut_after - conn.received]
            conn.received += len(data)
            conn.pending += data
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self._forget(sock)
            return
        conn.received += len(data)
        conn.pending += data
        self._parse(conn)

    def _parse(self, conn):
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

    def _error(self, conn, what):
        with self._cond:
            self._errors.append(f"connection {conn.number}: {what}")
            self._cond.notify_all()

    def _forget(self, sock):
        if self._selector.get_map().get(sock) is not None:
            self._selector.unregister(sock)
        del self._clients[sock]
        sock.close()


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
        while not disp._closed:
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
