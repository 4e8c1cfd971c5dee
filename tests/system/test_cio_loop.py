"""The CIO-mode daemon end to end: the real binary against the simulated USB
board and a simulated dispatcher on loopback."""

import errno
import os
import signal
import time

from sim.peers.dispatcher import Message  # noqa: F401 - the fields tests read

RATE = 16384
WINDOW = 16896  # samples of one data packet: 1.03125 s
SKIP = 426  # samples between the end of the SI pulse and the window: 26 ms
ALL = 0xFF


def report(text):
    return dict(line.split("=", 1) for line in text.splitlines())


def acquisition_pulses(board, since=0):
    """The SI pulses that began a recording (20 ms, then 17400 samples)."""
    return [p for p in board.lines.pulses(since) if board.lines.ms(p.end - p.start) == 20 and p.mask != 0]


def test_every_command_releases_one_recording(cio):
    cio.start()
    st = cio.sb.state()
    assert (st.get("mod_num"), st.get("read_freq"), st.get("si_dur_main"), st.get("zlib_level")) == (8, RATE, 20, -1)
    assert cio.sb.read("etc/velta-snmp.conf") == "num_modules=8\nnum_tsensors=0\n"

    for i in range(4):
        m = cio.command("03010100")  # no sound request, no line action
        assert (m.kind, m.flag, len(m.samples)) == ("TC", "0", WINDOW)
        # The window starts 26 ms after the SI pulse: the lines count the
        # samples since the pulse.
        assert m.samples[:3] == bytes([SKIP & 0xFF, (SKIP + 1) & 0xFF, (SKIP + 2) & 0xFF])
        assert all(b == (SKIP + k) & 0xFF for k, b in enumerate(m.samples))
    time.sleep(1.5)
    assert len(cio.disp.data_packets) == 4 and cio.disp.acks == []
    assert acquisition_pulses(cio.board)[-1].mask == ALL
    assert cio.board.modes["freq"] == RATE

    # The dump of a CIO terminal: diode, battery, supply, temperature and
    # the modules only.
    assert cio.board.wait_for(lambda: st.get("cio_inputs_valid") == 1)
    dump = report(cio.run("dump").stdout)
    assert list(dump) == ["diode", "batt", "auxpwr", "auxvol", "temp"] + [f"mod_vol{i}" for i in range(1, 9)] + [
        "mod_supply"]
    assert dump["temp"] == "42" and dump["mod_vol1"] == "60" and dump["auxpwr"] == "0"

    t0 = time.monotonic()
    assert cio.stop() == 0
    assert time.monotonic() - t0 < 5
    assert cio.sb.notify.messages()[-1] == "ERRNO=0"
    assert (st.get("cio_inputs_valid"), st.get("daemon_loop")) == (0, 0)
    assert cio.sb.semaphores().values() == [1, 1, 1, 32767, 1, 1]
    assert cio.board.lines.si_mask == 0


def test_snmp_record_of_a_cio_terminal(cio):
    os.mkfifo(cio.sb.path("run/velta-snmp"))
    reader = os.open(cio.sb.path("run/velta-snmp"), os.O_RDONLY | os.O_NONBLOCK)
    text = ""
    try:
        cio.start()
        cio.command("03010100")
        deadline = time.monotonic() + 10
        while "mod_mode7=0\n" not in text and time.monotonic() < deadline:
            time.sleep(0.2)
            try:
                text += os.read(reader, 65536).decode()
            except BlockingIOError:
                pass
    finally:
        os.close(reader)
    last = [r for r in text.split("devtype=") if "mod_mode7=0\n" in r][-1]
    rec = report("devtype=" + last)
    assert rec["devtype"] == "cio" and rec["devrev"] == "2" and rec["temp"] == "42"
    assert rec["disp_conn"] == "1" and rec["disp_addr"] == cio.disp.host
    assert (rec["mod_vol0"], rec["mod_sc0"], rec["mod_mode0"]) == ("60", "0", "0")


