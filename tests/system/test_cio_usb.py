"""The USB CIO board's driver against the simulated board on a pty."""

import errno
import time

import pytest

from sim.devices.cio_usb import UsbBoard
from sim.sandbox.syslog import SyslogCapture

BAUD = 4000000


@pytest.fixture
def board(sandbox):
    sandbox.write("etc/device.conf", "cio=1\nrevision=2\n")
    pty = sandbox.pty("serial/by-id/usb-dorn")
    b = sandbox.attach(UsbBoard(pty))
    b.pty = pty
    return b


def test_handshake_and_set_up(sandbox, probe, board):
    log = sandbox.attach(SyslogCapture(sandbox))
    assert probe("cio", wrap=log.wrap)["result"] == 0
    assert board.commands == ["echo 0x55", "ver", "simodset 0", "laddset 1"]
    assert log.wait_for("DornUSB firmware v. 2.5") == (3 << 3) | 6  # daemon facility, information
    iflag, oflag, cflag, lflag, cc, ispeed, ospeed = board.pty.termios2()
    assert (ispeed, ospeed) == (BAUD, BAUD)

    # The port is the driver's until done: a second init is refused, and a
    # tty named in the device configuration is used as it is.
    r = probe("cio", "init", 0)
    assert r["result"] == -errno.EBUSY
    assert "cio_usb_init(): Already initialized!\n" in probe.stderr
    other = sandbox.pty()
    second = sandbox.attach(UsbBoard(other))
    sandbox.write("etc/device.conf", f"cio=1\nrevision=2\ntty={other.slave_path}\n")
    assert probe("cio")["result"] == 0
    assert second.commands[:2] == ["echo 0x55", "ver"]


def test_commands_on_the_wire(probe, board):
    r = probe("cio", "sound", -1, "sound", 2, "filter", 1, "filter", 0, "fourwire", 1, "fourwire", 0,
              "si", 5, "si", 0, "freq", 16384, "freq", 32000, "freq", 64000, "freq", 81920, "freq", 32768)
    assert r["result"] == -errno.EINVAL
    assert board.commands[4:] == ["sndchset 7", "sndset 0", "sndchset 2", "sndset 1", "sndmode 1", "sndmode 0",
                                  "linemode 1", "linemode 0", "siact 5", "sipas 255", "freq 16384", "freq 32000",
                                  "freq 64000", "freq 81920"]
    assert board.sound == (2, True) and not board.filter and not board.four_wire
    assert [e[1] for e in board.lines.edges] == [5, 0]
    assert probe("cio", "freq", 8192)["result"] == -errno.ERANGE
    assert probe("cio", "freq", 102400)["result"] == -errno.ERANGE
    assert probe("cio", "freq", 20000)["result"] == -errno.EINVAL


def test_samples_and_delays_on_the_board_clock(probe, board):
    r = probe("cio", "read", 0, "read", 17400, "delay", 20, "si", 1, "delay", 20, "si", 0, "read", 300)
    assert r["result"] == 0
    assert [c for c in board.commands if c.startswith(("ddcnt", "delay"))] == ["ddcnt 17400", "delay 20",
                                                                              "delay 20", "ddcnt 300"]
    (pulse,) = board.lines.pulses()
    assert board.lines.ms(pulse.end - pulse.start) == 20
    assert board.lines.ms(pulse.start - 17400) == 20
    assert (int(r["first"]), int(r["last"])) == (0, 299 & 0xFF)  # counted from the end of the pulse


def test_line_voltage(probe, board):
    board.lines.set_volts(3, 48)
    assert probe("cio", "volts", 3)["volts3"] == "48"
    assert board.commands[-3:] == ["sndget", "sndchset 3", "linev"]
    board.hex_numbers = True
    assert probe("cio", "volts", 3)["volts3"] == "48"
    assert probe("cio", "volts", 8)["volts8"] == str(-errno.EINVAL)
    # Not while the sound path is on a line.
    assert probe("cio", "sound", 1, "volts", 3)["volts3"] == str(-errno.EBUSY)
    board.hex_numbers = False
    board.short_numbers = True
    assert probe("cio", "volts", 3)["volts3"] == str(-errno.ENODATA)
    board.short_numbers = False
    board.garbage = b"?!"
    assert probe("cio", "volts", 3)["volts3"] == str(-errno.ENODATA)


def test_line_packets(probe, board):
    assert probe("cio", "sound", 4, "pkt", "5f0402404773")["result"] == 0
    assert board.commands[-2:] == ["pkt 5f0402404773", "echo 0xaa"]
    (pkt,) = board.packets
    assert (pkt.channel, pkt.sound, pkt.data) == (4, True, bytes.fromhex("5f0402404773"))
    assert probe("cio", "pkt", "ab" * 62)["result"] == 0
    assert board.packets[-1].data == b"\xab" * 62
    n = len(board.commands)
    assert probe("cio", "pkt", "ab" * 63)["result"] == -errno.EMSGSIZE
    assert "pkt" not in " ".join(board.commands[n:])


def test_board_that_does_not_answer(sandbox, probe, board):
    board.silent = True
    t0 = time.monotonic()
    assert probe("cio")["result"] == -errno.ETIMEDOUT
    assert "cio_usb_coproc_init(): No echo\n" in probe.stderr
    assert time.monotonic() - t0 < 5
    board.silent = False
    # One number in the version: refused, and the port closed again.
    board.version = "7"
    assert probe("cio")["result"] == -errno.EINVAL
    board.version = "garbage"
    assert probe("cio")["result"] == -errno.EINVAL
    board.version = "3.1"
    assert probe("cio")["result"] == 0


def test_waits_on_the_board_are_bounded(probe, board):
    # A delay answered late is no answer: it fails a second after it is due.
    board.silent_from = 5  # after the four commands of the set-up
    t0 = time.monotonic()
    r = probe("cio", "delay", 300)
    took = time.monotonic() - t0
    assert r["result"] == -errno.ETIMEDOUT
    assert "cio_usb_delay(): No answer\n" in probe.stderr
    assert board.commands[4:] == ["delay 300", "echo 0xaa"]
    assert 1.2 < took < 5

    # A stream that stops half way fails a second after its last byte.
    board.silent = False
    board.silent_from = None
    board.stop_stream_after = 100
    t0 = time.monotonic()
    assert probe("cio", "read", 1000)["result"] == -errno.ETIMEDOUT
    assert "cio_usb_read(): Wait failed\n" in probe.stderr
    assert time.monotonic() - t0 < 5
