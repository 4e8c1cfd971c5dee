"""A push server for tests and the virtual terminal.

A GPIO-mode terminal keeps a TCP connection open to its push server (port
5559 of a configured IPv4 address) and sends a push message whenever its
state changed. It never reads from that connection. A push message is

    byte 0       message type, 0x0A
    bytes 1-2    length L of the report text, unsigned 16-bit little endian
    L bytes      report text: lines of "key=value\\n", ASCII, no final zero

and is at most 4096 bytes long. This server keeps every report it receives
and the time it arrived, and counts what breaks the framing as an error.
Tests can also make it misbehave (refuse, reset or stall connections, close
them after one message, or drop them all at once) to watch the terminal
reconnect and send its pending report again.

Run alone it prints each report as it arrives:

    /usr/bin/python3 -m sim.push --host 127.0.0.1
"""

import argparse
import datetime
import queue
import selectors
import socket
import struct
import sys
import threading
import time
from concurrent.futures import Future

from . import loopback

PORT = 5559
MESSAGE_TYPE = 0x0A
HEADER_SIZE = 3
MESSAGE_MAX = 4096
REPORT_MAX = MESSAGE_MAX - HEADER_SIZE
MODES = ("accept", "refuse", "reset", "stall", "close-after-one")
# A stalled connection should fill up after a hundred or two reports, not
# thousands. Both settings are inherited by every accepted connection: a
# small receive buffer, and the segment size of an Ethernet link. On
# loopback the segments would be 64 KiB, and Linux sizes the client's send
# buffer from them, up to megabytes.
RECEIVE_BUFFER = 4096
SEGMENT_SIZE = 1460
LISTEN_OPTIONS = ((socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER),
                  (socket.IPPROTO_TCP, socket.TCP_MAXSEG, SEGMENT_SIZE))
POLL = 0.05  # seconds between two looks at a wait_for() predicate
REQUEST_TIMEOUT = 5  # seconds the serving thread may take to carry out a request


def parse_report(text):
    """{key: value} of a report's "key=value" lines; a line without "=" maps to ""."""
    return dict(line.partition("=")[::2] for line in text.split("\n") if line)


class _Connection:
    """One client connection and the bytes of its unfinished message."""

    def __init__(self, sock, number):
        self.sock = sock
        self.number = number
        self.pending = bytearray()


