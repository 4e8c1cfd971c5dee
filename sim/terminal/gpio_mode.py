"""A GPIO-mode terminal's hardware and its push server.

The hardware: the sysfs GPIO lines and the serial coprocessor of device
type 0 (four call buttons with their speakerphone channels, seven discrete
inputs, one relay), the front LEDs, and the bell program. The push server
is the monitoring server the daemon reports to.
"""

import time

from ..devices.coproc import Coprocessor
from ..devices.leds import LedClass
from ..peers.push import PushServer, parse_report
from .commands import arity, command, decimal, number
from .core import Part
from .events import EventSource, LineQueue

DEVICE_CONF = "cio=0\nrevision=5\n"
BUTTONS, INPUTS = 4, 7
# ADC readings of the simulated hardware (10 bits over 5 V).
REFERENCE = 190  # the multiplexer's reference loop
INPUT_READING = {"normal": 700, "closed": 250, "open": 900}  # about 4.6 kΩ, 0.2 kΩ, 17 kΩ
PSU_ADC, BATT_ADC = 7, 6
CLOSED_MAX = 999  # ohms: a loop of at most this much is closed
NORMAL_LOOP = (2000, 8000)  # ohms: outside this a discrete input raises its alarm
NOT_MEASURED = 2147483647
SPEECH_LINE = 49  # the mute line of the sound path, driven by the console as its speech-path line

# The bell of the virtual terminal notes the channel it was put on (the
# levels of the select lines) instead of ringing.
BELL = """#!/bin/sh
g="$KEL_ROOT/sys/class/gpio"
echo "ring $(cat "$g/gpio57/value" "$g/gpio59/value" 2>/dev/null | tr -d '\\n')" >> "$KEL_ROOT/bell.log"
sleep 1
echo "done" >> "$KEL_ROOT/bell.log"
"""


def volts_to_adc(volts):
    """The reading of a supply input: 18100:5100 divider, 5 V over 1024 steps."""
    return max(0, min(1023, round(volts * 5100 / 18100 * 1024 / 5.0)))


def ohms(value):
    if value == NOT_MEASURED:
        return "not measured"
    return f"{value} Ω" if value < 10000 else f"{value / 1000:.1f} kΩ"


