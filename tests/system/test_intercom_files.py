"""The intercom endpoint's files against what happens to them: the control
FIFO removed or replaced by a file or a directory, tools that die in the
middle of a line, the states file deleted, renamed over, locked by a
reader for a long time or kept from being written, and rates that no port
can take."""

import fcntl
import os
import re
import time

import pytest

from intercoms import (FIFO, HEADER, STATES, control, is_fifo, make_bus, start_console, state_lines, terminal_files,
                       wait_fifo, wait_states)
from sim.devices.icbus import CMD_CLC, CMD_REL, INP1

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (network namespaces)")

CONF = "etc/parlod-ic.conf"


@pytest.fixture
def bus(sandbox):
    terminal_files(sandbox)
    return make_bus(sandbox, rs3=dict(status=INP1), rs70={})


@pytest.fixture
def console(sandbox, ns, bus):
    c = start_console(sandbox, ns)
    wait_fifo(sandbox)
    wait_states(sandbox, lambda t: "rs3=" in t and "rs70=" in t)
    yield c
    assert c.stop() == 0
    # Only what the endpoint made goes with it.
    assert not os.path.exists(sandbox.path(STATES))
    assert not os.path.exists(sandbox.path(FIFO))
    assert leftovers(sandbox) == []


def leftovers(sandbox):
    """Temporary files of the states file's writer."""
    return [n for n in os.listdir(sandbox.path("run")) if n.startswith("parlod-ic-states.")]


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)
    return time.monotonic()


def sync(sandbox, bus):
    """A command after the ones before it: once its frame is out, the
    lines written before have all been read."""
    t0 = time.monotonic()
    control(sandbox, "clc 70\n")
    bus.wait_frame(command=CMD_CLC, address=70, since=t0)


@pytest.mark.parametrize("writer", [False, True], ids=["idle", "writer"])
@pytest.mark.parametrize("what", ["file", "directory", "removed"])
def test_control_fifo_taken_away(sandbox, bus, console, what, writer):
    """Whatever takes the FIFO's place is never read: the FIFO is back, and
    said so once, commands written to it run, and nothing spins."""
    path = sandbox.path(FIFO)
    # A tool that holds the FIFO open while it is replaced, and leaves.
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK) if writer else None
    start = console.mark()
    t0 = time.monotonic()
    cpu0 = console.cpu_seconds()
    if what == "file":
        sandbox.write("run/ctl.new", "rel 3 99\n" * 10)
        os.rename(sandbox.path("run/ctl.new"), path)
    else:
        os.unlink(path)
        if what == "directory":
            os.mkdir(path)
    if fd is not None:
        time.sleep(0.3)
        os.close(fd)
    back = wait_until(lambda: is_fifo(path), 10, "no FIFO again")
    console.wait(r"\nControl fifo replaced: made anew", start=start)

    # Over the next seconds the console takes what it always takes.
    time.sleep(max(0.0, t0 + 5 - time.monotonic()))
    used = console.cpu_seconds() - cpu0
    elapsed = time.monotonic() - t0
    print(f"{what}, writer {writer}: FIFO back after {back - t0:.2f} s; "
          f"{used:.2f} CPU-s in {elapsed:.1f} s ({100 * used / elapsed:.1f} % of a core)")
    assert used < 0.05 * elapsed

    t1 = time.monotonic()
    control(sandbox, "rel 3 7\n")
    assert bus.wait_frame(command=CMD_REL, address=3, since=t1).payload == b"\x07"
    said = console.text()[start:]
    assert said.count("Control fifo replaced") == 1, said
    assert "Error" not in said
    assert not [f for f in bus.sent(command=CMD_REL, since=t0) if f.payload == b"\x63"]


