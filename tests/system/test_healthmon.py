"""The failure monitor (failmon) and the audio self-test (atest), with a real
PulseAudio server, simulated front LEDs and stand-ins for systemctl."""

import os
import signal
import tempfile
import threading
import time

import pytest

from sim.devices.leds import LedClass
from sim.sandbox.pulse import PulseServer
from sim.sandbox.standins import StandIns

RED, GREEN = "kel:red", "kel:green"
SOFTCONNECT = "sys/kernel/debug/musb-hdrc.0/softconnect"
USB_CYCLE = "Performing USB power cycle...\n"
# The green LED as the platform leaves it: blinking by its trigger, dimmed.
GREEN_BEFORE = ("timer", 100)

# Takes the place of "kelvgd atest" for the monitor: a test that never ends.
HUNG_TEST = """#!/bin/sh
echo $$ >> "$KEL_ROOT/atest.pids"
exec sleep 600
"""


@pytest.fixture(scope="module")
def pulse():
    server = PulseServer(tempfile.mkdtemp(prefix="kel-pa-"))
    # A source that never delivers anything: nobody writes its pipe.
    server.pactl("load-module", "module-pipe-source", "source_name=dead", f"file={server.dir}/dead.fifo")
    yield server
    server.close()


@pytest.fixture
def leds(sandbox):
    leds = sandbox.attach(LedClass())
    leds.preset(GREEN, *GREEN_BEFORE)
    leds.mount(sandbox.path("sys/class/leds"))
    yield leds
    # Nobody may still be using the files when they go.
    for p in sandbox.children:
        if p.poll() is None:
            p.kill()
            p.wait()
    leds.close()


@pytest.fixture
def standins(sandbox):
    return StandIns(sandbox)


@pytest.fixture
def terminal(sandbox, leds, standins):
    """A GPIO-mode terminal whose firmware is loaded, with its shared state."""
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.write(SOFTCONNECT, "1")
    assert sandbox.run("cfg").returncode == 0
    sandbox.notify.clear()
    return sandbox


