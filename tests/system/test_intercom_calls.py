"""Calls to intercom units end to end: the voice console with the bus
simulator, a real PulseAudio server as the terminal's sound, baresip as the
dispatcher's phone, and kelvgd's fireman's mode placing the call."""

import os
import shutil
import time

import pytest

from intercoms import control, make_bus, start_console, terminal_files, wait_fifo, wait_no_calls, wait_states
from sim.devices.icbus import CB_CUR, CMD_AUDIO_IN, CMD_AUDIO_OUT, CMD_RESET, CMD_TEST, INP1, SLOT_SELF, tone_frequency
from sim.peers.sip_peers import ADDRESS
from sim.peers.sip_peers import tone_frequency as wav_frequency
from test_console import MIC_HZ, PEER_HZ, peers, pulse, record_loudspeaker  # noqa: F401 (fixtures)

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("baresip"),
                                reason="needs root (network namespaces) and baresip")

IC_HZ = 900  # the intercom's microphone
SPEAKER = "var/run/parlod.spk"


def near(value, want):
    return abs(value - want) < want * 0.03


@pytest.fixture
def bus(sandbox):
    terminal_files(sandbox)
    return make_bus(sandbox, rs3=dict(tone=IC_HZ, cpu=37), rs12=dict(tone=IC_HZ, cpu=5, a=40, b=200))


@pytest.fixture
def console(sandbox, ns, pulse, bus):
    c = start_console(sandbox, ns, pulse)
    wait_states(sandbox, lambda t: "rs3=" in t and "rs12=" in t)
    yield c
    assert c.stop() == 0


def frames_since(bus, t, **kw):
    return bus.sent(since=t, **kw)


def test_local_call_carries_audio_both_ways(sandbox, bus, console):
    ic = bus.intercoms[3]
    console.send("call rs3")
    console.wait(r"Started call from pc:\* to rs485:rs3")
    wait_states(sandbox, lambda t: t.endswith("call=1\n"))

    # Button released: the cabin speaks to the intercom.
    assert bus.wait_for(lambda: len(ic.heard) >= 100, timeout=15)
    t0 = time.monotonic()
    time.sleep(1)
    assert near(tone_frequency(ic.heard_samples()[-8000:]), MIC_HZ)
    out = frames_since(bus, t0, command=CMD_AUDIO_OUT, address=3)
    assert all(len(f.payload) == 161 for f in out)  # poll slot and 160 bytes of G.711
    # Every other audio frame asks the intercom in the call for its status.
    assert sum(f.payload[0] == SLOT_SELF for f in out) >= len(out) // 3
    assert frames_since(bus, t0, command=CMD_AUDIO_IN) == []

    # A self-test asked for now waits for the call's end.
    control(sandbox, "ftst 12\n")

    # Button held: the intercom is heard in the cabin, nothing goes to it.
    ic.status |= CB_CUR
    time.sleep(1)
    t1 = time.monotonic()
    heard = record_loudspeaker(console.pulse, 2)
    assert near(wav_frequency(heard), IC_HZ)
    assert frames_since(bus, t1, command=CMD_AUDIO_OUT) == []
    requests = frames_since(bus, t1, command=CMD_AUDIO_IN, address=3)
    assert len(requests) > 30 and {f.payload[1] for f in requests} == {1}

    # Released again: back to the intercom.
    ic.status &= ~CB_CUR
    t2 = time.monotonic()
    bus.wait_frame(command=CMD_AUDIO_OUT, address=3, since=t2 + 0.2)
    assert bus.sent(command=CMD_TEST) == []

    start = console.mark()
    console.send("hangup")
    console.wait(r"\nMax intercom CPU load:\t37%\nRS485 CRC errors:\t\t0", start=start)
    bus.wait_frame(command=CMD_RESET, address=3, since=t2)
    wait_states(sandbox, lambda t: t.endswith("call=0\n"))
    assert not os.path.exists(sandbox.path(SPEAKER))
    bus.wait_frame(command=CMD_TEST, address=12, since=t2, timeout=10)


