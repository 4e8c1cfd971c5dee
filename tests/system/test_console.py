"""The voice console end to end: parlod with its command pipe, its PC sound
endpoint on a real PulseAudio server, and baresip as the far end, all in a
private network namespace."""

import errno
import os
import re
import signal
import subprocess
import threading
import time

import pytest

from conftest import built
from sim.pulse import PulseServer
from sim.sip_peers import ADDRESS, Baresip, RawUa, tone_frequency

MIC_HZ = 440  # the console's microphone: PulseAudio's sine source
PEER_HZ = 700  # what baresip sends


class Output:
    """Everything a program writes, as it comes: the console's messages
    begin with a line end instead of ending with one, so the last of them
    is no complete line until the next."""

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


class Console:
    def __init__(self, sandbox, ns, pulse, *args):
        self.sb, self.ns, self.pulse = sandbox, ns, pulse
        binary = built("PARLOD", "build/parlod/parlod")
        self.proc = subprocess.Popen(ns.cmd([binary, "--sip-port", "5060", "--sip-listen", ADDRESS, *args]),
                                     env=sandbox.env(pulse.env()), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.out = Output(self.proc.stdout)
        assert sandbox.notify.wait_for("READY=1", timeout=20), self.text()
        deadline = time.monotonic() + 10
        while not os.path.exists(self.pipe):
            assert time.monotonic() < deadline, "no command pipe"
            time.sleep(0.05)

    @property
    def pipe(self):
        return self.sb.path("run/parlod-cli")

    def send(self, line):
        """As a local client does: open, write a whole line, close."""
        fd = os.open(self.pipe, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, (line + "\n").encode())
        finally:
            os.close(fd)

    def wait(self, pattern, timeout=15, start=0):
        return self.out.wait(pattern, timeout, start)

    def mark(self):
        return len(self.out.text)

    def text(self):
        return self.out.text

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=30)


@pytest.fixture
def pulse(sandbox):
    return sandbox.attach(PulseServer(sandbox.path("pulse"), mic_frequency=MIC_HZ))


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


def record_loudspeaker(pulse, seconds=2):
    """What the console plays, from the null sink's monitor."""
    path = os.path.join(pulse.dir, f"spk-{time.monotonic_ns()}.wav")
    rec = subprocess.Popen(["parec", "-d", "spk.monitor", "--file-format=wav", "--rate=8000", "--channels=1",
                            "--latency-msec=20", path], env=dict(os.environ, **pulse.env()))
    time.sleep(seconds)
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
    deadline = time.monotonic() + 10
    while not os.path.exists(c.pipe):
        assert time.monotonic() < deadline, "the pipe was not made anew"
        time.sleep(0.1)
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


def test_sound_server_gone_during_a_call(console, peers):
    peer = peers()
    console.send(f"call {peer.uri}")
    peer.wait_event("CALL_ESTABLISHED")
    console.pulse.stop()
    peer.wait_event("CALL_CLOSED", timeout=30)
    start = console.mark()
    console.send("calls")
    console.wait("No calls", start=start)
