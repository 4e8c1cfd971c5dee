"""The console's SIP media against baresip: G.711 A-law, the codec order of
the configuration, and SRTP with SDES keys, with the packets on the wire
looked at through a raw socket in the test's network namespace."""

import math
import os
import re
import shutil
import socket
import struct
import threading
import time

import pytest

from intercoms import make_bus, start_console, terminal_files, wait_states
from sim.audio import rtp
from sim.devices.icbus import tone_frequency as bus_frequency
from sim.peers.sip_peers import ADDRESS, RawUa, tone_frequency
from test_console import MIC_HZ, PEER_HZ, Console, consoles, peers, pulse, record_loudspeaker  # noqa: F401 (fixtures)

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("baresip"),
                                reason="needs root (network namespaces) and baresip")

ETH_P_ALL = 0x0003
PACKET_HOST = 0


def near(value, want):
    return abs(value - want) < want * 0.03


class Wire:
    """The UDP datagrams that cross the namespace's loopback (where all of
    the test's traffic goes), as (source port, destination port, payload),
    each once."""

    def __init__(self, ns):
        self.sock = ns.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.datagrams = []
        self._lock = threading.Lock()
        self._stop = False
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while not self._stop:
            try:
                frame, where = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            # Loopback shows each packet going out and coming in.
            if where[2] != PACKET_HOST or len(frame) < 14 + 20 or frame[12:14] != b"\x08\x00":
                continue
            ip = frame[14:]
            if ip[9] != socket.IPPROTO_UDP:
                continue
            udp = ip[(ip[0] & 0x0F) * 4:]
            source, destination = struct.unpack("!HH", udp[:4])
            with self._lock:
                self.datagrams.append((source, destination, bytes(udp[8:])))

    def close(self):
        self._stop = True
        self._thread.join(timeout=5)
        self.sock.close()

    def rtp(self, source=None, destination=None):
        """The RTP-looking payloads (version 2) between those ports."""
        with self._lock:
            return [d for s, t, d in self.datagrams
                    if (source is None or s == source) and (destination is None or t == destination)
                    and len(d) >= 12 and d[0] >> 6 == 2 and 5060 not in (s, t)]


def tone_share(samples, hz):
    """How much of the sound's power is at that frequency (Goertzel): about
    1 for a clean tone, near 0 for noise or another tone."""
    n = len(samples)
    if not n:
        return 0.0
    w = 2 * math.pi * hz / rtp.RATE
    coeff = 2 * math.cos(w)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    total = sum(x * x for x in samples)
    return 2 * power / (n * total) if total else 0.0


def g711(packets, law, frames=100):
    """The samples of the last frames of packets, their payloads taken as
    160 bytes of G.711 after a 12-byte header (whatever they really are)."""
    decode = rtp.decode_alaw if law == "PCMA" else rtp.decode
    samples = []
    for p in packets[-frames:]:
        samples += decode(p[12:12 + rtp.FRAME])
    return samples


def console_rtp_port(console):
    ports = console.rtp_ports()
    assert len(ports) == 1, ports
    return ports[0]


def call(console, peer, direction):
    """A call between the console and the peer, placed by whichever side
    direction names; waits until it is up."""
    if direction == "calling":
        console.send(f"call {peer.uri}")
        console.wait(rf"Started call from pc:\* to {peer.uri}")
    else:
        peer.dial(f"sip:parlod@{ADDRESS}:5060")
        console.wait(r"incoming call at .* from sip:")
    peer.wait_event("CALL_ESTABLISHED")


def hang_up(console, peer):
    console.send("hangup")
    console.wait(r"Call \d+ from .* cleared: local user")
    peer.wait_event("CALL_CLOSED")


def heard_both_ways(console, peer, wire, direction):
    """A call in which each side hears the other's tone: the console's RTP
    and the peer's, as the wire carried them."""
    call(console, peer, direction)
    ours = console_rtp_port(console)
    time.sleep(1)
    assert near(tone_frequency(record_loudspeaker(console.pulse, 2)), PEER_HZ)
    sent, got = wire.rtp(source=ours), wire.rtp(destination=ours)
    hang_up(console, peer)
    assert near(tone_frequency(peer.received()[-1]), MIC_HZ)
    assert len(sent) > 50 and len(got) > 50
    return sent, got