def test_network_call_to_an_intercom(sandbox, bus, console, peers):
    ic = bus.intercoms[12]
    dispatcher = peers("dispatcher")
    dispatcher.dial(f"sip:rs12@{ADDRESS}:5060")
    console.wait(r"incoming call at .* from sip:dispatcher@.* to rs485:rs12")
    dispatcher.wait_event("CALL_ESTABLISHED")
    wait_states(sandbox, lambda t: t.endswith("call=2\n"))

    # The phone's G.711 goes to the intercom as it is: 160-byte frames.
    assert bus.wait_for(lambda: len(ic.heard) >= 100, timeout=15)
    assert {len(h) for h in ic.heard_frames()} == {160}
    assert near(tone_frequency(ic.heard_samples()[-8000:]), PEER_HZ)
    # The terminal speaks: the daemon sees it in the speaker state file.
    assert sandbox.read(SPEAKER) == "1"
    # Paced by the intercom (a=40, b=200: every 20 ms).
    t0 = time.monotonic()
    time.sleep(2)
    out = frames_since(bus, t0, command=CMD_AUDIO_OUT, address=12)
    assert 60 <= len(out) <= 115, len(out)

    # A second call to the intercoms waits 4 s for the first, then is refused.
    second = peers("second")
    start = console.mark()
    t1 = time.monotonic()
    second.dial(f"sip:rs3@{ADDRESS}:5060")
    console.wait(r"\nRS485EP busy, connection refused: rs485:rs3", start=start, timeout=15)
    assert time.monotonic() - t1 >= 3.5
    closed = second.wait_event("CALL_CLOSED")
    assert "486" in str(closed), closed
    assert len(ic.heard) > len(out)  # the first call goes on

    # The intercom was never read (the phone never fell silent): no load seen.
    dispatcher.hangup()
    console.wait(r"\nMax intercom CPU load:\t0%\nRS485 CRC errors:\t\t0", start=start)
    bus.wait_frame(command=CMD_RESET, address=12, since=t1)
    assert not os.path.exists(sandbox.path(SPEAKER))
    wait_states(sandbox, lambda t: t.endswith("call=0\n"))


def test_network_peer_that_falls_silent_hears_the_intercom(sandbox, ns, bus, console):
    """Half duplex with a peer that sends nothing while it is quiet (silence
    suppression): the intercom is heard as soon as the peer's audio stops,
    and the peer's audio has the intercom again when it comes back."""
    import math
    from sim.audio import rtp
    from sim.peers.sip_peers import RawUa
    ua = RawUa(ns)
    try:
        assert ua.call(uri=f"sip:rs12@{ADDRESS}:5060") == 200
        target = ua.rtp_peer()
        received = rtp.Receiver(ua.rtp)
        stream = rtp.Stream()
        tone = rtp.encode(8000 * math.sin(2 * math.pi * PEER_HZ * k / 8000) for k in range(160))

        def talk(frames):
            sender = rtp.PacedSender(ua.rtp, target, lambda k: tone, frames, stream=stream)
            sender.join()

        talk(50)
        assert sandbox.read(SPEAKER) == "1"
        t0 = time.monotonic()
        # Quiet: no packets at all.
        time.sleep(1.5)
        assert sandbox.read(SPEAKER) == "0"
        requests = bus.sent(command=CMD_AUDIO_IN, address=12, since=t0)
        assert len(requests) > 20, len(requests)
        assert requests[0].time - t0 < 0.5
        heard = [x for t, _, data in received.packets if t > t0 + 0.5
                 for x in rtp.decode(rtp.parse(data)[4])]
        assert near(tone_frequency(heard), IC_HZ)
        # It speaks again: to the intercom, which is no longer read.
        t1 = time.monotonic()
        talk(25)
        assert sandbox.read(SPEAKER) == "1"
        assert bus.sent(command=CMD_AUDIO_OUT, address=12, since=t1)
        received.stop()
        assert ua.bye() == 200
    finally:
        ua.close()


def test_listen_only_call_hears_the_intercom(sandbox, bus, console, peers):
    dispatcher = peers("dispatcher")
    dispatcher.dial(f"sip:rs1012@{ADDRESS}:5060")
    dispatcher.wait_event("CALL_ESTABLISHED")
    t0 = time.monotonic()
    time.sleep(2.5)
    assert bus.sent(command=CMD_AUDIO_OUT, address=12) == []
    requests = frames_since(bus, t0, command=CMD_AUDIO_IN, address=12)
    assert len(requests) > 30 and {f.payload[1] for f in requests} == {0x81}
    assert sandbox.read(SPEAKER) == "0"
    dispatcher.hangup()
    dispatcher.wait_event("CALL_CLOSED")
    console.wait(r"\nMax intercom CPU load:\t5%\nRS485 CRC errors:\t\t0")
    [heard] = dispatcher.received()
    assert near(wav_frequency(heard), IC_HZ)