class PushServer:
    """Serves the push port from a daemon thread.

    Every socket belongs to the serving thread. Other threads change the
    mode or drop connections by handing the serving thread a request and
    waiting until it was carried out, so that when `srv.mode = "refuse"`
    returns, connects are refused already.
    """

    def __init__(self, host=None):
        self._cond = threading.Condition()
        self._reports = []
        self._times = []
        self._errors = []
        self._connections = 0
        self._mode = "accept"
        self._clients = {}  # socket -> _Connection
        self._listener = None
        self._selector = selectors.DefaultSelector()
        self._requests = queue.SimpleQueue()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._selector.register(self._wake_r, selectors.EVENT_READ)
        self._running = True
        self._closed = False
        try:
            if host is None:
                self.host = self._listen_anywhere()
            else:
                self.host = host
                self._listen(host)
        except BaseException:
            self._selector.close()
            self._wake_r.close()
            self._wake_w.close()
            raise
        self._thread = threading.Thread(target=self._serve, name=f"push server {self.host}", daemon=True)
        self._thread.start()

    # What the tests see.

    @property
    def reports(self):
        """The report texts received so far, oldest first."""
        with self._cond:
            return list(self._reports)

    @property
    def report_times(self):
        """time.monotonic() at the arrival of each report, in the order of reports."""
        with self._cond:
            return list(self._times)

    @property
    def errors(self):
        """What broke the framing, one description per fault."""
        with self._cond:
            return list(self._errors)

    @property
    def connections(self):
        """How many connections were accepted so far (reset ones included)."""
        with self._cond:
            return self._connections

    @property
    def open_connections(self):
        """How many client connections are open now."""
        return len(self._clients)

    def last(self):
        """The last report as {key: value}; {} before the first one."""
        reports = self.reports
        return parse_report(reports[-1]) if reports else {}

    def wait_for(self, predicate, timeout=10):
        """Waits until predicate(reports) holds; returns whether it did.

        The predicate is tried on every new report and at least every POLL
        seconds, so it may also depend on things other than the reports."""
        deadline = time.monotonic() + timeout
        while True:
            reports = self.reports
            if predicate(reports):
                return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            with self._cond:
                if len(self._reports) == len(reports):
                    self._cond.wait(min(left, POLL))

    def wait_reports(self, n, timeout=10):
        """Waits until at least n reports have arrived; returns whether they did."""
        return self.wait_for(lambda reports: len(reports) >= n, timeout)

    # What the tests change.

    @property
    def mode(self):
        """How the server treats connections:

        "accept"           reads and parses messages
        "refuse"           does not listen, so connects are refused
        "reset"            resets each new connection at once, unread
        "stall"            accepts, but reads from no connection (open
                           ones included) until the mode changes again
        "close-after-one"  closes each connection after one message
        """
        with self._cond:
            return self._mode

    @mode.setter
    def mode(self, mode):
        if mode not in MODES:
            raise ValueError(f"unknown mode {mode!r}; one of {', '.join(MODES)}")
        self._ask(lambda: self._change_mode(mode))

    def drop_connections(self):
        """Closes every open client connection now."""
        self._ask(self._drop_all)

    def close(self):
        """Stops the serving thread and closes every socket."""
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
            raise RuntimeError("the push server is closed")
        done = Future()
        self._requests.put((action, done))
        self._wake_w.send(b"!")
        return done.result(REQUEST_TIMEOUT)

    def _change_mode(self, mode):
        old = self._mode
        if mode == "refuse" and self._listener is not None:
            self._selector.unregister(self._listener)
            self._listener.close()
            self._listener = None
        elif mode != "refuse" and self._listener is None:
            self._listen(self.host)
        if mode == "stall" and old != "stall":
            for sock in self._clients:
                self._selector.unregister(sock)
        elif mode != "stall" and old == "stall":
            for sock in self._clients:
                self._selector.register(sock, selectors.EVENT_READ)
        with self._cond:
            self._mode = mode

    def _drop_all(self):
        for sock in list(self._clients):
            self._forget(sock)

    def _stop(self):
        self._running = False

    # Listening.

    def _listen_anywhere(self):
        host, self._listener = loopback.listen_anywhere(PORT, LISTEN_OPTIONS)
        self._selector.register(self._listener, selectors.EVENT_READ)
        return host

    def _listen(self, host):
        self._listener = loopback.listen(host, PORT, LISTEN_OPTIONS)
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
            return  # the client gave up before we got to it
        with self._cond:
            self._connections += 1
            number = self._connections
        if self._mode == "reset":
            # Linger on, with a timeout of zero: close() sends a reset.
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
            data = b""  # reset by the client: the same as an end, as far as framing goes
        if not data:
            if conn.pending:
                self._error(conn, f"closed in the middle of a message ({len(conn.pending)} bytes of it came)")
            self._forget(sock)
            return
        conn.pending += data
        self._parse(conn)

    def _parse(self, conn):
        """Takes every whole message off the front of conn.pending. A
        framing error closes the connection: nothing after it can be
        trusted to start a message."""
        buf = conn.pending
        while buf:
            if buf[0] != MESSAGE_TYPE:
                self._error(conn, f"message type 0x{buf[0]:02x}, not 0x{MESSAGE_TYPE:02x}")
                self._forget(conn.sock)
                return
            if len(buf) < HEADER_SIZE:
                return
            length = int.from_bytes(buf[1:HEADER_SIZE], "little")
            if length > REPORT_MAX:
                self._error(conn, f"report length {length}, more than {REPORT_MAX}")
                self._forget(conn.sock)
                return
            if len(buf) < HEADER_SIZE + length:
                return
            text = bytes(buf[HEADER_SIZE:HEADER_SIZE + length])
            del buf[:HEADER_SIZE + length]
            self._received(conn, text)
            if self._mode == "close-after-one":
                self._forget(conn.sock)
                return

    def _received(self, conn, text):
        if not text.isascii():
            self._error(conn, "report text is not ASCII")
        with self._cond:
            self._reports.append(text.decode("ascii", errors="backslashreplace"))
            self._times.append(time.monotonic())
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


def main():
    ap = argparse.ArgumentParser(description="Prints the reports a terminal pushes, as they arrive.")
    ap.add_argument("--host", default="127.0.0.1", help=f"address to listen on, port {PORT} (default: %(default)s)")
    ap.add_argument("--mode", choices=MODES, default="accept", help="how to treat connections (default: %(default)s)")
    args = ap.parse_args()

    srv = PushServer(args.host)
    srv.mode = args.mode
    print(f"Push server on {srv.host}:{PORT}, mode {args.mode}. Stop with Ctrl-C.", flush=True)
    shown_reports = shown_errors = shown_connections = 0
    try:
        while True:
            srv.wait_reports(shown_reports + 1, timeout=0.5)
            while shown_connections < srv.connections:
                shown_connections += 1
                print(f"[connection {shown_connections} accepted]", flush=True)
            reports, times = srv.reports, srv.report_times
            for text, arrived in zip(reports[shown_reports:], times[shown_reports:]):
                shown_reports += 1
                wall = datetime.datetime.now() - datetime.timedelta(seconds=time.monotonic() - arrived)
                print(f"--- report {shown_reports} at {wall:%H:%M:%S.%f} ---", flush=True)
                print(text, end="" if text.endswith("\n") else "\n", flush=True)
            for error in srv.errors[shown_errors:]:
                shown_errors += 1
                print(f"[framing error] {error}", flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        srv.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
