"""Pseudo-terminals standing in for serial lines.

The program under test opens the slave side by name (linked into the
sandbox's dev/ where it uses a fixed device name); a simulator holds the
master side and sees exactly the bytes the program sends.
"""

import fcntl
import os
import select
import struct
import termios
import threading
import time

TCGETS2 = 0x802C542A
BOTHER = 0o010000
CBAUD = 0o010017


class PtyPair:
    def __init__(self):
        self.master, slave = os.openpty()
        self.slave_path = os.ttyname(slave)
        # Keep a slave descriptor open so that the master never sees a
        # hang-up between two opens of the program.
        self._slave = slave
        os.set_blocking(self.master, False)

    def link(self, path):
        """Makes the slave reachable under a fixed device name."""
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.lexists(path):
            os.unlink(path)
        os.symlink(self.slave_path, path)
        return path

    def write(self, data):
        if isinstance(data, str):
            data = data.encode()
        view = memoryview(data)
        while view:
            select.select([], [self.master], [], 1.0)
            try:
                n = os.write(self.master, view)
            except BlockingIOError:
                continue
            view = view[n:]

    def read(self, timeout=1.0, until=None, size=None):
        """Bytes the program sent: everything that arrives within the timeout,
        or up to a terminating byte string or a size, whichever comes first."""
        out = bytearray()
        deadline = time.monotonic() + timeout
        while True:
            if until is not None and out.endswith(until):
                break
            if size is not None and len(out) >= size:
                break
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            try:
                out += os.read(self.master, 4096)
            except (BlockingIOError, OSError):
                break
        return bytes(out)

    def termios2(self):
        """(iflag, oflag, cflag, lflag, cc, ispeed, ospeed) of the line as the
        program set it, arbitrary rates included."""
        raw = fcntl.ioctl(self._slave, TCGETS2, bytes(44))
        iflag, oflag, cflag, lflag, line = struct.unpack_from("IIIIB", raw)
        cc = raw[17:36]
        ispeed, ospeed = struct.unpack_from("II", raw, 36)
        return iflag, oflag, cflag, lflag, cc, ispeed, ospeed

    def line(self):
        """(baud, data bits, parity "N"/"O"/"E", stop bits) as the program set them."""
        _, _, cflag, _, _, ispeed, ospeed = self.termios2()
        assert ispeed == ospeed, (ispeed, ospeed)
        bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        parity = "N" if not cflag & termios.PARENB else "O" if cflag & termios.PARODD else "E"
        return ospeed, bits, parity, 2 if cflag & termios.CSTOPB else 1

    def attrs(self):
        return termios.tcgetattr(self._slave)

    def hangup(self):
        """Closes the master side: the program's end of the line hangs up."""
        fd, self.master = self.master, -1
        if fd >= 0:
            os.close(fd)

    def close(self):
        for fd in (self.master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass


def realtime():
    """Puts the calling thread on a real-time priority: the hardware it
    stands for answers in its own time, however busy this machine is. Where
    that is not allowed, ordinary scheduling has to do."""
    try:
        os.sched_setscheduler(threading.get_native_id(), os.SCHED_FIFO, os.sched_param(10))
    except (OSError, AttributeError):
        pass


class PtyDevice:
    """A device on the master side of a pty, served from a daemon thread.

    Subclasses take the bytes the program sends (_take, called with the
    lock held), say whether they have output to send and when to look again
    (_outlook), and send what is due (_transmit). Tests change a device
    from other threads under its lock; _wake() makes a change take effect
    at once."""

    POLL = 0.1  # seconds; how soon the thread notices a close or a timer
    REALTIME = False  # a device whose answers have deadlines: served in real time

    def __init__(self, pty):
        self._master = pty.master
        self._lock = threading.RLock()
        self._closed = False
        # The serving thread sleeps in select(); a byte here wakes it.
        self._wake_r, self._wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._thread = None

    def _start(self, name):
        """Starts serving, once the subclass is set up."""
        self._thread = threading.Thread(target=self._serve, name=name, daemon=True)
        self._thread.start()

    def wait_for(self, predicate, timeout=5.0):
        """Polls predicate() until it holds; whether it did within the timeout."""
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.01)
        return True

    def close(self):
        """Stops serving. Close the device before its pty: the thread must
        not outlive the descriptor it selects on."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        try:
            os.write(self._wake_w, b"\0")
        except BlockingIOError:
            pass  # already woken
        self._thread.join(5)
        os.close(self._wake_r)
        os.close(self._wake_w)

    def _wake(self):
        with self._lock:
            if self._closed:
                return
            try:
                os.write(self._wake_w, b"\0")
            except BlockingIOError:
                pass  # already woken

    def _outlook(self):
        """(whether output waits to be sent now, seconds until the next look)."""
        return False, self.POLL

    def _take(self, byte):
        raise NotImplementedError

    def _transmit(self):
        pass

    def _serve(self):
        if self.REALTIME:
            realtime()
        while True:
            with self._lock:
                if self._closed:
                    return
                sending, timeout = self._outlook()
            try:
                readable, _, _ = select.select([self._master, self._wake_r],
                                               [self._master] if sending else [], [], timeout)
            except (OSError, ValueError):
                return  # the pty was closed under us
            if self._wake_r in readable:
                try:
                    os.read(self._wake_r, 4096)
                except BlockingIOError:
                    pass
            hung_up = False
            with self._lock:
                if self._closed:
                    return
                if self._master in readable:
                    hung_up = not self._receive()
                self._transmit()
            if hung_up:
                # Nothing holds the slave open: the master stays readable
                # (EIO) until someone does, so do not spin on it.
                time.sleep(self.POLL)

    def _receive(self):
        """Takes what the program sent; False when the line is hung up."""
        try:
            data = os.read(self._master, 4096)
        except BlockingIOError:
            return True
        except OSError:
            return False
        for byte in data:
            self._take(byte)
        return True
