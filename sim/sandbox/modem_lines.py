"""The modem lines of a simulated serial port.

A pseudo-terminal has no modem lines: the kernel refuses TIOCMGET,
TIOCMSET, TIOCMBIS and TIOCMBIC on it. The system tests preload a small
library into the programs under test (tests/tools/modem_lines.cpp) that
answers those requests for the ports named in KEL_MODEM_LINES from the
simulator behind each port. This is the simulator's side: a socket
(AF_UNIX, SOCK_SEQPACKET) that takes one request a connection,

    "get", "set <bits>", "bis <bits>", "bic <bits>"

and answers with the lines after it ("<bits>") or "error <errno>". Bits
are the TIOCM_* values. The program drives the outputs (DTR, RTS); the
device drives the inputs (CTS, DSR, DCD, RI), which a request cannot
change.

A simulator follows the outputs through on_change(old, new), called in
the serving thread before the program's ioctl returns, so that what the
device does on a change is done by the time the program goes on.
"""

import os
import select
import socket
import threading
import time
from collections import namedtuple

DTR = 0x002
RTS = 0x004
CTS = 0x020
DCD = 0x040
RI = 0x080
DSR = 0x100
OUTPUTS = DTR | RTS
INPUTS = CTS | DCD | RI | DSR

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# op "get", "set", "bis" or "bic"; bits as sent; lines after the request
# (None when it was refused).
Request = namedtuple("Request", "time op bits lines")


def preload_library():
    """The built preload library: MODEM_LINES, or the one of the build."""
    build = os.environ.get("KEL_BUILD_DIR", os.path.join(ROOT, "build"))
    path = os.environ.get("MODEM_LINES", os.path.join(build, "tests/tools/modem_lines.so"))
    if not os.path.exists(path):
        raise RuntimeError(f"no modem-line library at {path}: build first, or set MODEM_LINES")
    return path


class ModemLines:
    """Serves the modem lines of the port at device (the path the program
    opens, or the pty's slave) on a socket at socket_path."""

    def __init__(self, device, socket_path, lines=0, on_change=None):
        self.device = device
        self.path = socket_path
        self.on_change = on_change
        self._lock = threading.Lock()
        self._lines = lines
        self._requests = []
        self._fail = []  # errno values for the next requests
        self._deaf = False
        self._closed = False
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self._sock.bind(socket_path)
        self._sock.listen(8)
        self._wake_r, self._wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._thread = threading.Thread(target=self._serve, name="modem lines", daemon=True)
        self._thread.start()

    @property
    def entry(self):
        """This port's entry of KEL_MODEM_LINES."""
        return f"{self.device}={self.path}"

    # What simulators and tests use.

    @property
    def lines(self):
        with self._lock:
            return self._lines

    def _bit(self, bit):
        return bool(self.lines & bit)

    @property
    def dtr(self):
        return self._bit(DTR)

    @property
    def rts(self):
        return self._bit(RTS)

    def preset_outputs(self, bits):
        """The outputs as the host left them before the program came."""
        with self._lock:
            self._lines = (self._lines & ~OUTPUTS) | (bits & OUTPUTS)

    def set_input(self, bit, active):
        """The device drives an input line (CTS, DSR, DCD or RI)."""
        if bit & ~INPUTS:
            raise ValueError("only the device's inputs can be driven")
        with self._lock:
            self._lines = self._lines | bit if active else self._lines & ~bit

    @property
    def dsr(self):
        return self._bit(DSR)

    @dsr.setter
    def dsr(self, active):
        self.set_input(DSR, active)

    @property
    def requests(self):
        """Every request served, in order (a snapshot)."""
        with self._lock:
            return list(self._requests)

    def fail_next(self, err, count=1):
        """The next count requests are refused with errno err."""
        with self._lock:
            self._fail += [err] * count

    @property
    def deaf(self):
        with self._lock:
            return self._deaf

    @deaf.setter
    def deaf(self, value):
        """A deaf simulator takes requests and never answers them."""
        with self._lock:
            self._deaf = bool(value)

    def close(self):
        with self._lock:
            if self._closed:
                return
            self._closed = True
        os.write(self._wake_w, b"\0")
        self._thread.join(5)
        self._sock.close()
        os.close(self._wake_r)
        os.close(self._wake_w)
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    # The serving thread.

    def _serve(self):
        held = []  # connections of a deaf simulator, kept unanswered
        while True:
            try:
                readable, _, _ = select.select([self._sock, self._wake_r], [], [])
            except (OSError, ValueError):
                break
            with self._lock:
                if self._closed:
                    break
            if self._sock in readable:
                try:
                    conn, _ = self._sock.accept()
                except OSError:
                    continue
                if self.deaf:
                    held.append(conn)
                    continue
                with conn:
                    self._answer(conn)
        for conn in held:
            conn.close()

    def _answer(self, conn):
        conn.settimeout(2.0)
        try:
            request = conn.recv(64).decode("ascii", "replace").split()
        except OSError:
            return
        reply = self._request(request)
        try:
            conn.send(reply.encode())
        except OSError:
            pass

    def _request(self, request):
        op, args = (request[0], request[1:]) if request else ("", [])
        try:
            bits = int(args[0]) if args else 0
        except ValueError:
            return "error 22"
        if op not in ("get", "set", "bis", "bic") or (op == "get") != (not args):
            return "error 22"
        with self._lock:
            if self._fail:
                err = self._fail.pop(0)
                self._requests.append(Request(time.monotonic(), op, bits, None))
                return f"error {err}"
            old = self._lines
            outputs = old & OUTPUTS
            if op == "set":
                outputs = bits & OUTPUTS
            elif op == "bis":
                outputs |= bits & OUTPUTS
            elif op == "bic":
                outputs &= ~bits
            new = (old & ~OUTPUTS) | outputs
            self._lines = new
            self._requests.append(Request(time.monotonic(), op, bits, new))
            on_change = self.on_change
        if on_change is not None and new != old:
            on_change(old, new)
        return str(new)
