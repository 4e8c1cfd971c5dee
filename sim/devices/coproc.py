"""The terminal's serial coprocessor, simulated on a pseudo-terminal.

In GPIO mode the daemon reaches its analog inputs (input multiplexer and
10-bit ADC), the call button latches, the battery charger switch, the
external watchdog and the 1-Wire temperature sensors through a small
coprocessor on a serial line. It speaks a line protocol with character
echo: every character received is echoed, a carriage return ends the
command, and the reply is zero or more integers separated by blanks and
ended by a carriage return. That CR is always the reply's last byte: the
client reads until a chunk ends with it, so nothing (no line feed, no
prompt) may follow. The prompt ">" appears only at the end of the banner
sent when the coprocessor comes out of reset; GPIO 20, active high, holds
it in reset.

This model is written from the protocol alone, so that a misreading on
either side shows up as a failing exchange rather than as two matching
mistakes. Tests set what the hardware measures (set_adc, press, set_temps,
...), read back what the daemon asked for (commands, adc_reads, wdt_loads,
...) and can make the coprocessor misbehave on demand (nak_on_reset,
drop_echo, wrong_echo, next_replies, garbage_before_reply, silent, flood).
"""

import math
import os
import time

from ..sandbox.ptys import PtyDevice

CR = 0x0D
NAK = b"\x15"
# Short enough for a client that gives up after 32 characters without ">".
BANNER = b"\r\ncoprocessor ready\r\n>"
MUX_INPUTS = 32
ADC_CHANNELS = 8
ADC_MAX = 1023
SENSORS = 2
PKT_MAX = 96
# One "cnt" never asks for more: four samples a byte, at most 262140 samples.
CNT_MAX = 65535
# The firmware's line buffer. The client never sends more than 255
# characters; the bound only keeps junk from growing the line forever.
LINE_MAX = 256
FLOOD = b"x" * 256
POLL = 0.1  # seconds; how soon the serving thread notices a close or an expired watchdog


def _to_bytes(data):
    return data.encode() if isinstance(data, str) else bytes(data)


def _pattern(data):
    data = _to_bytes(data)
    if not data:
        raise ValueError("the cnt data pattern needs at least one byte")
    return data


def _numbers(*values):
    """A numeric reply as the firmware frames it."""
    return (" ".join(str(v) for v in values) + "\r").encode()


class _Unknown(Exception):
    """A command the firmware does not understand (name or arguments)."""


def _uints(args, *counts):
    """The unsigned decimal arguments of a command, whose number must be one of counts."""
    if len(args) not in counts or not all(a.isascii() and a.isdigit() for a in args):
        raise _Unknown
    return [int(a) for a in args]


class _Guarded:
    """An attribute that tests may change at any moment. It is read and
    written under the coprocessor's lock, so a change never races the
    serving thread's read-modify-write (drop_echo counting down), and a
    change wakes that thread so that it takes effect at once (a flood starts
    without waiting for the next poll)."""

    def __init__(self, convert=None):
        self.convert = convert

    def __set_name__(self, owner, name):
        self.slot = "_" + name

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        with obj._lock:
            return getattr(obj, self.slot)

    def __set__(self, obj, value):
        if self.convert is not None:
            value = self.convert(value)
        with obj._lock:
            setattr(obj, self.slot, value)
        obj._wake()


