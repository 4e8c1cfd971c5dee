"""The terminal's two RS-485 buses with intercom units on them.

Intercom 3 (bus 0) and intercom 70 (bus 1) are there from the start, their
microphones a 900 Hz and a 600 Hz tone. The voice console polls them and
publishes their states in /run/parlod-ic-states, which shows here as they
change; `console call rs3` calls intercom 3 from the cabin, and the
intercom's button is the press-to-talk key of such a call. Fireman's mode
of kelvgd can watch an intercom's input (`kelvgd fmm -e 1 -a 3 -c 1 -i 0`,
then `intercom 3 input 1 on`).
"""

import fcntl
import math
import os
import re
import struct
import subprocess
import time

from ..devices.icbus import AUDIO, CB_CUR, CMD_AUDIO_IN, CMD_AUDIO_OUT, INP1, INP2, IntercomBus, tone_frequency, ulaw_decode
from .commands import CommandError, arity, command, number, write_line
from .core import Part
from .events import EventSource
from .platform import Platform

PRESENT = {3: 900, 70: 600}  # address: microphone tone
CONF = "ports_mask=3\n"
STATES = "run/parlod-ic-states"
FIFO = "run/parlod-ic-ctl"
FIELDS = ("button", "input 1", "input 2", "relay", "pulses", "audio", "call pending", "reset cause")
CALLS = {"0": "none", "1": "local (the cabin)", "2": "network"}


