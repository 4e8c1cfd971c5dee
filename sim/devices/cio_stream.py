"""Line samples streamed without pause, on the board's sample clock.

Some CIO boards, once started, sample their lines without pause and send
every sample down the serial line; the terminal reads as many as it wants
and throws away what piled up while it did something else. Here the
stream keeps the terminal's input queue on the pty a little ahead of its
reads, and whenever the terminal does anything else to the board (a sync
point: a byte written to the board, a modem-line or GPIO change, a reset)
takes back the samples sent ahead and not yet read. The board's clock
(sim/devices/cio_lines.py) thus counts exactly the samples the terminal took, or
flushed: a flush loses samples that were made, and they count.

Right after a sync point the stream sends one byte, and doubles what it
sends each time the terminal has read all of it, so that a flush at the
start of the terminal's next read costs at most one byte of samples, and
a long read still goes as fast as the terminal reads.
"""

import fcntl
import os
import select
import struct
import termios
import time
import tty

from ..sandbox.ptys import PtyDevice

CHUNK_MAX = 512  # bytes sent ahead at most
BUSY_POLL = 0.0005  # seconds between looks while the terminal reads
IDLE_POLL = 0.05
BUSY_SPELL = 0.05  # reading counts as going on this long after the last send


def pack(samples, per_byte):
    """Samples (bit i = line i) packed per_byte to a byte, the first in the
    low bits: four 2-bit samples or two 4-bit samples a byte."""
    bits = 8 // per_byte
    out = bytearray(len(samples) // per_byte)
    for i in range(len(out)):
        b = 0
        for k in range(per_byte):
            b |= samples[i * per_byte + k] << (bits * k)
        out[i] = b
    return bytes(out)


class SampleStream:
    """The stream of one board. Every method is called with the board's lock
    held: the board's serving thread calls pump() on each round and uses
    timeout() to know when to look again; sync points call sync()."""

    def __init__(self, pty, lines, per_byte):
        self.lines = lines
        self.per_byte = per_byte
        self.running = False
        self.mute = False  # the board stops sending (a failing board)
        self.sent = 0  # bytes sent since start(), taken back ones not counted
        self.stop_after = None  # bytes after which the stream breaks off
        self._master = pty.master
        # A descriptor of the terminal's side of its own, to look into and
        # empty the terminal's input queue. Raw from the start: a pty would
        # otherwise echo the samples back as if the terminal had sent them.
        self._queue = os.open(pty.slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        tty.setraw(self._queue)
        self._chunk = 1
        self._ahead = 0  # samples' bytes sent since the last sync
        self._last_send = 0.0

    def close(self):
        if self._queue is not None:
            os.close(self._queue)
            self._queue = None

    def start(self):
        self.sync()
        self.running = True
        self.sent = 0

    def stop(self):
        self.sync()
        self.running = False

    def queued(self):
        """Bytes sent and not yet read by the terminal. Bytes written to the
        pty reach the terminal's queue a moment later; polling the queue
        first waits for those on their way."""
        select.select([self._queue], [], [], 0)
        return struct.unpack("i", fcntl.ioctl(self._queue, termios.FIONREAD, b"\0" * 4))[0]

    def sync(self):
        """Takes back what was sent ahead. Reading the queue empty also waits
        for bytes still on their way through the pty. Bytes in front of the
        samples sent ahead (a late answer of the board) are the terminal's
        to read: they go back into the queue."""
        queued = bytearray()
        while True:
            try:
                data = os.read(self._queue, 65536)
            except BlockingIOError:
                break
            if not data:
                break
            queued += data
        back = min(len(queued), self._ahead)
        if len(queued) > back:
            os.write(self._master, queued[:len(queued) - back])
        if back:
            self.lines.give_back(back * self.per_byte)
            self.sent -= back
        self._ahead = 0
        self._chunk = 1

    def pump(self):
        """Sends more when the terminal has read what was sent."""
        if not self.running or self.mute or self.queued():
            return
        n = self._chunk
        if self.stop_after is not None:
            n = min(n, self.stop_after - self.sent)
            if n <= 0:
                return
        data = pack(self.lines.take(n * self.per_byte), self.per_byte)
        try:
            written = os.write(self._master, data)
        except BlockingIOError:
            written = 0
        except OSError:
            written = 0  # nobody on the terminal's side
        if written < n:
            self.lines.give_back((n - written) * self.per_byte)
        self.sent += written
        self._ahead += written
        self._chunk = min(2 * self._chunk, CHUNK_MAX)
        self._last_send = time.monotonic()

    def timeout(self):
        if not self.running or self.mute:
            return None
        return BUSY_POLL if time.monotonic() - self._last_send < BUSY_SPELL else IDLE_POLL


class StreamingBoard(PtyDevice):
    """A board on a pty whose samples stream without pause. Subclasses call
    self._sync() at each of their sync points and take the rest of the
    terminal's bytes as any PtyDevice does."""

    def __init__(self, pty, lines, per_byte):
        super().__init__(pty)
        self.lines = lines
        self._stream = SampleStream(pty, lines, per_byte)

    @property
    def silent(self):
        with self._lock:
            return self._stream.mute

    @silent.setter
    def silent(self, value):
        """A silent board sends no samples."""
        with self._lock:
            self._stream.mute = bool(value)
        self._wake()

    @property
    def stop_stream_after(self):
        with self._lock:
            return self._stream.stop_after

    @stop_stream_after.setter
    def stop_stream_after(self, n):
        """The stream breaks off n bytes after its start or the terminal's
        last action on the board."""
        with self._lock:
            self._stream.stop_after = n

    def close(self):
        super().close()
        with self._lock:
            self._stream.close()

    def _take_pending(self):
        """Takes what the terminal wrote before it acted on the board some
        other way (a modem line, a GPIO line): that comes first."""
        while True:
            try:
                data = os.read(self._master, 4096)
            except OSError:
                return
            if not data:
                return
            for byte in data:
                self._take(byte)

    def _sync(self):
        """Anything the terminal does to the board ends its reading."""
        self._stream.sync()
        self._stream.sent = 0

    def _outlook(self):
        t = self._stream.timeout()
        return False, self.POLL if t is None else min(t, self.POLL)

    def _transmit(self):
        self._stream.pump()
