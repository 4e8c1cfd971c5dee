"""The SIP endpoint against baresip, through the sip_probe driver, each test in a
network namespace of its own (root needed)."""

import math
import os
import re
import shutil
import socket
import struct
import time

import pytest

from conftest import built
from sim.audio import rtp
from sim.peers.sip_peers import ADDRESS, Baresip, Probe, RawUa, tone_frequency

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("baresip"),
                                reason="needs root (network namespaces) and baresip")

PROBE_TONE, PEER_TONE = 1000, 700


@pytest.fixture(scope="session")
def probe_binary():
    return built("SIP_PROBE", "build/tests/tools/sip_probe")


@pytest.fixture
def peers(ns, tmp_path):
    """Starts baresip instances: peer(name, sip_port, ctrl_port, ...)."""
    started = []

    def start(name="peer", sip_port=5090, ctrl_port=5100, **kw):
        b = Baresip(ns, str(tmp_path), name, sip_port, ctrl_port, tone=PEER_TONE, **kw)
        started.append(b)
        return b

    yield start
    for b in started:
        b.close()


@pytest.fixture
def probe(ns, tmp_path, probe_binary):
    """Starts the probe (probe(*options)); at the end it must quit cleanly and
    have said nothing alarming: a call over UDP gets no keep-alive message."""
    started = []

    def start(*args):
        p = Probe(ns, probe_binary, str(tmp_path), "--tone", PROBE_TONE, *args)
        started.append(p)
        return p

    yield start
    for p in started:
        assert p.close() == 0, p.stderr()
        said = "\n".join(p.out.all())
        assert "ERROR" not in said and "WARNING" not in said, said


def near(value, want):
    return abs(value - want) < want * 0.03


@pytest.mark.parametrize("codec,name", [("PCMU", "G.711-uLaw-64k"), ("GSM", "GSM-06.10")])
def test_outgoing_call_carries_audio_both_ways(peers, probe, codec, name):
    peer = peers()
    p = probe("--codecs", codec)
    p.send(f"call {peer.uri}")
    p.wait("^call token=1$")
    p.wait(f"^media token=1 format={name}$")
    peer.wait_event("CALL_ESTABLISHED")
    time.sleep(2.5)
    p.send("hangup")
    m = p.wait(r"^cleared token=1 reason=local user frames=(\d+)$")
    assert peer.wait_event("CALL_CLOSED")  # our BYE reached it
    assert int(m.group(1)) >= 50  # a second of the peer's 20 ms frames
    assert near(tone_frequency(p.recording(1)), PEER_TONE)
    assert near(tone_frequency(peer.received()[-1]), PROBE_TONE)


@pytest.mark.parametrize("hangup_by", ["peer", "console"])
def test_incoming_call_is_routed_answered_and_ended(peers, probe, hangup_by):
    peer = peers()
    # Party B is the request URI's user: a route for "rs3" proves it.
    p = probe("--route", "sip:peer@192\\.0\\.2\\.10\trs3=pc:<du>")
    peer.dial(f"sip:rs3@{ADDRESS}")
    p.wait(f"^incoming token=1 from=sip:peer@{ADDRESS} to=pc:rs3$")
    p.wait("^media token=1 format=G.711-uLaw-64k$")
    peer.wait_event("CALL_ESTABLISHED")
    time.sleep(1.5)
    if hangup_by == "peer":
        peer.hangup()
        m = p.wait(r"^cleared token=1 reason=remote user frames=(\d+)$")
    else:
        p.send("hangup")
        m = p.wait(r"^cleared token=1 reason=local user frames=(\d+)$")
        peer.wait_event("CALL_CLOSED")
    assert int(m.group(1)) >= 25
    assert near(tone_frequency(p.recording(1)), PEER_TONE)


