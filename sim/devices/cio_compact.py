"""The 2-line compact CIO board, simulated.

The board's switches are GPIO lines of the terminal (sim/devices/gpio.py), its
analogue values go to the terminal's IIO converter (sim/devices/sysfs.py), and
sampling, SI, line packets, the hardware watchdog and the board
temperature belong to the serial coprocessor of GPIO-mode terminals
(sim/devices/coproc.py: the text protocol with echo, reset on GPIO 20), which on
this board reports device type 2 and talks at 230400 baud. Its commands
as the board uses them:

    si M        SI into the lines of mask M        no reply
    freq F      sampling rate, samples a second    no reply
    cnt W       a space, then W bytes of 2-bit samples, four a byte, the
                first in the low bits, bit i = line i
    pkt HEX     a line packet on the routed line   a space
    wdt [S]     the watchdog: seconds left, or load S (0 stops it)
    temp        the board temperature

GPIO (1 = on unless said otherwise):

    59, 47, 86  routing: 47 = 0 nothing; else line 1 when 59 = 1, line 2
                when 0; 86 = 1 takes the route from the sound path to the
                packet transmitter
    57 filter   87 four-wire   88 module reset   89 protection reset
    7  auxiliary power off     49 charger off

Converter channels: 0 and 1 the voltages of line 1 and line 2 and 2 the
modules' supply (each divided by 69.1818), 3 the supply voltage (divided
by 14.6364), 4 the battery (multiplied by 2200 / 32200).

Time on the board is its sample clock (sim/devices/cio_lines.py): "cnt" moves it on
by the samples it sends, nothing else does, and every SI change is stamped
on it.
"""

import time
from collections import namedtuple

from .cio_gpio import GpioSwitches
from .cio_lines import Lines
from .cio_stream import pack
from .coproc import CNT_MAX, CR, Coprocessor, _uints, _Unknown

ROUTE_GPIO = (59, 47, 86)
FOUR_WIRE_GPIO = 87
FILTER_GPIO = 57
LINE_DIVIDER = 69.18181818181819
PSU_DIVIDER = 14.636363636363637
BATTERY_DIVIDER = 32200 / 2200

# sample: where on the clock the samples of a "cnt" began; width its bytes;
# latency the seconds from its first character to the data (what the
# terminal sees as the board's latency).
Count = namedtuple("Count", "sample width latency")
# sample: where on the clock; channel: the routed line (None: none);
# four_wire: the modules' mode then; data: the packet's bytes.
Packet = namedtuple("Packet", "sample channel four_wire data")


class CompactBoard(GpioSwitches, Coprocessor):
    """The board's coprocessor on a pseudo-terminal, the converter's inputs
    and the sample clock; chip is the terminal's GPIO chip, adc its
    converter (sim/devices/sysfs.IioAdc)."""

    FILTER_GPIO = FILTER_GPIO
    FOUR_WIRE_GPIO = FOUR_WIRE_GPIO

    def __init__(self, pty, chip, adc, lines=None, minor=0):
        self.lines = lines or Lines(2)
        self.chip = chip
        self.adc = adc
        self._gpio = {}
        self._line_packets = []
        self._counts = []
        self._line_started = time.monotonic()
        super().__init__(pty, chip, devtype=2, minor=minor)
        with self._lock:
            for n, line in list(chip.lines.items()):
                self._gpio[n] = line.level()
        chip.on_change(self._follow_gpio)
        self.set_line_volts(0, 60)
        self.set_line_volts(1, 60)
        self.set_mod_supply(60)
        self.set_psu(12)
        self.set_battery(13000)

    # What tests use.

    @property
    def packets(self):
        """Packet(sample, channel, four_wire, data) of every "pkt", in order."""
        with self._lock:
            return list(self._line_packets)

    @property
    def counts(self):
        """Count(sample, width, latency) of every "cnt", in order."""
        with self._lock:
            return list(self._counts)

    @property
    def sound(self):
        """(routed line, whether the route serves the sound path)."""
        line1, on, packets = (self._level(g) for g in ROUTE_GPIO)
        return (0 if line1 else 1), bool(on and not packets)

    def set_line_volts(self, line, volts):
        """The voltage on a line (0 or 1); the converter's reading."""
        self.lines.set_volts(line, volts)
        return self.adc.set_mv(line, volts / LINE_DIVIDER * 1000)

    def set_mod_supply(self, volts):
        return self.adc.set_mv(2, volts / LINE_DIVIDER * 1000)

    def set_psu(self, volts):
        return self.adc.set_mv(3, volts / PSU_DIVIDER * 1000)

    def set_battery(self, millivolts):
        return self.adc.set_mv(4, millivolts / BATTERY_DIVIDER)

    # The board.

    def _follow_gpio(self, gpio, what, value):
        """Runs in the GPIO file system's thread with the chip's lock held."""
        line = self._chip.lines.get(gpio)
        if line is None:
            return
        with self._lock:
            self._gpio[gpio] = line.level()

    def _route(self):
        sel, on, _ = (self._gpio.get(g) for g in ROUTE_GPIO)
        return (0 if sel else 1) if on else None

    def _take(self, byte):
        if not self._line and byte != CR:
            self._line_started = time.monotonic()
        super()._take(byte)

    def _freq(self, args):
        reply = super()._freq(args)
        if self._frequency:
            self.lines.rate = self._frequency
        return reply

    def _si(self, args):
        reply = super()._si(args)
        self.lines.si(self._si_mask)
        return reply

    def _pkt(self, args):
        reply = super()._pkt(args)
        self._line_packets.append(Packet(self.lines.clock, self._route(), bool(self._gpio.get(FOUR_WIRE_GPIO)),
                                         self._packets[-1]))
        return reply

    def _cnt(self, args):
        (width,) = _uints(args, 1)
        if width > CNT_MAX:
            raise _Unknown
        self._counts.append(Count(self.lines.clock, width, time.monotonic() - self._line_started))
        return b" " + pack(self.lines.take(4 * width), 4)

    _HANDLERS = {**Coprocessor._HANDLERS, "freq": _freq, "si": _si, "pkt": _pkt, "cnt": _cnt}