@pytest.fixture
def wire(ns):
    w = Wire(ns)
    yield w
    w.close()


def settings(sandbox, **keys):
    # The far end's tone never stops: in simplex mode it would mute the
    # microphone for the whole call.
    sandbox.write("etc/parlod.conf", "duplex=1\n" + "".join(f"{k}={v}\n" for k, v in keys.items()))


@pytest.mark.parametrize("direction", ["calling", "called"])
def test_a_law_only_peer(sandbox, ns, consoles, peers, wire, direction):
    settings(sandbox)
    console = consoles()
    sent, got = heard_both_ways(console, peers(audio_codecs=("PCMA",)), wire, direction)
    # A-law on the wire both ways, and the tone in it as A-law.
    assert {p[1] & 0x7F for p in sent} == {8} and {p[1] & 0x7F for p in got} == {8}
    assert tone_share(g711(sent, "PCMA"), MIC_HZ) > 0.5
    assert tone_share(g711(sent, "PCMU"), MIC_HZ) < 0.2  # the detector tells the laws apart
    assert tone_share(g711(got, "PCMA"), PEER_HZ) > 0.5


def test_codec_order_of_the_configuration(sandbox, ns, pulse):
    """Offered and answered in the configured order; names the console does
    not know are said at start and left out."""
    def offered(console, ua):
        console.send(f"call {ua.uri}")
        invite = ua.receive_request("INVITE")
        ua.reply(invite, 486, "Busy Here")
        console.wait(r"cleared: busy")
        return re.search(r"m=audio \d+ RTP/AVP ([\d ]+)", invite[1]).group(1).split()

    def answered(ua, payloads):
        assert ua.call(body=ua.offer(payloads=payloads)) == 200
        fmts = re.search(r"m=audio \d+ RTP/AVP ([\d ]+)", ua.answer).group(1).split()
        assert ua.bye() == 200
        return fmts

    every = ((3, "GSM/8000"), (8, "PCMA/8000"), (0, "PCMU/8000"))
    sandbox.write("etc/parlod.conf", "")
    console = Console(sandbox, ns, pulse)
    ua = RawUa(ns)
    try:
        assert offered(console, ua) == ["0", "8", "3", "101"]
        assert answered(ua, every) == ["0", "8", "3", "101"]
    finally:
        ua.close()
        assert console.stop() == 0

    sandbox.write("etc/parlod.conf", "sip_codecs=pcma, G729 GSM\n")
    console = Console(sandbox, ns, pulse)
    console.wait_for_reader()  # the first console's readiness said nothing of this one
    ua = RawUa(ns)
    try:
        console.wait(r"\nsip_codecs: G729: no such codec, left out")
        assert offered(console, ua) == ["8", "3", "101"]
        assert answered(ua, every) == ["8", "3", "101"]
        # A µ-law-only peer has nothing in common with it.
        assert ua.call(body=ua.offer(payloads=((0, "PCMU/8000"),))) == 488
    finally:
        ua.close()
        assert console.stop() == 0


def test_a_law_only_peer_and_an_intercom(sandbox, ns, peers):
    """The bus speaks µ-law and GSM only: the call is transcoded through raw
    PCM, and the intercom hears the peer's tone."""
    terminal_files(sandbox)
    bus = make_bus(sandbox, rs12=dict(tone=900, cpu=5, a=40, b=200))
    console = start_console(sandbox, ns)
    try:
        wait_states(sandbox, lambda t: "rs12=" in t)
        ic = bus.intercoms[12]
        dispatcher = peers("dispatcher", audio_codecs=("PCMA",))
        dispatcher.dial(f"sip:rs12@{ADDRESS}:5060")
        console.wait(r"incoming call at .* from sip:dispatcher@.* to rs485:rs12")
        dispatcher.wait_event("CALL_ESTABLISHED")
        assert bus.wait_for(lambda: len(ic.heard) >= 100, timeout=15)
        assert {len(h) for h in ic.heard_frames()} == {160}
        assert near(bus_frequency(ic.heard_samples()[-8000:]), PEER_HZ)
        # Held and resumed: the renewed offers keep the A-law in use,
        # though the bus has none.
        for command in ("hold", "resume"):
            dispatcher.command(command)
            time.sleep(0.5)
        # baresip updates its stream for each renewed offer that is answered.
        deadline = time.monotonic() + 10
        while dispatcher.log().split("call: hold", 1)[-1].count("stream: update 'audio'") < 2:
            assert time.monotonic() < deadline, dispatcher.log()
            time.sleep(0.1)
        heard = len(ic.heard)
        assert bus.wait_for(lambda: len(ic.heard) >= heard + 50, timeout=15)
        assert near(bus_frequency(ic.heard_samples()[-8000:]), PEER_HZ)
        dispatcher.hangup()
        console.wait(r"cleared: remote user")
    finally:
        assert console.stop() == 0