class Coprocessor(PtyDevice):
    """Serves the master side of a pseudo-terminal from a daemon thread.

    With a GPIO chip it follows the reset line: while the line is 1 the
    coprocessor ignores its input, and each fall to 0 boots it. Without a
    chip, boot() stands for a reset pulse.
    """

    # Misbehaviour on demand.
    nak_on_reset = _Guarded(bool)  # boot sends NAK ("no medium") instead of the banner
    drop_echo = _Guarded(int)  # the next n characters are not echoed
    wrong_echo = _Guarded(int)  # the next n characters are echoed as another character
    next_replies = _Guarded(list)  # verbatim replies (bytes or str; None: the model's) for the next commands
    garbage_before_reply = _Guarded(_to_bytes)  # sent before each reply
    silent = _Guarded(bool)  # neither echo nor reply
    flood = _Guarded(bool)  # junk as fast as the pty takes it
    # What the hardware is.
    banner = _Guarded(_to_bytes)
    board_temp = _Guarded()  # degrees Celsius, for "temp"
    cnt_data = _Guarded(_pattern)  # repeated to fill the data of "cnt"

    POLL = POLL

    def __init__(self, pty, chip=None, reset_gpio=20, devtype=1, minor=0):
        super().__init__(pty)

        self.nak_on_reset = False
        self.drop_echo = 0
        self.wrong_echo = 0
        self.next_replies = []
        self.garbage_before_reply = b""
        self.silent = False
        self.flood = False
        self.banner = BANNER
        self.board_temp = 30
        self.cnt_data = b"\x00"

        # What the hardware measures, set by tests.
        self.set_devtype(devtype, minor)
        self._adc = {}  # (input or None, channel) -> reading
        self._pressed = 0
        self._latched = 0
        self._temps = [None] * SENSORS

        # The firmware's own state.
        self._in_reset = False
        self._input = 0
        self._line = bytearray()
        self._out = bytearray()
        self._wdt_deadline = None
        self._charger_off = None

        # What the client did.
        self._commands = []
        self._unknown = []
        self._adc_reads = []
        self._wdt_loads = []
        self._packets = []
        self._frequency = None
        self._si_mask = None
        self._resets = 0
        self._watchdog_expired = 0

        self._chip = chip
        self._reset_gpio = reset_gpio
        if chip is not None:
            try:
                self._in_reset = bool(chip.line(reset_gpio)[1])
            except KeyError:
                pass  # not exported yet: nothing drives the coprocessor into reset
            chip.on_change(self._on_gpio)

        self._start("coprocessor")

    # What tests use.

    def boot(self):
        """As if the reset line had just been released: the firmware starts
        afresh and sends its banner (or NAK)."""
        with self._lock:
            self._boot()
        self._wake()

    def set_devtype(self, devtype, minor=0):
        """What "ver" reports: the device type decides the daemon's counts of
        inputs, buttons, relays and sensors."""
        if not (0 <= devtype <= 255 and 0 <= minor <= 255):
            raise ValueError("device type and minor version are bytes")
        with self._lock:
            self._devtype = devtype
            self._minor = minor

    def set_adc(self, channel, reading, input=None):
        """The reading of an ADC channel while a multiplexer input is selected;
        input None gives the reading for every input without its own."""
        if not 0 <= reading <= ADC_MAX:
            raise ValueError(f"a 10-bit ADC reads 0 to {ADC_MAX}, not {reading}")
        with self._lock:
            self._adc[(input, channel)] = reading

    @property
    def adc_reads(self):
        """(selected input, channel) of each "adc" command, in order (a snapshot)."""
        with self._lock:
            return list(self._adc_reads)

    def set_calls(self, pressed_mask, latched_mask=0):
        """Sets the call buttons outright: a pressed button is latched too."""
        with self._lock:
            self._pressed = pressed_mask
            self._latched = latched_mask | pressed_mask

    def press(self, i):
        """Button i goes down; its latch is set until a "calls" finds it released."""
        with self._lock:
            self._pressed |= 1 << i
            self._latched |= 1 << i

    def release(self, i):
        with self._lock:
            self._pressed &= ~(1 << i)

    @property
    def charger_off(self):
        """Whether the last "power" switched charging off; None before any."""
        with self._lock:
            return self._charger_off

    def wdt_remaining(self):
        """Seconds left on the external watchdog, 0 when it is disabled."""
        with self._lock:
            self._expire_watchdog()
            if self._wdt_deadline is None:
                return 0
            return max(0.0, self._wdt_deadline - time.monotonic())

    @property
    def wdt_loads(self):
        """The values loaded with "wdt S", in order (a snapshot)."""
        with self._lock:
            return list(self._wdt_loads)

    @property
    def watchdog_expired(self):
        """How often the watchdog ran out. On the terminal that would cut the
        power; here it is only counted, and the watchdog stops."""
        with self._lock:
            self._expire_watchdog()
            return self._watchdog_expired

    def set_temps(self, temps):
        """Per 1-Wire sensor: degrees Celsius, or None when it is absent."""
        temps = list(temps)
        if len(temps) > SENSORS:
            raise ValueError(f"at most {SENSORS} temperature sensors")
        with self._lock:
            self._temps = temps + [None] * (SENSORS - len(temps))

    @property
    def commands(self):
        """Every command text received (without its CR), in order (a snapshot)."""
        with self._lock:
            return list(self._commands)

    @property
    def unknown(self):
        """The command texts answered with an empty line (a snapshot)."""
        with self._lock:
            return list(self._unknown)

    @property
    def packets(self):
        """The bytes of each "pkt" command, in order (a snapshot)."""
        with self._lock:
            return list(self._packets)

    @property
    def frequency(self):
        """The last "freq" value; None before any."""
        with self._lock:
            return self._frequency

    @property
    def si_mask(self):
        """The last "si" value; None before any."""
        with self._lock:
            return self._si_mask

    @property
    def resets(self):
        """How often the firmware booted."""
        with self._lock:
            return self._resets

    # The reset line.

    def _on_gpio(self, gpio, what, value):
        """Follows the reset line. This runs in the GPIO file system's thread,
        with the chip's lock held: it reads the line's new level directly and
        leaves all talking to the serving thread."""
        if gpio != self._reset_gpio or what not in ("direction", "value"):
            return
        level = self._chip.lines[gpio].level()
        with self._lock:
            if self._closed:
                return
            if level and not self._in_reset:
                # Held in reset, the firmware stops: the rest of its output
                # and a half-received command are lost.
                self._in_reset = True
                self._line.clear()
                self._out.clear()
            elif not level and self._in_reset:
                self._boot()
        self._wake()

    def _boot(self):
        """Starts the firmware afresh and queues its announcement. The
        multiplexer falls back to input 0; the watchdog, the charger switch
        and the button latches are hardware of their own and keep their state."""
        self._in_reset = False
        self._resets += 1
        self._input = 0
        self._line.clear()
        self._out[:] = NAK if self._nak_on_reset else self._banner

    # The serving thread.

    def _outlook(self):
        self._expire_watchdog()
        return bool(self._out) or self._flood, POLL

    def _transmit(self):
        """Sends pending output, then flood junk, as far as the pty takes it
        now. It never waits: what does not fit stays for the next round,
        except junk, which is simply dropped."""
        try:
            if self._out:
                del self._out[:os.write(self._master, self._out)]
            if self._flood and not self._out:
                os.write(self._master, FLOOD)
        except BlockingIOError:
            pass
        except OSError:
            self._out.clear()  # no reader on the slave side: the bytes are lost

    def _expire_watchdog(self):
        if self._wdt_deadline is not None and time.monotonic() >= self._wdt_deadline:
            self._wdt_deadline = None
            self._watchdog_expired += 1

    # The firmware.

    def _take(self, byte):
        """One character from the line: echoed, and the CR runs the command."""
        if self._in_reset or self._silent:
            return
        self._echo(byte)
        if byte == CR:
            self._execute(self._line.decode("ascii", "replace"))
            self._line.clear()
        elif len(self._line) < LINE_MAX:
            self._line.append(byte)

    def _echo(self, byte):
        if self._drop_echo > 0:
            self._drop_echo -= 1
            return
        if self._wrong_echo > 0:
            self._wrong_echo -= 1
            byte = ord("?") if byte != ord("?") else ord("!")
        self._out.append(byte)

    def _execute(self, text):
        self._commands.append(text)
        reply = self._run(text)
        # An imposed reply replaces only what is said: the command still acts.
        # None in the list lets that command's own reply through.
        if self._next_replies:
            imposed = self._next_replies.pop(0)
            if imposed is not None:
                reply = _to_bytes(imposed)
        if reply:
            # A flooding line mixes junk into the reply itself, whatever the
            # reader did to its input queue before it asked.
            junk = FLOOD if self._flood else b""
            self._out += junk + self._garbage_before_reply + reply

    def _run(self, text):
        name, *args = text.split() or [""]
        handler = self._HANDLERS.get(name)
        try:
            if handler is None:
                raise _Unknown
            return handler(self, args)
        except _Unknown:
            self._unknown.append(text)
            return b"\r"

    def _ver(self, args):
        _uints(args, 0)
        return _numbers(self._devtype << 8 | self._minor)

    def _select_input(self, args):
        (n,) = _uints(args, 1)
        if n >= MUX_INPUTS:
            raise _Unknown
        self._input = n
        return _numbers(n)

    def _adc_read(self, args):
        (channel,) = _uints(args, 1)
        if channel >= ADC_CHANNELS:
            raise _Unknown
        self._adc_reads.append((self._input, channel))
        reading = self._adc.get((self._input, channel), self._adc.get((None, channel), 0))
        return _numbers(reading)

    def _calls(self, args):
        _uints(args, 0)
        reply = _numbers(self._pressed, self._latched)
        # The latches report presses since the last read: a button still
        # down stays latched, a released one is forgotten now.
        self._latched = self._pressed
        return reply

    def _power(self, args):
        (off,) = _uints(args, 1)
        if off > 1:
            raise _Unknown
        self._charger_off = bool(off)
        return _numbers(off)

    def _wdt(self, args):
        load = _uints(args, 0, 1)
        if load:
            (seconds,) = load
            self._wdt_loads.append(seconds)
            self._wdt_deadline = time.monotonic() + seconds if seconds else None
            return _numbers(seconds)
        self._expire_watchdog()
        if self._wdt_deadline is None:
            return _numbers(0)
        return _numbers(math.ceil(self._wdt_deadline - time.monotonic()))

    def _tcon(self, args):
        _uints(args, 0)
        return _numbers(sum(1 << i for i, t in enumerate(self._temps) if t is not None))

    def _trd(self, args):
        _uints(args, 0)
        return _numbers(*(round(t * 16) for t in self._temps if t is not None))

    def _temp(self, args):
        _uints(args, 0)
        return _numbers(round(self._board_temp))

    def _freq(self, args):
        (self._frequency,) = _uints(args, 1)
        return b""

    def _si(self, args):
        (self._si_mask,) = _uints(args, 1)
        return b""

    def _pkt(self, args):
        if len(args) != 1:
            raise _Unknown
        text = args[0]
        if (len(text) % 2 or not 2 <= len(text) <= 2 * PKT_MAX
                or any(c not in "0123456789abcdef" for c in text)):
            raise _Unknown
        self._packets.append(bytes.fromhex(text))
        return b" "

    def _cnt(self, args):
        (width,) = _uints(args, 1)
        if width > CNT_MAX:
            raise _Unknown
        pattern = self._cnt_data
        return b" " + (pattern * (width // len(pattern) + 1))[:width]

    _HANDLERS = {
        "ver": _ver,
        "input": _select_input,
        "adc": _adc_read,
        "calls": _calls,
        "power": _power,
        "wdt": _wdt,
        "tcon": _tcon,
        "trd": _trd,
        "temp": _temp,
        "freq": _freq,
        "si": _si,
        "pkt": _pkt,
        "cnt": _cnt,
    }
