"""The 8-line USB control board "DornUSB", simulated on a pseudo-terminal.

The board is a USB serial device with a line-oriented text protocol. A
command is ASCII text ended by a carriage return; several may come in one
transmission; numbers are decimal; the board echoes nothing, and its line
editor takes a backspace (0x08) as deleting the last character. Replies
that carry numbers give them in decimal or as "0x" hexadecimal, separated
by blanks and ended by a carriage return. The commands:

    echo N          the byte N                      (a handshake)
    ver             "DornUSB firmware v. " major "." minor CR
    simodset N, laddset N                            mode set-up, no reply
    freq N          acquisition rate, samples/s      no reply
    linemode N      1 four-wire, 0 two-wire          no reply
    sndchset N      select line N (7: none)          no reply
    sndset N        sound path on (1) or off (0)     no reply
    sndmode N       filter on (1) or off (0)         no reply
    sndget          the sound state, one number
    linev           volts of the selected line, one number
    ddcnt N         exactly N bytes of samples, bit i = line i
    siact M         SI on for the lines of mask M    no reply
    sipas M         SI off for the lines of mask M   no reply
    delay N         waits N ms on the board          no reply
    pkt HEX         sends a line packet on the selected line, no reply

Time on the board is its sample clock (sim/devices/cio_lines.py): "ddcnt" and
"delay" move it on, nothing else does, and every SI edge is stamped on it.
By default the board answers as fast as the pty takes it; with pace=1.0
it streams samples and waits in real time, as the hardware does.

Tests set what the lines show (board.lines), read what the terminal did
(commands, packets, sound, filter, ...) and make the board misbehave on
demand (silent, silent_from, short_numbers, garbage, stop_stream_after).
"""

import os
import time
from collections import namedtuple

from ..sandbox.ptys import PtyDevice
from .cio_lines import Lines

CR = 0x0D
BACKSPACE = 0x08
LINE_MAX = 256  # the firmware's line buffer
NO_CHANNEL = 7

Packet = namedtuple("Packet", "sample channel sound four_wire data")


