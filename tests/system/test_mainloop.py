"""The GPIO-mode daemon end to end: the real binary against the simulated
coprocessor and GPIO lines, a push server on loopback, a real PulseAudio
server and stand-ins for reboot and systemctl (the terminal fixture of
conftest.py)."""

import errno
import os
import re
import signal
import struct
import time

import pytest

from conftest import SETTINGS, report_lines


def test_start_report_and_stop(terminal):
    t0 = time.monotonic()
    terminal.start()
    assert terminal.push.wait_reports(1, timeout=15)
    first = report_lines(terminal.push.reports[0])
    dump = report_lines(terminal.run("dump").stdout)
    first.pop("urate"), dump.pop("urate")
    assert first == dump
    assert first["call_button0"] == "2147483647,0" and first["push_ip"] == terminal.push.host
    assert terminal.push.errors == []

    # The loop cycles on; a stop ends it within a cycle.
    terminal.cycles(3)
    t1 = time.monotonic()
    assert terminal.stop() == 0
    assert time.monotonic() - t1 < 5
    assert terminal.sb.notify.messages()[-1] == "ERRNO=0"
    st = terminal.state()
    assert (st.get("inputs_valid"), st.get("daemon_loop"), st.get("gpiousr")) == (0, 0, 0)
    assert terminal.sb.semaphores().values() == [1, 1, 1, 32767, 1, 1]
    assert terminal.cp.wdt_loads[-1] == 0  # disabled at the end
    assert time.monotonic() - t0 < 60


def test_second_daemon_is_refused(terminal):
    terminal.start()
    users = terminal.state().get("gpiousr")
    second = terminal.run("run")
    assert second.returncode == 1
    assert re.fullmatch(r".* \(@0x[0-9a-f]+\)\nkelvgd is already running\n", second.stderr)
    assert terminal.sb.notify.messages()[-1] == f"ERRNO={errno.EBUSY}"
    # Refused before it touched the running daemon's lines and coprocessor.
    assert terminal.state().get("gpiousr") == users and terminal.state().get("error_coproc") == 0
    # Also before a detach would hide the answer.
    background = terminal.run("daemonize")
    assert background.returncode == 1 and background.stderr.endswith("\nkelvgd is already running\n")
    terminal.cycles(2)
    assert terminal.proc.poll() is None
    assert terminal.state().get("daemon_loop") == 1


def ignore_sigpipe():
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)


def test_call_button_rings_reports_and_latches(terminal):
    bell = terminal.sb.write("bin/button_bell", "#!/bin/sh\necho ring >> \"$KEL_ROOT/bell.log\"\n"
                             "grep SigIgn /proc/self/status > \"$KEL_ROOT/bell.signals\"\n", mode=0o755)
    terminal.start(preexec_fn=ignore_sigpipe)  # as systemd starts it
    assert terminal.push.wait_reports(1, timeout=15)
    n = len(terminal.push.reports)
    terminal.cp.press(1)
    assert terminal.push.wait_for(lambda reports: any("call_button1=0,1" in r for r in reports[n:]), timeout=10)
    terminal.cp.release(1)
    deadline = time.monotonic() + 15
    while not os.path.exists(terminal.sb.path("bell.log")):
        assert time.monotonic() < deadline, "no bell"
        time.sleep(0.1)
    terminal.cycles(3)
    assert terminal.sb.read("bell.log") == "ring\n"
    # The daemon's own way of riding out SIGPIPE is not passed on.
    assert not int(terminal.sb.read("bell.signals").split()[1], 16) & 1 << (signal.SIGPIPE - 1)
    assert "call_button1=2147483647,1" in terminal.run("dump").stdout  # latched
    assert terminal.run("clcall", "-c", "1").returncode == 0
    assert "call_button1=2147483647,0" in terminal.run("dump").stdout
    assert os.path.exists(bell)


def test_discrete_input_crossing_the_closed_threshold_is_reported(terminal):
    terminal.start()
    assert terminal.push.wait_reports(1, timeout=15)
    before = report_lines(terminal.push.reports[-1])["discrete3"]
    n = len(terminal.push.reports)
    terminal.cp.set_adc(1, 600, input=3)  # about 2800 ohms: open
    assert terminal.push.wait_for(lambda reports: len(reports) > n, timeout=10)
    after = report_lines(terminal.push.reports[-1])["discrete3"]
    assert int(before.split(",")[0]) <= 999 < int(after.split(",")[0])


def test_push_server_faults_never_block_or_lose_the_report(terminal):
    push = terminal.push
    push.mode = "refuse"
    terminal.start()
    terminal.cycles(3)
    assert push.reports == []
    for mode in ("reset", "stall", "close-after-one"):
        push.mode = mode
        terminal.cycles(3)
        assert terminal.run("dump").returncode == 0  # the loop is alive
    push.mode = "accept"
    n = len(push.reports)
    terminal.cp.press(0)
    assert push.wait_for(lambda reports: any("call_button0=0,1" in r for r in reports[n:]), timeout=20)
    push.drop_connections()
    terminal.cp.release(0)
    terminal.run("clcall")
    terminal.cp.press(2)
    assert push.wait_for(lambda reports: any("call_button2=0,1" in r for r in reports), timeout=20)


