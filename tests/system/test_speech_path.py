"""The speech path of a call: the echo canceller's GPIO line and speaker
state file following the far end's speech, the stored volumes, codec
pruning between two network legs, and the daemon's bell handing the path
over through a running console."""

import math
import os
import re
import struct
import threading
import time
import wave

import pytest

from conftest import daemon_holds_gpio
from sim.audio import rtp
from sim.peers.sip_peers import ADDRESS, Baresip, RawUa, tone_frequency
from sim.sandbox.pulse import PulseServer
from test_console import Console, record_loudspeaker

TONE = rtp.encode(int(8000 * math.sin(2 * math.pi * 1000 * k / 8000)) for k in range(160))
SILENCE = rtp.SILENCE


class RtpSender:
    def __init__(self, ua):
        self.ua, self.stream = ua, rtp.Stream()
        self.peer = ua.rtp_peer()

    def send(self, payload, frames, pace=0.02):
        for _ in range(frames):
            self.ua.rtp.sendto(self.stream.packet(payload), self.peer)
            time.sleep(pace)


@pytest.fixture
def pulse(sandbox):
    return sandbox.attach(PulseServer(sandbox.path("pulse")))


def wait_for(cond, timeout=10):
    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def switching_console(sandbox, ns, pulse, **kw):
    """A console that switches the speech path on GPIO 49: (chip, console,
    the path of its state file)."""
    sandbox.write("etc/parlod.conf", "gpio=49\n")
    chip = sandbox.gpio()
    return chip, Console(sandbox, ns, pulse, **kw), sandbox.path("var/run/parlod.spk")


def test_far_end_speech_switches_the_path(sandbox, ns, pulse):
    chip, console, spk = switching_console(sandbox, ns, pulse)
    ua = RawUa(ns)
    try:
        assert chip.line(49) == ("out", 1)  # the idle level
        assert ua.call() == 200
        wait_for(lambda: os.path.exists(spk))
        assert oct(os.stat(spk).st_mode & 0o777) == "0o444"
        rtp = RtpSender(ua)
        rtp.send(SILENCE, 10)
        assert open(spk).read() == "0" and chip.line(49)[1] == 1

        # The far end speaks: the line goes to its active level, "1".
        rtp.send(TONE, 25)
        wait_for(lambda: chip.line(49)[1] == 0 and open(spk).read() == "1")
        rtp.send(TONE, 25)
        # It falls silent: back to idle, "0".
        rtp.send(SILENCE, 25)
        wait_for(lambda: chip.line(49)[1] == 1 and open(spk).read() == "0")

        assert ua.bye() == 200
        wait_for(lambda: not os.path.exists(spk))  # gone with the media
        assert chip.line(49)[1] == 1
    finally:
        ua.close()
        assert console.stop() == 0


def test_a_peer_that_stops_sending_is_heard_falling_silent(sandbox, ns, pulse):
    """Some far ends send nothing while they are quiet, or while they hold
    the call: the path must not stay on the loudspeaker."""
    chip, console, spk = switching_console(sandbox, ns, pulse)
    ua = RawUa(ns)
    try:
        assert ua.call() == 200
        wait_for(lambda: os.path.exists(spk))
        rtp = RtpSender(ua)
        rtp.send(TONE, 30)
        wait_for(lambda: chip.line(49)[1] == 0 and open(spk).read() == "1")
        wait_for(lambda: chip.line(49)[1] == 1 and open(spk).read() == "0", timeout=5)
        assert ua.bye() == 200
    finally:
        ua.close()
        assert console.stop() == 0


def test_a_peer_that_speaks_on_holds_the_speaking_state(sandbox, ns, pulse):
    """Simplex, and a far end whose media comes from another address than
    it announced, speaking without a pause."""
    chip, console, spk = switching_console(sandbox, ns, pulse, listen=None)
    peer = Baresip(ns, sandbox.root, address="127.0.0.1", tone=700)
    try:
        console.send(f"call {peer.uri}")
        peer.wait_event("CALL_ESTABLISHED")
        wait_for(lambda: os.path.exists(spk) and open(spk).read() == "1" and chip.line(49)[1] == 0)
        time.sleep(1)
        assert open(spk).read() == "1" and chip.line(49)[1] == 0
        console.send("hangup")
        peer.wait_event("CALL_CLOSED")
        wait_for(lambda: not os.path.exists(spk))
        assert chip.line(49)[1] == 1
    finally:
        peer.close()
        assert console.stop() == 0


# The reading of each value is the unit tests' (StoredVolume); here that
# the console reads the file at each call and says what it finds, for
# either key, and what only the whole file shows.
VOLUME_CASES = [
    ("mic=150\nspk=50\n", None),
    ("mic=151\n", r"\nmic volume out of range"),
    ("mic\n", r"\nInvalid format of /etc/parlod_vol.conf"),
    ("spk=-5\n", r"\nspk volume out of range"),
    (b"\x00\xff\xfe binary", None),
    ("x" * 10000 + "\nmic=200\n", None),  # beyond what is read: no key
]


