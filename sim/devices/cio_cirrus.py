"""The 2-line CIO board of the Cirrus Logic based terminal, simulated.

The board's switches are GPIO lines of the terminal (sim/devices/gpio.py), its
analogue values go to the terminal's IIO converter (sim/devices/sysfs.py), and a
small coprocessor on a serial line (115200 baud, 8N1) samples the lines
and sends line packets. This simulates the coprocessor on a
pseudo-terminal, the SI outputs, and what the lines put on the converter.

GPIO (1 = on unless said otherwise):

    9, 8    SI into line 1, line 2
    12, 13  sound path: 13 = 0 none; else line 1 when 12 = 0, line 2 when 1
    17      filter        10  four-wire     18  protection reset
    11      module reset  7   auxiliary power off    15  charger off
    61      supply present (an input)
    14      coprocessor reset, pulsed high

Converter channels: 1 and 0 the voltages of line 1 and line 2 (divided by
55.59975), 2 the battery ((millivolts - 1200) / 5.1082), 4 the forward
voltage of the board's temperature diode.

The coprocessor takes one binary frame after each reset:

    02 16 22 19 37 00 00                       version query: answered "V"
                                               and one byte, "0" plus the
                                               version (no answer from
                                               firmware without packet
                                               support)
    06 16 22 0E R 19 17 91 00 81 DF 0B E0      configuration: the rate is
                                               3686400 / ((3 - R) mod 256)
    then 00 00                                 start sampling: 2-bit
                                               samples, four a byte, the
                                               first in the low bits,
                                               without pause until the next
                                               reset
    or 03 0E 22 0F 07 0B E0 N and N bytes      a line packet, sent on the
    and then 00                                line of the sound path

Time on the board is its sample clock (sim/devices/cio_lines.py), which counts the
samples the terminal took (sim/devices/cio_stream.py) and stands still between
acquisitions; SI changes and packets are stamped on it. Tests set the
lines (lines, set_line_volts, set_battery, set_diode, supply), read what
the terminal did (frames, configs, packets, resets, strays) and make the
coprocessor misbehave (version, answer, silent, stop_stream_after).
"""

import os
import time
from collections import namedtuple

from .cio_gpio import GpioSwitches
from .cio_lines import Lines
from .cio_stream import StreamingBoard

VERSION_QUERY = bytes.fromhex("02162219370000")
CONFIG = (0x06, 0x16, 0x22, 0x0E, None, 0x19, 0x17, 0x91, 0x00, 0x81, 0xDF, 0x0B, 0xE0)  # None: R
START = bytes(2)
PACKET_HEADER = bytes.fromhex("030E220F070BE0")
PACKET_START = 0x00
CLOCK = 3686400

SI_GPIO = (9, 8)
SOUND_GPIO = (12, 13)
FOUR_WIRE_GPIO = 10
FILTER_GPIO = 17
RESET_GPIO = 14
SUPPLY_GPIO = 61
LINE_DIVIDER = 55.59975117746379
BATTERY_SLOPE, BATTERY_OFFSET = 5.1082, 1200

# sample: where on the clock; channel: the line of the sound path (None:
# none); four_wire: the modules' mode then; data: the packet's bytes.
Packet = namedtuple("Packet", "sample channel four_wire data")
# R as sent, and the rate it stands for (None when it stands for none).
Config = namedtuple("Config", "r rate")
# Where on the clock sampling started, and the seconds since the reset
# before it (what the terminal sees as the board's latency).
Start = namedtuple("Start", "sample latency")


def rate_of(r):
    d = (3 - r) % 256
    return CLOCK // d if d and CLOCK % d == 0 else None


