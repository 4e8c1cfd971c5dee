"""The voice console end to end: parlod with its command pipe, its PC sound
endpoint on a real PulseAudio server, and baresip as the far end, all in a
private network namespace."""

import errno
import math
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time
import wave

import pytest

from conftest import built
from sim.audio import rtp
from sim.peers.sip_peers import ADDRESS, Baresip, RawUa, tone_frequency
from sim.sandbox.pulse import PulseServer

MIC_HZ = 440  # the console's microphone: PulseAudio's sine source
PEER_HZ = 700  # what baresip sends


class Output:
    """Everything a program writes, as it comes."""

    def __init__(self, stream):
        self.text = ""
        self._cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        while True:
            data = os.read(stream.fileno(), 4096)
            if not data:
                return
            with self._cond:
                self.text += data.decode(errors="replace")
                self._cond.notify_all()

    def wait(self, pattern, timeout=15, start=0):
        """The first match at or after offset start."""
        rx = re.compile(pattern)
        with self._cond:
            if self._cond.wait_for(lambda: rx.search(self.text, start), timeout):
                return rx.search(self.text, start)
            raise AssertionError(f"no {pattern!r} in {timeout} s; got:\n{self.text[start:]}")


def wait_for_reader(pipe, timeout=10):
    """Until the console reads its pipe. The pipe is made (or made again) a
    moment before the console opens it: until then a client that does not
    wait is refused (ENXIO)."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            os.close(os.open(pipe, os.O_WRONLY | os.O_NONBLOCK))
            return
        except OSError as e:
            if e.errno not in (errno.ENOENT, errno.ENXIO, errno.EISDIR):
                raise
        assert time.monotonic() < deadline, "no command pipe"
        time.sleep(0.05)


class Console:
    """The console in the namespace. listen: its SIP address (None: every
    address, as on a terminal with more than one)."""

    def __init__(self, sandbox, ns, pulse, *args, listen=ADDRESS):
        self.sb, self.ns, self.pulse = sandbox, ns, pulse
        binary = built("PARLOD", "build/parlod/parlod")
        where = ["--sip-listen", listen] if listen else []
        self.proc = subprocess.Popen(ns.cmd([binary, "--sip-port", "5060", *where, *args]),
                                     env=sandbox.env(pulse.env()), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.out = Output(self.proc.stdout)
        # Ready means that a client may write at once.
        assert sandbox.notify.wait_for("READY=1", timeout=20), self.text()

    def wait_for_reader(self):
        wait_for_reader(self.pipe)

    @property
    def pipe(self):
        return self.sb.path("run/parlod-cli")

    def send(self, line, end="\n"):
        """As a local client does: open, write a whole line, close."""
        fd = os.open(self.pipe, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, (line + end).encode())
        finally:
            os.close(fd)

    def rtp_ports(self):
        """The UDP ports the console has open for RTP."""
        out = subprocess.run(self.ns.cmd(["ss", "-Hunap"]), capture_output=True, text=True, check=True).stdout
        ports = [int(line.split()[3].rsplit(":", 1)[1]) for line in out.splitlines()
                 if f"pid={self.proc.pid}," in line]
        return [p for p in ports if 10000 <= p <= 20000 and p % 2 == 0]

    def wait(self, pattern, timeout=15, start=0):
        return self.out.wait(pattern, timeout, start)

    def mark(self):
        """Where the next message begins, for wait(start=...) and text()[...]:
        its line break is the end of the line before it (each message ends
        its line), so the mark stands on that end, and a pattern "\\n..."
        finds a message that comes next."""
        with self.out._cond:
            text = self.out.text
        return len(text) - 1 if text.endswith("\n") else len(text)

    def text(self):
        return self.out.text

    def cpu_seconds(self):
        """User and system time the console has used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=30)


@pytest.fixture
def pulse(sandbox):
    return sandbox.attach(PulseServer(sandbox.path("pulse"), mic_frequency=MIC_HZ))


@pytest.fixture
def consoles(sandbox, ns, pulse):
    """Starts consoles; each must end cleanly."""
    started = []

    def start(*args):
        c = Console(sandbox, ns, pulse, *args)
        started.append(c)
        return c

    yield start
    for c in started:
        assert c.stop() == 0, c.text()


@pytest.fixture
def console(sandbox, ns, pulse):
    c = Console(sandbox, ns, pulse)
    yield c
    assert c.stop() == 0