class UsbBoard(PtyDevice):
    """Serves the master side of a pseudo-terminal from a daemon thread."""

    def __init__(self, pty, lines=None, pace=None, version="2.5"):
        super().__init__(pty)
        self.lines = lines or Lines(8)
        self.pace = pace
        self.version = version

        # Misbehaviour on demand.
        self.silent = False  # neither replies nor samples
        self.short_numbers = False  # numeric replies carry no number
        self.garbage = b""  # sent before every reply
        self.stop_stream_after = None  # "ddcnt" streams at most this many bytes
        self.hex_numbers = False  # numbers as 0x hexadecimal
        self.silent_from = None  # falls silent from this command on (counted from 1)

        # The firmware's state.
        self._line = bytearray()
        self._out = []  # [bytes, release time of each byte or None]
        self._free_at = 0.0  # when the board is through with its queued work
        self._channel = NO_CHANNEL
        self._sound = 0
        self._filter = 0
        self._four_wire = 0
        self._modes = {}

        # What the terminal did.
        self._commands = []  # (monotonic time, text)
        self._packets = []
        self._sound_log = []  # (sample, channel, on)
        self._streams = []  # (sample, data) of every "ddcnt"

        self._start("usb board")

    # What tests read.

    def _snapshot(self, name):
        with self._lock:
            return list(getattr(self, name))

    @property
    def commands(self):
        """Every command text received, in order."""
        return [text for _, text in self._snapshot("_commands")]

    @property
    def command_times(self):
        """(time.monotonic(), text) of every command."""
        return self._snapshot("_commands")

    @property
    def packets(self):
        """Packet(sample, channel, sound, four_wire, data) of every "pkt"."""
        return self._snapshot("_packets")

    @property
    def streams(self):
        """(sample, data): where each "ddcnt" began on the clock, and what it sent."""
        return self._snapshot("_streams")

    @property
    def sound_log(self):
        """(sample, channel, on) at every change of the sound path."""
        return self._snapshot("_sound_log")

    @property
    def sound(self):
        """(channel, on): the line the sound path is on, and whether it is."""
        with self._lock:
            return self._channel, bool(self._sound)

    @property
    def filter(self):
        with self._lock:
            return bool(self._filter)

    @property
    def four_wire(self):
        with self._lock:
            return bool(self._four_wire)

    @property
    def modes(self):
        """The last value of each set-up command ("freq", "simodset", ...)."""
        with self._lock:
            return dict(self._modes)

    # The serving thread.

    def _outlook(self):
        """Whether output is due now, and if not, how long until it is."""
        if not self._out:
            return False, self.POLL
        data, times = self._out[0]
        now = time.monotonic()
        if times is None or times[0] <= now:
            return True, self.POLL
        return False, min(self.POLL, times[0] - now)

    def _transmit(self):
        now = time.monotonic()
        while self._out:
            data, times = self._out[0]
            n = len(data) if times is None else next((i for i, t in enumerate(times) if t > now), len(data))
            if n == 0:
                return
            try:
                sent = os.write(self._master, data[:n])
            except BlockingIOError:
                return
            except OSError:
                self._out.clear()  # nobody on the slave side: the bytes are lost
                return
            if sent < len(data):
                self._out[0] = [data[sent:], None if times is None else times[sent:]]
                return
            self._out.pop(0)

    def _send(self, data, seconds=0.0):
        """Queues output. The board works through its commands one after
        the other: output starts once what came before is done, and when
        paced a stream is spread over its real time (byte k goes out
        (k + 1) / len of the way through)."""
        now = time.monotonic()
        start = max(now, self._free_at)
        span = seconds / self.pace if self.pace else 0.0
        self._free_at = start + span
        if not data or self.silent:
            return
        if span:
            times = [start + span * (k + 1) / len(data) for k in range(len(data))]
        elif start > now:
            times = [start] * len(data)
        else:
            times = None
        self._out.append([bytes(data), times])

    def _number(self, value):
        if self.short_numbers:
            return self.garbage + b"\r"
        text = hex(value) if self.hex_numbers else str(value)
        return self.garbage + text.encode() + b"\r"

    # The firmware.

    def _take(self, byte):
        if byte == BACKSPACE:
            if self._line:
                self._line.pop()
        elif byte == CR:
            text = self._line.decode("ascii", "replace")
            self._line.clear()
            self._commands.append((time.monotonic(), text))
            if self.silent_from is not None and len(self._commands) >= self.silent_from:
                self.silent = True
            self._run(text)
        elif 32 <= byte < 127 and len(self._line) < LINE_MAX:
            self._line.append(byte)

    def _run(self, text):
        name, *args = text.split() or [""]
        handler = self._HANDLERS.get(name)
        try:
            values = [int(a, 0) for a in args]
        except ValueError:
            values = None
        if handler is None or (values is None and name != "pkt"):
            return
        handler(self, args if name == "pkt" else values)

    def _echo(self, args):
        if len(args) == 1:
            self._send(self.garbage + bytes([args[0] & 0xFF]))

    def _ver(self, args):
        self._send(self.garbage + f"DornUSB firmware v. {self.version}\r".encode())

    def _mode(name):
        def set_mode(self, args):
            if len(args) == 1:
                self._modes[name] = args[0]
                if name == "freq" and args[0] > 0:
                    self.lines.rate = args[0]
        return set_mode

    def _linemode(self, args):
        if len(args) == 1:
            self._four_wire = args[0]

    def _sound_changed(self):
        self._sound_log.append((self.lines.clock, self._channel, bool(self._sound)))

    def _sndchset(self, args):
        if len(args) == 1 and args[0] != self._channel:
            self._channel = args[0]
            if self._sound:
                self._sound_changed()

    def _sndset(self, args):
        if len(args) == 1 and bool(args[0]) != bool(self._sound):
            self._sound = args[0]
            self._sound_changed()

    def _sndmode(self, args):
        if len(args) == 1:
            self._filter = args[0]

    def _sndget(self, args):
        self._send(self._number(1 if self._sound else 0))

    def _linev(self, args):
        line = self._channel
        self._send(self._number(self.lines.volts(line) if 0 <= line < self.lines.count else 0))

    def _ddcnt(self, args):
        if len(args) != 1:
            return
        n = args[0]
        start = self.lines.clock
        data = bytes(self.lines.take(n))
        self._streams.append((start, data))
        if self.stop_stream_after is not None:
            data = data[:self.stop_stream_after]
        self._send(data, n / self.lines.rate)

    def _siact(self, args):
        if len(args) == 1:
            self.lines.si(self.lines.si_mask | args[0])

    def _sipas(self, args):
        if len(args) == 1:
            self.lines.si(self.lines.si_mask & ~args[0])

    def _delay(self, args):
        if len(args) == 1:
            self.lines.wait(args[0])
            self._send(b"", args[0] / 1000)  # what follows waits for it

    def _pkt(self, args):
        if len(args) != 1:
            return
        try:
            data = bytes.fromhex(args[0])
        except ValueError:
            return
        self._packets.append(Packet(self.lines.clock, self._channel, bool(self._sound), bool(self._four_wire), data))

    _HANDLERS = {
        "echo": _echo,
        "ver": _ver,
        "simodset": _mode("simodset"),
        "laddset": _mode("laddset"),
        "freq": _mode("freq"),
        "linemode": _linemode,
        "sndchset": _sndchset,
        "sndset": _sndset,
        "sndmode": _sndmode,
        "sndget": _sndget,
        "linev": _linev,
        "ddcnt": _ddcnt,
        "siact": _siact,
        "sipas": _sipas,
        "delay": _delay,
        "pkt": _pkt,
    }
    del _mode