def test_second_incoming_call_is_refused_busy_while_one_lasts(peers, probe):
    first = peers("first", 5090, 5100)
    second = peers("second", 5092, 5102)
    p = probe()
    first.dial(f"sip:parlod@{ADDRESS}")
    p.wait("^media token=1 ")
    first.wait_event("CALL_ESTABLISHED")

    second.dial(f"sip:parlod@{ADDRESS}")
    p.wait("^refused token=2$")
    closed = second.wait_event("CALL_CLOSED")
    assert closed["param"].startswith("486 "), closed
    time.sleep(0.5)
    assert not any(line.startswith("cleared token=1") for line in p.out.all())

    first.hangup()
    p.wait("^cleared token=1 reason=remote user")
    # The slot is free again.
    second.dial(f"sip:parlod@{ADDRESS}")
    p.wait("^media token=3 ")
    second.wait_event("CALL_ESTABLISHED")
    second.hangup()
    p.wait("^cleared token=3 reason=remote user")


def test_console_that_ends_hangs_up_first(peers, probe):
    peer = peers()
    p = probe()
    peer.dial(f"sip:parlod@{ADDRESS}")
    p.wait("^media token=1 ")
    peer.wait_event("CALL_ESTABLISHED")
    p.send("quit")
    p.wait("^cleared token=1 reason=shutdown ")
    peer.wait_event("CALL_CLOSED")
    p.wait("^bye$")


def test_outgoing_call_that_fails_or_is_given_up(peers, probe):
    peer = peers(answer="manual")
    p = probe()
    # Turned down while ringing.
    p.send(f"call {peer.uri}")
    peer.wait_event("CALL_INCOMING")
    peer.hangup()
    p.wait("^cleared token=1 reason=busy ")
    # Given up while ringing: CANCEL.
    p.send(f"call {peer.uri}")
    peer.wait_event("CALL_INCOMING")
    p.send("hangup")
    peer.wait_event("CALL_CLOSED")
    p.wait("^cleared token=2 reason=local user ")
    # Nobody there.
    p.send(f"call sip:nobody@{ADDRESS}:5999;transport=tcp")
    p.wait("^cleared token=3 reason=unreachable ")
    # Not an address this endpoint can reach.
    p.send(f"call sip:nobody@{ADDRESS};transport=sctp")
    p.wait("^call failed$")


def test_digits_and_text_from_the_far_end(ns, peers, probe):
    peer = peers()
    p = probe()
    # RFC 4733 events from baresip.
    peer.dial(f"sip:parlod@{ADDRESS}")
    p.wait("^media token=1 ")
    peer.wait_event("CALL_ESTABLISHED")
    for key in "5#":
        peer.command("sndcode", key)
    p.wait("^input token=1 text=5$")
    p.wait("^input token=1 text=#$")
    peer.hangup()
    p.wait("^cleared token=1 ")

    # INFO requests, which baresip does not send with text.
    ua = RawUa(ns)
    try:
        assert ua.call() == 200
        p.wait("^media token=2 ")
        infos = [("text/plain", "tr_on\r\n", 200), ("text/x-console; charset=utf-8", "vol_spk 120", 200),
                 ("application/dtmf-relay", "Signal=#\r\nDuration=160\r\n", 200),
                 ("application/dtmf-relay", "Signal= 1\r\n", 200),
                 ("application/dtmf-relay", "Duration=160\r\n", 400),
                 ("application/json", '{"key": "x"}', 415)]
        for ctype, body, want in infos:
            ua.request("INFO", body=body, ctype=ctype)
            assert ua.response()[0] == want, (ctype, body)
        for text in ("tr_on", "vol_spk 120", "#", "1"):
            p.wait(f"^input token=2 text={text}$")

        # An event's end packet comes three times and counts once; the same
        # from a stranger's address does not count at all.
        target = ua.rtp_peer()
        stranger = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        stranger.bind((ADDRESS, 0))
        for seq, (sock, event, end, ts) in enumerate([(ua.rtp, 7, False, 4000), (ua.rtp, 7, True, 4000),
                                                      (ua.rtp, 7, True, 4000), (ua.rtp, 7, True, 4000),
                                                      (stranger, 9, True, 8000)]):
            payload = struct.pack("!BBH", event, 0x80 if end else 0, 800)
            sock.sendto(struct.pack("!BBHII", 0x80, 101, seq, ts, 0x1234) + payload, target)
        stranger.close()
        p.wait("^input token=2 text=7$")
        time.sleep(0.5)
        inputs = [line for line in p.out.all() if line.startswith("input token=2")]
        assert inputs == [f"input token=2 text={t}" for t in ("tr_on", "vol_spk 120", "#", "1", "7")]
        assert ua.bye() == 200
        p.wait("^cleared token=2 reason=remote user")
    finally:
        ua.close()


