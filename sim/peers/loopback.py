"""Listening sockets on loopback addresses of their own.

The servers that stand in for the terminal's peers (push server,
dispatcher) listen on the fixed ports the terminal uses. The whole of
127.0.0.0/8 reaches this machine, so parallel tests can each have a fixed
port on an address of their own. 127.0.0.x is left to people.
"""

import errno
import queue
import random
import selectors
import socket
import struct
import threading
import time
from concurrent.futures import Future


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


# Small buffers, so that a server that stops reading stalls its client
# after a few messages instead of thousands. Both settings are inherited by
# every accepted connection: a small receive buffer, and the segment size
# of an Ethernet link. On loopback the segments would be 64 KiB, and Linux
# sizes the client's send buffer from them, up to megabytes.
SMALL_BUFFERS = ((socket.SOL_SOCKET, socket.SO_RCVBUF, 4096),
                 (socket.IPPROTO_TCP, socket.TCP_MAXSEG, 1460))
POLL = 0.05  # seconds between two looks at a wait_for() predicate
REQUEST_TIMEOUT = 5  # seconds the serving thread may take to carry out a request


def _proc_address(addr):
    """An IPv4 address and port as /proc/net/tcp writes them."""
    host, port = addr
    return "%08X:%04X" % (struct.unpack("=I", socket.inet_aton(host))[0], port)


def _receive_queue(local, remote):
    """The bytes waiting to be read on the TCP socket from local to remote."""
    want = (_proc_address(local), _proc_address(remote))
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if (fields[1], fields[2]) == want:
                return int(fields[4].split(":")[1], 16)
    return 0


class Connection:
    """One client connection and the bytes of its unfinished message."""

    def __init__(self, sock, number):
        self.sock = sock
        self.number = number
        self.pending = bytearray()


class Server:
    """A server on a fixed port of a loopback address, served from a daemon
    thread. Subclasses take the bytes apart (take()) and say what they
    received under self._cond.

    Every socket belongs to the serving thread. Other threads change the
    mode or drop connections by handing the serving thread a request and
    waiting until it was carried out, so that when `srv.mode = "refuse"`
    returns, connects are refused already. The modes:

        "accept"  reads and takes messages apart
        "refuse"  does not listen, so connects are refused
        "reset"   resets each new connection at once, unread
        "stall"   accepts, but reads from no connection (open ones
                  included) until the mode changes again
    """

    PORT = None
    MODES = ("accept", "refuse", "reset", "stall")

    def __init__(self, host=None):
        self._cond = threading.Condition()
        self._errors = []
        self._connect_times = []
        self._mode = "accept"
        self._clients = {}  # socket -> Connection
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
                self.host, self._listener = listen_anywhere(self.PORT, SMALL_BUFFERS)
                self._selector.register(self._listener, selectors.EVENT_READ)
            else:
                self.host = host
                self._listen()
        except BaseException:
            self._selector.close()
            self._wake_r.close()
            self._wake_w.close()
            raise
        self._thread = threading.Thread(target=self._serve, name=f"{type(self).__name__} {self.host}", daemon=True)
        self._thread.start()

    @property
    def errors(self):
        """What broke the framing, one description per fault."""
        with self._cond:
            return list(self._errors)

    @property
    def connections(self):
        """How many connections were accepted so far (reset ones included)."""
        with self._cond:
            return len(self._connect_times)

    @property
    def open_connections(self):
        """How many client connections are open now."""
        return len(self._clients)

    @property
    def connect_times(self):
        """time.monotonic() of every accepted connection."""
        with self._cond:
            return list(self._connect_times)

    @property
    def mode(self):
        with self._cond:
            return self._mode

    @mode.setter
    def mode(self, mode):
        if mode not in self.MODES:
            raise ValueError(f"unknown mode {mode!r}; one of {', '.join(self.MODES)}")
        self._ask(lambda: self._change_mode(mode))

    def _wait_on(self, received, predicate, timeout):
        """Waits until predicate(a copy of received) holds, trying it on
        every new arrival and at least every POLL seconds; whether it did.
        received is the list the serving thread appends to."""
        deadline = time.monotonic() + timeout
        while True:
            with self._cond:
                items = list(received)
            if predicate(items):
                return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            with self._cond:
                if len(received) == len(items):
                    self._cond.wait(min(left, POLL))

    def unread_by_peers(self):
        """Bytes sent on the open connections that the programs at their
        other ends have not read yet, as the kernel counts them."""
        ends = self._ask(lambda: [(s.getpeername(), s.getsockname()) for s in self._clients])
        return sum(_receive_queue(peer, own) for peer, own in ends)

    def drop_connections(self, reset=False):
        """Closes every open client connection now; with reset, with a reset."""
        self._ask(lambda: self._drop_all(reset))

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
            raise RuntimeError(f"the {type(self).__name__} is closed")
        done = Future()
        self._requests.put((action, done))
        self._wake_w.send(b"!")
        return done.result(REQUEST_TIMEOUT)

    def _change_mode(self, mode):
        old = self._mode
        if mode == "refuse" and self._listener is not None:
            self._unlisten()
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

    def _drop_all(self, reset):
        for sock in list(self._clients):
            if reset:
                _linger_reset(sock)
            self._forget(sock)

    def _stop(self):
        self._running = False

    def _listen(self, backlog=16):
        self._listener = listen(self.host, self.PORT, SMALL_BUFFERS, backlog)
        self._selector.register(self._listener, selectors.EVENT_READ)

    def _unlisten(self):
        if self._selector.get_map().get(self._listener) is not None:
            self._selector.unregister(self._listener)
        self._listener.close()
        self._listener = None

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
            self._shut()
            self._selector.close()
            self._wake_r.close()

    def _shut(self):
        if self._listener is not None:
            self._listener.close()

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
            self._connect_times.append(time.monotonic())
            number = len(self._connect_times)
        if self._mode == "reset":
            _linger_reset(sock)
            sock.close()
            return
        sock.setblocking(False)
        self._clients[sock] = self._connection(sock, number)
        if self._mode != "stall":
            self._selector.register(sock, selectors.EVENT_READ)

    def _connection(self, sock, number):
        return Connection(sock, number)

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
        self.take(conn, data)

    def take(self, conn, data):
        """Takes bytes that came on a connection; every whole message off
        the front of conn.pending is the subclass's."""
        raise NotImplementedError

    def _error(self, conn, what):
        with self._cond:
            self._errors.append(f"connection {conn.number}: {what}")
            self._cond.notify_all()

    def _forget(self, sock):
        if self._selector.get_map().get(sock) is not None:
            self._selector.unregister(sock)
        del self._clients[sock]
        sock.close()


def _linger_reset(sock):
    """Linger on, with a timeout of zero: close() sends a reset."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