def test_network_call_takes_over_a_local_one(sandbox, bus, console, peers):
    console.send("call rs3")
    bus.wait_frame(command=CMD_AUDIO_OUT, address=3)
    dispatcher = peers("dispatcher")
    t0 = time.monotonic()
    dispatcher.dial(f"sip:rs12@{ADDRESS}:5060")
    dispatcher.wait_event("CALL_ESTABLISHED")
    assert time.monotonic() - t0 < 4
    bus.wait_frame(command=CMD_RESET, address=3, since=t0)
    bus.wait_frame(command=CMD_AUDIO_OUT, address=12, since=t0)
    wait_states(sandbox, lambda t: t.endswith("call=2\n"))

    # The console stops in the middle of the call: it ends it as a hang-up.
    t1 = time.monotonic()
    assert console.stop() == 0
    dispatcher.wait_event("CALL_CLOSED")
    assert bus.sent(command=CMD_RESET, address=12, since=t1)
    assert not os.path.exists(sandbox.path(SPEAKER))
    assert not os.path.exists(sandbox.path("run/parlod-ic-states"))


def test_slower_bus_carries_gsm(sandbox, ns, pulse):
    terminal_files(sandbox, ports="ports_mask=3\nports_baud=57600\n")
    bus = make_bus(sandbox, rs3=dict(tone=IC_HZ))
    console = start_console(sandbox, ns, pulse)
    try:
        ic = bus.intercoms[3]
        console.send("call rs3")
        assert bus.wait_for(lambda: len(ic.heard) >= 75, timeout=15)
        assert {len(h) for h in ic.heard_frames()} == {33}
        assert near(tone_frequency(ic.heard_samples()[-8000:]), MIC_HZ)
        ic.status |= CB_CUR
        t0 = time.monotonic()
        heard = record_loudspeaker(console.pulse, 2)
        assert near(wav_frequency(heard), IC_HZ)
        assert {f.payload[1] for f in frames_since(bus, t0, command=CMD_AUDIO_IN)} == {0}
        console.send("hangup")
        console.wait("RS485 CRC errors")
    finally:
        assert console.stop() == 0


def test_calls_that_find_no_intercom_leave_the_slot_free(sandbox, bus, console):
    start = console.mark()
    # No bus for 200; bus 1 is enabled but 70 does not answer: the first
    # fails for want of media, the second goes on without audio.
    console.send("call rs200")
    console.wait(r"Cannot open media of call", start=start)
    console.wait(r"RS485 CRC errors", start=start)
    wait_no_calls(console)
    start = console.mark()
    console.send("call rs485:rs0x46")
    console.wait(r"Started call from pc:\* to rs485:rs0x46", start=start)
    bus.wait_frame(command=CMD_AUDIO_OUT, address=70)
    console.send("hangup")
    console.wait(r"RS485 CRC errors", start=start)
    wait_no_calls(console)
    start = console.mark()
    console.send("call rs3")
    console.wait(r"Started call from pc:\* to rs485:rs3", start=start)
    bus.wait_frame(command=CMD_AUDIO_OUT, address=3, since=time.monotonic())
    assert "busy" not in console.text()[start:]

    # The buses reconfigured under a call: it goes on, or on without them.
    wait_fifo(sandbox)
    control(sandbox, "bauds 57600\n")
    bus.wait_for(lambda: bus._ports[0].termios2()[5] == 57600)
    bus.wait_frame(command=CMD_AUDIO_OUT, address=3, since=time.monotonic())
    start = console.mark()
    control(sandbox, "ports 0\n")
    console.wait(r"\nCall to rs3: its bus is switched off, no audio", start=start)
    time.sleep(1)
    t0 = time.monotonic()
    time.sleep(0.5)
    assert bus.sent(since=t0) == []
    assert console.text()[start:].count("switched off") == 1  # said once
    control(sandbox, "ports 3\nbauds 115200\n")
    bus.wait_frame(command=CMD_AUDIO_OUT, address=3, since=time.monotonic())
    start = console.mark()
    console.send("hangup")
    console.wait(r"RS485 CRC errors", start=start)
    wait_no_calls(console)
    console.send("call rs3")
    console.wait(r"Started call from pc:\* to rs485:rs3", start=start)
    console.send("hangup")


