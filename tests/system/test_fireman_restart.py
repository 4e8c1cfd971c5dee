"""Fireman's mode across a restart of the voice console: a console that
crashed, or was killed, comes back without the fireman's call, and the
key switch has not changed; the daemon places the call again, once for
each loss."""

import os
import select
import threading
import time

import pytest

from conftest import SETTINGS
from intercoms import make_bus, start_console, wait_states
from sim.devices.icbus import INP1
from sim.sandbox.syslog import SyslogCapture

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (network namespaces, mounts)")

FMM = "fmm_enabled=1\nfmm_icomaddr=3\nfmm_soundch=1\nfmm_icominp=0\n"
LOST = "Fireman's call lost, calling intercom 3 again"
LOG_DAEMON_WARNING = 3 << 3 | 4
STARTED = r"Started call from pc:\* to rs485:rs3"


def lost_messages(log):
    return [pri for pri, text in log.messages() if text == LOST]


def test_fireman_is_called_again_after_a_console_crash(sandbox, ns, terminal):
    sandbox.write("etc/kelvgd.conf", SETTINGS.format(host=terminal.push.host) + FMM)
    sandbox.write("etc/parlod-ic.conf", "ports_mask=3\n")
    bus = make_bus(sandbox, rs3={})
    ic = bus.intercoms[3]
    log = sandbox.attach(SyslogCapture(sandbox))
    console = start_console(sandbox, ns, terminal.pulse)
    try:
        wait_states(sandbox, lambda t: "rs3=" in t)
        sandbox.notify.clear()  # the console's READY=1 is not the daemon's
        terminal.start(wrap=log.wrap)
        ic.status |= INP1
        console.wait(STARTED, timeout=60)
        wait_states(sandbox, lambda t: t.endswith("call=1\n"))
        terminal.cycles(2)  # the daemon has seen the call up

        # The console dies in the call; its service manager starts it again.
        console.proc.kill()
        console.proc.wait(timeout=10)
        terminal.cycles(2)  # its states file still shows the call
        sandbox.notify.clear()
        console = start_console(sandbox, ns, terminal.pulse)
        ready = time.monotonic()
        console.wait(STARTED, timeout=30)
        delay = time.monotonic() - ready
        print(f"called again {delay:.2f} s after the console's readiness")
        assert delay < 5, delay
        heard = len(ic.heard)
        assert bus.wait_for(lambda: len(ic.heard) >= heard + 50, timeout=15)

        # Once for the one loss: the call stays up, nothing more is placed.
        wait_states(sandbox, lambda t: t.endswith("call=1\n"))
        terminal.cycles(6)
        assert console.text().count("Started call from") == 1
        assert lost_messages(log) == [LOG_DAEMON_WARNING]
        assert terminal.state().get("fmm_active") == 1
        assert terminal.stop() == 0
        assert "No such device or address" not in terminal.proc.stderr.read()
        assert console.stop() == 0
    finally:
        console.stop()


class PipeReader:
    """The console's command pipe as a console that does nothing but read
    it: every line written, in order."""

    def __init__(self, path):
        # Opened for writing too, so that a writer's close is no end.
        self.fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        self.lines = []
        self._data = b""
        self._stop = False
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while not self._stop:
            if select.select([self.fd], [], [], 0.05)[0]:
                self._data += os.read(self.fd, 4096)
                *done, self._data = self._data.split(b"\n")
                with self._lock:
                    self.lines += [line.decode() for line in done]

    def got(self):
        with self._lock:
            return list(self.lines)

    def wait(self, count, timeout=10):
        deadline = time.monotonic() + timeout
        while len(self.got()) < count:
            assert time.monotonic() < deadline, f"{len(self.got())} lines of {count}: {self.got()}"
            time.sleep(0.02)
        return self.got()

    def close(self):
        if self.fd < 0:
            return
        self._stop = True
        self._thread.join(5)
        os.close(self.fd)
        self.fd = -1


def write_states(sandbox, inp1, call):
    """A states file as the console writes it; call None: the empty file of
    a console that has just started."""
    text = "" if call is None else (f"# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\n"
                                    f"rs3=0,{inp1},0,0,0,0,0,0\n# res,time\ncall={call}\n")
    path = sandbox.path("run/parlod-ic-states")
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


def test_fireman_call_is_placed_once_for_each_loss(sandbox, terminal):
    sandbox.write("etc/kelvgd.conf", SETTINGS.format(host=terminal.push.host) + FMM)
    pipe = sandbox.path("run/parlod-cli")
    os.mkfifo(pipe)
    console = PipeReader(pipe)
    log = sandbox.attach(SyslogCapture(sandbox))
    try:
        write_states(sandbox, inp1=1, call=0)
        terminal.start(wrap=log.wrap)
        assert console.wait(1) == ["call rs3"]
        write_states(sandbox, inp1=1, call=1)
        terminal.cycles(2)

        # The console goes, and comes back with an empty states file; its
        # pipe has no reader yet: the call waits for it, without a word.
        console.close()
        write_states(sandbox, inp1=1, call=None)
        terminal.cycles(3)
        console = PipeReader(pipe)
        assert console.wait(1) == ["call rs3"]
        assert lost_messages(log) == [LOG_DAEMON_WARNING]

        # The call never comes up: it is not placed again and again.
        write_states(sandbox, inp1=1, call=0)
        terminal.cycles(4)
        assert console.got() == ["call rs3"]

        # Up and lost again: once more.
        write_states(sandbox, inp1=1, call=1)
        terminal.cycles(2)
        write_states(sandbox, inp1=1, call=0)
        assert console.wait(2) == ["call rs3"] * 2
        terminal.cycles(4)
        assert console.got() == ["call rs3"] * 2 and len(lost_messages(log)) == 2

        # Fireman's mode ends while the call is up: nothing is remembered
        # of it. Begun again, its call is placed once, by the start alone.
        write_states(sandbox, inp1=1, call=1)
        terminal.cycles(2)
        write_states(sandbox, inp1=0, call=1)
        assert console.wait(3)[2] == "hangup"
        write_states(sandbox, inp1=1, call=0)
        assert console.wait(4)[3] == "call rs3"
        terminal.cycles(4)
        assert console.got() == ["call rs3"] * 2 + ["hangup", "call rs3"]
        assert len(lost_messages(log)) == 2
        assert terminal.stop() == 0
        assert "No such device or address" not in terminal.proc.stderr.read()
    finally:
        console.close()
