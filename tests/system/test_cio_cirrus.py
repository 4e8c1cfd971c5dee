"""The Cirrus-mini board's driver against the simulated board: its GPIO
lines, the converter and the coprocessor on a pty."""

import errno

import pytest

from sim.devices.cio_cirrus import CONFIG, VERSION_QUERY, CirrusBoard
from sim.devices.sysfs import IioAdc

BAUD = 115200
RESET_GPIO = 14


def config(r):
    return bytes(r if c is None else c for c in CONFIG)


@pytest.fixture
def board(sandbox):
    sandbox.write("etc/device.conf", "cio=1\nrevision=3\n")
    chip = sandbox.gpio()
    # One millivolt a count: readings are the test's numbers.
    adc = IioAdc(sandbox, scale=1.0)
    b = sandbox.attach(CirrusBoard(sandbox.pty("ttyAM1"), chip, adc))
    b.pty = sandbox.ptys[-1]
    return b


def test_initialisation_asks_the_firmware(sandbox, probe, board):
    r = probe("cio")
    assert (r["result"], r["pkt"]) == (0, "1")
    assert board.frames == [VERSION_QUERY] and board.resets == 1
    assert board.chip.values(RESET_GPIO)[-2:] == [1, 0]
    iflag, oflag, cflag, lflag, cc, ispeed, ospeed = board.pty.termios2()
    assert (ispeed, ospeed) == (BAUD, BAUD)
    assert (r["gpiousr"], r["iio_fds"]) == ("0", "0")

    r = probe("cio", "init", 0)
    assert r["result"] == -errno.EBUSY
    assert "cio_cm_init(): Already initialized!\n" in probe.stderr

    # Versions past 9 count on past the digits: ":" is 10.
    for version in (10, 15, 207):
        board.version = version
        assert probe("cio")["pkt"] == "1", version
    # Firmware before version 3, or none that answers: no packets.
    board.version = 2
    assert probe("cio")["pkt"] == "0"
    board.version = None
    r = probe("cio")
    assert (r["result"], r["pkt"]) == (0, "0")


@pytest.mark.parametrize("answer, err", [(b"X", errno.EINVAL), (b"V", errno.EIO), (b"V/", errno.EINVAL)])
def test_a_coprocessor_that_answers_wrong_fails(sandbox, probe, board, answer, err):
    board.answer = answer
    r = probe("cio")
    assert r["result"] == -err
    assert "cio_cm_coproc_init(): cio_cm_coproc_ver() failed!\n" in probe.stderr
    # The board is finished: GPIO given back into its rest state, the
    # converter closed.
    assert (r["gpiousr"], r["iio_fds"]) == ("0", "0")
    assert sandbox.state().get("gpiousr") == 0
    assert all(board.chip.line(n)[0] == "in" for n in (9, 8, 12, 13, 17, 14))


def test_frames_are_byte_exact(probe, board):
    r = probe("cio", "read", 4, "freq", 46080, "read", 4)
    assert r["result"] == 0
    assert board.frames[1:] == [config(0x22), bytes(2), config(0xB3), bytes(2)]
    assert [c.rate for c in board.configs] == [16384, 46080]

    for rate in (18432, 23040, 36864):
        assert probe("cio", "freq", rate, "read", 4)["result"] == 0
        assert board.configs[-1].rate == rate
    for rate in (32768, 15360, 51200):
        assert probe("cio", "freq", rate)["result"] == -errno.EINVAL

    # A packet: the configuration, its header and bytes, then the start byte.
    n = len(board.frames)
    assert probe("cio", "pktch", 1, "pkt", "5f0402404773")["result"] == 0
    header = bytes.fromhex("030E220F070BE006")
    assert board.frames[n + 1:] == [config(0x22), header + bytes.fromhex("5f0402404773"), b"\x00"]
    (pkt,) = board.packets
    assert (pkt.channel, pkt.data) == (1, bytes.fromhex("5f0402404773"))
    assert probe("cio", "pkt", "ab" * 256)["result"] == -errno.EMSGSIZE