class Intercoms(Part):
    name = "two intercom buses (intercoms 3 and 70)"

    def start(self, terminal):
        super().start(terminal)
        sb = terminal.sb
        sb.write("etc/parlod-ic.conf", CONF)
        self.bus = sb.attach(IntercomBus(sb, keep=5000))  # the last 100 s or so of frames
        for address, tone in PRESENT.items():
            self.bus.add(address, tone=tone, test_result=900)
        self.states = StatesFile(sb.path(STATES), self._raw_result)
        self.audio = BusAudio(self.bus)

    def _raw_result(self, address):
        ic = self.bus.intercoms.get(address)
        return ic.test_result if ic else None

    def _intercom(self, text):
        address = number(text, 0, 127, "intercom address")
        ic = self.bus.intercoms.get(address)
        if ic is None:
            raise CommandError(f"no intercom {address} on the buses; `intercom {address} add` puts one there")
        return ic

    @command("intercom ADDR WHAT", "an intercom: press, release, input N on|off, tone HZ, reset CAUSE, add, "
             "remove, heard")
    def intercom(self, args):
        """ADDR is 0-127 (64 and up: bus 1). press/release: its call button,
        the press-to-talk key of a cabin call. input 1|2 on|off: its inputs
        (fireman's mode may watch one). tone HZ: its microphone (0: silence).
        reset CAUSE: it comes back from a reset with that cause (0x02 BOD12,
        0x04 BOD33, 0x20 watchdog). add [HZ] and remove: it appears or goes
        silent. heard: the pitch of what its loudspeaker got in the last
        second."""
        if len(args) < 2:
            raise CommandError("usage: intercom ADDR WHAT (help intercom)")
        what = args[1]
        if what == "add":
            arity(args, 2, 3, "intercom ADDR add [HZ]")
            address = number(args[0], 0, 127, "intercom address")
            tone = number(args[2], 0, 3000, "tone") if len(args) > 2 else 800
            self.bus.add(address, tone=tone or None, test_result=900)
            return
        ic = self._intercom(args[0])
        if what in ("press", "release"):
            arity(args, 2, 2, f"intercom ADDR {what}")
            ic.status = ic.status | CB_CUR if what == "press" else ic.status & ~CB_CUR
        elif what == "input":
            arity(args, 4, 4, "intercom ADDR input 1|2 on|off")
            bit = {"1": INP1, "2": INP2}.get(args[2])
            if bit is None or args[3] not in ("on", "off"):
                raise CommandError("usage: intercom ADDR input 1|2 on|off")
            ic.status = ic.status | bit if args[3] == "on" else ic.status & ~bit
        elif what == "tone":
            arity(args, 3, 3, "intercom ADDR tone HZ")
            ic.tone = number(args[2], 0, 3000, "tone") or None
        elif what == "reset":
            arity(args, 3, 3, "intercom ADDR reset CAUSE")
            ic.rcause = number(args[2], 0, 127, "reset cause")
            ic.status &= ~AUDIO
        elif what == "remove":
            arity(args, 2, 2, "intercom ADDR remove")
            self.bus.remove(ic.address)
        elif what == "heard":
            arity(args, 2, 2, "intercom ADDR heard")
            frames = self.bus.sent(command=CMD_AUDIO_OUT, address=ic.address, since=time.monotonic() - 1)
            self.t.out.say(f"intercom {ic.address} heard " + describe([ulaw_decode(b) for f in frames
                                                                      for b in f.payload[1:]]))
        else:
            raise CommandError(f"intercom: no {what!r}; help intercom lists what there is")

    @command("loudspeaker", "what the cabin's loudspeaker plays: its pitch over one second")
    def loudspeaker(self, args):
        arity(args, 0, 0, "loudspeaker")
        pulse = self.t.part(Platform).pulse
        proc = subprocess.Popen(["parec", "-d", "spk.monitor", "--raw", "--format=s16le", "--rate=8000",
                                 "--channels=1", "--latency-msec=20"], env={**os.environ, **pulse.env()},
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            time.sleep(1)
        finally:
            proc.terminate()
            data = proc.communicate(timeout=5)[0]
        samples = [v for (v,) in struct.iter_unpack("<h", data[:len(data) & ~1])]
        self.t.out.say("the loudspeaker plays " + describe(samples))

    @command("icctl LINE", "a line to the console's intercom control FIFO: rel A V, clc A, prod A V, hbt, led V, "
             "ports M, bauds B0[,B1], ftst [A]", raw=True)
    def icctl(self, line):
        """Written as a local tool does; the console answers nothing, but
        what it makes of it shows in the states file and on the buses. A
        self-test (ftst) takes about 3 s an intercom, one intercom at a
        time, and never during a call: the call goes first."""
        if not line:
            raise CommandError("usage: icctl LINE")
        write_line(self.t.sb.path(FIFO), line, "the control FIFO has no reader")
        words = line.split()
        if words[0] == "ftst":
            self.t.out.say(self._test_requested(words[1:]))

    def _test_requested(self, args):
        """What becomes of a self-test request, as the console handles it."""
        try:
            address = int(args[0], 0) if args else None
        except ValueError:
            address = 0  # the console reads what is no number as 0
        if address is not None and address > 127:
            return f"vterm: the console ignores a self-test of intercom {address}: addresses go up to 127"
        if address is None:
            text = "vterm: self-tests of every intercom present requested: one after the other, about 3 s each"
        else:
            text = f"vterm: self-test of intercom {address} requested: it takes about 3 s"
        text += "; each result follows as an [rs485] line"
        call = re.search(r"^call=([1-9])", self.states.read() or "", re.M)
        if call:
            text += "; it waits for the end of the call in progress (no test runs during a call)"
        return text

    def sources(self):
        return [self.states, self.audio]

    def status(self):
        text = self.states.read()
        if text is None:
            return [("intercoms", "no states file (the console is not running)")]
        rows = []
        tests = parse_tests(text)
        for address, fields in parse_states(text).items():
            on = [name for name, value in zip(FIELDS[:7], fields) if value == "1"]
            test = tests.get(address)
            rows.append((f"intercom {address}", f"bus {address // 64}, " + (", ".join(on) or "idle")
                         + f", reset cause {fields[7]}"
                         + (f", self-test {test[0]} ({test[1]} s ago)" if test else "")))
        call = re.search(r"^call=(\d)", text, re.M)
        rows.append(("intercom call", CALLS.get(call.group(1), "?") if call else "?"))
        return rows or [("intercoms", "none present")]


def describe(samples):
    """A tone's pitch in a line, or why there is none."""
    if len(samples) < 1600:
        return "nothing"
    if max(abs(v) for v in samples) < 1000:
        return "silence"
    try:
        return f"{tone_frequency(samples):.0f} Hz"
    except AssertionError as e:
        return "no tone (" + str(e).split(": ", 1)[-1] + ")"


def parse_states(text):
    return {int(m.group(1)): m.group(2).split(",") for m in re.finditer(r"^rs(\d+)=(.*)$", text, re.M)}


def parse_tests(text):
    """address: (figure, age in seconds) of the self-test results."""
    return {int(m.group(1)): (int(m.group(2)), int(m.group(3)))
            for m in re.finditer(r"^test(\d+)=(\d+),(\d+)$", text, re.M)}


def test_figure(raw):
    """The figure the console publishes for a unit's raw self-test result."""
    return int(math.sqrt(raw) * 0.78125)


class StatesFile(EventSource):
    """What changes in the states file: intercoms that come and go, their
    buttons and inputs, self-test results, the call."""

    tag = "rs485"

    def __init__(self, path, raw_result=lambda address: None):
        self.path = path
        self.raw_result = raw_result  # address: the simulated unit's raw self-test result, or None
        self._last = {}
        self._call = None
        self._tests = {}

    def read(self):
        try:
            fd = os.open(self.path, os.O_RDONLY)
        except OSError:
            return None
        try:
            fcntl.flock(fd, fcntl.LOCK_SH)
            return os.pread(fd, 8191, 0).decode(errors="replace")
        finally:
            os.close(fd)

    def poll(self):
        text = self.read()
        if not text:
            return []
        out = []
        now = parse_states(text)
        for address in sorted(set(now) | set(self._last)):
            before, after = self._last.get(address), now.get(address)
            if after is None:
                out.append(f"intercom {address} gone")
            elif before is None:
                out.append(f"intercom {address} present on bus {address // 64}")
            else:
                for name, old, new in zip(FIELDS, before, after):
                    if old != new:
                        out.append(f"intercom {address}: {name} {'on' if new == '1' else 'off'}"
                                   if name != "reset cause" else f"intercom {address}: reset cause {new}")
        self._last = now
        for address, (figure, age) in parse_tests(text).items():
            before = self._tests.get(address)
            # A new result: the first, or one younger than the last.
            if before is None or age < before[1] or figure != before[0]:
                out.append(self._describe_test(address, figure))
            self._tests[address] = (figure, age)
        call = re.search(r"^call=(\d)", text, re.M)
        if call and call.group(1) != self._call:
            if self._call is not None:
                out.append(f"intercom call: {CALLS.get(call.group(1), call.group(1))}")
            self._call = call.group(1)
        return out

    def _describe_test(self, address, figure):
        raw = self.raw_result(address)
        if raw is not None and test_figure(raw) == figure:
            return f"intercom {address} self-test: {figure} (the unit's raw result {raw}: ⌊√{raw} × 0.78125⌋)"
        return f"intercom {address} self-test: {figure} (⌊√raw × 0.78125⌋ of the unit's raw result)"


class BusAudio(EventSource):
    """Which way audio flows on the buses, once a second when it changes."""

    tag = "rs485"

    def __init__(self, bus):
        self.bus = bus
        self._since = time.monotonic()
        self._last = None

    def poll(self):
        now = time.monotonic()
        if now - self._since < 1:
            return []
        frames = self.bus.sent(since=self._since)
        self._since = now
        flows = []
        for code, way in ((CMD_AUDIO_OUT, "to"), (CMD_AUDIO_IN, "from")):
            addresses = sorted({f.address for f in frames if f.command == code})
            flows += [f"audio {way} intercom {a}" for a in addresses]
        state = ", ".join(flows) or "no audio on the buses"
        if state == self._last:
            return []
        self._last = state
        return [state]