def test_test_tone_on_the_loudspeaker(sandbox, ns, pulse):
    console = Console(sandbox, ns, pulse)
    ua = RawUa(ns)
    try:
        assert ua.call() == 200
        # Media start resets the tone: wait for it (it opens the state file).
        wait_for(lambda: os.path.exists(sandbox.path("var/run/parlod.spk")))
        start = console.mark()
        console.send("tcmd sndtest 1000 50")
        console.wait(r"\nActivating test signal 1000Hz, level 50%", start=start)
        # The loudspeaker side plays the tone in place of what arrives.
        sender = threading.Thread(target=RtpSender(ua).send, args=(SILENCE, 200))
        sender.start()
        path = record_loudspeaker(pulse, seconds=3)
        sender.join()
        assert abs(tone_frequency(path) - 1000) < 15
        assert 0.35 < peak(path) / 32767 < 0.65  # half scale
        # It plays on while the far end sends nothing.
        assert abs(tone_frequency(record_loudspeaker(pulse, seconds=2)) - 1000) < 15
        start = console.mark()
        console.send("tcmd sndtest 2001")
        console.wait(r"\nRequested frequency is too high, aborting\nDisabling test signal", start=start)
        # Numbers beyond 32 bits, or negative, are not taken modulo 2^32.
        start = console.mark()
        for command in ("sndtest 4294968296", "sndtest -1", "sndtest 1000 4294967346", "vol_spk 4294967396"):
            console.send(f"tcmd {command}")
        console.wait(r"(?s)\nRequested frequency is too high.*\nRequested frequency is too high.*"
                     r"\nRequested level \(%\) is too high.*\nVolume percentage out of range", start=start)
        assert "Activating" not in console.text()[start:]
        assert ua.bye() == 200
    finally:
        ua.close()
        assert console.stop() == 0


def peak(path):
    with wave.open(path) as w:
        n = w.getnframes()
        samples = struct.unpack(f"<{n * w.getnchannels()}h", w.readframes(n))
    middle = samples[len(samples) // 4:3 * len(samples) // 4]
    return max(abs(x) for x in middle)


def test_stored_volumes(sandbox, ns, pulse):
    console = Console(sandbox, ns, pulse)
    ua = RawUa(ns)
    try:
        for text, message in VOLUME_CASES:
            sandbox.write("etc/parlod_vol.conf", text)
            start = console.mark()
            assert ua.call() == 200, text
            console.wait("incoming call at", start=start)
            time.sleep(0.5)
            assert ua.bye() == 200
            time.sleep(0.3)
            shown = console.text()[start:]
            for m in (r"\nmic volume out of range", r"\nspk volume out of range", r"\nInvalid mic volume",
                      r"\nInvalid spk volume", r"\nInvalid format of", r"\nFailed to set"):
                assert (re.search(m, shown) is not None) == (m == message or (message or "").startswith(m)), \
                    (text, m, shown)
    finally:
        ua.close()
        assert console.stop() == 0


def test_two_network_legs_keep_the_common_codec(sandbox, ns, pulse):
    """Party A answers GSM only: party B is then offered GSM only, so the
    call needs no transcoding."""
    console = Console(sandbox, ns, pulse)
    a, b = RawUa(ns), RawUa(ns)
    try:
        console.send(f"call sip:a@{ADDRESS}:{a.port} sip:b@{ADDRESS}:{b.port}")
        invite_a = receive_invite(a)
        assert " 0 " in re.search(r"m=audio \d+ RTP/AVP([ \d]+)", invite_a).group(1) + " "
        answer(a, invite_a, payload=3, name="GSM/8000")
        invite_b = receive_invite(b)
        formats = re.search(r"m=audio \d+ RTP/AVP([ \d]+)", invite_b).group(1).split()
        assert "3" in formats and "0" not in formats
    finally:
        a.close()
        b.close()
        console.stop()


def receive_invite(ua, timeout=10):
    ua.sock.settimeout(timeout)
    while True:
        data, ua.invite_from = ua.sock.recvfrom(65536)
        text = data.decode(errors="replace")
        if text.startswith("INVITE "):
            return text


def answer(ua, invite, payload, name):
    head, _, _ = invite.partition("\r\n\r\n")
    hdr = {}
    for line in head.split("\r\n")[1:]:
        k, _, v = line.partition(":")
        hdr.setdefault(k.strip().lower(), v.strip())
    sdp = "\r\n".join(["v=0", f"o=raw 1 1 IN IP4 {ADDRESS}", "s=raw", f"c=IN IP4 {ADDRESS}", "t=0 0",
                       f"m=audio {ua.rtp_port} RTP/AVP {payload}", f"a=rtpmap:{payload} {name}", ""])
    resp = "\r\n".join(["SIP/2.0 200 OK", f"Via: {hdr['via']}", f"From: {hdr['from']}", f"To: {hdr['to']};tag=ans",
                        f"Call-ID: {hdr['call-id']}", f"CSeq: {hdr['cseq']}",
                        f"Contact: <sip:raw@{ADDRESS}:{ua.port}>", "Content-Type: application/sdp",
                        f"Content-Length: {len(sdp)}", "", sdp])
    ua.sock.sendto(resp.encode(), ua.invite_from)


def test_bell_handshake_through_the_console(sandbox, ns, pulse, probe):
    chip = daemon_holds_gpio(sandbox, devtype=0, counts=(7, 4, 1, 0))
    sandbox.write("etc/parlod.conf", "gpio=49\ndefstate=0\n")
    sandbox.write("bin/button_bell", "#!/bin/sh\necho ring >> \"$KEL_ROOT/bell.log\"\n", mode=0o755)
    console = Console(sandbox, ns, pulse)
    try:
        start = console.mark()
        t0 = time.monotonic()
        assert probe("bell", 1, env=pulse.env())["result"] == 0
        wait_for(lambda: sandbox.state().get("pendingbell")[1] == 0, timeout=30)
        took = time.monotonic() - t0
        assert "did not hand" not in console.text()[start:]
        assert open(sandbox.path("bell.log")).read() == "ring\n"
        # The console forced its line on and off, then let it go.
        driven = chip.values(49)
        assert 1 in driven and 0 in driven[driven.index(1):]
        assert took < 3  # no handshake wait ran out
    finally:
        assert console.stop() == 0