def test_incoming_call_without_offer_gets_ours(ns, probe):
    p = probe()
    ua = RawUa(ns)
    try:
        # The offer comes in the 200, the answer in the ACK: GSM chosen.
        answer = ua.offer(((3, "GSM/8000"),), events=None)
        assert ua.call("", ack_body=answer) == 200
        assert re.search(r"m=audio \d+ RTP/AVP 0 8 3 101\r\n", ua.answer), ua.answer
        token = p.wait(r"^media token=(\d+) format=GSM-06.10$").group(1)
        target = ua.rtp_peer()
        for seq in range(50):
            ua.rtp.sendto(struct.pack("!BBHII", 0x80, 3, seq, seq * 160, 0x77) + bytes([0xd0]) + bytes(32), target)
            time.sleep(0.02)
        assert ua.bye() == 200
        frames = int(p.wait(rf"^cleared token={token} reason=remote user frames=(\d+)$").group(1))
        assert frames >= 40

        # An answer with nothing we offered ends the call it would have made.
        start = p.mark()
        assert ua.call("", ack_body=ua.offer(((9, "G722/8000"),))) == 200
        token = p.wait(r"^incoming token=(\d+) from=sip:raw@", start=start).group(1)
        p.wait(rf"^cleared token={token} reason=media failed ", start=start)
        ua.sock.settimeout(10)
        while not ua.sock.recvfrom(65536)[0].startswith(b"BYE "):
            pass
    finally:
        ua.close()


@pytest.mark.parametrize("direction", ["outgoing", "incoming"])
def test_tcp_signalling_socket_gets_keepalive(peers, probe, direction):
    peer = peers()
    p = probe()
    if direction == "outgoing":
        p.send(f"call {peer.uri};transport=tcp")
    else:
        peer.dial(f"sip:parlod@{ADDRESS};transport=tcp")
    p.wait("^media token=1 ")
    peer.wait_event("CALL_ESTABLISHED")
    sockets = p.sockets()
    if direction == "outgoing":
        mine = [s for s in sockets if s["peer"] == f"{ADDRESS}:5090"]
    else:
        mine = [s for s in sockets if s["local"] == f"{ADDRESS}:5060" and s["peer"].startswith(ADDRESS + ":")]
    assert mine, sockets
    for s in mine:
        assert (s["keepalive"], s["idle"], s["intvl"], s["cnt"]) == ("1", "30", "10", "3"), s
    peer.hangup()
    p.wait("^cleared token=1 reason=remote user")


def test_vanished_peer_ends_the_call_and_frees_the_console(peers, probe):
    peer = peers()
    p = probe("--rtp-timeout", 2000)
    p.send(f"call {peer.uri}")
    p.wait("^media token=1 ")
    peer.wait_event("CALL_ESTABLISHED")
    time.sleep(1)
    peer.kill()
    gone = time.monotonic()
    p.wait("^cleared token=1 reason=media failed ", timeout=20)
    # Never before the timeout: the last packet came before the kill.
    assert time.monotonic() - gone >= 1.5

    again = peers("again", 5092, 5102)
    again.dial(f"sip:parlod@{ADDRESS}")
    p.wait("^media token=2 ")
    again.hangup()
    p.wait("^cleared token=2 reason=remote user")


