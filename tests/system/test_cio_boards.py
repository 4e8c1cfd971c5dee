"""The CIO loop end to end on the Cirrus-mini, compact and VIA boards: the
real daemon, the simulated board and a simulated dispatcher."""

import errno
import time

import pytest

from conftest import CioTerminal

RATE = 16384
STEP_MS = 31.25  # a step of a hub address or command code
HUB_GAP_MS, CMD_GAP_MS = 21.240234, 4.882813


@pytest.fixture(params=["cirrus", "compact", "via"])
def term(request, sandbox):
    t = CioTerminal(sandbox, request.param)
    t.name = request.param
    yield t
    t.stop()
    assert t.disp.errors == []


def report(text):
    return dict(line.split("=", 1) for line in text.splitlines())


def measured_latency(board, sample):
    """Seconds the board took to begin the read whose samples end at sample:
    the latency the terminal measures before a line command, with one
    sample's read, and takes off each gap; 0 for boards without."""
    starts = getattr(board, "starts", None) or getattr(board, "counts", None) or []
    return next((s.latency for s in reversed(starts) if s.sample + 4 == sample), 0.0)


def check_recording(term, m):
    """One data packet: a second of samples, two a byte after expansion on
    2-line boards, the lines counting the samples since the SI pulse."""
    assert (m.kind, len(m.samples)) == ("TC", RATE // 2)
    if term.board.lines.count == 2:
        # Four 2-bit samples 0, 1, 2, 3 (0xE4 from the board) become 0x10 0x32.
        assert m.samples == bytes([0x10, 0x32]) * (RATE // 4)
    else:
        nibbles = [b >> s & 15 for b in m.samples for s in (0, 4)]
        # 26 ms after the pulse, give or take the samples a flush costs.
        assert nibbles[0] in (10, 11, 12)
        assert all((b - a) & 15 == 1 for a, b in zip(nibbles, nibbles[1:]))


def test_recordings_and_readings(term):
    term.start()
    st = term.sb.state()
    lines = term.board.lines.count
    assert st.get("mod_num") == lines
    for _ in range(3):
        check_recording(term, term.command("03010100"))
    # Each made after an SI pulse into every line.
    assert len([p for p in term.board.lines.pulses() if p.mask == (1 << lines) - 1]) >= 3

    assert term.board.wait_for(lambda: st.get("cio_inputs_valid") == 1, timeout=15)
    dump = report(term.run("dump").stdout)
    assert [dump[f"mod_vol{i + 1}"] for i in range(lines)] == ["60"] * lines
    if term.name == "via":
        assert (dump["temp"], dump["auxvol"], dump["batt"]) == ("43", "0.000000", "0.000000")
        return
    assert abs(float(dump["batt"]) - 13.0) < 0.01
    if term.name == "cirrus":
        assert (dump["auxvol"], dump["temp"], dump["auxpwr"]) == ("15.000000", "19", "1")
        charger = 15
    else:
        assert abs(float(dump["auxvol"]) - 12.0) < 0.02 and dump["temp"] == "30"
        assert dump["mod_supply"] == "60"
        charger = 49
    # The charger goes on after the battery was read with it off.
    assert term.board.wait_for(lambda: 0 in term.board.chip.values(charger))

    term.board.set_battery(9000)
    assert term.board.wait_for(lambda: abs(st.get("vbatt") - 9000) < 50, timeout=20)
    assert term.board.wait_for(lambda: st.get("error_batt") == 1, timeout=20)


def test_line_command_timed_on_the_board_clock(term):
    term.start()
    term.command("03010100")
    lines = term.board.lines
    since = len(lines.edges)
    ack = term.command("01020507", "TE", timeout=15)  # code 7 to hub 5 on line 2
    assert ack.body == bytes(10)
    # (Where a recording's pulse ends on several lines one after the other,
    # the count may begin between them: such an end is no pulse.)
    pulses = [p for p in lines.pulses(since) if p.mask == 1 << 1 and p.end > p.start]
    assert len(pulses) == 3, lines.pulses(since)
    flush = 2 if term.name == "via" else 0  # the samples a read's flush may cost
    assert all(328 <= p.end - p.start <= 328 + flush for p in pulses)
    # The gaps as the terminal meant them: a board that measures its
    # latency has the latency of a one-sample read, made before the
    # pulses, taken off each gap (its clock stands still meanwhile).
    latency = measured_latency(term.board, pulses[0].start)
    assert (latency > 0) == (term.name != "via")
    gaps = [float(lines.ms(b.start - a.end)) + 1000 * latency for a, b in zip(pulses, pulses[1:])]
    if term.name == "via":
        assert [round(g * RATE / 1000) for g in gaps] in ([2908 + i, 3152 + j] for i in range(3) for j in range(3))
    else:
        # What the terminal and the board each measure as that latency
        # differs by the scheduling of two processes: far less than the
        # half step a hub can tell apart.
        assert abs(gaps[0] - (5 * STEP_MS + HUB_GAP_MS)) < STEP_MS / 2
        assert abs(gaps[1] - (6 * STEP_MS + CMD_GAP_MS)) < STEP_MS / 2
    assert round((gaps[0] - HUB_GAP_MS) / STEP_MS) == 5 and round((gaps[1] - CMD_GAP_MS) / STEP_MS) + 1 == 7

    # The sound path is on line 2 now, and that line gets no SI in the
    # recordings while the lines are two-wire; the VIA board can only put
    # SI into one line or into all.
    assert term.board.wait_for(lambda: term.board.sound == (1, True))
    assert not term.board.filter and not term.board.four_wire
    term.command("03010100")
    after = lambda: [p.mask for p in lines.pulses(since) if p.start > pulses[-1].end]  # noqa: E731
    assert term.board.wait_for(after)
    every = (1 << lines.count) - 1
    assert set(after()) == {every if term.name == "via" else every & ~2}


@pytest.mark.parametrize("board", ["cirrus", "compact"])
def test_line_packets(sandbox, board):
    t = CioTerminal(sandbox, board)
    try:
        t.start()
        t.command("03010100")
        ack = t.command("00020547", "TE", timeout=15)  # code 0x47 to hub 5 on line 2
        assert ack.body == bytes(10)
        (pkt,) = t.board.packets
        assert (pkt.channel, pkt.data) == (1, bytes.fromhex("5f0402404773"))
        assert sandbox.state().get("pkt_len") == 0
    finally:
        t.stop()


def test_cirrus_firmware_without_packets(sandbox):
    t = CioTerminal(sandbox, "cirrus")
    t.board.version = 2
    try:
        t.start()
        t.command("03010100")
        t.command("00020547")  # only a recording: the board cannot send it
        time.sleep(2)
        assert t.board.packets == [] and t.disp.acks == []
    finally:
        t.stop()


def test_cirrus_coprocessor_with_wrong_firmware(sandbox):
    t = CioTerminal(sandbox, "cirrus")
    t.board.answer = b"X"
    t.start(ready=False)
    err = t.stderr(timeout=15)
    assert t.proc.returncode == 1
    assert err.endswith("cio_cm_coproc_init(): cio_cm_coproc_ver() failed!\nCIO init failed\n"), err
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EINVAL}"
    assert sandbox.state().get("gpiousr") == 0


def test_compact_board_watchdog(sandbox):
    t = CioTerminal(sandbox, "compact")
    sandbox.write("etc/kelvgd.conf", "wdt_disabled=0\nwdt_period=900\n")
    try:
        t.start()
        assert t.board.wait_for(lambda: t.board.wdt_loads[:1] == [960])
        pty = sandbox.ptys[-1]
        assert pty.termios2()[5:] == (230400, 230400)
        n = len(t.board.wdt_loads)
        t.command("03010100")
        # A completed message arms it again.
        assert t.board.wait_for(lambda: len(t.board.wdt_loads) > n)
        assert set(t.board.wdt_loads) == {960}
        assert t.board.wdt_remaining() > 900
    finally:
        t.stop()
    assert t.board.wdt_loads[-1] == 0  # disabled when the loop ends


def test_via_board_without_line_voltage(sandbox):
    t = CioTerminal(sandbox, "via")
    try:
        t.start()
        st = sandbox.state()
        t.command("03010100")
        t.board.dsr = True
        assert t.board.wait_for(lambda: list(st.get("mod_vol"))[:4] == [0] * 4, timeout=15)
        t.command("03010100")
        assert t.command("03010100").flag == "1"
        t.board.dsr = False
        assert t.board.wait_for(lambda: list(st.get("mod_vol"))[:4] == [60] * 4, timeout=15)
        t.command("03010100")
        assert t.command("03010100").flag == "0"
    finally:
        t.stop()