def test_line_command_is_timed_on_the_board_clock(cio):
    cio.start()
    cio.command("03010100")
    edges = len(cio.board.lines.edges)
    tc = cio.command("01030507", "TE")
    assert tc.body == bytes(10)
    lines = cio.board.lines
    pulses = [p for p in lines.pulses(edges) if p.mask == 1 << 2]
    assert len(pulses) == 3
    assert all(lines.ms(p.end - p.start) == 20 for p in pulses)
    # Hub 5, then code 7: the gaps from the end of one pulse to the start of
    # the next. This board measures no latency.
    gaps = [lines.ms(b.start - a.end) for a, b in zip(pulses, pulses[1:])]
    assert [round(float(g), 2) for g in gaps] == [177.49, 192.38]
    assert [int(g * RATE / 1000) for g in gaps] == [2908, 3152]
    # The sound path is off during the pulses and on line 3 after them,
    # with the filter off.
    log = [e for e in cio.board.sound_log if e[0] >= pulses[0].start - 1]
    assert log[-1] == (pulses[-1].end, 2, True)
    assert cio.board.sound == (2, True) and not cio.board.filter and not cio.board.four_wire

    # The line of the sound path gets no SI in the recordings now.
    cio.command("03010100")
    after = [p for p in acquisition_pulses(cio.board, edges) if p.start > pulses[-1].end]
    assert after and all(p.mask == ALL & ~(1 << 2) for p in after)
    assert cio.disp.data_packets[-1].command is not None


def test_pause_resume_reset_and_test_mode(cio):
    cio.start()
    cio.command("01030507", "TE")
    n = len(cio.disp.data_packets)
    cio.disp.send("FF000000", "03010100")
    time.sleep(1.5)
    assert len(cio.disp.data_packets) == n  # paused: nothing goes out
    cio.disp.send("FFFFFFFF")
    assert cio.disp.wait_messages(n + 1, "TC")
    time.sleep(1)
    assert len(cio.disp.data_packets) == n + 1

    cio.command("00000000")
    assert cio.board.wait_for(lambda: cio.board.sound == (7, False))
    assert not cio.board.filter and not cio.board.four_wire
    since = len(cio.board.lines.edges)
    cio.command("03010100")
    cio.command("03010100")
    assert acquisition_pulses(cio.board, since)[-1].mask == ALL

    # Test mode: each recording injects SI into one line after the other,
    # from line 2 on.
    since = len(cio.board.lines.edges)
    cio.command("00050001")
    for _ in range(8):
        cio.command("03010100")

    def masks():
        return [p.mask for p in acquisition_pulses(cio.board, since) if p.mask != ALL]
    # The last pulse may still be under way when the last answer comes.
    cio.board.wait_for(lambda: len(masks()) >= 9)
    assert masks()[:9] == [1 << 1, 1 << 2, 1 << 3, 1 << 4, 1 << 5, 1 << 6, 1 << 7, 1 << 0, 1 << 1]
    assert not cio.board.sound[1]  # test mode leaves the sound path off


def test_line_command_held_back_by_a_pause(cio):
    cio.start()
    cio.command("03010100")
    since = len(cio.board.lines.edges)

    def line_pulses():
        return [p for p in cio.board.lines.pulses(since) if p.mask == 1 << 2]

    cio.disp.send("FF000000", "01030507")
    time.sleep(1.5)
    assert cio.disp.acks == [] and line_pulses() == []
    # The command that resumes is taken although the line command waits.
    cio.disp.send("FFFFFFFF")
    assert cio.disp.wait_messages(1, "TE")
    assert len(line_pulses()) == 3
    cio.command("03010100")
    assert cio.proc.poll() is None


def test_low_line_voltage_is_flagged(cio):
    cio.board.lines.set_volts(4, 21)
    cio.start()
    st = cio.sb.state()
    assert cio.board.wait_for(lambda: st.get("mod_vol")[4] == 21)
    cio.command("03010100")
    assert cio.command("03010100").flag == "1"
    cio.board.lines.set_volts(4, 22)
    assert cio.board.wait_for(lambda: st.get("mod_vol")[4] == 22)
    cio.command("03010100")
    assert cio.command("03010100").flag == "0"


def test_lines_are_measured_before_the_sound_path_takes_one(cio):
    # The board cannot measure while the sound path is on a line: the
    # lines are measured once before the dispatcher is served.
    cio.board.lines.set_volts(5, 15)
    cio.start()
    tc = cio.command("01030507", "TE")
    assert [m.flag for m in cio.disp.data_packets] == ["1"]
    assert tc.kind == "TE" and cio.board.sound == (2, True)
    assert cio.sb.state().get("mod_vol") == [60, 60, 60, 60, 60, 15, 60, 60]