def test_call_on_hold_outlives_the_media_timeout(peers, probe):
    peer = peers()
    p = probe("--rtp-timeout", 2000)
    peer.dial(f"sip:parlod@{ADDRESS}")
    p.wait("^media token=1 ")
    peer.wait_event("CALL_ESTABLISHED")
    assert peer.command("hold")["ok"]
    time.sleep(5)  # baresip sends nothing while it holds
    assert peer.command("resume")["ok"]
    time.sleep(1)
    assert not any(line.startswith("cleared") for line in p.out.all())
    peer.hangup()
    m = p.wait(r"^cleared token=1 reason=remote user frames=(\d+)$")
    assert int(m.group(1)) >= 25  # audio came back after the hold


def test_hold_by_the_peer_stops_our_media_but_not_its(ns, probe):
    p = probe()
    ua = RawUa(ns)
    try:
        assert ua.call() == 200
        token = p.wait(r"^media token=(\d+) ").group(1)
        target = ua.rtp_peer()

        def ours(seconds):
            """How many of our packets come in that time."""
            ua.rtp.settimeout(0.05)
            got, end = 0, time.monotonic() + seconds
            while time.monotonic() < end:
                try:
                    ua.rtp.recv(2048)
                    got += 1
                except socket.timeout:
                    pass
            return got

        assert ours(0.5) > 10
        ua.request("INVITE", body=ua.offer().replace("a=sendrecv", "a=sendonly"))
        status, _, answer = ua.response()
        ua.request("ACK")
        assert status == 200 and "a=recvonly" in answer, answer
        ours(0.2)  # what was on its way
        assert ours(0.5) == 0
        # Music on hold from the peer is still taken.
        for seq in range(40):
            ua.rtp.sendto(struct.pack("!BBHII", 0x80, 0, seq, seq * 160, 0x77) + bytes(160), target)
            time.sleep(0.02)

        ua.request("INVITE", body=ua.offer())
        assert ua.response()[0] == 200
        ua.request("ACK")
        assert ours(0.5) > 10
        assert ua.bye() == 200
        frames = int(p.wait(rf"^cleared token={token} reason=remote user frames=(\d+)$").group(1))
        assert frames >= 30
    finally:
        ua.close()


def test_malformed_requests_leave_the_endpoint_working(ns, peers, probe):
    p = probe()
    junk = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for data in [b"", b"\0" * 16, os.urandom(700), b"INVITE\r\n\r\n", b"SIP/2.0 200 OK\r\n\r\n",
                 b"INVITE sip:parlod@x SIP/2.0\r\nVia: nonsense\r\nCSeq: x\r\n\r\n",
                 b"INVITE sip:parlod@x SIP/2.0\r\nContent-Length: 9999\r\n\r\nv=0",
                 b"OPTIONS sip:parlod@x SIP/2.0\r\nX: " + b"a" * 60000 + b"\r\n\r\n"]:
        junk.sendto(data, (ADDRESS, 5060))
    junk.close()
    stream = ns.socket(socket.AF_INET, socket.SOCK_STREAM)
    stream.connect((ADDRESS, 5060))
    stream.sendall(os.urandom(3000) + b"\r\n\r\nINVITE sip:x SIP/2.0\r\nContent-Length: -1\r\n\r\n")
    stream.close()

    ua = RawUa(ns)
    try:
        broken = ["v=0\r\nm=audio notaport RTP/AVP 0\r\n", "m=audio 4000 RTP/AVP 0\r\n", "v=0\r\nc=IN\r\n",
                  "v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP\r\n", "\0\1\2"]
        for body in broken:
            assert ua.call(body) == 488, body
        # Nothing in common: G.722 only, or audio over IPv6, or no audio.
        assert ua.call(ua.offer(((9, "G722/8000"),))) == 488
        assert ua.call(ua.offer().replace("IN IP4 192.0.2.10", "IN IP6 ::1")) == 488
        assert ua.call(ua.offer().replace("m=audio", "m=video")) == 488
        assert ua.call("hello", ctype="text/plain") == 415
        assert ua.call(contact=False) == 400
        # None of that got as far as a call.
        assert not any(line.startswith("incoming") for line in p.out.all())

        # A good call, then rubbish in it: RTP that is none, a re-INVITE
        # whose offer is broken; one that changes the codec is taken.
        assert ua.call() == 200
        token = p.wait(r"^media token=(\d+) ").group(1)
        target = ua.rtp_peer()
        for data in [b"", b"\x80", b"\x40" * 12, b"\x8f" + b"\0" * 20, b"\x90\0" + b"\0" * 12,
                     b"\xa0\0" + b"\0" * 10 + b"\xff", os.urandom(1500)]:
            ua.rtp.sendto(data, target)
        ua.request("INVITE", body="v=0\r\nm=audio x\r\n")
        assert ua.response()[0] == 488
        ua.request("ACK")
        ua.request("INVITE", body=ua.offer(((3, "GSM/8000"),)))
        assert ua.response()[0] == 200
        ua.request("ACK")
        assert ua.bye() == 200
        p.wait(f"^cleared token={token} reason=remote user")
    finally:
        ua.close()

    # Still answering, with no call slot left taken.
    peer = peers()
    peer.dial(f"sip:parlod@{ADDRESS}")
    token = p.wait(r"^incoming token=(\d+) from=sip:peer@").group(1)
    p.wait(f"^media token={token} ")
    peer.hangup()
    p.wait(f"^cleared token={token} reason=remote user")


