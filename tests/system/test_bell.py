"""The call bell and fireman's mode, with a real PulseAudio server, the
console's side of its pipe played by a stand-in, and a stand-in bell
program that records what it finds."""

import errno
import json
import os
import time

import pytest

from conftest import daemon_holds_gpio
from sim.peers.console import ConsoleStandIn
from sim.sandbox.pulse import PulseServer
from sim.sandbox.syslog import SyslogCapture

# The stand-in bell: notes the sound lines and the streams' mute states.
BELL = """#!/usr/bin/python3
import json, os, subprocess, sys, time
sys.path.insert(0, {repo!r})
from sim.sandbox.pulse import parse_streams
root = os.environ["KEL_ROOT"]
seen = {{"gpio": {{n: open(f"{{root}}/sys/class/gpio/gpio{{n}}/value").read().strip() for n in (47, 52, 57, 59, 49)}}}}
for kind in ("sink-inputs", "source-outputs"):
    out = subprocess.run(["pactl", "list", kind], capture_output=True, text=True).stdout
    seen[kind] = parse_streams(out)
with open(f"{{root}}/bell.log", "a") as f:
    f.write(json.dumps(seen) + "\\n")
time.sleep({seconds})
"""

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def install_bell(sandbox, seconds=0.5):
    sandbox.write("bin/button_bell", BELL.format(repo=REPO, seconds=seconds), mode=0o755)


def bells(sandbox):
    try:
        return [json.loads(line) for line in sandbox.read("bell.log").splitlines()]
    except FileNotFoundError:
        return []


def wait_bell_done(sandbox, channel, timeout=30):
    """Until the bell process has ended (it clears its pending flag last)."""
    st = sandbox.state()
    deadline = time.monotonic() + timeout
    while st.get("pendingbell")[channel]:
        assert time.monotonic() < deadline, "the bell process did not end"
        time.sleep(0.05)
    time.sleep(0.1)


def assert_released(sandbox, chip):
    """Nothing held after a bell: locks, GPIO user, pending flags, lines."""
    assert sandbox.semaphores().values()[1:5] == [1, 1, 32767, 1]
    st = sandbox.state()
    assert st.get("gpiousr") == 1
    assert st.get("pendingbell") == [0] * 8


@pytest.fixture
def pulse(sandbox):
    return sandbox.attach(PulseServer(sandbox.path("pulse")))


@pytest.fixture
def terminal(sandbox, pulse):
    """A four-button terminal whose daemon holds the GPIO lines, with the
    console running and its call streams open."""
    chip = daemon_holds_gpio(sandbox, devtype=0, counts=(7, 4, 1, 0))
    install_bell(sandbox)
    pulse.play("phone")
    pulse.record("phone")
    pulse.play("music")
    pulse.wait_streams(2)
    pulse.wait_streams(1, "source-outputs")
    return chip


def test_bell_mutes_calls_hands_over_the_path_and_restores(sandbox, pulse, terminal, probe):
    chip = terminal
    console = sandbox.attach(ConsoleStandIn(sandbox))
    assert probe("bell", 2, env=pulse.env())["result"] == 0
    wait_bell_done(sandbox, 2)

    [seen] = bells(sandbox)
    # Channel 2 is 010; the select lines 57 and 59 carry it inverted.
    assert seen["gpio"]["57"] == "0" and seen["gpio"]["59"] == "1"
    assert seen["gpio"]["49"] == "0"  # the path is open
    phone = [s for s in seen["sink-inputs"] if s["role"] == "phone"]
    music = [s for s in seen["sink-inputs"] if s["role"] == "music"]
    assert phone and all(s["mute"] for s in phone)
    assert music and not any(s["mute"] for s in music)
    assert all(s["mute"] for s in seen["source-outputs"] if s["role"] == "phone")

    # The console handed the speech path over and got it back.
    assert console.lines == ["tcmd tr_on", "tcmd tr_off", "tcmd tr_auto"]
    driven = chip.values(49)
    assert 1 in driven and 0 in driven[driven.index(1):]
    # Everything as before.
    assert not any(s["mute"] for s in pulse.streams())
    assert not any(s["mute"] for s in pulse.streams("source-outputs"))
    assert [chip.line(n)[1] for n in (57, 59, 49)] == [0, 0, 0]
    assert_released(sandbox, chip)


def test_one_bell_per_press(sandbox, pulse, terminal, probe):
    install_bell(sandbox, seconds=1.0)
    assert probe("bell", 1, env=pulse.env())["result"] == 0
    assert probe("bell", 1, env=pulse.env())["result"] == 0  # while it waits or plays
    wait_bell_done(sandbox, 1)
    assert len(bells(sandbox)) == 1
    assert probe("bell", 1, env=pulse.env())["result"] == 0  # a new press after it
    wait_bell_done(sandbox, 1)
    assert len(bells(sandbox)) == 2