class CirrusBoard(GpioSwitches, StreamingBoard):
    """Serves the coprocessor on the master side of a pseudo-terminal from a
    daemon thread and follows the GPIO chip."""

    FILTER_GPIO = FILTER_GPIO
    FOUR_WIRE_GPIO = FOUR_WIRE_GPIO
    REALTIME = True  # the driver gives the firmware's answer a quarter of a second

    def __init__(self, pty, chip, adc, lines=None, version=3):
        super().__init__(pty, lines or Lines(2), per_byte=4)
        self.chip = chip
        self.adc = adc

        # Misbehaviour on demand.
        self.version = version  # 0 to 207, the version answered; None: no answer
        self.answer = None  # bytes sent instead of the version answer

        self._in_reset = False
        self._state = "frame"  # frame, configured, header, packet, busy
        self._rx = bytearray()
        self._pkt_len = 0
        self._out = bytearray()
        self._gpio = {}  # the levels of the lines the board follows
        self._supply = True

        # What the terminal did.
        self._frames = []  # every frame as received
        self._configs = []
        self._packets = []
        self._strays = []  # bytes that made no frame
        self._resets = 0
        self._reset_at = None
        self._starts = []

        for n, line in list(chip.lines.items()):
            self._gpio[n] = line.level()
        chip.on_change(self._on_gpio)
        self.set_line_volts(0, 60)
        self.set_line_volts(1, 60)
        self.set_battery(13000)
        self.set_diode(0.66)
        self.supply = True
        self._start("cirrus coprocessor")

    # What tests use.

    def _snapshot(self, name):
        with self._lock:
            return list(getattr(self, name))

    @property
    def frames(self):
        """Every frame received, as bytes, in order."""
        return self._snapshot("_frames")

    @property
    def configs(self):
        """Config(r, rate) of every configuration frame."""
        return self._snapshot("_configs")

    @property
    def packets(self):
        """Packet(sample, channel, four_wire, data) of every packet sent."""
        return self._snapshot("_packets")

    @property
    def starts(self):
        """Start(sample, latency) of every start of sampling."""
        return self._snapshot("_starts")

    @property
    def strays(self):
        """Bytes received that made no frame, one entry a run."""
        return self._snapshot("_strays")

    @property
    def resets(self):
        with self._lock:
            return self._resets

    @property
    def sampling(self):
        with self._lock:
            return self._stream.running

    @property
    def sound(self):
        """(selected line, whether the sound path is on)."""
        return self._level(SOUND_GPIO[0]), bool(self._level(SOUND_GPIO[1]))

    def set_line_volts(self, line, volts):
        """The voltage on a line (0 or 1); the converter's reading."""
        self.lines.set_volts(line, volts)
        return self.adc.set_mv(1 - line, volts / LINE_DIVIDER * 1000)

    def set_battery(self, millivolts):
        return self.adc.set_mv(2, (millivolts - BATTERY_OFFSET) / BATTERY_SLOPE)

    def set_diode(self, volts):
        return self.adc.set_mv(4, volts * 1000)

    @property
    def supply(self):
        with self._lock:
            return self._supply

    @supply.setter
    def supply(self, present):
        with self._lock:
            self._supply = bool(present)
        try:
            self.chip.set_input(SUPPLY_GPIO, present)
        except KeyError:
            pass  # not exported yet: set when it is

    # The GPIO lines.

    def _on_gpio(self, gpio, what, value):
        """Runs in the GPIO file system's thread with the chip's lock held:
        reads the chip's lines directly, never through its methods."""
        line = self.chip.lines.get(gpio)
        with self._lock:
            if self._closed:
                return
            self._take_pending()
            if what == "export" and gpio == SUPPLY_GPIO and line is not None:
                line.input = 1 if self._supply else 0
            if line is None:
                return
            level = line.level()
            old = self._gpio.get(gpio)
            self._gpio[gpio] = level
            if old is None or level == old:
                pass  # the line appears: no edge
            elif gpio == RESET_GPIO:
                self._reset(level)
            elif gpio in SI_GPIO:
                self._sync()
                self.lines.si(sum(1 << i for i, n in enumerate(SI_GPIO) if self._gpio.get(n)))
        self._wake()

    def _reset(self, held):
        if held:
            # Held in reset the coprocessor stops; what it sent ahead and
            # the terminal did not read was never sampled.
            self._stream.stop()
            self._in_reset = True
            self._out.clear()
            self._rx.clear()
            self._reset_at = time.monotonic()
            return
        self._in_reset = False
        self._resets += 1
        self._state = "frame"

    # The coprocessor.

    def _stray(self, data):
        if data:
            if self._strays and self._state == "busy":
                self._strays[-1] += bytes(data)
            else:
                self._strays.append(bytes(data))
        self._state = "busy"  # deaf until the next reset
        self._rx.clear()

    def _take(self, byte):
        if self._in_reset:
            return
        if self._state == "busy":
            self._stray(bytes([byte]))
            return
        self._rx.append(byte)
        rx = bytes(self._rx)
        if self._state == "frame":
            if VERSION_QUERY.startswith(rx):
                if rx == VERSION_QUERY:
                    self._frames.append(rx)
                    self._rx.clear()
                    self._answer_version()
            elif len(rx) <= len(CONFIG) and all(c is None or c == b for c, b in zip(CONFIG, rx)):
                if len(rx) == len(CONFIG):
                    self._frames.append(rx)
                    self._configs.append(Config(rx[4], rate_of(rx[4])))
                    self._rx.clear()
                    rate = rate_of(rx[4])
                    if rate is None:
                        self._stray(b"")
                    else:
                        self.lines.rate = rate
                        self._state = "configured"
            else:
                self._stray(rx)
        elif self._state == "configured":
            if START.startswith(rx):
                if rx == START:
                    self._frames.append(rx)
                    self._rx.clear()
                    self._stream.start()
                    self._starts.append(Start(self.lines.clock, time.monotonic() - self._reset_at))
                    self._state = "busy"
            elif PACKET_HEADER.startswith(rx[:len(PACKET_HEADER)]):
                if len(rx) == len(PACKET_HEADER) + 1:
                    self._pkt_len = rx[-1]
                    self._state = "packet"
                    self._check_packet()
            else:
                self._stray(rx)
        elif self._state == "packet":
            self._check_packet()

    def _check_packet(self):
        rx = bytes(self._rx)
        n = len(PACKET_HEADER) + 1 + self._pkt_len
        if len(rx) < n + 1:
            return
        if rx[n] != PACKET_START:
            self._stray(rx)
            return
        self._frames.append(rx[:n])
        self._frames.append(rx[n:])
        sel, on = (self._gpio.get(g) for g in SOUND_GPIO)
        channel = sel if on else None
        self._packets.append(Packet(self.lines.clock, channel, bool(self._gpio.get(FOUR_WIRE_GPIO)),
                                    rx[len(PACKET_HEADER) + 1:n]))
        self._rx.clear()
        self._state = "busy"

    def _answer_version(self):
        if self.answer is not None:
            self._out += self.answer
        elif self.version is not None:
            self._out += b"V" + bytes([ord("0") + self.version])

    def _outlook(self):
        sending, timeout = super()._outlook()
        return sending or bool(self._out), timeout

    def _transmit(self):
        if self._out:
            try:
                del self._out[:os.write(self._master, self._out)]
            except BlockingIOError:
                pass
            except OSError:
                self._out.clear()
        super()._transmit()