def test_line_packets_one_at_a_time(cio):
    cio.start()
    cio.command("03010100")
    since = len(cio.board.lines.edges)
    ack = cio.command("00020547", "TE", timeout=15)
    assert ack.body == bytes(10)
    (pkt,) = cio.board.packets
    assert pkt.data == bytes.fromhex("5f0402404773")
    assert (pkt.channel, pkt.sound, pkt.four_wire) == (1, True, False)
    # 200 ms on the line, an SI pulse on it, 1.3 s, then the packet.
    (pulse,) = [p for p in cio.board.lines.pulses(since) if p.mask == 1 << 1]
    assert pkt.sample - pulse.end == 21299
    assert not cio.board.sound[1]  # no dispatcher line to go back to
    assert cio.sb.state().get("pkt_len") == 0

    # A second packet while the first waits is dropped with a warning.
    cio.disp.send("FF000000", "00020547", "00030648", "FFFFFFFF")
    assert cio.disp.wait_messages(2, "TE", timeout=15)
    pri = cio.log.wait_for("Command already in progress, dropping new one (c:72 d:3 a:6)!")
    assert pri == (3 << 3) | 4  # daemon facility, warning
    assert [p.data for p in cio.board.packets] == [bytes.fromhex("5f0402404773")] * 2
    time.sleep(2.5)
    assert len(cio.disp.acks) == 2
    assert cio.sb.semaphores().values()[5] == 1


def test_without_real_time_priority(cio):
    # Without the right to real-time priority the line actions say so once
    # and run at the priority they have.
    cio.start(prefix=["prlimit", "--rtprio=0", "setpriv", "--bounding-set", "-sys_nice", "--inh-caps", "-sys_nice"])
    cio.command("03010100")
    cio.command("01030507", "TE")
    cio.command("03010100")
    # The log's socket is read by a thread of its own, which may lag.
    assert cio.log.wait_for("Failed to configure scheduling policy!") is not None
    failures = [m for m in cio.log.messages() if m[1] == "Failed to configure scheduling policy!"]
    assert failures == [((3 << 3) | 4, "Failed to configure scheduling policy!")]
    assert cio.proc.poll() is None


def test_board_that_stops_answering_ends_the_loop(cio):
    cio.start()
    cio.command("03010100")
    # Replies that make no sense only leave the measurements as they were.
    cio.board.short_numbers = True
    time.sleep(1)
    cio.command("03010100")
    assert cio.proc.poll() is None
    cio.board.short_numbers = False

    cio.board.silent = True
    t0 = time.monotonic()
    cio.disp.send("03010100")
    err = cio.stderr(timeout=15)
    assert cio.proc.returncode == 1, err
    assert time.monotonic() - t0 < 10
    assert "SI generation failed!\n" in err or "Data acquision failed!\n" in err
    assert cio.sb.notify.messages()[-1].startswith("ERRNO=")
    assert cio.sb.semaphores().values() == [1, 1, 1, 32767, 1, 1]


def test_stop_signal_while_the_board_is_set_up(cio):
    # The board falls silent at the first measurement of a line before the
    # dispatcher is served: each waits out its second. A SIGTERM then is
    # not forgotten when the loop begins.
    cio.board.silent_from = 9
    cio.start(ready=False)
    assert cio.board.wait_for(lambda: len(cio.board.commands) >= 9)
    assert cio.board.commands[8] == "sndget"
    cio.proc.send_signal(signal.SIGTERM)
    cio.board.silent_from = None
    cio.board.silent = False
    assert cio.proc.wait(timeout=20) == 0, cio.stderr()
    assert cio.sb.notify.messages()[-1] == "ERRNO=0"
    assert cio.disp.connect_times == []


def test_board_without_handshake(cio):
    cio.board.silent = True
    cio.start(ready=False)
    err = cio.stderr(timeout=15)
    assert cio.proc.returncode == 1
    assert err.endswith("cio_usb_coproc_init(): No echo\nCIO init failed\n"), err
    assert cio.sb.notify.messages()[-1] == f"ERRNO={errno.ETIMEDOUT}"
