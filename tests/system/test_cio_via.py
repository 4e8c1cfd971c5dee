"""The VIA board's driver against the simulated board on a pty, its modem
lines reached through the preloaded modem-line library."""

import errno

import pytest

from sim.devices.cio_via import ViaBoard
from sim.devices.sysfs import Hwmon
from sim.sandbox.modem_lines import DTR, RTS

BAUD = 115200


@pytest.fixture
def board(sandbox):
    sandbox.write("etc/device.conf", "cio=1\nrevision=1\n")
    pty = sandbox.pty("ttyS1")
    b = sandbox.attach(ViaBoard(pty, sandbox.modem_lines(pty)))
    b.pty = pty
    return b


def requests(board, since=0):
    return [(r.op, r.bits) for r in board.modem.requests[since:]]


def test_opening_the_port(probe, board):
    assert probe("cio")["result"] == 0
    iflag, oflag, cflag, lflag, cc, ispeed, ospeed = board.pty.termios2()
    assert (ispeed, ospeed) == (BAUD, BAUD)
    assert probe("cio", "init", 0)["result"] == -errno.EBUSY
    assert "cio_via_init(): Already initialized!\n" in probe.stderr
    assert (probe("cio", "freq", 16384)["result"], probe("cio", "freq", 32768)["result"]) == (0, -errno.EINVAL)


def test_si_through_the_modem_lines(probe, board):
    # One line: selected on port B, then DTR and RTS raised.
    assert probe("cio", "si", 4)["result"] == 0
    assert board.portb_log[-1][1] & 0xC0 == 0x80  # line 2: bit 7 set, bit 6 clear
    assert requests(board) == [("bis", DTR), ("bis", RTS)]
    assert board.lines.si_mask == 4
    # Several lines: RTS dropped, which reaches every line.
    n = len(board.modem.requests)
    assert probe("cio", "si", 3)["result"] == 0
    assert requests(board, n) == [("bic", RTS)]
    assert board.lines.si_mask == 15
    # None: DTR dropped before RTS is raised, so no line sees SI between.
    n = len(board.modem.requests)
    assert probe("cio", "si", 0)["result"] == 0
    assert requests(board, n) == [("bic", DTR), ("bis", RTS)]
    assert [mask for _, mask in board.lines.edges][-2:] == [15, 0]

    board.modem.fail_next(errno.EPERM)
    assert probe("cio", "si", 0)["result"] == -errno.EPERM


def test_port_b(probe, board):
    r = probe("cio", "sound", -1, "sound", 1, "filter", 1, "modreset", 1, "modreset", 0, "filter", 0)
    assert r["result"] == 0
    # Written by the terminal; the board's thread may still be reading.
    writes = [0x00, 0x48, 0x58, 0x59, 0x58, 0x48]
    assert board.wait_for(lambda: len(board.portb_log) >= len(writes))
    assert [v for _, v in board.portb_log] == writes
    assert board.sound == (1, True)


def test_line_voltage_from_dsr(probe, board):
    r = probe("cio", "volts", 0, "volts", 3, "volts", 4)
    assert (r["volts0"], r["volts3"], r["volts4"]) == ("60", "60", str(-errno.EINVAL))
    board.dsr = True
    r = probe("cio", "volts", 0, "volts", 1, "volts", 2, "volts", 3)
    assert [r[f"volts{i}"] for i in range(4)] == ["0"] * 4
    board.modem.fail_next(errno.EIO)
    r = probe("cio", "volts", 2)
    assert r["volts2"] == str(-errno.EIO)
    assert "cio_via_mod_voltage(): DSR read failed\n" in probe.stderr


def test_samples_as_the_board_streams_them(probe, board):
    r = probe("cio", "si", 1, "read", 328, "si", 0, "read", 17400)
    assert r["result"] == 0 and r["latency"] == "0"
    # Two samples a byte; the flush that starts a read costs at most a byte.
    pulse = board.lines.pulses()[-1]
    assert pulse.mask == 1 and 328 <= pulse.end - pulse.start <= 330
    first = int(r["first"])
    assert first & 15 <= 2 and first >> 4 == (first & 15) + 1
    assert board.lines.clock - pulse.end >= 17400

    board.silent = True
    r = probe("cio", "read", 100)
    assert r["result"] == -errno.ETIMEDOUT
    assert "cio_via_read(): Wait failed\n" in probe.stderr


def test_board_temperature_from_hwmon0(sandbox, probe, board):
    assert probe("cio", "boardtemp", 0)["boardtemp"] == "-1000"
    assert "cio_via_board_temp(): no sensors found\n" in probe.stderr
    hw = Hwmon(sandbox)
    hw.set_temp(0, 1, 100000)  # (100000 - 83869) / 952.8
    assert probe("cio", "boardtemp", 0)["boardtemp"] == "16"
    hw.set_temp(0, 2, 25000)
    assert probe("cio", "boardtemp", 0)["boardtemp"] == "25"
    hw.set_temp(0, 2, 5000)
    assert probe("cio", "boardtemp", 0)["boardtemp"] == "16"
    hw.break_sensor(0, 2)
    assert probe("cio", "boardtemp", 0)["boardtemp"] == str(-errno.EIO)
    assert "cio_via_board_temp(): Read error\n" in probe.stderr
    # Without sensor 1 sensor 2 does not count.
    hw.remove_sensor(0, 1)
    hw.set_temp(0, 2, 25000)
    assert probe("cio", "boardtemp", 0)["boardtemp"] == "-1000"


def test_xmas_blinks_every_line(sandbox, board):
    r = sandbox.run("xmas")
    assert r.returncode == 0, r.stderr
    assert requests(board) == [("bic", RTS), ("bic", DTR), ("bis", RTS)] * 20
