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