def test_control_fifo_that_cannot_be_made_again(sandbox, bus, console):
    """A directory with something in it stays: said once, and the FIFO is
    back once it is empty."""
    path = sandbox.path(FIFO)
    start = console.mark()
    cpu0 = console.cpu_seconds()
    t0 = time.monotonic()
    os.unlink(path)
    os.mkdir(path)
    sandbox.write(FIFO + "/keep", "x")
    console.wait(r"\nError creating control fifo: Directory not empty", start=start)
    time.sleep(3)
    assert console.cpu_seconds() - cpu0 < 0.05 * (time.monotonic() - t0)
    assert console.text()[start:].count("Error") == 1
    # Emptied, the directory is the console's to take away.
    os.unlink(sandbox.path(FIFO + "/keep"))
    wait_until(lambda: is_fifo(path), 10, "no FIFO again")
    console.wait(r"\nControl fifo made anew", start=start)
    t1 = time.monotonic()
    control(sandbox, "rel 3 5\n")
    assert bus.wait_frame(command=CMD_REL, address=3, since=t1).payload == b"\x05"


def test_half_lines_never_run(sandbox, bus, console):
    path = sandbox.path(FIFO)
    t0 = time.monotonic()
    # Tools that die in the middle of their line, one after another, and
    # some that end theirs with a CR. (A pipe does not say who wrote what:
    # the next tool comes once the last one's end has been seen.)
    for i in range(40):
        fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        os.write(fd, b"rel 3 9" if i % 2 else b"rel 3 9\r")
        os.close(fd)
        time.sleep(0.15)
    sync(sandbox, bus)
    assert len(bus.sent(command=CMD_REL, address=3, since=t0)) == 20

    # Two tools' halves are no command: the first left its half a while
    # ago and is still there; the second has the FIFO to itself.
    t0 = time.monotonic()
    first = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(first, b"rel 3")
        time.sleep(1.5)
        control(sandbox, " 8\n")
        sync(sandbox, bus)
    finally:
        os.close(first)
    time.sleep(0.3)  # the next tool comes once this one's end has been seen
    first = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    os.write(first, b"rel 70")
    os.close(first)
    time.sleep(0.3)
    control(sandbox, " 6\nrel 3 4\n")
    assert bus.wait_frame(command=CMD_REL, address=3, since=t0).payload == b"\x04"
    sync(sandbox, bus)
    assert [f.payload for f in bus.sent(command=CMD_REL, since=t0)] == [b"\x04"]

    # One tool's line cut between its writes is still one line.
    t0 = time.monotonic()
    fd = os.open(path, os.O_WRONLY)
    os.write(fd, b"rel 3")
    time.sleep(0.2)
    os.write(fd, b" 2\r\n")
    os.close(fd)
    assert bus.wait_frame(command=CMD_REL, address=3, since=t0).payload == b"\x02"


@pytest.mark.parametrize("ports", ["ports_mask=3\n", None], ids=["polling", "no_ports"])
@pytest.mark.parametrize("how", ["deleted", "renamed_over"])
def test_states_file_taken_away(sandbox, ns, how, ports):
    """Back, with what is current, within 2 s: also while no poll cycle
    completes, when the file is written only every fourth idle second."""
    terminal_files(sandbox, ports=ports)
    bus = make_bus(sandbox, rs3={})
    c = start_console(sandbox, ns)
    try:
        want = "rs3=0,1," if ports else "call=0"
        wait_states(sandbox, lambda t: t.startswith(HEADER))
        bus.intercoms[3].status = INP1
        wait_states(sandbox, lambda t: want in t)
        for turn in range(3):
            t0 = time.monotonic()
            if how == "deleted":
                os.unlink(sandbox.path(STATES))
            else:
                sandbox.write("run/states.new", "rs3=0,0,0,0,0,0,0,0\ncall=1\n")
                os.rename(sandbox.path("run/states.new"), sandbox.path(STATES))
            text = wait_states(sandbox, lambda t: t.startswith(HEADER) and want in t, timeout=10)
            took = time.monotonic() - t0
            print(f"{how}, ports {ports!r}: back after {took:.2f} s")
            assert took < 2, text
            if ports:
                assert state_lines(text)[3][1] == "1"
            assert text.endswith("call=0\n")
            time.sleep(0.3 * turn)
        assert "Error" not in c.text()
        assert leftovers(sandbox) == []
    finally:
        assert c.stop() == 0


