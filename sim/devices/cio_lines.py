"""The subscriber lines of a CIO board, on the board's own sample clock.

A CIO board connects a terminal to up to eight lines (directions) of a
dispatching network. It samples the lines' states at its acquisition rate,
injects SI (signal injection) into chosen lines, and measures each line's
voltage. The terminal times everything on the lines by that sample clock:
SI pulses by the board's delay, the gaps between pulses by reading and
discarding samples.

This model keeps the board's clock in samples, as an exact fraction: it
moves on only while the board streams samples or waits, never between two
commands (on a real board that turnaround is the latency the terminal
measures on boards that can, and cannot see on the others). Every change of
SI is stamped on that clock, so that tests read pulse lengths and gaps
exactly:

    lines.pulses()  ->  [Pulse(start, end, mask), ...]   in samples
    lines.ms(samples)                                    in milliseconds

What the lines show while SI is off is a pattern of the samples counted
since the end of the last SI pulse; by default the lines count in binary
(line i toggles every 2**i samples), so that a test can tell from a
recording exactly where on the clock it was taken.
"""

import threading
from collections import namedtuple
from fractions import Fraction

Pulse = namedtuple("Pulse", "start end mask")
DEFAULT_RATE = 16384
DEFAULT_VOLTS = 60


def counting(n, count):
    """The default pattern: the samples since the last pulse, in binary."""
    return n & ((1 << count) - 1)


class Lines:
    def __init__(self, count=8, rate=DEFAULT_RATE):
        if count not in (2, 4, 8):
            raise ValueError("a board has 2, 4 or 8 lines")
        self.count = count
        self._lock = threading.Lock()
        self._rate = rate
        self._clock = Fraction(0)
        self._si = 0
        self._si_end = Fraction(0)  # where SI last went off everywhere
        self._edges = []  # (sample, mask after the change)
        self._volts = [DEFAULT_VOLTS] * count
        self.pattern = counting  # (samples since the last pulse, line count) -> state bits

    # The board's side.

    @property
    def rate(self):
        with self._lock:
            return self._rate

    @rate.setter
    def rate(self, rate):
        if rate <= 0:
            raise ValueError("a rate is a positive number of samples per second")
        with self._lock:
            self._rate = rate

    @property
    def clock(self):
        """Samples since the board started, as a Fraction."""
        with self._lock:
            return self._clock

    def si(self, mask):
        """SI on for exactly the lines of the mask."""
        mask &= (1 << self.count) - 1
        with self._lock:
            if mask == self._si:
                return
            self._si = mask
            self._edges.append((self._clock, mask))
            if not mask:
                self._si_end = self._clock

    def wait(self, ms):
        """The board waits ms milliseconds on its clock."""
        with self._lock:
            self._clock += Fraction(ms) * self._rate / 1000

    def take(self, n):
        """The next n samples, one state (bit i = line i) each; the clock
        moves on by n."""
        with self._lock:
            start, si, end, pattern = self._clock, self._si, self._si_end, self.pattern
            self._clock += n
        if si:
            return [si] * n
        first = int(start - end)
        return [pattern(first + k, self.count) & ((1 << self.count) - 1) for k in range(n)]

    def give_back(self, n):
        """The last n samples taken never reached the terminal (a board
        that streams ahead of the reader takes back what it sent ahead):
        the clock goes back by n, and the same samples come again. No SI
        change may lie within them."""
        with self._lock:
            if n < 0 or self._clock - n < (self._edges[-1][0] if self._edges else 0):
                raise ValueError("cannot give back samples from before the last SI change")
            self._clock -= n

    def volts(self, line):
        with self._lock:
            return self._volts[line]

    # The tests' side.

    def set_volts(self, line, volts):
        with self._lock:
            self._volts[line] = volts

    @property
    def edges(self):
        """(sample, mask) at every change of SI, in order (a snapshot)."""
        with self._lock:
            return list(self._edges)

    @property
    def si_mask(self):
        with self._lock:
            return self._si

    def pulses(self, since=0):
        """The SI pulses that ended, from edge number since on: one per
        stretch of SI between two times it was off everywhere."""
        out, start, mask = [], None, 0
        for sample, new in self.edges[since:]:
            if new and start is None:
                start, mask = sample, new
            elif new:
                mask |= new
            elif start is not None:
                out.append(Pulse(start, sample, mask))
                start, mask = None, 0
        return out

    def ms(self, samples):
        """Samples as milliseconds at the current rate, a Fraction."""
        return Fraction(samples) * 1000 / self.rate