def test_maintenance_channel_silences_the_bell_unless_forced(sandbox, pulse, terminal, probe):
    chip = terminal
    assert sandbox.run("sound", "-c", "3").returncode == 0
    assert probe("bell", 0, env=pulse.env())["result"] == 0
    wait_bell_done(sandbox, 0)
    assert bells(sandbox) == []

    sandbox.state().set("force_notify", 1)
    assert probe("bell", 0, env=pulse.env())["result"] == 0
    wait_bell_done(sandbox, 0)
    [seen] = bells(sandbox)
    assert (seen["gpio"]["57"], seen["gpio"]["59"]) == ("1", "1")  # channel 0 during the bell
    assert [chip.line(n)[1] for n in (57, 59)] == [0, 0]  # channel 3 again after it
    assert_released(sandbox, chip)


def test_bell_without_console(sandbox, pulse, terminal, probe):
    assert probe("bell", 3, env=pulse.env())["result"] == 0
    wait_bell_done(sandbox, 3)
    assert len(bells(sandbox)) == 1
    assert_released(sandbox, terminal)


def test_console_that_does_not_drive_the_line(sandbox, pulse, terminal, probe):
    console = sandbox.attach(ConsoleStandIn(sandbox, drive_line=False))
    t0 = time.monotonic()
    assert probe("bell", 3, env=pulse.env())["result"] == 0
    wait_bell_done(sandbox, 3)
    assert len(bells(sandbox)) == 1  # it plays after giving up on the console
    assert time.monotonic() - t0 < 25
    assert console.lines[0] == "tcmd tr_on" and console.lines[-1] == "tcmd tr_auto"
    assert_released(sandbox, terminal)


def test_dead_sound_server_or_missing_bell_program(sandbox, pulse, terminal, probe):
    chip = terminal
    os.unlink(sandbox.path("bin/button_bell"))
    assert probe("bell", 2, env=pulse.env())["result"] == 0
    wait_bell_done(sandbox, 2)
    assert not any(s["mute"] for s in pulse.streams())
    assert_released(sandbox, chip)

    install_bell(sandbox)
    pulse.stop()
    assert probe("bell", 2, env=pulse.env())["result"] == 0
    wait_bell_done(sandbox, 2)
    assert bells(sandbox) == []
    assert [chip.line(n)[1] for n in (57, 59, 49)] == [0, 0, 0]
    assert_released(sandbox, chip)


def test_bell_waits_for_the_speaker_test(sandbox, pulse, terminal, probe):
    sem = sandbox.semaphores()
    sem.op([(1, -1), (2, -1)])  # held as by a speaker test
    assert probe("bell", 1, env=pulse.env())["result"] == 0
    time.sleep(1)
    assert bells(sandbox) == []
    sem.op([(1, 1), (2, 1)])
    wait_bell_done(sandbox, 1)
    assert len(bells(sandbox)) == 1


@pytest.fixture
def fireman(sandbox):
    chip = daemon_holds_gpio(sandbox, devtype=1)
    st = sandbox.state()
    st.set("fmm_soundch", 1)
    st.set("fmm_icomaddr", 5)
    return chip


def test_fireman_call_and_hangup(sandbox, fireman, probe):
    chip = fireman
    console = sandbox.attach(ConsoleStandIn(sandbox, hangup_delay=0.3))
    log = sandbox.attach(SyslogCapture(sandbox))
    st = sandbox.state()
    assert probe("fmm-activate")["result"] == 0
    assert console.wait_for("call rs5")
    assert st.get("fmm_active") == 1
    assert [chip.line(n)[1] for n in (47, 52, 57, 59)] == [1, 1, 1, 0]  # channel 1

    console.speaker_on()
    assert probe("fmm-deactivate", wrap=log.wrap)["result"] == 0
    assert console.lines[-1] == "hangup"
    assert st.get("fmm_active") == 0
    assert [chip.line(n)[1] for n in (47, 52, 57, 59)] == [0, 0, 0, 0]
    # Noticed when the speaker file went, not by the time-out.
    assert not [m for _, m in log.messages() if "Hangup timeout" in m]


def test_hangup_times_out_when_the_audio_stays(sandbox, fireman, probe):
    console = sandbox.attach(ConsoleStandIn(sandbox))
    log = sandbox.attach(SyslogCapture(sandbox))
    console.speaker_on()
    t0 = time.monotonic()
    assert probe("hangup", wrap=log.wrap)["result"] == len("hangup\n")
    assert time.monotonic() - t0 >= 1.0
    assert console.lines == ["hangup"]
    assert log.wait_for("Hangup timeout") == 3 * 8 + 4  # daemon facility, warning


def test_fireman_without_console_or_with_a_maintenance_channel(sandbox, fireman, probe):
    chip = fireman
    st = sandbox.state()
    assert probe("fmm-activate")["result"] == 0
    assert st.get("fmm_active") == 0  # the call could not be placed
    assert [chip.line(n)[1] for n in (47, 52, 57, 59)] == [1, 1, 1, 0]
    assert probe("hangup")["result"] == -errno.ENOENT

    st.set("sound_ch", 4)
    console = sandbox.attach(ConsoleStandIn(sandbox))
    assert probe("fmm-activate")["result"] == 0
    time.sleep(0.2)
    assert console.lines == [] and st.get("fmm_active") == 0