# (the console's sip_srtp, baresip's mediaenc, the calls' direction)
SRTP_CALLS = [
    ("optional", "srtp", "calling"),
    ("optional", "srtp", "called"),
    ("optional", "srtp-mand", "called"),
    ("mandatory", "srtp-mand", "calling"),
    ("mandatory", "srtp-mand", "called"),
    ("mandatory", "srtp", "called"),
]


@pytest.mark.parametrize("mode,mediaenc,direction", SRTP_CALLS)
def test_srtp_call_carries_audio_and_nothing_plain(sandbox, ns, consoles, peers, wire, mode, mediaenc, direction):
    settings(sandbox, sip_srtp=mode)
    console = consoles()
    sent, got = heard_both_ways(console, peers(mediaenc=mediaenc), wire, direction)
    # Every packet each way carries the 80-bit tag, and what would be
    # its G.711 holds no trace of the tone.
    assert {len(p) for p in sent} == {12 + 160 + 10}, {len(p) for p in sent}
    assert {len(p) for p in got} == {12 + 160 + 10}, {len(p) for p in got}
    for law in ("PCMU", "PCMA"):
        assert tone_share(g711(sent, law), MIC_HZ) < 0.05
        assert tone_share(g711(got, law), PEER_HZ) < 0.05
    assert "protected by SRTP, AES_CM_128_HMAC_SHA1_80" in console.text()
    assert "failed the SRTP check" not in console.text()


def test_optional_srtp_with_a_plain_peer_is_plain(sandbox, ns, consoles, peers, wire):
    """Best effort: a peer without SRTP gets plain RTP, both ways, and the
    look at the wire finds the tones in it."""
    settings(sandbox, sip_srtp="optional")
    console = consoles()
    sent, got = heard_both_ways(console, peers(), wire, "calling")
    assert {len(p) for p in sent} == {12 + 160}
    assert "in plain RTP" in console.text()
    assert tone_share(g711(sent, "PCMU"), MIC_HZ) > 0.5
    assert tone_share(g711(got, "PCMU"), PEER_HZ) > 0.5


def test_mandatory_srtp_refuses_plain_peers(sandbox, ns, consoles, peers):
    settings(sandbox, sip_srtp="mandatory")
    console = consoles()
    peer = peers()
    start = console.mark()
    peer.dial(f"sip:parlod@{ADDRESS}:5060")
    closed = peer.wait_event("CALL_CLOSED")
    assert "488" in str(closed), closed
    console.wait(r"\nCall from sip:peer@\S+ to parlod refused: 488 .*sip_srtp is mandatory", start=start)
    assert "incoming call at" not in console.text()[start:]

    # Calling it fails, and says why.
    start = console.mark()
    console.send(f"call {peer.uri}")
    console.wait(r"\nCall \d+ from pc:\* to \S+ cleared: refused: 488 .*sip_srtp is mandatory", start=start)

    # A peer that answers the offer of SRTP with plain RTP gets no call.
    ua = RawUa(ns)
    try:
        start = console.mark()
        console.send(f"call {ua.uri}")
        ua.accept()
        assert "RTP/SAVP" in ua.answer and "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" in ua.answer
        ua.answer_bye()
        console.wait(r"\nCall \d+ from pc:\* to \S+ cleared: media failed.*no SRTP key", start=start)
    finally:
        ua.close()


def test_srtp_setting_that_is_no_mode(sandbox, ns, consoles, peers):
    settings(sandbox, sip_srtp="yes")
    console = consoles()
    console.wait(r"\nsip_srtp: yes: neither off, optional nor mandatory; SRTP off")
    peer = peers()
    call(console, peer, "called")
    hang_up(console, peer)
