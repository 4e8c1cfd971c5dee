"""The voice console `parlod` and a SIP peer to call, in a private network
namespace: the console on 192.0.2.10:5060, the peer (baresip, answering by
itself, its microphone a 700 Hz tone) on port 5090."""

import os
import re
import select
import subprocess
import threading
import time

from ..peers.sip_peers import ADDRESS, Baresip, NetNs
from .commands import CommandError, arity, command, write_line
from .core import Part
from .events import EventSource, LineQueue
from .platform import Platform
from .units import Service, Services

CONSOLE_URI = f"sip:parlod@{ADDRESS}:5060"
# The console drives the speech-path line that the bell's handshake watches.
PARLOD_CONF = "gpio=49\n"
# Lines of the console about its calls, shown as call events; the end of a
# call, with its reason, among them.
CALL_ENDED = re.compile(r"\bcall\b.*\b(ended|cleared)\b", re.I)
CALL_LINES = re.compile(r"incoming call at|refused as busy|^Started call from|^Hanging up call from|"
                        r"^Could not start call|^Already in call|" + CALL_ENDED.pattern, re.I)


class VoiceConsole(Part):
    name = "the voice console parlod and its SIP peer"

    def __init__(self, binary):
        self.binary = binary

    def start(self, terminal):
        super().start(terminal)
        sb, platform = terminal.sb, terminal.part(Platform)
        sb.write("etc/parlod.conf", PARLOD_CONF)
        self.platform = platform
        self.messages = LineQueue("parlod")
        self.calls = LineQueue("call")
        self.call = CallState()
        self.ns = NetNs()
        self.service = Service("parlod", "parlod.service", self._spawn)
        proc = self.service.start()
        self.peer = Baresip(self.ns, sb.root, name="peer", sip_port=5090, ctrl_port=5100, tone=700)
        platform.wait_ready("parlod", proc, 20)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.pipe) and time.monotonic() < deadline:
            time.sleep(0.05)

    def _spawn(self):
        # The cabin's microphone is the sound server's sine source (the
        # default source is the loudspeaker's monitor, for kelvgd's speaker
        # test): whoever the console calls hears it.
        sb = self.t.sb
        argv = self.ns.cmd([self.binary, "--sip-listen", ADDRESS, "--sound-recorder", "mic"])
        proc = sb.adopt(subprocess.Popen(self.platform.wrap(argv), env=sb.env(self.platform.env("parlod")),
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, process_group=0))
        threading.Thread(target=self._read_console, args=(proc.stdout,), daemon=True).start()
        return proc

    @property
    def pipe(self):
        return self.t.sb.path("run/parlod-cli")

    def _read_console(self, stream):
        """A line is complete at its line end; a fragment without one (what
        the console writes ends its line) shows when nothing more has come
        for a moment."""
        fd, pending = stream.fileno(), b""
        while True:
            ready, _, _ = select.select([fd], [], [], 0.2)
            data = os.read(fd, 4096) if ready else None
            if data == b"":
                break
            if data:
                pending += data
                *lines, pending = pending.split(b"\n")
            else:
                lines, pending = [pending], b""
            for line in lines:
                self._console_line(line.decode(errors="replace").strip())
        self._console_line(pending.decode(errors="replace").strip())
        stream.close()

    def _console_line(self, line):
        if not line:
            return
        if CALL_LINES.search(line):
            self.calls.put(f"console: {line}")
            self.call.console_line(line)
        else:
            self.messages.put(line)

    def _peer_event(self, ev):
        kind, who, param = ev.get("type", "?"), ev.get("peeruri", "?"), ev.get("param", "")
        self.call.peer_event(kind)
        if kind == "CALL_ESTABLISHED":
            return f"peer: call with {who} established"
        if kind == "CALL_CLOSED":
            return f"peer: call with {who} ended" + (f": {param}" if param else "")
        if kind in ("CALL_INCOMING", "CALL_OUTGOING", "CALL_RINGING", "CALL_PROGRESS"):
            return f"peer: {kind[5:].lower()} call, {who}"
        return None

    # Commands.

    @command("console LINE", f"a command line to the voice console, e.g. console call sip:peer@{ADDRESS}:5090",
             raw=True)
    def console(self, line):
        """Written into the console's command pipe as a local program does.
        Its commands: call URI, hangup, calls, tcmd WORD [ARGS] (tr_on,
        tr_off, tr_auto, duplex, simplex, sndtest, vol_mic, vol_spk), help.
        Its answers follow as [parlod] and [call] lines."""
        if not line:
            raise CommandError("usage: console LINE")
        write_line(self.pipe, line, "the console is not running")

    @command("peer call|hangup", "the SIP peer calls the console (peer call URI: another party), or hangs up")
    def peer_command(self, args):
        """The peer answers calls by itself; a call from the console reaches
        it at sip:peer@192.0.2.10:5090."""
        if not args or args[0] not in ("call", "hangup"):
            raise CommandError("usage: peer call [URI], or peer hangup")
        if args[0] == "call":
            arity(args, 1, 2, "peer call [URI]")
            answer = self.peer.dial(args[1] if len(args) > 1 else CONSOLE_URI)
        else:
            arity(args, 1, 1, "peer hangup")
            answer = self.peer.hangup()
        if not answer.get("ok", False):
            raise CommandError(f"peer {args[0]}: {answer.get('data') or 'refused'}")

    # Events and status.

    def sources(self):
        return [self.messages, self.calls, PeerEvents(self.peer, self._peer_event),
                SpeakerFile(self.t.sb.path("var/run/parlod.spk")), Services("parlod", [self.service])]

    def programs(self):
        running = ["parlod"] if self.service.running() else []
        peer = getattr(self, "peer", None)
        return running + (["the SIP peer (baresip)"] if peer and peer.proc.poll() is None else [])

    def status(self):
        spk = read_speaker(self.t.sb.path("var/run/parlod.spk"))
        if not self.service.running():
            self.call.console_ended()
        return [("voice console", self.service.state()),
                ("call", self.call.describe(audio=spk is not None)),
                ("speaker state file", {None: "absent", "1": "1 (far end heard)"}.get(spk, spk)),
                ("SIP peer", f"{self.peer.uri}, answers by itself")]

    def stop(self):
        # Whatever of it started: the start may have failed half-way.
        service, peer = getattr(self, "service", None), getattr(self, "peer", None)
        if service:
            service.terminate()
        if peer and peer.proc.poll() is None:
            peer.proc.terminate()

    def wait(self, deadline):
        service, peer = getattr(self, "service", None), getattr(self, "peer", None)
        if service and service.wait(deadline):
            self.t.out.error("parlod did not end after SIGTERM; killed")
        if peer:
            try:
                peer.proc.wait(timeout=max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                peer.proc.kill()
            peer.close()
        if getattr(self, "ns", None):
            self.ns.close()


def party(uri):
    """A call party as an engineer names it."""
    if uri.startswith("pc:"):
        return f"the cabin ({uri})"
    m = re.fullmatch(r"rs485:rs(\d+)", uri)
    return f"intercom {m.group(1)} ({uri})" if m else uri


class CallState:
    """The console's call, from its messages (who calls whom; the cabin is
    the sound endpoint "pc") and the SIP peer's events (whether a call with
    it is established)."""

    STARTED = re.compile(r"^Started call from (\S+) to (\S+)")
    INCOMING = re.compile(r"^\S+: incoming call at .* from (\S+) to (\S+)$")

    def __init__(self):
        self._lock = threading.Lock()
        self.parties = None  # (from, to) of the call, while there is one
        self.established = False
        self.last = None

    def console_line(self, line):
        with self._lock:
            started = self.STARTED.search(line) or (self.INCOMING.search(line) if "refused" not in line else None)
            if started and self.parties is None:
                self.parties, self.established = started.groups(), False
            elif CALL_ENDED.search(line):
                self.parties, self.last = None, line

    def peer_event(self, kind):
        with self._lock:
            if kind == "CALL_ESTABLISHED" and self.parties and self._far_end().startswith("sip:"):
                self.established = True

    def console_ended(self):
        with self._lock:
            if self.parties is not None:
                self.parties, self.last = None, "ended with the console"

    def _outgoing(self):
        return self.parties[0].startswith("pc:")

    def _far_end(self):
        return self.parties[1 if self._outgoing() else 0]

    def describe(self, audio):
        """audio: whether the speaker state file says a call's audio runs."""
        with self._lock:
            if self.parties is None:
                return "none" + (f" (the last: {self.last})" if self.last else "")
            a, b = self.parties
            if self.established:
                phase = "established"
            else:
                phase = "audio running" if audio else "setting up"
            if self._outgoing():
                return f"outgoing: the cabin calls {party(b)}, {phase}"
            if b.startswith("pc:"):
                return f"incoming: {party(a)} calls the cabin, {phase}"
            return f"{party(a)} calls {party(b)}, {phase}"


class PeerEvents(EventSource):
    tag = "call"

    def __init__(self, peer, describe):
        self.peer, self.describe = peer, describe

    def poll(self):
        out = []
        while not self.peer.events.empty():
            text = self.describe(self.peer.events.get_nowait())
            if text:
                out.append(text)
        return out


def read_speaker(path):
    try:
        with open(path) as f:
            return f.read(1)
    except FileNotFoundError:
        return None


class SpeakerFile(EventSource):
    """The speaker state file: there while a call's audio runs, "1" while
    far-end speech has the speech path."""

    tag = "speaker"

    def __init__(self, path):
        self.path = path
        self._last = None

    def poll(self):
        now = read_speaker(self.path)
        if now == self._last:
            return []
        before, self._last = self._last, now
        if now is None:
            return ["parlod.spk removed"]
        return [f"parlod.spk {'created' if before is None else 'now'}: {now}"
                + (" (far end heard)" if now == "1" else "")]

