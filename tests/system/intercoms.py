"""The voice console with simulated intercom buses: what the intercom tests
share. The console runs in a network namespace of the test's own (its SIP
side listens there), its buses are the simulator's pseudo-terminals."""

import fcntl
import os
import re
import stat
import time

from sim.devices.icbus import IntercomBus
from test_console import Console

STATES = "run/parlod-ic-states"
FIFO = "run/parlod-ic-ctl"
HEADER = "# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause"


class NoSound:
    """A console that makes no local calls needs no sound server."""

    def env(self):
        return {"PULSE_SERVER": "unix:/nonexistent"}


def terminal_files(sandbox, ports="ports_mask=3\n", revision=4):
    """A GPIO-mode terminal: its buses are ttyS1 and ttyS2 (revision 4 has
    no serial adapter in front of them)."""
    sandbox.write("etc/device.conf", f"cio=0\nrevision={revision}\n")
    if ports is not None:
        sandbox.write("etc/parlod-ic.conf", ports)


def start_console(sandbox, ns, pulse=None, *args):
    return Console(sandbox, ns, pulse or NoSound(), *args)


def read_states(sandbox):
    """The states file as the daemon reads it (shared lock); None while
    there is none."""
    try:
        fd = os.open(sandbox.path(STATES), os.O_RDONLY)
    except FileNotFoundError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_SH)
        return os.pread(fd, 8191, 0).decode()
    finally:
        os.close(fd)


def wait_states(sandbox, condition, timeout=15):
    """Waits for a states file text that satisfies condition; returns it."""
    deadline = time.monotonic() + timeout
    text = None
    while time.monotonic() < deadline:
        text = read_states(sandbox)
        if text is not None and condition(text):
            return text
        time.sleep(0.05)
    raise AssertionError(f"states file never as wanted in {timeout} s; last:\n{text}")


def state_lines(text):
    """{address: [fields]} of the "rs" lines."""
    return {int(m.group(1)): m.group(2).split(",") for m in re.finditer(r"^rs(\d+)=(.*)$", text, re.M)}


def control(sandbox, text):
    """As a local tool writes the control FIFO: one write, then close."""
    fd = os.open(sandbox.path(FIFO), os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, text.encode() if isinstance(text, str) else text)
    finally:
        os.close(fd)


def is_fifo(path):
    try:
        return stat.S_ISFIFO(os.stat(path).st_mode)
    except FileNotFoundError:
        return False


def wait_fifo(sandbox, timeout=10):
    deadline = time.monotonic() + timeout
    while not os.path.exists(sandbox.path(FIFO)):
        assert time.monotonic() < deadline, "no control FIFO"
        time.sleep(0.05)


def make_bus(sandbox, **intercoms):
    """The simulator, with intercoms given as rs<n>=dict(...)."""
    bus = sandbox.attach(IntercomBus(sandbox))
    for name, kw in intercoms.items():
        bus.add(int(name[2:]), **kw)
    return bus


def wait_no_calls(console, timeout=10):
    """Until the console has no call left (its end is reported before the
    call is gone)."""
    deadline = time.monotonic() + timeout
    while True:
        start = console.mark()
        console.send("calls")
        try:
            console.wait(r"No calls|\d+: \S+ -> ", start=start, timeout=5)
        except AssertionError:
            pass
        if "No calls" in console.text()[start:]:
            return
        assert time.monotonic() < deadline, "the call stays"
        time.sleep(0.2)
