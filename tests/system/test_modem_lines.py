"""The preloaded modem lines of simulated serial ports (tests/tools/modem_lines.cpp)."""

import errno
import subprocess
import sys
import time

import pytest

from sim.sandbox import modem_lines
from sim.sandbox.modem_lines import DSR, DTR, RTS

# Runs modem-line ioctls on a port: argv is the port, then "get" or
# "set|bis|bic BITS" or "inq"; prints the result of each, or "error ERRNO".
IOCTLS = r"""
import fcntl, os, struct, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
reqs = {"get": termios.TIOCMGET, "set": termios.TIOCMSET, "bis": termios.TIOCMBIS,
        "bic": termios.TIOCMBIC, "inq": termios.FIONREAD}
args = sys.argv[2:]
while args:
    op = args.pop(0)
    bits = int(args.pop(0)) if op in ("set", "bis", "bic") else 0
    try:
        out = fcntl.ioctl(fd, reqs[op], struct.pack("i", bits))
        print(struct.unpack("i", out)[0] if op in ("get", "inq") else "ok")
    except OSError as e:
        print("error", e.errno)
"""


def ioctls(sandbox, port, *ops, timeout=30):
    r = subprocess.run([sys.executable, "-c", IOCTLS, port, *map(str, ops)], env=sandbox.env(),
                       capture_output=True, text=True, timeout=timeout)
    assert r.returncode == 0, r.stderr
    return r.stdout.split("\n")[:-1]


@pytest.fixture
def port(sandbox):
    pty = sandbox.pty("ttyS1")
    changes = []
    modem = sandbox.modem_lines(pty, on_change=lambda old, new: changes.append((old, new)))
    modem.changes = changes
    modem.pty = pty
    return modem


def test_the_program_drives_the_outputs_and_reads_the_inputs(sandbox, port):
    port.dsr = True
    dev = sandbox.path("dev/ttyS1")
    out = ioctls(sandbox, dev, "get", "bis", DTR | RTS, "bic", RTS, "set", RTS, "get", "bis", DSR, "get")
    assert out == [str(DSR), "ok", "ok", "ok", str(DSR | RTS), "ok", str(DSR | RTS)]
    # The device's inputs are the device's: a request cannot change them.
    assert port.changes == [(DSR, DSR | DTR | RTS), (DSR | DTR | RTS, DSR | DTR), (DSR | DTR, DSR | RTS)]
    assert [(r.op, r.bits) for r in port.requests] == [("get", 0), ("bis", DTR | RTS), ("bic", RTS), ("set", RTS),
                                                         ("get", 0), ("bis", DSR), ("get", 0)]
    assert port.rts and not port.dtr

    port.dsr = False
    # The same device by its own name, and other requests on it go to the kernel.
    port.pty.write(b"abc\n")
    assert ioctls(sandbox, port.pty.slave_path, "get", "inq") == [str(RTS), "4"]


def test_other_ports_keep_what_the_kernel_says(sandbox, port):
    other = sandbox.pty("ttyS2")
    assert ioctls(sandbox, other.slave_path, "get", "bis", DTR) == [f"error {errno.ENOTTY}"] * 2
    assert ioctls(sandbox, sandbox.write("etc/plain", ""), "get") == [f"error {errno.ENOTTY}"]
    assert port.requests == []


def test_a_simulator_that_fails_or_is_gone(sandbox, port):
    dev = sandbox.path("dev/ttyS1")
    port.fail_next(errno.EPERM)
    assert ioctls(sandbox, dev, "bis", DTR, "bis", DTR) == [f"error {errno.EPERM}", "ok"]
    assert port.dtr and port.requests[0].lines is None

    # Unanswered, the request fails after a bounded wait.
    port.deaf = True
    t0 = time.monotonic()
    assert ioctls(sandbox, dev, "get") == [f"error {errno.EIO}"]
    assert 1.5 < time.monotonic() - t0 < 10
    port.deaf = False

    env = sandbox.env()
    port.close()
    r = subprocess.run([sys.executable, "-c", IOCTLS, dev, "get"], env=env, capture_output=True, text=True,
                       timeout=30)
    assert r.stdout == f"error {errno.EIO}\n"


def test_the_library_must_be_built(sandbox, monkeypatch):
    monkeypatch.setenv("MODEM_LINES", sandbox.path("nowhere.so"))
    with pytest.raises(RuntimeError, match="no modem-line library"):
        modem_lines.preload_library()
