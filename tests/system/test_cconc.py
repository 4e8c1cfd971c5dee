"""ccdump and ccctl against simulated control concentrators on their bus."""

import errno
import fcntl
import os
import subprocess
import time

import pytest

from sim.devices.cconc import ConcentratorBus, request

TTY = "ttyS1"


@pytest.fixture
def bus(sandbox):
    sandbox.run("cfg")  # the shared state
    pty = sandbox.pty(TTY)
    return sandbox.attach(ConcentratorBus(pty))


def lines(result):
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_command_to_one_unit(sandbox, bus):
    assert request(3, 0x10) == bytes.fromhex("0B0110E4")
    u = bus.units[3]
    u.status, u.flags, u.value = 0x12, 0x11, 0x3F  # the reply 0B 04 10 12 11 3F 7F
    assert lines(sandbox.run("ccctl", "-a", "3", "-c", "0x10")) == ["cc3=00010010,1,3f,1"]
    # The frame as sent, and nothing else on the bus.
    assert bus.requests == [(3, 0x10)] and bus.junk == b""
    assert u.commands == [0x10]
    assert bus.pty.line() == (9600, 8, "N", 2)
    assert sandbox.notify.messages()[-1] == "ERRNO=0"

    # Only flag bits 0 and 4 are reported.
    u.status, u.flags, u.value = 0x80, 0xEE, 0x00
    assert lines(sandbox.run("ccctl", "-a", "3", "-c", "255")) == ["cc3=10000000,0,00,0"]
    u.flags = 0x10
    assert lines(sandbox.run("ccctl", "-a", "3", "-c", "0")) == ["cc3=10000000,0,00,1"]


def test_dump_without_units(sandbox, bus):
    for u in bus.units:
        u.present = False
    t0 = time.monotonic()
    assert lines(sandbox.run("ccdump")) == [f"cc{a}=" for a in range(8)]
    assert 0.7 < time.monotonic() - t0 < 20  # about 100 ms for each silent unit
    assert bus.requests == [(a, 0) for a in range(8)]


def test_dump_with_units_that_answer_wrongly(sandbox, bus):
    for a, u in enumerate(bus.units):
        u.status, u.flags, u.value = 0xA0 + a, 0x01, a
    faults = ["extra", None, "bad_check", "wrong_echo", "late", None, None, "slow"]
    for u, fault in zip(bus.units, faults):
        u.fault = fault
    # Unit 4's late answer comes in the turn of one of these.
    bus.units[5].present = bus.units[6].present = False
    out = lines(sandbox.run("ccdump"))
    assert out == [
        "cc0=10100000,1,00,0",  # what followed the reply was dropped
        "cc1=10100001,1,01,0",
        "cc2=",
        "cc3=",
        "cc4=",
        "cc5=",  # another unit's reply is not this one's
        "cc6=",
        "cc7=10100111,1,07,0",  # slow, but each byte within its wait
    ]

    bus.clear()
    faults = ["wrong_address", "wrong_type", "short", "garbage", None, None, None, None]
    for u, fault in zip(bus.units, faults):
        u.fault, u.present = fault, True
    out = lines(sandbox.run("ccdump"))
    assert out[:5] == ["cc0=", "cc1=", "cc2=", "cc3=", "cc4=10100100,1,04,0"]
    assert bus.requests == [(a, 0) for a in range(8)] and bus.junk == b""


def test_bus_unavailable(sandbox, bus):
    # Another process holds the bus.
    with open(sandbox.path("dev/" + TTY), "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        r = sandbox.run("ccdump")
    assert (r.returncode, r.stdout) == (1, "")
    assert "in use" in r.stderr
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EBUSY}"
    assert bus.requests == []

    os.unlink(sandbox.path("dev/" + TTY))
    r = sandbox.run("ccctl", "-a", "0", "-c", "1")
    assert (r.returncode, r.stdout) == (1, "")
    assert "open(" in r.stderr
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.ENOENT}"


def test_output_that_cannot_be_written(sandbox, bus):
    with open("/dev/full", "w") as full:
        for cmd in (["ccdump"], ["ccctl", "-a", "1", "-c", "2"]):
            r = subprocess.run([sandbox.kelvgd, *cmd], stdout=full, env=sandbox.env(), timeout=30)
            assert r.returncode == 1
            assert sandbox.notify.messages()[-1] == f"ERRNO={errno.ENOSPC}"
    assert bus.requests == [(0, 0), (1, 2)]  # stopped at the first line