@pytest.fixture
def peers(sandbox, ns):
    made = []

    def make(name="peer", **kw):
        p = Baresip(ns, sandbox.root, name=name, sip_port=5090 + 2 * len(made), ctrl_port=5100 + len(made),
                    tone=PEER_HZ, **kw)
        made.append(p)
        return p
    yield make
    for p in made:
        p.close()


def record_loudspeaker(pulse, seconds=3):
    """What the console plays, from the null sink's monitor: the seconds
    asked for, however long the recorder takes to connect on a loaded
    machine (16-bit samples, 8000 a second, after a 44-byte header)."""
    path = os.path.join(pulse.dir, f"spk-{time.monotonic_ns()}.wav")
    rec = subprocess.Popen(["parec", "-d", "spk.monitor", "--file-format=wav", "--rate=8000", "--channels=1",
                            "--latency-msec=20", path], env=dict(os.environ, **pulse.env()))
    time.sleep(seconds)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and rec.poll() is None:
        if os.path.exists(path) and os.path.getsize(path) >= 44 + 2 * 8000 * seconds:
            break
        time.sleep(0.05)
    rec.send_signal(signal.SIGINT)
    rec.wait(timeout=10)
    return path


@pytest.fixture
def duplex(sandbox):
    # The far end's tone never stops: in simplex mode it would mute the
    # microphone for the whole call.
    sandbox.write("etc/parlod.conf", "duplex=1\n")


def test_call_to_the_far_end_carries_audio_both_ways(duplex, console, peers):
    peer = peers()
    console.send(f"call {peer.uri}")
    console.wait(rf"Started call from pc:\* to {peer.uri}")
    peer.wait_event("CALL_ESTABLISHED")
    time.sleep(1)
    assert abs(tone_frequency(record_loudspeaker(console.pulse)) - PEER_HZ) < 15
    # Both directions of the call are "phone" streams, which the bell mutes.
    roles = [s["role"] for s in console.pulse.streams()] + [s["role"] for s in console.pulse.streams("source-outputs")]
    assert roles.count("phone") >= 2

    console.send("hangup")
    console.wait(rf"Hanging up call from pc:\* to {peer.uri}")
    peer.wait_event("CALL_CLOSED")
    [heard] = peer.received()
    assert abs(tone_frequency(heard) - MIC_HZ) < 15


def test_incoming_calls_one_at_a_time(console, peers):
    first, second = peers("first"), peers("second")
    target = f"sip:parlod@{ADDRESS}:5060"
    first.dial(target)
    console.wait(r"incoming call at .* from sip:first@")
    first.wait_event("CALL_ESTABLISHED")

    start = console.mark()
    second.dial(target)
    console.wait(r"incoming call at .* from sip:second@.* refused as busy\.", start=start)
    closed = second.wait_event("CALL_CLOSED")
    assert "486" in str(closed)
    assert first.events.empty() or all(e.get("type") != "CALL_CLOSED" for e in list(first.events.queue))

    first.hangup()
    first.wait_event("CALL_CLOSED")
    time.sleep(1)
    start = console.mark()
    second.dial(target)
    console.wait(r"incoming call at .* from sip:second@", start=start)
    second.wait_event("CALL_ESTABLISHED")
    assert " refused as busy." not in console.text()[start:]
    second.hangup()


def test_commands_from_the_pipe(console, peers):
    peer = peers()
    console.send(f"call {peer.uri}")
    peer.wait_event("CALL_ESTABLISHED")
    start = console.mark()
    console.send(f"call {peer.uri}")
    console.wait("Already in call.", start=start)

    # Two writers in a row: both lines are carried out.
    console.send("hangup")
    console.send("calls")
    console.wait("Hanging up call from", start=start)
    console.wait(r"1: pc:\* -> |No calls", start=start)
    console.wait(r"\nCall 1 from .* cleared: local user", start=start)

    for junk in ("nonsense words", "x" * 5000, "tcmd", "hangup --call 999", ""):
        console.send(junk)
    console.send("tcmd sndtest 2001")
    console.wait("Requested frequency is too high, aborting", start=start)
    console.send("tcmd vol_mic 120")
    console.wait("No connection for volume control", start=start)
    assert console.proc.poll() is None