def test_a_babbling_bus_leaves_a_call_on_the_other_bus_alone(sandbox, ns, pulse):
    """Intercom 3 on bus 0 answers, then talks on for 20 s; the cabin's
    call to intercom 70 on bus 1 keeps its pace and stays up."""
    terminal_files(sandbox)
    bus = make_bus(sandbox, rs3=dict(), rs70=dict(tone=IC_HZ))
    console = start_console(sandbox, ns, pulse)
    try:
        wait_states(sandbox, lambda t: "rs3=" in t and "rs70=" in t)
        console.send("call rs70")
        console.wait(r"Started call from pc:\* to rs485:rs70")
        ic = bus.intercoms[70]
        assert bus.wait_for(lambda: len(ic.heard) >= 50, timeout=15)
        start = console.mark()

        bus.intercoms[3].babble = (20, 0.0005)
        assert bus.wait_for(lambda: bus.babbled, timeout=40), "the babble never ended"
        _, first, last = bus.babbled[0]
        out = [f.time for f in bus.sent(command=CMD_AUDIO_OUT, address=70, since=first) if f.time < last]
        assert len(out) >= 0.97 * 50 * (last - first), len(out) / (last - first)
        # A stalled bus stops the audio for as long as the babble lasts; a
        # loaded machine may hold a frame back for a few of its 20 ms.
        assert max(b - a for a, b in zip(out, out[1:])) < 0.3
        assert near(tone_frequency(ic.heard_samples()[-8000:]), MIC_HZ)
        said = console.text()[start:]
        assert "\nRS485 port 0 babbling" in said and "cleared" not in said and "overflow" not in said, said
        assert wait_states(sandbox, lambda t: "rs70=" in t).endswith("call=1\n")

        console.send("hangup")
        console.wait(r"RS485 CRC errors", start=start)
    finally:
        assert console.stop() == 0


def test_fireman_mode_calls_the_intercom(sandbox, ns, terminal):
    """kelvgd's fireman's mode reads the intercom's input 1 in the states
    file, calls it through the console's pipe and hangs up when it goes.
    This terminal's bus ports sit behind a serial adapter (revision 5),
    which the bus sees programmed as each port opens."""
    from conftest import SETTINGS
    sandbox.write("etc/kelvgd.conf", SETTINGS.format(host=terminal.push.host) +
                  "fmm_enabled=1\nfmm_icomaddr=3\nfmm_soundch=1\nfmm_icominp=0\n")
    sandbox.write("etc/parlod-ic.conf", "ports_mask=3\n")
    bus = make_bus(sandbox, rs3={})
    console = start_console(sandbox, ns, terminal.pulse)
    try:
        wait_states(sandbox, lambda t: "rs3=" in t)
        sandbox.notify.clear()  # the console's READY=1 is not the daemon's
        terminal.start()
        terminal.cycles(2)
        assert bus.sent(command=CMD_AUDIO_OUT) == []

        bus.intercoms[3].status |= INP1
        console.wait(r"Started call from pc:\* to rs485:rs3", timeout=60)
        assert bus.wait_for(lambda: len(bus.intercoms[3].heard) >= 50, timeout=15)
        assert near(tone_frequency(bus.intercoms[3].heard_samples()[-8000:]), MIC_HZ)
        assert terminal.state().get("fmm_active") == 1

        t0 = time.monotonic()
        bus.intercoms[3].status &= ~INP1
        bus.wait_frame(command=CMD_RESET, address=3, since=t0, timeout=20)
        wait_states(sandbox, lambda t: t.endswith("call=0\n"))
        assert not os.path.exists(sandbox.path(SPEAKER))
        assert terminal.state().get("fmm_active") == 0
        # (A console that restarts, and the new states file it writes, are
        # test_fireman_restart.py's and test_intercom_files.py's.)
        assert terminal.stop() == 0
    finally:
        assert console.stop() == 0
