"""A CIO-mode terminal's hardware and its dispatcher.

The hardware: a CIO board (sim/devices/cio_boards.py: the 8-line USB control board
unless another is chosen) with its lines and what of the host it reads.
The USB board runs in real time (it streams its samples at the
acquisition rate); the others stream as fast as the daemon reads. The
dispatcher is the station the daemon streams its recordings to and takes
line commands from.
"""

from ..devices import cio_boards
from ..peers.dispatcher import Dispatcher
from .commands import CommandError, arity, command, decimal, number
from .core import Part
from .events import EventSource

LOW_VOLTS = 21  # a line at this or less is flagged in the data packets
CODE_STEP_NS = 31250000  # a step of a hub address or command code: 1/32 s
HUB_GAP_NS, CMD_GAP_NS = 21240234, 4882813
NAMED_COMMANDS = {"pause": "ff000000", "resume": "ffffffff", "reset": "00000000", "test": "00010001"}


def samples(ns, rate):
    return (ns * rate + 500000000) // 1000000000


def decode_line_command(pulses, rate):
    """(line, hub, code) of three pulses on one line whose gaps carry a hub
    address and a command code, else None. A board that measures its
    latency shortens each gap on its own clock by that much, which is far
    less than half a step: the nearest step counts."""
    a, b, c = pulses
    if not (a.mask == b.mask == c.mask) or a.mask & (a.mask - 1):
        return None
    step = samples(CODE_STEP_NS, rate)

    def nearest(gap, first_ns, first, last):
        k = first + round((gap - samples(first_ns, rate)) / step)
        if first <= k <= last and abs(gap - samples((k - first) * CODE_STEP_NS + first_ns, rate)) < step / 2:
            return k
        return None

    hub = nearest(b.start - a.end, CODE_STEP_NS + HUB_GAP_NS, 1, 32)
    code = nearest(c.start - b.end, CMD_GAP_NS, 1, 64)
    if hub is None or code is None:
        return None
    return a.mask.bit_length(), hub, code


class CioHardware(Part):
    def __init__(self, board="usb"):
        super().__init__()
        self.board_name = board
        self.lines = cio_boards.BOARDS[board][1]
        self.name = f"the hardware: {cio_boards.BOARDS[board][2]} and its {self.lines} lines"

    def start(self, terminal):
        super().start(terminal)
        self.board = cio_boards.attach(terminal.sb, self.board_name, pace=1.0)

    @command("volts LINE V", f"the voltage on a line (from 1); {LOW_VOLTS} V or less is a low line")
    def volts(self, args):
        """The daemon measures the lines one after the other, a few times a
        second; the USB board cannot measure while the sound path is on a
        line (disp reset takes it off), and the VIA board only tells whether
        any line lost its voltage. A low line sets the flag of the data
        packets."""
        arity(args, 2, 2, "volts LINE V")
        line = number(args[0], 1, self.lines, "line")
        volts = round(decimal(args[1], 0, 200, "volts", " V"))
        set_volts = getattr(self.board, "set_line_volts", self.board.lines.set_volts)
        set_volts(line - 1, volts)

    @command("board silent|answer", "the board stops answering, or answers again")
    def board_answers(self, args):
        """A board that does not answer ends the daemon's loop at its next
        exchange with the board."""
        arity(args, 1, 1, "board silent|answer")
        if args[0] not in ("silent", "answer"):
            raise CommandError("board: silent or answer")
        self.board.silent = args[0] == "silent"

    def sources(self):
        return [BoardActions(self.board)]

    def status(self):
        b = self.board
        channel, on = b.sound
        acquisitions = f", {len(b.streams)} acquisitions" if hasattr(b, "streams") else ""
        rows = [("board", ("silent" if b.silent else "answering") + acquisitions
                 + f", {len(b.packets)} line packets sent")]
        rows.append(("sound path", (f"on line {channel + 1}" if on else "off")
                     + f", filter {'on' if b.filter else 'off'}, {'four' if b.four_wire else 'two'}-wire"))
        try:
            measured = self.t.sb.state().get("mod_vol")
        except OSError:
            measured = None
        for i in range(self.lines):
            volts = b.lines.volts(i)
            text = f"{volts} V" + (" (low)" if volts <= LOW_VOLTS else "")
            if measured is not None:
                text += f", measured {measured[i]} V"
            rows.append((f"line {i + 1}", text))
        return rows


