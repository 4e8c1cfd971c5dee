import os
import subprocess
import sys
import tempfile
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)

from sim.devices.coproc import Coprocessor  # noqa: E402
from sim.peers.push import PushServer  # noqa: E402
from sim.sandbox import sysv  # noqa: E402
from sim.sandbox.pulse import PulseServer  # noqa: E402
from sim.sandbox.sandbox import Sandbox  # noqa: E402
from sim.sandbox.standins import StandIns  # noqa: E402


def built(variable, default):
    path = os.environ.get(variable, os.path.join(ROOT, default))
    if not os.access(path, os.X_OK):
        pytest.fail(f"nothing at {path}: build first, or set {variable}")
    return path


def build_dir():
    """The build tree of the programs under test: they lie one folder below
    its top."""
    return os.path.dirname(os.path.dirname(built("KELVGD", "build/kelvgd/kelvgd")))


@pytest.fixture(scope="session")
def kelvgd_binary():
    return built("KELVGD", "build/kelvgd/kelvgd")


@pytest.fixture(scope="session")
def probe_binary():
    return built("KELVGD_PROBE", "build/tests/tools/kelvgd_probe")


class Probe:
    """Runs single operations of the daemon's internals in a sandbox."""

    def __init__(self, binary, sandbox):
        self.binary = binary
        self.sb = sandbox
        self.stderr = ""

    def __call__(self, *args, env=None, timeout=60, wrap=None):
        # Files, not pipes: a detached bell process keeps the descriptors,
        # and the probe is done when it exits.
        with tempfile.TemporaryFile("w+") as out_f, tempfile.TemporaryFile("w+") as err_f:
            argv = [self.binary, str(self.sb.key), *map(str, args)]
            r = subprocess.run(wrap(argv) if wrap else argv, env=self.sb.env(env),
                               stdout=out_f, stderr=err_f, text=True, timeout=timeout)
            out_f.seek(0)
            err_f.seek(0)
            stdout, self.stderr = out_f.read(), err_f.read()
        assert r.returncode == 0, self.stderr
        out = {}
        for line in stdout.splitlines():
            key, _, value = line.partition("=")
            out[key] = value
        out["result"] = int(out["result"])
        return out


@pytest.fixture
def probe(probe_binary, sandbox):
    return Probe(probe_binary, sandbox)


@pytest.fixture
def ns():
    """A private network namespace for SIP and RTP (sim/peers/sip_peers.py)."""
    from sim.peers.sip_peers import NetNs

    n = NetNs()
    yield n
    n.close()


@pytest.fixture
def sandbox(kelvgd_binary):
    """A fresh sandbox root with its own kelvgd copy and notification socket."""
    sb = Sandbox(kelvgd_binary)
    yield sb
    sb.close()
    assert not sysv.exists(sb.key), "the sandbox's shared state outlived it"


SERIAL_LINES = {47: 0, 52: 0, 57: 0, 59: 0, 49: 0, 20: 1, 7: 0, 86: 0, 87: 0, 88: 0, 89: 0}


def daemon_holds_gpio(sandbox, devtype=1, counts=(22, 8, 4, 2)):
    """Makes the sandbox look as it does while the daemon runs: the serial
    variant's lines exported and configured, one GPIO user, the device
    type read and its counts published."""
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    chip = sandbox.chip or sandbox.gpio()
    assert sandbox.run("cfg").returncode == 0  # creates the shared state
    for n, level in SERIAL_LINES.items():
        if n not in chip.lines:
            with open(sandbox.path("sys/class/gpio/export"), "w") as f:
                f.write(str(n))
        with open(sandbox.path(f"sys/class/gpio/gpio{n}/direction"), "w") as f:
            f.write("high" if level else "low")
    st = sandbox.state()
    st.set("gpiousr", 1)
    st.set("devtype", devtype)
    st.set("devtype_valid", 1)
    for name, value in zip(("num_discrete", "num_buttons", "num_relays", "num_tsensors"), counts):
        st.set(name, value)
    st.set("daemon_loop", 1)
    return chip


def report_lines(text):
    return dict(line.split("=", 1) for line in text.splitlines())


SETTINGS = "push_enabled=1\nserv_addr={host}\nwdt_disabled=1\nmulti_notify=1\nforce_notify=1\n"