@pytest.fixture
def hung_test(sandbox):
    """An environment in which the monitor's audio tests never end; yields
    a function that lists the pids of the tests started so far."""
    sandbox.write("hang/kelvgd", HUNG_TEST, mode=0o755)

    def pids():
        try:
            return [int(line) for line in sandbox.read("atest.pids").split()]
        except FileNotFoundError:
            return []

    yield {"PATH": sandbox.path("hang") + ":" + sandbox.env()["PATH"]}, pids
    for pid in pids():
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class FileWatch:
    """Notes every change of a small file's content, with its time."""

    def __init__(self, path):
        self.path = path
        self.changes = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)
        self._thread.start()

    def _poll(self):
        last = None
        while not self._stop.is_set():
            try:
                with open(self.path) as f:
                    text = f.read().strip()
            except FileNotFoundError:
                text = None
            # Empty: caught between truncation and write.
            if text and text != last:
                self.changes.append((time.monotonic(), text))
                last = text
            time.sleep(0.02)

    def wait_for(self, text, after=0.0, timeout=60):
        """The time the content became text, after the given time."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for t, seen in list(self.changes):
                if seen == text and t > after:
                    return t
            time.sleep(0.05)
        raise AssertionError(f"{self.path} did not become {text!r}: {self.changes}")

    def close(self):
        self._stop.set()
        self._thread.join(5)


def start(sandbox, env=None):
    p = sandbox.spawn("failmon", env=env)
    assert sandbox.notify.wait_for("READY=1"), p.stderr.read() if p.poll() is not None else ""
    return p


def stop(sandbox, p):
    """SIGTERM; the monitor ends its pass and exits with success. Its stderr."""
    p.send_signal(signal.SIGTERM)
    _, err = p.communicate(timeout=30)
    assert p.returncode == 0, err
    assert sandbox.notify.wait_for("ERRNO=0")
    assert "STOPPING=1" in sandbox.notify.messages()
    return err


def wait_status(sandbox, text, timeout=20):
    """The time the status arrived. Statuses come every pass, so an older
    one is of no use: clear() the notifications before changing things."""
    assert sandbox.notify.wait_for("STATUS=" + text, timeout), sandbox.notify.messages()
    return time.monotonic()


def wait_groups(leds, since, count, timeout=20):
    """The flash counts of the red LED's first count complete groups begun
    after since."""
    deadline = time.monotonic() + timeout
    while len(leds.groups(RED, since)) <= count:  # the last may still grow
        assert time.monotonic() < deadline, leds.groups(RED, since)
        time.sleep(0.05)
    return leds.groups(RED, since)[:count]


def wait_led(leds, name, state, timeout=10):
    """Until the LED is in the state: the monitor reports first, then
    takes the green LED over."""
    deadline = time.monotonic() + timeout
    while leds.led(name) != state:
        assert time.monotonic() < deadline, leds.led(name)
        time.sleep(0.02)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_healthy_terminal(sandbox, terminal, leds, standins, pulse):
    p = start(sandbox, pulse.env())
    wait_status(sandbox, "System is healthy")
    assert sandbox.notify.messages()[:2] == ["READY=1", "STATUS=System is healthy"]
    assert standins.calls("systemctl") == [["--quiet", "is-active", "firmware-load.service"]]
    assert stop(sandbox, p) == ""
    assert sandbox.notify.messages()[-1] == "ERRNO=0"
    assert leds.history() == []
    assert sandbox.read(SOFTCONNECT) == "1"


def test_errors_on_the_leds(sandbox, terminal, leds, pulse):
    """The real audio test passes throughout: no status carries bit 2."""
    st = sandbox.state()
    st.set("error_coproc", 1)
    p = start(sandbox, pulse.env())
    t = wait_status(sandbox, "Errors detected (0x02)")
    wait_led(leds, GREEN, ("none", 0))
    assert wait_groups(leds, t, 2) == [2, 2]

    # The battery error is reported, but only the other one is shown.
    sandbox.notify.clear()
    st.set("error_batt", 1)
    t = wait_status(sandbox, "Errors detected (0x03)")
    assert wait_groups(leds, t, 1) == [2]
    assert leds.led(GREEN) == ("none", 0)

    # The battery error alone: one flash, the green LED back as it was and
    # left alone from then on.
    sandbox.notify.clear()
    st.set("error_coproc", 0)
    t = wait_status(sandbox, "Errors detected (0x01)")
    assert leds.led(GREEN) == GREEN_BEFORE
    green_writes = leds.history(GREEN)
    assert [(e.attr, e.value) for e in green_writes[-2:]] == [("brightness", "100"), ("trigger", "timer")]
    assert wait_groups(leds, t, 1) == [1]
    assert leds.history(GREEN) == green_writes

    sandbox.notify.clear()
    st.set("error_batt", 0)
    t = wait_status(sandbox, "System is healthy")
    time.sleep(2)
    assert leds.groups(RED, t) == []
    assert not any("Errors" in m for m in sandbox.notify.messages())
    stop(sandbox, p)
    assert leds.history(GREEN) == green_writes
    assert leds.led(RED)[1] == 0


def test_battery_error_leaves_the_green_led_alone(sandbox, terminal, leds, pulse):
    sandbox.state().set("error_batt", 1)
    p = start(sandbox, pulse.env())
    t = wait_status(sandbox, "Errors detected (0x01)")
    assert wait_groups(leds, t, 1) == [1]
    stop(sandbox, p)
    assert leds.history(GREEN) == []
    assert leds.led(GREEN) == GREEN_BEFORE


def test_audio_test(sandbox, pulse):
    r = sandbox.run("atest", env=pulse.env())
    assert (r.returncode, r.stderr) == (0, "")

    r = sandbox.run("atest", env={"PULSE_SERVER": f"unix:{sandbox.path('run/no-server')}"})
    assert r.returncode == 1
    assert r.stderr.startswith("Failed to connect to Pulse Audio server: ")

    # A source that delivers nothing is given up on, never waited for.
    t0 = time.monotonic()
    r = sandbox.run("atest", env=dict(pulse.env(), PULSE_SOURCE="dead"))
    took = time.monotonic() - t0
    assert (r.returncode, r.stderr) == (1, "Timeout connecting stream to Pulse Audio server\n")
    assert 4.5 < took < 30
    # It runs without the daemon's shared state and tells systemd nothing.
    assert sandbox.notify.messages() == []


def test_firmware_not_loaded(sandbox, terminal, leds, standins, hung_test):
    env, pids = hung_test
    standins.set_status("systemctl", 3)
    p = start(sandbox, env)
    wait_status(sandbox, "Errors detected (0x08)")
    deadline = time.monotonic() + 10
    while not pids():
        assert time.monotonic() < deadline, "no audio test started"
        time.sleep(0.05)
    stop(sandbox, p)
    # The pass ends with its blink; the test still running ends with the monitor.
    groups = leds.groups(RED)
    assert groups and set(groups) == {4}
    assert leds.led(GREEN) == GREEN_BEFORE
    assert not alive(pids()[0])


def test_configuration_read_at_start(sandbox, terminal, leds, standins, hung_test):
    env, _ = hung_test
    # A CIO-mode terminal has no firmware to load.
    sandbox.write("etc/device.conf", "cio=1\n")
    p = start(sandbox, env)
    wait_status(sandbox, "System is healthy")
    stop(sandbox, p)
    assert standins.calls("systemctl") == []

    # Without the key the terminal's type is unknown: a coprocessor error.
    sandbox.notify.clear()
    sandbox.write("etc/device.conf", "revision=5\n")
    p = start(sandbox, env)
    wait_status(sandbox, "Errors detected (0x02)")
    stop(sandbox, p)
    assert sandbox.state().get("error_coproc") == 1
    assert standins.calls("systemctl") == []


def test_hung_audio_test_is_stopped_and_the_usb_port_cycled(sandbox, terminal, leds, hung_test):
    env, pids = hung_test
    usb = sandbox.attach(FileWatch(sandbox.path(SOFTCONNECT)))
    p = start(sandbox, env)
    t0 = time.monotonic()
    # Never a test passed: the first failure cycles the port at once.
    t = wait_status(sandbox, "Errors detected (0x04)")
    assert t - t0 > 5.5  # judged once six whole seconds have passed
    [pid] = pids()
    assert not os.path.exists(f"/proc/{pid}")  # killed and reaped
    off = usb.wait_for("0", after=t0)
    on = usb.wait_for("1", after=off)
    assert 2.8 < on - off < 10
    wait_led(leds, GREEN, ("none", 0))
    err = stop(sandbox, p)
    assert err == USB_CYCLE
    assert sandbox.read(SOFTCONNECT) == "1"
    # Given back when the monitor ends, though the error lasts.
    assert leds.led(GREEN) == GREEN_BEFORE


def test_usb_port_cycled_20s_after_the_last_passed_test(sandbox, terminal, leds):
    pulse = sandbox.attach(PulseServer(sandbox.path("pulse")))
    usb = sandbox.attach(FileWatch(sandbox.path(SOFTCONNECT)))
    p = start(sandbox, pulse.env())
    t0 = time.monotonic()
    # The first test has passed long before it is judged (after 5 s); the
    # source then falls silent.
    time.sleep(3)
    pulse.pactl("load-module", "module-pipe-source", "source_name=dead", f"file={pulse.dir}/dead.fifo")
    pulse.pactl("set-default-source", "dead")
    failed = wait_status(sandbox, "Errors detected (0x04)", timeout=30)
    off = usb.wait_for("0", after=t0, timeout=60)
    assert off - t0 > 24  # more than 20 s after the passed test was judged
    assert off - failed > 5  # so not at the first failure
    usb.wait_for("1", after=off, timeout=10)
    # Besides what the failed tests said.
    assert stop(sandbox, p).count(USB_CYCLE) == 1