class GpioHardware(Part):
    name = "the hardware: GPIO lines, coprocessor, LEDs, bell"

    def start(self, terminal):
        super().start(terminal)
        sb = terminal.sb
        sb.write("etc/device.conf", DEVICE_CONF)
        sb.write("bin/button_bell", BELL, mode=0o755)
        self.chip = sb.gpio()
        self.speech = LineQueue("speech")
        self._speech_level = None
        self.chip.on_change(self._line_changed)
        self.leds = sb.attach(LedClass())
        self.leds.preset("kel:green", trigger="default-on", brightness=255)  # as the platform leaves it
        self.leds.mount(sb.path("sys/class/leds"))
        self.cp = sb.attach(Coprocessor(sb.pty("ttyS4"), self.chip, devtype=0))
        self.cp.set_adc(1, REFERENCE, input=7)
        self.inputs = ["normal"] * INPUTS
        for i in range(INPUTS):
            self.cp.set_adc(1, INPUT_READING["normal"], input=i)
        self.battery_volts = self.supply_volts = None
        self.set_battery(13.5)
        self.set_supply(12.0)

    def set_battery(self, volts):
        self.battery_volts = volts
        self.cp.set_adc(BATT_ADC, volts_to_adc(volts))

    def set_supply(self, volts):
        self.supply_volts = volts
        self.cp.set_adc(PSU_ADC, volts_to_adc(volts))

    def set_input(self, i, how):
        self.inputs[i] = how
        self.cp.set_adc(1, INPUT_READING[how], input=i)

    def _line_changed(self, gpio, what, value):
        # Runs inside the file system, with its lock held: the line is read directly.
        if gpio != SPEECH_LINE or what not in ("value", "direction"):
            return
        level = self.chip.lines[gpio].level()
        if level != self._speech_level:
            self._speech_level = level
            self.speech.put(f"line {gpio} → {level}: sound path " + ("muted" if level else "open"))

    # Commands.

    @command("press N", f"a passenger presses call button N (0-{BUTTONS - 1})")
    def press(self, args):
        """The button stays down until release N. The daemon latches the
        call, rings the bell on the button's channel and reports it."""
        arity(args, 1, 1, "press N")
        self.cp.press(number(args[0], 0, BUTTONS - 1, "call button"))

    @command("release N", "call button N comes up again")
    def release(self, args):
        arity(args, 1, 1, "release N")
        self.cp.release(number(args[0], 0, BUTTONS - 1, "call button"))

    def _input(self, args, how, usage):
        arity(args, 1, 1, usage)
        self.set_input(number(args[0], 0, INPUTS - 1, "discrete input"), how)

    @command("open N", f"discrete input N (0-{INPUTS - 1}): the loop opens (about 17 kΩ)")
    def open_input(self, args):
        """A loop that leaves the closed range raises the input's alarm."""
        self._input(args, "open", "open N")

    @command("close N", "discrete input N: the loop is short (about 0.2 kΩ)")
    def close_input(self, args):
        self._input(args, "closed", "close N")

    @command("normal N", "discrete input N: back to its normal loop (about 4.6 kΩ)")
    def normal_input(self, args):
        self._input(args, "normal", "normal N")

    @command("battery VOLTS", "the battery's voltage, e.g. battery 9.5 (below 10 V is a battery error)")
    def battery(self, args):
        arity(args, 1, 1, "battery VOLTS")
        self.set_battery(decimal(args[0], 0, 60, "battery", " V"))

    @command("supply VOLTS", "the supply's voltage, e.g. supply 5.5 (crossing 6 V is reported)")
    def supply(self, args):
        arity(args, 1, 1, "supply VOLTS")
        self.set_supply(decimal(args[0], 0, 60, "supply", " V"))

    # Events and status.

    def sources(self):
        self.led_watch = LedWatch(self.leds)
        return [Bell(self.t.sb.path("bell.log")), self.led_watch, self.speech]

    def status(self):
        rows = []
        try:
            st = self.t.sb.state()
        except OSError:
            return [("hardware", "kelvgd has not made its shared state yet")]
        discrete, alarm = st.get("discrete"), st.get("alarm")
        for i in range(INPUTS):
            value = discrete[i]
            state = "normal" if NORMAL_LOOP[0] <= value <= NORMAL_LOOP[1] else "out of range"
            rows.append((f"input {i}", f"{ohms(value)}, {state}" + (", alarm latched" if alarm[i] else "")
                         + f" (simulated loop: {self.inputs[i]})"))
        current, latched = st.get("buttoncur"), st.get("buttonact")
        for i in range(BUTTONS):
            pressed = current[i] <= CLOSED_MAX
            rows.append((f"button {i}", ("pressed" if pressed else "released")
                         + (", call latched" if latched[i] else "")))
        vbatt, vpsu = st.get("vbatt"), st.get("vpsu")
        rows.append(("battery", f"{vbatt / 1000:.2f} V" + (", ERROR (low)" if st.get("error_batt") else "")
                     + f" (simulated: {self.battery_volts:g} V)"))
        rows.append(("supply", f"{vpsu:.2f} V (simulated: {self.supply_volts:g} V)"))
        leds = []
        for name in sorted(self.leds.leds):
            trigger, brightness = self.leds.led(name)
            blinking = self.led_watch.blinking(name)
            leds.append(f"{name.split(':')[-1]} " + (blinking or f"{'on' if brightness else 'off'} ({trigger})"))
        rows.append(("LEDs", ", ".join(leds)))
        sound_ch = st.get("sound_ch")
        _, line = self.chip.line(SPEECH_LINE) if SPEECH_LINE in self.chip.lines else (None, None)
        rows.append(("sound channel", (f"{sound_ch - 1} (connected by kelvgd sound)" if sound_ch else "none")
                     + (f", line {SPEECH_LINE}: {line} ({'muted' if line else 'open'})" if line is not None else "")
                     + (", fireman's mode active" if st.get("fmm_active") else "")))
        return rows


class Bell(EventSource):
    """The bell program's notes: which channel it rang on, and its end."""

    tag = "bell"

    def __init__(self, path):
        self.path = path
        self._seen = 0

    def poll(self):
        try:
            with open(self.path) as f:
                lines = f.read().split("\n")[:-1]
        except FileNotFoundError:
            return []
        new, self._seen = lines[self._seen:], len(lines)
        out = []
        for line in new:
            word, _, levels = line.partition(" ")
            if word == "ring" and len(levels) == 2 and levels.isdigit():
                # The select lines carry the channel number inverted.
                channel = (1 - int(levels[0])) * 2 + (1 - int(levels[1]))
                out.append(f"ringing on channel {channel}")
            elif word == "ring":
                out.append("ringing (channel unknown)")
            else:
                out.append("silent again")
        return out