def test_push_message_framing(terminal):
    terminal.start()
    assert terminal.push.wait_reports(1, timeout=15)
    text = terminal.push.reports[0]
    frame = bytes([0x0A]) + struct.pack("<H", len(text)) + text.encode()
    assert len(frame) <= 4096 and frame[1:3] == struct.pack("<H", len(text))


def test_watchdog_fed_by_dump_else_reboot(terminal):
    terminal.sb.write("etc/kelvgd.conf", "push_enabled=0\nwdt_disabled=0\nwdt_period=10\n")
    terminal.start()
    # Fed by dumps, it is reloaded with the period plus a minute.
    for _ in range(6):
        assert terminal.run("dump").returncode == 0
        time.sleep(2)
    assert terminal.standins.calls("reboot") == []
    assert terminal.cp.wdt_loads.count(70) >= 2
    # Without them it gets below a minute: the daemon hands over to reboot.
    assert terminal.standins.wait_for("reboot", timeout=30)
    assert terminal.standins.calls("reboot") == [[]]


def test_coprocessor_failure_ends_the_daemon_cleanly(terminal):
    terminal.start()
    terminal.cycles(2)
    terminal.cp.silent = True
    assert terminal.proc.wait(timeout=30) == 1
    st = terminal.state()
    assert st.get("error_coproc") == 1
    assert st.get("inputs_valid") == 0 and st.get("gpiousr") == 0
    assert terminal.sb.semaphores().values() == [1, 1, 1, 32767, 1, 1]
    assert terminal.sb.notify.messages()[-1].startswith("ERRNO=")


def test_battery_cycle_and_battery_test(terminal):
    terminal.start()
    assert terminal.cp.wait_for(lambda: terminal.cp.charger_off is False, timeout=10)  # charging
    assert terminal.state().get("error_batt") == 0
    terminal.cp.set_adc(6, 500)  # about 8.7 V: a battery fault
    assert terminal.cp.wait_for(lambda: terminal.state().get("error_batt") == 1, timeout=20)
    assert terminal.run("charge", "-e", "0").returncode == 0
    assert terminal.cp.wait_for(lambda: terminal.cp.charger_off is True, timeout=10)
    terminal.cp.set_adc(6, 800)
    assert terminal.cp.wait_for(lambda: 13000 < terminal.state().get("vbatt") < 14500, timeout=5)
    assert terminal.cp.charger_off is True  # measured every cycle, never charged


def test_speaker_test_on_the_loop_back(terminal):
    terminal.pulse.pactl("set-default-source", "spk.monitor")
    terminal.start()
    assert terminal.run("spktest", "-m", "1").returncode == 0
    st = terminal.state()
    deadline = time.monotonic() + 60
    while st.get("stest_res", 0)[2] == 0:
        assert time.monotonic() < deadline, "no result"
        time.sleep(0.2)
    r = terminal.run("spkres")
    lines = report_lines(r.stdout)
    assert 0 < int(lines["amp0"]) and "amp1" not in lines
    assert float(lines["vol_mic0"]) == pytest.approx(-0.8349996638655462)  # nothing above the diode drop
    assert int(lines["time0"]) < 60
    assert st.get("stest_mask") == 0
    terminal.cycles(2)
    assert st.get("stest_cnt") == 0


def test_speaker_test_retries_without_sound_server(terminal):
    terminal.start()
    terminal.pulse.stop()
    assert terminal.run("spktest", "-m", "2").returncode == 0
    time.sleep(4)
    st = terminal.state()
    assert st.get("stest_mask") == 2 and st.get("stest_cnt") == 1  # still trying
    assert terminal.run("dump").returncode == 0
    terminal.stop()
    deadline = time.monotonic() + 20
    while st.get("stest_cnt"):
        assert time.monotonic() < deadline, "the test process did not end with the daemon"
        time.sleep(0.1)
    assert terminal.sb.semaphores().values() == [1, 1, 1, 32767, 1, 1]


def test_fireman_mode_follows_the_intercom_states(terminal):
    from sim.peers.console import ConsoleStandIn
    console = terminal.sb.attach(ConsoleStandIn(terminal.sb))
    states = "rs5=0,0,0\ncall=0\n"
    terminal.sb.write("run/parlod-ic-states", states)
    terminal.sb.write("etc/kelvgd.conf", SETTINGS.format(host=terminal.push.host) +
                      "fmm_enabled=1\nfmm_icomaddr=5\nfmm_soundch=1\nfmm_icominp=0\n")
    terminal.start()
    terminal.cycles(2)
    assert console.lines == []
    terminal.sb.write("run/parlod-ic-states", "rs5=0,1,0\ncall=1\n")
    assert console.wait_for("call rs5")
    assert terminal.cp.wait_for(lambda: terminal.state().get("fmm_active") == 1)
    # The console's call ended on its own: no hang-up sent.
    terminal.sb.write("run/parlod-ic-states", "rs5=0,1,0\ncall=2\n")
    assert terminal.cp.wait_for(lambda: terminal.state().get("fmm_active") == 0)
    # Garbage, a truncated or missing file only suspend this part.
    for text in ("\x00\xff garbage", "rs5=", ""):
        terminal.sb.write("run/parlod-ic-states", text)
        terminal.cycles(2)
    os.unlink(terminal.sb.path("run/parlod-ic-states"))
    terminal.cycles(2)
    assert terminal.proc.poll() is None
    assert "hangup" not in console.lines


