"""The compact board's driver against the simulated board: its GPIO lines,
the converter and the serial coprocessor behind the serial adapter."""

import errno

import pytest

from sim.devices.cio_compact import CompactBoard
from sim.devices.sysfs import IioAdc


@pytest.fixture
def board(sandbox):
    sandbox.write("etc/device.conf", "cio=1\nrevision=4\n")
    chip = sandbox.gpio()
    adc = IioAdc(sandbox, scale=1.0)  # one millivolt a count
    pty = sandbox.pty("ttyS4")
    b = sandbox.attach(CompactBoard(pty, chip, adc))
    return b


def test_initialisation_checks_the_firmware(sandbox, probe, board):
    r = probe("cio")
    assert (r["result"], r["pkt"]) == (0, "1")
    # Held in reset from the start, then pulsed.
    assert board.commands == ["ver"] and board.chip.values(20)[:4] == [1, 0, 1, 0]
    # A second init is refused, without a word.
    r = probe("cio", "init", 0)
    assert r["result"] == -errno.EBUSY and "init" not in probe.stderr

    board.set_devtype(1)
    r = probe("cio")
    assert r["result"] == -errno.EINVAL
    assert probe.stderr.endswith("Wrong firmware in the coprocessor!\n")
    assert (r["gpiousr"], r["iio_fds"]) == ("0", "0")
    assert board.chip.line(20) == ("out", 0) and board.chip.line(59)[0] == "in"

    board.set_devtype(2)
    board.silent = True
    r = probe("cio")
    assert r["result"] == -errno.ETIMEDOUT
    assert (r["gpiousr"], r["iio_fds"]) == ("0", "0")


def test_sampling_through_the_coprocessor(probe, board):
    r = probe("cio", "freq", 16384, "si", 5, "read", 328, "si", 0, "read", 17400)
    assert r["result"] == 0
    assert board.commands == ["ver", "freq 16384", "si 5", "cnt 82", "si 0", "cnt 4350"]
    (pulse,) = board.lines.pulses()
    assert (pulse.mask, pulse.end - pulse.start) == (1, 328)  # two lines: mask 5 is line 1
    assert (r["first"], r["last"]) == (str(0xE4), str(0xE4))
    # The latency: the command's echo, in nanoseconds.
    assert board.counts[-1].sample == pulse.end
    assert 0 < int(r["latency"]) < 1e9
    assert probe("cio", "read", 0)["result"] == 0 and board.commands[-1] == "ver"


def test_watchdog_and_temperature(sandbox, probe, board):
    probe("cio")
    sandbox.state().set("wdt_period", 900)
    n = len(board.commands)
    r = probe("cio", "wdtreset", 0, "wdt", 0, "wdtoff", 0, "wdt", 0)
    assert r["result"] == 0
    assert board.wdt_loads == [960, 0]
    assert r["wdt"] == "0"  # the last query, after it was stopped
    assert board.commands[n:] == ["ver", "wdt 960", "wdt", "wdt 0", "wdt"]

    board.board_temp = 47
    assert probe("cio", "boardtemp", 0)["boardtemp"] == "47"
    board.next_replies = [None, "\r"]  # "ver" as usual, then no number
    assert probe("cio", "boardtemp", 0)["boardtemp"] == str(-errno.ENODATA)


def test_switches_and_routes(probe, board):
    chip = board.chip
    r = probe("cio", "sound", 0, "sound", 1, "sound", -1, "pktch", 0, "pktch", -1, "filter", 1, "fourwire", 1,
              "modreset", 1, "prot", 1, "aux", 1, "charge", 1)
    assert r["result"] == 0
    assert chip.values(59)[-5:] == [1, 0, 0, 1, 0]
    assert chip.values(47)[-5:] == [1, 1, 0, 1, 0]
    assert chip.values(86)[-5:] == [0, 0, 1, 1, 1]
    for n in (57, 87, 88, 89):
        assert chip.values(n)[-1] == 1
    assert chip.values(7)[-1] == 0 and chip.values(49)[-1] == 0  # inverted

    assert probe("cio", "pktch", 1, "pkt", "5f0402404773")["result"] == 0
    (pkt,) = board.packets
    assert (pkt.channel, pkt.data) == (1, bytes.fromhex("5f0402404773"))
    assert board.commands[-1] == "pkt 5f0402404773"


def test_measurements_from_the_converter(probe, board):
    adc = board.adc
    adc.set_raw(0, 867)  # 0.867 V behind the line divider: 59.98 V
    adc.set_raw(1, 100)
    adc.set_raw(2, 1000)
    adc.set_raw(3, 820)
    adc.set_raw(4, 1000)
    r = probe("cio", "volts", 0, "volts", 1, "modsupply", 0, "psu", 0, "batt", 0)
    assert (r["volts0"], r["volts1"], r["modsupply"]) == ("59", "6", "69")
    assert (r["psu"], r["batt"]) == ("12.002", "14636")
    assert probe("cio", "volts", 2)["volts2"] == str(-errno.EINVAL)

    # Never negative: a reading below the converter's zero is none.
    adc.offset = -2000
    r = probe("cio", "volts", 0, "modsupply", 0, "batt", 0)
    assert (r["volts0"], r["modsupply"], r["batt"]) == ("0", "0", "0")

    adc.set_text(0, "junk\n")
    assert probe("cio", "volts", 0)["volts0"] == str(-errno.EIO)
    assert "orbesk_mini_mod_voltage(): adc_get() failed!\n" in probe.stderr
    adc.set_text(3, "junk\n")
    assert probe("cio", "psu", 0)["psu"] == str(-errno.EIO)
