"""The simulated CIO boards and sysfs trees, driven from the terminal's side
by hand: what the driver tests rely on."""

import math
import os
import socket
import termios
import time
import tty

import pytest

from sim.devices.cio_cirrus import CirrusBoard
from sim.devices.cio_compact import CompactBoard
from sim.devices.cio_via import ViaBoard
from sim.devices.sysfs import Hwmon, IioAdc
from sim.sandbox.modem_lines import DSR, DTR, RTS


class Port:
    """The terminal's side of a pty."""

    def __init__(self, pty):
        self.fd = os.open(pty.slave_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def read(self, n, flush=True, timeout=5):
        if flush:
            termios.tcflush(self.fd, termios.TCIFLUSH)
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < n:
            assert time.monotonic() < deadline, f"{len(out)} of {n} bytes"
            os.set_blocking(self.fd, False)
            try:
                out += os.read(self.fd, n - len(out))
            except BlockingIOError:
                time.sleep(0.001)
        return out

    def write(self, data):
        os.write(self.fd, data)

    def close(self):
        os.close(self.fd)


def unpack(data, per_byte):
    bits = 8 // per_byte
    return [(b >> (bits * k)) & ((1 << bits) - 1) for b in data for k in range(per_byte)]


def config(r, then="00 00"):
    """The Cirrus-mini coprocessor's configuration frame and what follows it."""
    return bytes.fromhex(f"06 16 22 0E {r:02x} 19 17 91 00 81 DF 0B E0 {then}")


def modem(lines, text):
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
        s.connect(lines.path)
        s.send(text.encode())
        return int(s.recv(64))


@pytest.fixture
def via(sandbox):
    pty = sandbox.pty()
    board = sandbox.attach(ViaBoard(pty, sandbox.modem_lines(pty)))
    port = Port(pty)
    yield board, port
    port.close()


def test_via_board_samples_on_its_clock(via):
    board, port = via
    port.read(100)
    assert board.lines.clock >= 200  # and what it sent ahead
    port.write(bytes([0x40]))  # line 1 selected
    assert board.wait_for(lambda: board.portb == 0x40)
    # Taken back: the clock counts what was read, and what the read's flush cost.
    c0 = board.portb_log[0][0]
    assert 200 <= c0 <= 202
    assert modem(board.modem, f"bis {DTR}") == RTS | DTR
    assert board.lines.si_mask == 2
    port.read(164)
    modem(board.modem, f"bic {DTR}")
    recording = unpack(port.read(200), 2)
    # The flush that starts a read costs at most one byte of samples.
    (pulse,) = board.lines.pulses()
    assert (pulse.start, pulse.mask) == (c0, 2) and 328 <= pulse.end - pulse.start <= 330
    first = recording[0]
    assert first <= 2 and recording == [(first + k) & 15 for k in range(400)]
    assert board.portb_log == [(c0, 0x40)]

    # RTS dropped: every line; port B moves a pulse to its line at once.
    modem(board.modem, f"bic {RTS}")
    assert board.lines.si_mask == 15
    modem(board.modem, f"set {RTS | DTR}")
    port.write(bytes([0x00]))
    assert board.wait_for(lambda: board.lines.si_mask == 8)
    assert board.sound == (3, False)

    board.dsr = True
    assert modem(board.modem, "get") & DSR
    board.silent = True
    time.sleep(0.05)
    with pytest.raises(AssertionError):
        port.read(1, timeout=0.3)


def test_cirrus_board_frames_and_stream(sandbox):
    chip = sandbox.gpio(exported=[14, 9, 8, 12, 13, 10, 61])
    adc = IioAdc(sandbox)
    pty = sandbox.pty()
    board = sandbox.attach(CirrusBoard(pty, chip, adc))
    port = Port(pty)
    gpio = sandbox.path("sys/class/gpio")

    def set_gpio(n, level):
        with open(f"{gpio}/gpio{n}/direction", "w") as f:
            f.write("high" if level else "low")

    def reset():
        set_gpio(14, 1)
        set_gpio(14, 0)

    assert chip.line(61) == ("in", 1)
    reset()
    port.write(bytes.fromhex("02162219370000"))
    assert port.read(2, flush=False) == b"V3"
    # An answer the terminal reads late stays for it, whatever it switches.
    reset()
    port.write(bytes.fromhex("02162219370000"))
    assert board.wait_for(lambda: len(board.frames) == 2)
    set_gpio(9, 1)
    set_gpio(9, 0)
    assert port.read(2, flush=False) == b"V3" and board.lines.clock == 0
    reset()
    board.version = None
    port.write(bytes.fromhex("02162219370000"))
    with pytest.raises(AssertionError):
        port.read(1, flush=False, timeout=0.3)

    # Configured for 46080, then for 16384 with SI on line 2 while sampling.
    reset()
    port.write(config(0xB3))
    port.read(4, flush=False)
    assert board.configs[-1] == (0xB3, 46080) and board.lines.rate == 46080
    set_gpio(8, 1)
    reset()
    start = board.lines.clock
    port.write(config(0x22))
    port.read(82, flush=False)
    set_gpio(8, 0)
    reset()
    assert board.lines.clock == start + 328  # exactly what was read
    port.write(config(0x22))
    samples = unpack(port.read(4, flush=False), 4)
    assert samples == [k & 3 for k in range(16)]
    (pulse,) = board.lines.pulses()[1:]
    assert (pulse.end - pulse.start, pulse.mask) == (328, 2)

    # A packet goes out on the line of the sound path.
    set_gpio(12, 1)
    set_gpio(13, 1)
    reset()
    port.write(config(0x22, then="03 0E 22 0F 07 0B E0 03 aa bb cc"))
    port.write(b"\x00")
    assert board.wait_for(lambda: board.packets)
    assert board.packets[0][1:] == (1, False, bytes.fromhex("aabbcc"))
    port.write(b"\x01")
    assert board.wait_for(lambda: board.strays)
    reset()
    port.write(b"\x07")
    assert board.wait_for(lambda: len(board.strays) == 2)
    assert board.strays == [b"\x01", b"\x07"]

    # The lines' voltages as the converter reads them.
    raw = board.set_line_volts(0, 30)
    assert adc.raw(1) == raw == math.ceil(30 / 55.59975117746379 * 1000 / adc.scale)
    port.close()


def test_compact_board_counts_and_routes(sandbox, probe):
    sandbox.write("etc/device.conf", "cio=1\nrevision=4\n")
    chip = sandbox.gpio()
    pty = sandbox.pty("ttyS4")
    board = sandbox.attach(CompactBoard(pty, chip, IioAdc(sandbox)))
    tty_path = sandbox.path("dev/ttyS4")
    assert probe("coproc", tty_path, "info")["devtype"] == "2"
    assert probe("coproc", tty_path, "cmd", "si 2")["result"] == 0
    r = probe("coproc", tty_path, "read_ld", 20)
    assert r["first"] == str(2 | 2 << 2 | 2 << 4 | 2 << 6)
    assert probe("coproc", tty_path, "cmd", "si 0")["result"] == 0
    assert probe("coproc", tty_path, "read_ld", 8)["first"] == str(0 | 1 << 2 | 2 << 4 | 3 << 6)
    (pulse,) = board.lines.pulses()
    assert pulse.end - pulse.start == 20
    assert probe("coproc", tty_path, "pkt", "5f", "01")["result"] == 0
    assert board.packets[-1][1:] == (None, False, b"\x5f\x01")


def test_sysfs_values_change_under_an_open_descriptor(sandbox):
    adc = IioAdc(sandbox, scale=1.5, offset=-2)
    fd = os.open(adc.channel_path(3), os.O_RDONLY)
    try:
        adc.set_raw(3, 123456)
        assert int(os.pread(fd, 15, 0)) == 123456
        assert adc.set_mv(3, 150) == 102 and int(os.pread(fd, 15, 0)) == 102
        adc.set_raw(3, 7)
        assert os.pread(fd, 64, 0).strip() == b"7"
    finally:
        os.close(fd)
    assert adc.set_mv(0, 1e9) == 65535 and adc.set_mv(0, -5) == 0
    adc.break_channel(1)
    assert os.path.isdir(adc.channel_path(1))
    adc.set_text(1, "nonsense\n")
    assert open(adc.channel_path(1)).read() == "nonsense\n"

    hw = Hwmon(sandbox)
    hw.set_temp(0, 1, 45000)
    hw.set_temp(1, 3, -5000, under_device=False)
    assert int(open(sandbox.path("sys/class/hwmon/hwmon0/device/temp1_input")).read()) == 45000
    assert int(open(sandbox.path("sys/class/hwmon/hwmon1/temp3_input")).read()) == -5000