def test_samples_on_the_board_clock(probe, board):
    r = probe("cio", "si", 2, "read", 328, "si", 0, "read", 17400)
    assert r["result"] == 0
    (pulse,) = board.lines.pulses()
    assert (pulse.mask, pulse.end - pulse.start) == (2, 328)
    # Four samples a byte, counted since the pulse: 0, 1, 2, 3 every byte.
    assert (r["first"], r["last"]) == (str(0xE4), str(0xE4))
    # The latency is the time until the coprocessor began: at least the
    # reset pulse (6 and 300 µs), in nanoseconds.
    assert board.starts[-1].sample == pulse.end
    assert 306000 <= int(r["latency"]) < 1e9

    board.stop_stream_after = 100
    assert probe("cio", "read", 17400)["result"] == -errno.ETIMEDOUT
    board.stop_stream_after = None
    board.silent = True
    assert probe("cio", "read", 4)["result"] == -errno.ETIMEDOUT
    board.silent = False
    assert probe("cio", "read", 4)["result"] == 0


def test_switches_are_gpio_lines(probe, board):
    chip = board.chip
    r = probe("cio", "sound", -1, "sound", 0, "sound", 1, "si", 1, "si", 3, "si", 0, "filter", 1, "fourwire", 1,
              "prot", 1, "modreset", 1, "aux", 1, "charge", 1, "aux", 0, "charge", 0)
    assert r["result"] == 0
    assert chip.values(12)[-3:] == [1, 0, 1] and chip.values(13)[-3:] == [0, 1, 1]
    assert chip.values(9)[-3:] == [1, 1, 0] and chip.values(8)[-3:] == [0, 1, 0]
    for n in (17, 10, 18, 11):
        assert chip.values(n)[-1] == 1
    assert chip.values(7)[-2:] == [0, 1] and chip.values(15)[-2:] == [0, 1]  # inverted


def test_measurements_from_the_converter(probe, board):
    adc = board.adc
    adc.set_raw(1, 540)  # line 1: 0.54 V behind the divider
    adc.set_raw(0, 0)
    adc.set_raw(2, 2000)
    adc.set_raw(4, 658)
    board.supply = True
    r = probe("cio", "volts", 0, "volts", 1, "batt", 0, "diode", 0, "boardtemp", 0, "psu", 0)
    assert (r["volts0"], r["volts1"]) == ("30", "0")
    assert r["batt"] == "11416"  # millivolts, of 2000 at the converter
    assert (r["diode"], r["boardtemp"], r["psu"]) == ("0.658000", "20", "15.000")
    board.supply = False
    assert probe("cio", "psu", 0)["psu"] == "0.000"
    assert probe("cio", "volts", 2)["volts2"] == str(-errno.EINVAL)

    adc.set_text(2, "junk\n")
    adc.set_text(4, "junk\n")
    adc.break_channel(1)
    r = probe("cio", "volts", 0)
    assert r["volts0"] == str(-errno.EIO)
    assert "cio_cm_mod_voltage(): adc_get() failed!\n" in probe.stderr
    r = probe("cio", "batt", 0)
    assert r["batt"] == str(-errno.EIO) and "cio_cm_batt_voltage(): adc_get() failed!\n" in probe.stderr
    r = probe("cio", "boardtemp", 0)
    assert r["boardtemp"] == str(-errno.EIO)
    assert probe.stderr.endswith("cio_cm_read_diode(): adc_get() failed!\n"
                                 "cio_cm_board_temp(): cio_cm_read_diode() failed!\n")


def test_xmas_blinks_every_line(sandbox, board):
    r = sandbox.run("xmas")
    assert r.returncode == 0, r.stderr
    chip = board.chip
    assert chip.values(9)[-40:] == [1, 0] * 20 and chip.values(8)[-40:] == [1, 0] * 20
    # Each on and off for 50 ms, and the board given back afterwards.
    ons = [e.time for e in chip.history(9, "value")][-40:]
    assert all(0.04 < b - a < 1 for a, b in zip(ons, ons[1:]))
    assert sandbox.state().get("gpiousr") == 0