def test_fireman_mode_reads_the_states_file_of_a_restarted_console(terminal):
    from sim.peers.console import ConsoleStandIn
    console = terminal.sb.attach(ConsoleStandIn(terminal.sb))
    path = terminal.sb.path("run/parlod-ic-states")
    terminal.sb.write("run/parlod-ic-states", "rs5=0,1,0\ncall=1\n")
    terminal.sb.write("etc/kelvgd.conf", SETTINGS.format(host=terminal.push.host) +
                      "fmm_enabled=1\nfmm_icomaddr=5\nfmm_soundch=1\nfmm_icominp=0\n")
    terminal.start()
    assert console.wait_for("call rs5")
    assert terminal.cp.wait_for(lambda: terminal.state().get("fmm_active") == 1)
    # A console that restarts removes its file and makes a new one: the
    # daemon must read the new one, not the removed one it still holds.
    os.unlink(path)
    terminal.cycles(2)
    terminal.sb.write("run/parlod-ic-states", "rs5=0,1,0\ncall=2\n")
    assert terminal.cp.wait_for(lambda: terminal.state().get("fmm_active") == 0, timeout=10)
    # Replaced by rename, as an editor or an installer would.
    terminal.sb.write("run/parlod-ic-states.new", "rs5=0,1,0\ncall=1\n")
    os.rename(path + ".new", path)
    assert terminal.cp.wait_for(lambda: console.lines.count("call rs5") == 2, timeout=10)


def test_termination_signal_ends_the_loop_in_order(terminal):
    terminal.start()
    terminal.cycles(2)
    terminal.proc.send_signal(signal.SIGTERM)
    assert terminal.proc.wait(timeout=10) == 0
    messages = terminal.sb.notify.messages()
    assert messages[-2:] == ["STOPPING=1", "ERRNO=0"]
    assert terminal.sb.semaphores().values() == [1, 1, 1, 32767, 1, 1]


def test_termination_signal_during_the_start_is_not_lost(terminal):
    """systemd may stop the service while the coprocessor still boots:
    the daemon must not start its loop after that and run on."""
    from sim.devices.coproc import BANNER

    terminal.cp.banner = b""  # silent after the reset, for now
    terminal.proc = terminal.sb.spawn("run", env=terminal.pulse.env())
    assert terminal.cp.wait_for(lambda: terminal.cp.resets >= 1, timeout=10)
    time.sleep(0.3)
    terminal.proc.send_signal(signal.SIGTERM)
    time.sleep(0.3)
    terminal.cp.banner = BANNER
    terminal.cp.boot()
    assert terminal.proc.wait(timeout=15) == 0
    assert terminal.sb.notify.messages()[-1] == "ERRNO=0"
    assert terminal.state().get("daemon_loop") == 0
    assert terminal.sb.semaphores().values() == [1, 1, 1, 32767, 1, 1]


def block_termination_signals():
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGHUP, signal.SIGINT})


def test_termination_signal_reaches_a_daemon_started_with_it_blocked(terminal):
    """The signal mask is inherited: a parent that blocked the termination
    signals must not leave a daemon that no signal stops."""
    terminal.proc = terminal.sb.spawn("run", env=terminal.pulse.env(), preexec_fn=block_termination_signals)
    assert terminal.sb.notify.wait_for("READY=1", timeout=30)
    terminal.proc.send_signal(signal.SIGTERM)
    assert terminal.proc.wait(timeout=10) == 0
    assert terminal.sb.notify.messages()[-2:] == ["STOPPING=1", "ERRNO=0"]


def close_standard_streams():
    for fd in (0, 1, 2):
        os.close(fd)


def test_started_without_standard_streams(terminal):
    """Started with its standard streams closed, the daemon's first files
    would take their numbers: its messages must not land in a GPIO line's
    files or on the coprocessor's line."""
    terminal.push.mode = "refuse"  # a message every second
    terminal.proc = terminal.sb.spawn("run", env=terminal.pulse.env(), stdin=None, stdout=None, stderr=None,
                                      preexec_fn=close_standard_streams)
    assert terminal.sb.notify.wait_for("READY=1", timeout=30)
    terminal.cycles(4)
    time.sleep(2)
    assert terminal.sb.chip.refused == []
    assert terminal.cp.unknown == []
    assert terminal.proc.poll() is None