def test_peer_may_send_in_any_agreed_codec_and_change_it(ns, probe):
    """A peer that sends unlike us: we prefer GSM, it sends µ-law at 30 ms a
    packet, then offers µ-law only for the rest of the call."""
    p = probe("--codecs", "GSM,PCMU")
    ua = RawUa(ns)
    tone = rtp.encode(int(8000 * math.sin(2 * math.pi * PEER_TONE * k / 8000)) for k in range(240))
    try:
        assert ua.call(ua.offer(((3, "GSM/8000"), (0, "PCMU/8000")))) == 200
        assert re.search(r"m=audio \d+ RTP/AVP 3 0\b", ua.answer), ua.answer
        token = p.wait(r"^media token=(\d+) format=GSM").group(1)
        target = ua.rtp_peer()
        sender = rtp.PacedSender(ua.rtp, target, lambda k: tone, 25, interval=0.03,
                                 stream=rtp.Stream(pt=0, samples=240))
        assert {(pt, len(payload)) for pt, payload in ours(ua, 0.5)} == {(3, 33)}
        sender.join()

        ua.request("INVITE", body=ua.offer(((0, "PCMU/8000"),)))
        status, _, answer = ua.response()
        ua.request("ACK")
        assert status == 200 and re.search(r"m=audio \d+ RTP/AVP 0\b", answer), answer
        ours(ua, 0.2)  # what was on its way
        sender = rtp.PacedSender(ua.rtp, target, lambda k: tone, 25, interval=0.03, stream=sender.stream)
        assert {(pt, len(payload)) for pt, payload in ours(ua, 0.5)} == {(0, 160)}
        sender.join()
        assert ua.bye() == 200
        frames = int(p.wait(rf"^cleared token={token} reason=remote user frames=(\d+)$").group(1))
        # 1.5 s of the peer's speech, 75 frames of 20 ms, half before the
        # change and half after: more than half must be taken, even by a
        # console slowed down by a sanitizer on a loaded machine.
        assert frames >= 40
        assert near(tone_frequency(p.recording(token)), PEER_TONE)
    finally:
        ua.close()


def ours(ua, seconds):
    """(payload type, payload) of our packets that come in that time."""
    ua.rtp.settimeout(0.05)
    got, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            parsed = rtp.parse(ua.rtp.recv(2048))
        except socket.timeout:
            continue
        if parsed:
            got.append((parsed[0], parsed[4]))
    return got