def test_pipe_survives_removal_and_refuses_without_console(sandbox, ns, pulse):
    c = Console(sandbox, ns, pulse)
    os.unlink(c.pipe)
    c.wait_for_reader()  # made anew
    c.send("tcmd sndtest")
    c.wait("sndtest: frequency parameter missing")
    assert c.stop() == 0
    assert sandbox.notify.messages()[-1] == "STOPPING=1"
    # The pipe stays; a client learns at once that nobody reads it.
    with pytest.raises(OSError) as e:
        os.open(c.pipe, os.O_WRONLY | os.O_NONBLOCK)
    assert e.value.errno == errno.ENXIO


def test_user_input_from_the_far_end(console, ns):
    ua = RawUa(ns)
    try:
        assert ua.call() == 200
        console.wait(r"incoming call at")
        ua.request("INFO", body="vol_spk 151", ctype="text/plain")
        assert ua.response()[0] == 200
        console.wait('User input received: "vol_spk 151"')
        console.wait(r"Volume percentage out of range \(50\.\.150\)")
        ua.request("INFO", body="vol_spk 149", ctype="text/plain")
        assert ua.response()[0] == 200
        console.wait('User input received: "vol_spk 149"')
        assert ua.bye() == 200
    finally:
        ua.close()


def test_sound_server_gone_at_any_moment_of_a_call(duplex, console, peers):
    """The sound server goes away while a call's media opens, while the
    call runs and while it is hung up. Each time the call ends, the console
    answers at once, and once the server is back a call has its sound; in
    the end the console stops promptly."""
    peer = peers()

    def call():
        start = console.mark()
        console.send(f"call {peer.uri}")
        console.wait("Started call", start=start)
        return start

    def sound_gone(start):
        console.pulse.stop()
        console.wait(r"cleared: ", start=start, timeout=30)
        peer.wait_event("CALL_CLOSED", timeout=30)
        mark = console.mark()
        console.send("calls")
        console.wait("No calls", start=mark)
        console.pulse = console.sb.attach(PulseServer(console.sb.path("pulse"), mic_frequency=MIC_HZ))

    # The far end answers at once: the media opens as the server goes.
    sound_gone(call())
    start = call()
    peer.wait_event("CALL_ESTABLISHED")
    time.sleep(0.5)
    sound_gone(start)
    start = call()
    peer.wait_event("CALL_ESTABLISHED")
    console.send("hangup")
    sound_gone(start)

    call()
    peer.wait_event("CALL_ESTABLISHED")
    time.sleep(1)
    assert abs(tone_frequency(record_loudspeaker(console.pulse)) - PEER_HZ) < 15
    console.send("hangup")
    peer.wait_event("CALL_CLOSED")
    began = time.monotonic()
    assert console.stop() == 0
    assert time.monotonic() - began < 10