class BoardActions(EventSource):
    """What the daemon does on the lines: line commands (read back from the
    SI pulses), line packets, and the sound path. The SI pulse of every
    recording is left out."""

    tag = "lines"

    def __init__(self, board):
        self.board = board
        self._edges = 0
        self._recent = []  # single-line pulses that may begin a line command
        self._open = None  # a pulse still on at the last look: where it began
        self._packets = 0
        self._sound = self._sound_state()

    def poll(self):
        out = self._line_commands()
        packets = self.board.packets
        for p in packets[self._packets:]:
            d = p.data
            what = f" (code {d[4]} to hub {d[1] + 1})" if len(d) == 6 and d[0] == 0x5F else ""
            out.append(f"line packet {d.hex()} sent on line {p.channel + 1}{what}")
        self._packets = len(packets)
        sound = self._sound_state()
        if sound != self._sound:
            self._sound = sound
            line, filt, four = sound
            out.append((f"sound path on line {line}" if line else "sound path off")
                       + f", filter {'on' if filt else 'off'}, {'four' if four else 'two'}-wire")
        return out

    def _sound_state(self):
        """(line of the sound path or None, filter, four-wire): the channel
        the board selects while the path is off does not count."""
        channel, on = self.board.sound
        return (channel + 1 if on else None), self.board.filter, self.board.four_wire

    def _line_commands(self):
        lines = self.board.lines
        edges = lines.edges
        # Whole pulses only: one still on waits for the next look.
        pulses = lines.pulses(self._edges)
        end = len(edges)
        while end > self._edges and edges[end - 1][1]:
            end -= 1
        self._edges = end
        out = []
        for p in pulses:
            if p.mask & (p.mask - 1):
                self._recent.clear()  # a recording of several lines
                continue
            self._recent = (self._recent + [p])[-3:]
            if len(self._recent) == 3 and (cmd := decode_line_command(self._recent, lines.rate)):
                line, hub, code = cmd
                a, b, c = self._recent
                out.append(f"line command {code} to hub {hub} on line {line} (gaps "
                           f"{float(lines.ms(b.start - a.end)):.2f} ms, {float(lines.ms(c.start - b.end)):.2f} ms)")
                self._recent.clear()
        return out


class DispatcherPeer(Part):
    """The dispatcher, on a loopback address of its own."""

    name = "the dispatcher"

    def start(self, terminal):
        super().start(terminal)
        self.disp = terminal.sb.attach(Dispatcher())
        terminal.sb.write("etc/disp.conf", f"disp_addresses={self.disp.host}\ndisp_interval=30\n")

    @command("disp CMD", "the dispatcher sends a command: 4 bytes in hex, or pause, resume, reset, test")
    def send(self, args):
        """The bytes are: sound request (1 sound on the line with the filter
        off, 2 with it on, +4 four-wire), line 1-8, hub 1-32, command code
        (1-64 a line command, 65-255 a line packet, 0 none); e.g.
        disp 01 03 05 07 sends code 7 to hub 5 on line 3 and puts the sound
        path on that line. Every command releases one data packet."""
        if not args:
            raise CommandError("usage: disp CMD, e.g. disp 01 03 05 07")
        text = NAMED_COMMANDS.get(args[0], "".join(args)) if len(args) == 1 else "".join(args)
        try:
            cmd = bytes.fromhex(text)
        except ValueError:
            cmd = b""
        if len(cmd) != 4:
            raise CommandError(f"disp: 4 bytes in hexadecimal, or {', '.join(NAMED_COMMANDS)}, not {' '.join(args)!r}")
        try:
            self.disp.send(cmd, timeout=5)
        except TimeoutError:
            raise CommandError("disp: kelvgd is not connected to the dispatcher") from None

    def sources(self):
        return [DispatcherMessages(self.disp)]

    def status(self):
        d = self.disp
        return [("dispatcher", f"{d.host}:5555 {'connected' if d.open_connections else 'not connected'}, "
                 f"{len(d.data_packets)} data packets, {len(d.acks)} acknowledgements"
                 + (f", {len(d.errors)} errors" if d.errors else ""))]


class DispatcherMessages(EventSource):
    """Each data packet and acknowledgement, the connections, and what broke
    the framing or the pacing."""

    tag = "disp"

    def __init__(self, disp):
        self.disp = disp
        self._seen = self._errors = self._open = 0

    def poll(self):
        out = []
        opened = self.disp.open_connections
        if opened != self._open:
            out.append("kelvgd connected" if opened > self._open else "connection closed")
            self._open = opened
        messages = self.disp.messages
        for m in messages[self._seen:]:
            if m.kind == "TE":
                out.append("acknowledgement")
                continue
            size = "" if m.samples is None else f", {len(m.samples)} samples"
            lines = "a line is low" if m.flag == "1" else "all lines fine"
            out.append(f"data packet of {len(m.body)} bytes{size}, {lines}")
        self._seen = len(messages)
        errors = self.disp.errors
        out += [f"error: {e}" for e in errors[self._errors:]]
        self._errors = len(errors)
        return out