class LedWatch(EventSource):
    """Each change of the LEDs: trigger, on and off. Flashes shorter than
    half a second are blinking: a blinking LED is shown by its pattern (the
    health monitor blinks error bit i as a group of i + 1 flashes), once
    when it begins or changes and once when it ends, not flash by flash."""

    tag = "led"
    FLASH = 0.5  # an "on" at most this long is a flash
    GAP = 0.6  # a pause longer than this ends a group of flashes
    WINDOW = 8.0  # the groups of this many seconds make the pattern

    class _Led:
        def __init__(self, trigger, on):
            self.trigger, self.shown_on = trigger, on
            self.on_since = None  # time of the last rise, while on
            self.steady = False  # the present "on" was shown as steady
            self.count, self.last_off = 0, None  # the group being flashed
            self.groups = []  # (time, flashes) of finished groups
            self.pattern = ()

    def __init__(self, leds):
        self.leds = leds
        self._seen = 0
        self._state = {}
        for name in leds.leds:
            trigger, brightness = leds.led(name)
            self._state[name] = self._Led(trigger, bool(brightness))

    def poll(self, now=None):
        now = time.monotonic() if now is None else now
        events = self.leds.history()
        new, self._seen = events[self._seen:], len(events)
        out = []
        for e in new:
            out += self._apply(e)
        for name, led in self._state.items():
            colour = name.split(":")[-1]
            if led.on_since is not None and not led.steady and now - led.on_since > self.FLASH:
                led.steady = True
                if not led.shown_on:
                    led.shown_on = True
                    out.append(f"{colour} on")
            if led.count and led.on_since is None and now - led.last_off > self.GAP:
                self._end_group(led)
            led.groups = [(t, n) for t, n in led.groups if now - t <= self.WINDOW]
            pattern = tuple(sorted({n for _, n in led.groups}))
            if pattern != led.pattern:
                led.pattern = pattern
                out.append(f"{colour} {self._describe(pattern)}" if pattern else f"{colour} stopped blinking")
        return out

    @staticmethod
    def _describe(pattern):
        code = sum(1 << (n - 1) for n in pattern if n <= 8)
        groups = ", ".join(map(str, pattern))
        return f"blinks groups of {groups} flash{'es' if pattern != (1,) else ''} (error code 0x{code:02x})"

    def blinking(self, name):
        """What a blinking LED shows ("blinks groups of 1 flash (error code
        0x01)"), as the last poll saw it; None while it does not blink."""
        led = self._state.get(name)
        return self._describe(led.pattern) if led and led.pattern else None

    @staticmethod
    def _end_group(led):
        led.groups.append((led.last_off, led.count))
        led.count = 0

    def _apply(self, e):
        led, colour = self._state[e.led], e.led.split(":")[-1]
        if e.attr == "trigger":
            if e.value != led.trigger:
                led.trigger = e.value
                return [f"{colour} trigger {e.value}"]
            return []
        if int(e.value or 0):
            if led.on_since is None:
                led.on_since, led.steady = e.time, False
                if led.count and e.time - led.last_off > self.GAP:
                    self._end_group(led)
            return []
        if led.on_since is not None and not led.steady and e.time - led.on_since <= self.FLASH:
            led.count += 1  # a flash
            led.last_off = e.time
            led.on_since = None
            return []
        led.on_since = None
        if led.shown_on:
            led.shown_on = False
            return [f"{colour} off"]
        return []


class PushPeer(Part):
    """The push server, on a loopback address of its own."""

    name = "the push server"

    def start(self, terminal):
        super().start(terminal)
        self.push = terminal.sb.attach(PushServer())

    def sources(self):
        return [PushReports(self.push)]

    def status(self):
        reports = self.push.reports
        age = f", the last {time.monotonic() - self.push.report_times[-1]:.0f} s ago" if reports else ""
        state = "connected" if self.push.open_connections else "not connected"
        return [("push server", f"{self.push.host}:5559 {state}, {len(reports)} reports{age}"
                 + (f", {len(self.push.errors)} framing errors" if self.push.errors else ""))]


class PushReports(EventSource):
    """Each report: the first in full, then only the keys that changed (the
    loop rate changes all the time and is left out). Connections too."""

    tag = "push"

    def __init__(self, server):
        self.server = server
        self._seen = self._errors = 0
        self._open = 0
        self._last = {}

    def poll(self):
        out = []
        opened = self.server.open_connections
        if opened != self._open:
            out.append("kelvgd connected" if opened > self._open else "connection closed")
            self._open = opened
        reports = self.server.reports
        for n, text in enumerate(reports[self._seen:], self._seen + 1):
            now = parse_report(text)
            if not self._last:
                out.append(f"report {n}:\n" + "\n".join(text.splitlines()))
            else:
                changed = [f"{k}={v}" for k, v in now.items() if self._last.get(k) != v and k != "urate"]
                out.append(f"report {n}: " + (", ".join(changed) or "(no change)"))
            self._last = now
        self._seen = len(reports)
        errors = self.server.errors
        out += [f"framing error: {e}" for e in errors[self._errors:]]
        self._errors = len(errors)
        return out