def rms(path):
    """The level of a recording: the median of its 20 ms blocks, so that a
    gap in the sound (a loaded machine) does not lower it."""
    with wave.open(path) as w:
        n = w.getnframes()
        samples = struct.unpack(f"<{n * w.getnchannels()}h", w.readframes(n))[::w.getnchannels()]
    block = 160
    levels = sorted(math.sqrt(sum(x * x for x in samples[i:i + block]) / block)
                    for i in range(0, len(samples) - block + 1, block))
    return levels[len(levels) // 2] if levels else 0.0


# Each address once, each direction once: the latch is the RTP session's
# unit tests', and test_speech_path.py calls such a peer too.
@pytest.mark.parametrize("peer_at, direction", [("127.0.0.1", "incoming"), (ADDRESS, "outgoing")])
def test_peers_that_send_from_another_address_are_heard(sandbox, ns, pulse, peers, peer_at, direction):
    """A peer on 127.0.0.1 announces that address and sends its media from
    the veth address; the console listens on every address, preferring the
    veth one. Audio must flow both ways all the same."""
    sandbox.write("etc/parlod.conf", "duplex=1\n")
    console = Console(sandbox, ns, pulse, listen=None)
    try:
        peer = peers(address=peer_at)
        if direction == "outgoing":
            console.send(f"call {peer.uri}")
        else:
            peer.dial(f"sip:parlod@{ADDRESS}:5060")
            console.wait("incoming call at")
        peer.wait_event("CALL_ESTABLISHED")
        time.sleep(1)
        assert abs(tone_frequency(record_loudspeaker(pulse)) - PEER_HZ) < 15
        peer.hangup()
        peer.wait_event("CALL_CLOSED")
        assert abs(tone_frequency(peer.received()[-1]) - MIC_HZ) < 15
    finally:
        assert console.stop() == 0


def test_a_sender_from_elsewhere_takes_nothing_over(sandbox, ns, pulse, peers):
    sandbox.write("etc/parlod.conf", "duplex=1\n")
    console = Console(sandbox, ns, pulse, listen=None)
    sprayer = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        peer = peers(address="127.0.0.1")
        console.send(f"call {peer.uri}")
        peer.wait_event("CALL_ESTABLISHED")
        time.sleep(1)
        [port] = console.rtp_ports()
        sprayer.bind((ADDRESS, 0))
        tone = rtp.encode(int(12000 * math.sin(2 * math.pi * 1500 * k / 8000)) for k in range(160))
        stream = rtp.Stream(ssrc=0xbad)

        def spray():
            # A well-formed stream of another tone, at the media's pace,
            # with bursts in between.
            for i in range(150):
                sprayer.sendto(stream.packet(tone), (ADDRESS, port))
                if i % 25 == 0:
                    for _ in range(20):
                        sprayer.sendto(stream.packet(tone), (ADDRESS, port))
                time.sleep(0.02)
        thread = threading.Thread(target=spray)
        thread.start()
        heard = record_loudspeaker(pulse)
        thread.join()
        assert abs(tone_frequency(heard) - PEER_HZ) < 15
        assert abs(tone_frequency(record_loudspeaker(pulse, 2)) - PEER_HZ) < 15
        console.send("hangup")
        peer.wait_event("CALL_CLOSED")
    finally:
        sprayer.close()
        assert console.stop() == 0


def test_volume_of_the_call_in_progress(duplex, console, peers):
    start = console.mark()
    console.send("tcmd vol_spk 150")
    console.wait(r"\nNo connection for volume control", start=start)
    peer = peers()
    console.send(f"call {peer.uri}")
    peer.wait_event("CALL_ESTABLISHED")
    time.sleep(1)
    levels = {}
    for percent in (50, 150):
        start = console.mark()
        console.send(f"tcmd vol_spk {percent}")
        time.sleep(0.5)
        levels[percent] = rms(record_loudspeaker(console.pulse, 2))
        assert "No connection" not in console.text()[start:]
    assert levels[150] > 2.5 * levels[50], levels
    console.send("tcmd vol_mic 100")
    console.send("hangup")
    peer.wait_event("CALL_CLOSED")
    assert "No connection for volume control" not in console.text()[start:]


def test_every_call_end_is_reported_with_its_reason(console, peers):
    peer = peers()
    console.send(f"call {peer.uri}")
    peer.wait_event("CALL_ESTABLISHED")
    start = console.mark()
    peer.hangup()
    # The line is complete as soon as the call ends, with no message after
    # it: a journal records a line only when it ends.
    console.wait(rf"\nCall 1 from pc:\* to {re.escape(peer.uri)} cleared: remote user\n", start=start)
    console.send("tcmd sndtest 1000 50")
    console.wait(r"\nActivating test signal 1000Hz, level 50%\n", start=start)
    assert "\n\n" not in console.text()[start:]

    busy = peers("busy", answer="manual")
    console.send(f"call {busy.uri}")
    busy.wait_event("CALL_INCOMING")
    busy.hangup()
    console.wait(rf"\nCall 2 from pc:\* to {re.escape(busy.uri)} cleared: busy", start=start)

    console.send(f"call sip:nobody@{ADDRESS}:5999;transport=tcp")
    console.wait(r"\nCall 3 from pc:\* to sip:nobody@.* cleared: unreachable", start=start)

    console.send("calls")
    console.wait("No calls.", start=start)
    for token in "123":
        assert len(re.findall(rf"\nCall {token} from .* cleared: ", console.text()[start:])) == 1


def test_commands_survive_abandoned_fragments_and_nul_bytes(console):
    start = console.mark()
    console.send("x", end="")  # a client that forgot the line's end, and went
    time.sleep(0.05)
    console.send("calls")
    console.wait("No calls.", start=start)
    # One that left its fragment and stays while another client writes.
    fd = os.open(console.pipe, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, b"hang")
        time.sleep(1.5)
        console.send("calls")
        console.wait("No calls.(.|\n)*No calls.", start=start)
    finally:
        os.close(fd)
    assert "Unknown command" not in console.text()[start:]
    console.send("calls\0hangup")
    console.send("help")
    console.wait("Commands:", start=start)
    assert "No active call" not in console.text()[start:]
    assert console.text()[start:].count("No calls.") == 3


def test_help_and_what_the_console_refuses(sandbox, ns, pulse, console):
    start = console.mark()
    console.send("help")
    console.wait(r"vol_spk N", start=start)
    shown = console.text()[start:]
    for word in ("tr_on", "tr_off", "tr_auto", "duplex", "simplex", "sndtest F [L]", "vol_mic N", "vol_spk N",
                 "hangup [ --call <token> ]"):
        assert word in shown, word

    binary = built("PARLOD", "build/parlod/parlod")
    for args in (["--no-such-option"], ["stray"]):
        r = subprocess.run([binary, *args], env=sandbox.env(pulse.env()), capture_output=True, text=True, timeout=30)
        assert r.returncode == 1, args
        assert "Usage:" in r.stderr, args


def test_a_directory_in_place_of_the_pipe(sandbox, ns, pulse):
    c = Console(sandbox, ns, pulse)
    # An empty one is replaced by the pipe.
    os.unlink(c.pipe)
    os.mkdir(c.pipe)
    c.wait_for_reader()
    c.send("calls")
    c.wait("No calls.")
    # One with something in it is kept; the console cannot go on.
    keep = sandbox.path("run/keep")
    os.mkdir(keep)
    sandbox.write("run/keep/data", "x")
    os.unlink(c.pipe)
    os.rename(keep, c.pipe)
    assert c.proc.wait(timeout=20) == 1
    c.wait(re.escape(c.pipe))  # the reader of its output may still be at work
    assert os.path.exists(os.path.join(c.pipe, "data"))


def test_output_to_a_closed_pipe_does_not_end_the_console(sandbox, ns, pulse):
    """Started as a shell or a service manager may start it, with SIGPIPE at
    its default disposition, and its output's reader gone."""
    binary = built("PARLOD", "build/parlod/parlod")
    proc = subprocess.Popen(ns.cmd([binary, "--sip-port", "5060", "--sip-listen", ADDRESS]),
                            env=sandbox.env(pulse.env()), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, restore_signals=True)
    try:
        assert sandbox.notify.wait_for("READY=1", timeout=20)
        proc.stdout.close()
        pipe = sandbox.path("run/parlod-cli")
        wait_for_reader(pipe)
        for line in ("help", "calls", "tcmd sndtest 2001"):
            fd = os.open(pipe, os.O_WRONLY | os.O_NONBLOCK)
            os.write(fd, (line + "\n").encode())
            os.close(fd)
            time.sleep(0.2)
        time.sleep(0.5)
        assert proc.poll() is None
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


# Each host once, each direction once: which description names the host
# (offer or answer) is the SDP unit tests' concern, and the latch's
# behaviour the RTP session's.
@pytest.mark.parametrize("host, direction", [("localhost", "outgoing"), ("nosuchhost.invalid", "incoming")])
def test_peer_that_names_a_host_for_its_media(duplex, console, ns, host, direction):
    """A peer whose description gives a host name instead of an address. One
    that resolves (here through /etc/hosts) gets our media at once; one that
    does not, once its own media has come."""
    ua = RawUa(ns, rtp_address="127.0.0.1")  # where "localhost" leads
    try:
        description = ua.offer(host=host)
        if direction == "incoming":
            assert ua.call(description) == 200
            console.wait("incoming call at")
        else:
            console.send(f"call {ua.uri}")
            ua.accept(description)
        received = rtp.Receiver(ua.rtp)
        time.sleep(1)
        speaks = time.monotonic()
        tone = rtp.encode(int(8000 * math.sin(2 * math.pi * PEER_HZ * k / 8000)) for k in range(rtp.FRAME))
        sender = rtp.PacedSender(ua.rtp, ua.rtp_peer(), lambda k: tone, 250)
        heard = record_loudspeaker(console.pulse)
        sender.join()
        received.stop()

        before = [p for p in received.packets if p[0] < speaks]
        after = [p for p in received.packets if p[0] > speaks + 0.5]
        if host == "localhost":
            assert len(before) >= 10
        else:
            assert not before
        assert len(after) >= 50
        # Symmetric: from the socket our media goes to.
        assert {source for _, source, _ in received.packets} == {ua.rtp_peer()}
        assert abs(tone_frequency(heard) - PEER_HZ) < 15

        start = console.mark()
        if direction == "incoming":
            assert ua.bye() == 200
            console.wait(r"cleared: remote user", start=start)
        else:
            console.send("hangup")
            ua.answer_bye()
            console.wait(r"cleared: local user", start=start)
    finally:
        ua.close()
