"""The 4-line VIA CIO board on a serial port of the host, simulated on a
pseudo-terminal.

The board is driven through its serial line alone (115200 baud, 8N1):

    each byte the host sends    the new value of the output register, port B:
                                bit 0 module reset, bit 3 sound path on,
                                bit 4 filter on, bits 7 and 6 the line
                                selector (bit 7 = not bit 0 of the line
                                number, bit 6 = not bit 1: line 0 both set,
                                line 3 both clear)
    DTR, RTS (host outputs)     SI: with RTS dropped into every line; with
                                RTS raised into the selected line while DTR
                                is raised, into none while it is dropped
    DSR (host input)            the lines' voltage state: active when the
                                voltage is gone
    bytes the board sends       the line samples, without pause: 16384 a
                                second, two 4-bit samples a byte, the first
                                in the low nibble, bit i = line i

The host's modem lines reach this simulator through the sandbox's
modem-line library (sim/sandbox/modem_lines.py); until the host sets them, RTS is
raised and DTR dropped: no SI.

Time on the board is its sample clock (sim/devices/cio_lines.py), which counts the
samples the terminal took (sim/devices/cio_stream.py); every SI change and every
port B write is stamped on it. Tests set what the lines show (board.lines)
and whether the voltage is gone (board.dsr), read what the terminal did
(portb, portb_log, pulses on board.lines) and make the board fall silent
(silent, stop_stream_after).
"""

from ..sandbox.modem_lines import DTR, RTS
from .cio_lines import Lines
from .cio_stream import StreamingBoard

LINES = 4
RATE = 16384
LOW_VOLTS = 21
RESET, SOUND, FILTER = 0x01, 0x08, 0x10


def selected_line(portb):
    """The line that port B selects."""
    return (((portb >> 7) & 1) ^ 1) | ((((portb >> 6) & 1) ^ 1) << 1)


class ViaBoard(StreamingBoard):
    """Serves the master side of a pseudo-terminal from a daemon thread;
    modem is the port's ModemLines (Sandbox.modem_lines)."""

    def __init__(self, pty, modem, lines=None):
        super().__init__(pty, lines or Lines(LINES, RATE), per_byte=2)
        self.modem = modem
        self._portb = 0
        self._portb_log = []  # (sample, value)
        modem.preset_outputs(RTS)
        # The host's outputs as the board has taken them in, in order with
        # the bytes before them: the serving thread may still be at an
        # earlier byte when the modem lines have already changed.
        self._outputs = modem.lines
        modem.on_change = self._modem_changed
        with self._lock:
            self._stream.start()
        self._start("via board")

    # What tests use.

    @property
    def portb(self):
        with self._lock:
            return self._portb

    @property
    def portb_log(self):
        """(sample, value) of every port B write, in order (a snapshot)."""
        with self._lock:
            return list(self._portb_log)

    @property
    def sound(self):
        """(selected line, whether the sound path is on)."""
        b = self.portb
        return selected_line(b), bool(b & SOUND)

    @property
    def filter(self):
        return bool(self.portb & FILTER)

    @property
    def four_wire(self):
        """The board has no four-wire mode."""
        return False

    @property
    def packets(self):
        """The board sends no line packets."""
        return []

    @property
    def module_reset(self):
        return bool(self.portb & RESET)

    @property
    def dsr(self):
        return self.modem.dsr

    @dsr.setter
    def dsr(self, active):
        """Active: the lines' voltage is gone."""
        self.modem.dsr = active

    def set_line_volts(self, line, volts):
        """The board senses the lines' voltage as one: DSR goes active when
        a line has lost it (21 V or less)."""
        self.lines.set_volts(line, volts)
        self.dsr = any(self.lines.volts(i) <= LOW_VOLTS for i in range(LINES))

    # The board.

    def _si_mask(self):
        if not self._outputs & RTS:
            return (1 << LINES) - 1
        return 1 << selected_line(self._portb) if self._outputs & DTR else 0

    def _take(self, byte):
        self._sync()
        self._portb = byte
        self._portb_log.append((self.lines.clock, byte))
        self.lines.si(self._si_mask())

    def _modem_changed(self, old, new):
        with self._lock:
            if self._closed:
                return
            self._take_pending()
            self._sync()
            self._outputs = new
            self.lines.si(self._si_mask())
        self._wake()