class Terminal:
    """A running GPIO-mode terminal and everything around it."""

    def __init__(self, sandbox, push, coproc, pulse, standins):
        self.sb, self.push, self.cp, self.pulse, self.standins = sandbox, push, coproc, pulse, standins
        self.proc = None

    def start(self, *args, **kw):
        """kw: as Sandbox.spawn()."""
        self.proc = self.sb.spawn("run", *args, env=self.pulse.env(), **kw)
        assert self.sb.notify.wait_for("READY=1", timeout=30), self.stderr()
        return self.proc

    def stderr(self):
        if self.proc and self.proc.poll() is not None:
            return self.proc.stderr.read()
        return ""

    def run(self, *args):
        return self.sb.run(*args, env=self.pulse.env())

    def state(self):
        return self.sb.state()

    def cycles(self, n=2, timeout=20):
        """Waits until the loop has run n more cycles (rate updates)."""
        st = self.state()
        seen, last = 0, st.get("urate")
        deadline = time.monotonic() + timeout
        while seen < n:
            assert time.monotonic() < deadline, "the loop does not cycle"
            time.sleep(0.02)
            now = st.get("urate")
            if now != last:
                seen, last = seen + 1, now

    def stop(self):
        if self.proc and self.proc.poll() is None:
            assert self.sb.run("stop").returncode == 0
            return self.proc.wait(timeout=15)
        return self.proc.returncode if self.proc else None


@pytest.fixture
def terminal(sandbox):
    """A small terminal (device type 0: 7 inputs, 4 buttons, 1 relay) with
    healthy readings and push enabled."""
    push = sandbox.attach(PushServer())
    pulse = sandbox.attach(PulseServer(sandbox.path("pulse")))
    standins = StandIns(sandbox)
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.write("etc/kelvgd.conf", SETTINGS.format(host=push.host))
    chip = sandbox.gpio()
    cp = sandbox.attach(Coprocessor(sandbox.pty("ttyS4"), chip, devtype=0))
    cp.set_adc(1, 190, input=7)  # reference loop
    for i in range(7):
        cp.set_adc(1, 250, input=i)  # closed loops, no alarm-free value needed here
    cp.set_adc(6, 900)  # battery about 15.6 V
    cp.set_adc(7, 700)  # supply about 12.1 V
    t = Terminal(sandbox, push, cp, pulse, standins)
    yield t
    t.stop()


class CioTerminal:
    """A CIO-mode terminal: the real daemon, its board (sim/devices/cio_boards.py,
    the USB board unless named) and a dispatcher simulated, the system log
    caught."""

    def __init__(self, sandbox, board="usb"):
        from sim.devices import cio_boards
        from sim.peers.dispatcher import Dispatcher
        from sim.sandbox.syslog import SyslogCapture

        self.sb = sandbox
        self.disp = sandbox.attach(Dispatcher())
        self.board = cio_boards.attach(sandbox, board)
        self.log = sandbox.attach(SyslogCapture(sandbox))
        self.proc = None
        sandbox.write("etc/kelvgd.conf", "wdt_disabled=1\n")
        self.addresses(self.disp.host)

    def addresses(self, text, interval=None):
        conf = f"disp_addresses={text}\n"
        if interval is not None:
            conf += f"disp_interval={interval}\n"
        self.sb.write("etc/disp.conf", conf)

    def start(self, *args, ready=True, prefix=()):
        """kelvgd run with args; prefix goes in front of the program."""
        argv = [*prefix, self.sb.kelvgd, "run", *map(str, args)]
        self.proc = self.sb.adopt(subprocess.Popen(self.log.wrap(argv),
                                                   env=self.sb.env(), stdout=subprocess.PIPE,
                                                   stderr=subprocess.PIPE, text=True))
        if ready:
            assert self.sb.notify.wait_for("READY=1", timeout=20), self.stderr()
        return self.proc

    def stderr(self, timeout=0):
        if self.proc and timeout:
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        if self.proc and self.proc.poll() is not None:
            return self.proc.stderr.read()
        return ""

    def run(self, *args):
        return self.sb.run(*args)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            assert self.sb.run("stop").returncode == 0
            return self.proc.wait(timeout=15)
        return self.proc.returncode if self.proc else None

    def command(self, cmd, kind="TC", timeout=10):
        """Sends one command and waits for the next message of that kind."""
        n = len([m for m in self.disp.messages if m.kind == kind])
        self.disp.send(cmd)
        assert self.disp.wait_messages(n + 1, kind, timeout), f"no {kind} after {cmd}"
        return [m for m in self.disp.messages if m.kind == kind][n]


@pytest.fixture
def cio(sandbox):
    t = CioTerminal(sandbox)
    yield t
    t.stop()
    assert t.disp.errors == []