def read_fresh(sandbox):
    """As the daemon reads the file, but never waiting for a lock: a few
    tries, then None."""
    for _ in range(10):
        fd = os.open(sandbox.path(STATES), os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            return os.pread(fd, 8191, 0).decode()
        except BlockingIOError:
            pass
        finally:
            os.close(fd)
        time.sleep(0.001)
    return None


def test_states_file_readers_that_keep_their_lock(sandbox, bus, console):
    """A reader that holds its lock, shared or even exclusive, keeps only
    its own old version: the writer goes on, and a reader that opens the
    file afresh sees the states as they are."""
    path = sandbox.path(STATES)
    start = console.mark()
    for kind in (fcntl.LOCK_SH, fcntl.LOCK_EX):
        held = os.open(path, os.O_RDONLY)
        try:
            fcntl.flock(held, kind)
            bus.intercoms[3].status ^= INP1
            field = "1" if bus.intercoms[3].status & INP1 else "0"
            t0 = time.monotonic()
            while True:
                text = read_fresh(sandbox)
                if text and state_lines(text).get(3, [None, None])[1] == field:
                    break
                assert time.monotonic() - t0 < 10, text
                time.sleep(0.05)
            print(f"lock {kind}: new states seen after {time.monotonic() - t0:.2f} s")
            # The held file is no longer the one at the path.
            assert os.fstat(held).st_nlink == 0
        finally:
            os.close(held)
    assert "Error" not in console.text()[start:]
    assert "flock" not in console.text()[start:]


def test_states_file_that_cannot_be_written(sandbox, bus, console):
    """Something that cannot be renamed over stands at the path: said once,
    no temporary file stays, and the file is back once the path is free."""
    path = sandbox.path(STATES)
    start = console.mark()
    while not os.path.isdir(path):
        try:
            os.unlink(path)
            os.mkdir(path)
        except (FileNotFoundError, FileExistsError):
            pass  # the console was quicker
    sandbox.write(STATES + "/keep", "x")
    console.wait(r"\nError creating states file: Is a directory", start=start)
    time.sleep(5)
    said = console.text()[start:]
    assert said.count("Error creating states file") == 1
    assert leftovers(sandbox) == []
    os.unlink(sandbox.path(STATES + "/keep"))
    os.rmdir(path)
    t0 = time.monotonic()
    wait_states(sandbox, lambda t: "rs3=0,1," in t, timeout=10)
    assert time.monotonic() - t0 < 5
    console.wait(r"\nStates file written again", start=start)


def test_a_dead_consoles_states_do_not_pass_for_the_new_ones(sandbox, ns):
    """Without ports no poll cycle completes, so the first states come
    after 4 s; until then the file is empty, not what was there."""
    terminal_files(sandbox, ports=None)
    sandbox.write(STATES, f"{HEADER}\nrs3=0,1,0,0,0,0,0,0\n# res,time\ncall=1\n")
    c = start_console(sandbox, ns)
    try:
        t0 = time.monotonic()
        assert wait_states(sandbox, lambda t: "call=1" not in t, timeout=5) == ""
        assert time.monotonic() - t0 < 2
        wait_states(sandbox, lambda t: t == f"{HEADER}\n# res,time\ncall=0\n", timeout=10)
    finally:
        assert c.stop() == 0


def test_bauds_that_no_port_can_take(sandbox, bus, console):
    ports = bus._ports
    conf = sandbox.read(CONF)
    start = console.mark()
    for bad in ("1", "abc", "4294967296", "115200,1", "9600abc", "0x", "1199", "4000001"):
        control(sandbox, f"bauds {bad}\n")
        item = bad.split(",")[-1]
        console.wait(r"\nbauds: " + re.escape(item) + " is no baud rate the ports can take", start=start)
        start = console.mark()
    sync(sandbox, bus)
    assert sandbox.read(CONF) == conf
    assert [p.termios2()[5] for p in ports] == [115200, 115200]
    # Nor does it spoil what comes next.
    control(sandbox, "bauds 0x4b00\n")
    bus.wait_for(lambda: ports[0].termios2()[5] == 19200)
    assert ports[1].termios2()[5] == 115200
    assert "ports_baud=0x4b00" in sandbox.read(CONF)
    control(sandbox, "bauds 1200,4000000\n")
    bus.wait_for(lambda: ports[1].termios2()[5] == 4000000)
    assert ports[0].termios2()[5] == 1200


def test_stored_bauds_that_no_port_can_take(sandbox, ns):
    terminal_files(sandbox, ports="ports_mask=3\nports_baud=1,4000001\n")
    bus = make_bus(sandbox, rs3={}, rs70={})
    c = start_console(sandbox, ns)
    try:
        c.wait(r"\nports_baud: 1 is no baud rate the ports can take; port 0 runs at 115200")
        c.wait(r"\nports_baud: 4000001 is no baud rate the ports can take; port 1 runs at 115200")
        wait_states(sandbox, lambda t: "rs3=" in t and "rs70=" in t)
        assert [p.termios2()[5] for p in bus._ports] == [115200, 115200]
    finally:
        assert c.stop() == 0
    # A good rate beside a bad one is taken.
    terminal_files(sandbox, ports="ports_mask=3\nports_baud=abc,57600\n")
    c = start_console(sandbox, ns)
    try:
        c.wait(r"\nports_baud: abc is no baud rate the ports can take; port 0 runs at 115200")
        bus.wait_for(lambda: bus._ports[1].termios2()[5] == 57600)
        assert bus._ports[0].termios2()[5] == 115200
    finally:
        assert c.stop() == 0


def test_fireman_mode_after_the_states_file_was_taken_away(sandbox, ns, terminal):
    """The daemon's fireman's mode reads intercom 3's input 1 in the states
    file: deleted, renamed over with old states, and held locked by a
    reader that never lets go, the file still brings the fireman's call."""
    from conftest import SETTINGS
    sandbox.write("etc/kelvgd.conf", SETTINGS.format(host=terminal.push.host) +
                  "fmm_enabled=1\nfmm_icomaddr=3\nfmm_soundch=1\nfmm_icominp=0\n")
    sandbox.write(CONF, "ports_mask=3\n")
    bus = make_bus(sandbox, rs3={})
    console = start_console(sandbox, ns, terminal.pulse)
    held = None
    try:
        wait_states(sandbox, lambda t: "rs3=" in t)
        sandbox.notify.clear()  # the console's READY=1 is not the daemon's
        terminal.start()
        terminal.cycles(2)

        os.unlink(sandbox.path(STATES))
        wait_states(sandbox, lambda t: "rs3=0,0," in t, timeout=5)
        terminal.cycles(2)
        sandbox.write("run/states.new", f"{HEADER}\nrs3=0,0,0,0,0,0,0,0\n# res,time\ncall=0\n")
        os.rename(sandbox.path("run/states.new"), sandbox.path(STATES))
        held = os.open(sandbox.path(STATES), os.O_RDONLY)
        fcntl.flock(held, fcntl.LOCK_SH)
        terminal.cycles(2)

        start = console.mark()
        t0 = time.monotonic()
        bus.intercoms[3].status |= INP1
        console.wait(r"Started call from pc:\* to rs485:rs3", start=start, timeout=20)
        print(f"fireman's call placed {time.monotonic() - t0:.2f} s after the input")
        assert terminal.state().get("fmm_active") == 1
        bus.intercoms[3].status &= ~INP1
        wait_states(sandbox, lambda t: t.endswith("call=0\n") and "rs3=0,0," in t, timeout=20)
        terminal.cycles(4)
        assert terminal.state().get("fmm_active") == 0
        assert terminal.stop() == 0
    finally:
        if held is not None:
            os.close(held)
        assert console.stop() == 0
