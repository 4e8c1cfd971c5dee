"""The coprocessor protocol against the simulated coprocessor, including
every way it can misbehave."""

import errno
import time

import pytest

from sim.devices.coproc import Coprocessor

TTY = "ttyS4"


@pytest.fixture
def coproc(sandbox):
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    chip = sandbox.gpio()
    pty = sandbox.pty(TTY)
    return sandbox.attach(Coprocessor(pty, chip, devtype=1, minor=7))


@pytest.fixture
def op(probe, sandbox):
    def run(*args, **kw):
        return probe("coproc", sandbox.path("dev/" + TTY), *args, **kw)
    return run


def test_reset_and_version(sandbox, coproc, op):
    r = op("info")
    assert (r["result"], r["devtype"], r["minor"]) == (0, "1", "7")
    # Held in reset at start, then the pulse 0, 1, 0.
    assert sandbox.chip.values(20)[:4] == [1, 0, 1, 0]
    assert coproc.commands == ["ver"]


def test_reset_failures(coproc, op):
    coproc.nak_on_reset = True
    assert op("info")["result"] == -errno.ENOMEDIUM
    coproc.nak_on_reset = False
    coproc.banner = b"x" * 40  # no prompt within 32 characters
    t0 = time.monotonic()
    assert op("info")["result"] == -errno.ETIMEDOUT
    assert time.monotonic() - t0 < 5
    assert coproc.commands == []


def test_silent_coprocessor_times_out(coproc, op):
    coproc.banner = b""  # never boots
    t0 = time.monotonic()
    assert op("info")["result"] == -errno.ETIMEDOUT
    assert 10.5 < time.monotonic() - t0 < 40  # the boot wait

    coproc.banner = b">"
    coproc.silent = True  # boots, then answers nothing
    t0 = time.monotonic()
    assert op("info")["result"] == -errno.ETIMEDOUT
    assert time.monotonic() - t0 < 10  # one echo wait


def test_replies_and_their_checks(coproc, op, probe):
    coproc.set_adc(1, 500, input=7)
    assert op("input", 7)["result"] == 0
    coproc.next_replies = ["8\r"]
    assert op("input", 7)["result"] == -errno.EINVAL
    coproc.next_replies = ["0x1F\r"]
    assert op("adc", 6)["result"] == 31
    coproc.next_replies = ["1024\r"]
    assert op("adc", 6)["result"] == -errno.ERANGE
    coproc.next_replies = ["-5\r"]
    assert op("adc", 6)["result"] == -errno.ERANGE
    coproc.next_replies = ["99999999999\r"]
    assert op("adc", 6)["result"] == -errno.ERANGE
    assert "strtol" not in probe.stderr  # a number, only too large for the reply
    coproc.next_replies = ["99999999999999999999\r"]  # beyond what the conversion takes
    assert op("adc", 6)["result"] == -errno.ERANGE
    assert 'coproc_readnums(): strtol() failed on "99999999999999999999' in probe.stderr
    coproc.next_replies = ["abc\r"]
    assert op("adc", 6)["result"] == -errno.ENODATA
    coproc.next_replies = ["\r"]
    assert op("wdt")["result"] == -errno.ENODATA

    coproc.set_calls(0b0101, 0b0010)
    r = op("calls")
    assert (r["result"], r["pressed"], r["latched"]) == (0, "5", "7")
    for reply in ("5\r", "1 2 3\r", "\r"):
        coproc.next_replies = [reply]
        assert op("calls")["result"] == -errno.ENODATA, reply

    assert op("charge", 1)["result"] == 0 and coproc.charger_off is False
    assert op("charge", 0)["result"] == 0 and coproc.charger_off is True
    coproc.next_replies = ["0\r"]
    assert op("charge", 0)["result"] == -errno.EINVAL


def test_commands_sent(coproc, op):
    assert op("wdt", 960)["result"] == 960
    assert coproc.wdt_loads == [960]
    assert 955 <= op("wdt")["result"] <= 960
    coproc.set_temps([21.5, -0.5])
    assert op("tcon")["result"] == 3
    r = op("trd")
    assert (r["temp0"], r["temp1"]) == ("21.5", "-0.5")
    r = op("trd", 1)
    assert "temp1" not in r
    coproc.board_temp = 41
    assert op("temp")["temp"] == "41"
    assert op("pkt", "01", "ab")["result"] == 0
    assert coproc.packets == [b"\x01\xab"]
    assert coproc.commands[-1] == "pkt 01ab"
    assert op("pkt", *["00"] * 97)["result"] == -errno.EMSGSIZE
    assert op("read_ld", 13)["result"] == 0
    assert coproc.commands[-1] == "cnt 4"


def test_overlong_command_is_refused_before_sending(coproc, op):
    assert op("cmd", "x" * 256)["result"] == -errno.E2BIG
    assert op("cmd", "y" * 255)["result"] == 0
    assert coproc.commands == ["y" * 255]


def test_echo_faults(coproc, op, probe):
    coproc.drop_echo = 1  # the "v" of "ver"
    t0 = time.monotonic()
    assert op("info")["result"] == -errno.ETIMEDOUT
    assert time.monotonic() - t0 < 10
    assert "coproc_cmd(): Last written data: v\n" in probe.stderr
    assert "serial_waitchr(): select() returns 0" in probe.stderr

    coproc.wrong_echo = 1
    assert op("info")["result"] == -errno.ETIMEDOUT
    assert "Last received bytes:?" in probe.stderr


def test_garbage_and_floods(coproc, op):
    coproc.garbage_before_reply = b"zz"
    assert op("adc", 6)["result"] == -errno.ENODATA  # "zz0": no number where one is due
    coproc.garbage_before_reply = b""

    coproc.set_adc(6, 700)
    assert op("adc", 6)["result"] == 700
    coproc.flood = True
    t0 = time.monotonic()
    r = op("adc", 6)["result"]
    coproc.flood = False
    assert r < 0 and r != -errno.EINTR
    assert time.monotonic() - t0 < 30
    # And it recovers.
    assert op("adc", 6)["result"] == 700
