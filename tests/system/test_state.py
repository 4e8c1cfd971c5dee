"""The shared state and its semaphores, as seen from outside the daemon."""

import os
import signal
import subprocess
import sys
import time

from sim.sandbox import shared_state, sysv
from sim.sandbox.sandbox import Sandbox

HOLDER = """
import sys, time
sys.path.insert(0, {root!r})
from sim.sandbox import sysv
sysv.SemSet({key}).op([(0, -1)])
print("held", flush=True)
time.sleep({hold})
"""


def hold_instance_lock(sandbox, hold):
    """A process that takes semaphore 0 (with undo) and keeps it."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(shared_state.__file__)))
    p = sandbox.adopt(subprocess.Popen([sys.executable, "-c", HOLDER.format(root=root, key=sandbox.key, hold=hold)],
                                       stdout=subprocess.PIPE, text=True))
    assert p.stdout.readline() == "held\n"
    return p


def test_first_command_creates_the_objects(sandbox):
    assert sandbox.run("cfg").returncode == 0
    assert sandbox.semaphores().values() == [1, 1, 1, 32767, 1, 1]
    st = sandbox.state()
    assert st.get("daemon_loop") == 0 and st.get("inputs_valid") == 0
    assert sandbox.notify.messages() == ["ERRNO=0"]


def test_dump_of_a_fresh_record_fails_with_eagain(sandbox):
    r = sandbox.run("dump")
    assert (r.returncode, r.stdout, r.stderr) == (1, "", "kelvgd is not running\n")
    assert sandbox.notify.messages() == ["ERRNO=11"]
    assert sandbox.state().get("dumped") == 0
    # A loop that has yet to complete a cycle.
    holder = hold_instance_lock(sandbox, hold=60)
    r = sandbox.run("dump")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == "no data yet: the monitoring loop has not completed a cycle\n"
    assert sandbox.notify.messages()[-1] == "ERRNO=11"
    holder.kill()


def test_dump_prints_the_report_and_marks_it(sandbox):
    sandbox.run("dump")
    st = sandbox.state()
    st.set("diode", 0.835)
    st.set("vbatt", 12000)
    st.set("vpsu", 3.5)
    st.set("temperature", -300)
    st.set("cio_inputs_valid", 1)
    st.set("mod_num", 1)
    st.set("mod_vol", 7, 0)
    st.set("mod_supply", 24)
    r = sandbox.run("dump")
    assert r.returncode == 0
    assert r.stdout == ("diode=0.83500010\nbatt=12.000000\nauxpwr=0\nauxvol=3.500000\n"
                        "mod_vol1=7\nmod_supply=24\n")
    assert r.stderr == "kelvgd is not running\n"  # the data of a daemon that died
    assert st.get("dumped") == 1


def test_dump_of_a_gpio_terminal(sandbox):
    sandbox.run("dump")
    st = sandbox.state()
    for name, value in [("diode", 0.835), ("vbatt", 13800), ("vpsu", 12.25), ("temperature", 25), ("rmux", 998),
                        ("num_discrete", 2), ("num_buttons", 1), ("num_relays", 2), ("relays", 2),
                        ("sound_ch", 1), ("vol_mic_min", 0.25), ("vol_mic_max", 1.75), ("urate", 1999),
                        ("num_serv", 1), ("serv_addr", (2, 5559, "192.0.2.7")), ("temp_mask", 1),
                        ("inputs_valid", 1)]:
        st.set(name, value)
    st.set("discrete", [120, 9000])
    st.set("alarm", [0, 1])
    st.set("buttoncur", [2147483647])
    st.set("buttonact", [1])
    st.set("temp_sensors", [-3.5, 0])
    r = sandbox.run("dump")
    assert r.returncode == 0
    assert r.stdout == (
        "diode=0.83500010\nbatt=13.800000\nauxpwr=1\nauxvol=12.250000\ntemp=25\n"
        "power12v=12.250000\nrmux=998\ndiscrete0=120,0\ndiscrete1=9000,1\ncall_button0=2147483647,1\n"
        "sound_ch=0\nmic_v_min=0.25\nmic_v_max=1.75\nspk_cur_min=0\nspk_cur_max=0\n"
        "relay1=0\nrelay2=1\nurate=1.999000\npush_ip=192.0.2.7\n"
        "ext_temp1=-3.500000\next_temp1_time=1\nfmm=0\n")


def test_stop_without_a_daemon(sandbox):
    r = sandbox.run("stop")  # on a fresh system, too
    assert (r.returncode, r.stderr) == (0, "kelvgd is not running\n")
    sandbox.state().set("daemon_loop", 1)
    t0 = time.monotonic()
    r = sandbox.run("stop")
    assert (r.returncode, r.stderr) == (0, "kelvgd is not running\n")
    assert time.monotonic() - t0 < 5  # the first attempt, not the 10 s of retries
    assert sandbox.state().get("daemon_loop") == 0
    assert sandbox.notify.messages()[-1] == "ERRNO=0"


def test_stop_waits_for_the_holder_to_end(sandbox):
    sandbox.run("cfg")
    holder = hold_instance_lock(sandbox, hold=60)
    stop = sandbox.spawn("stop")
    time.sleep(1.5)
    assert stop.poll() is None, "stop returned while the instance lock was held"
    holder.kill()  # the kernel's undo gives semaphore 0 back
    holder.wait()
    t0 = time.monotonic()
    assert stop.wait(timeout=10) == 0
    assert time.monotonic() - t0 < 5


def test_stop_gives_up_after_about_ten_seconds(sandbox):
    sandbox.run("cfg")
    hold_instance_lock(sandbox, hold=60)
    t0 = time.monotonic()
    r = sandbox.run("stop", timeout=60)
    elapsed = time.monotonic() - t0
    assert r.returncode == 1 and "not running" not in r.stderr
    assert 10.2 <= elapsed < 40
    assert sandbox.notify.messages()[-1] == "ERRNO=110"


def test_termination_signal_while_stopping(sandbox):
    sandbox.run("cfg")
    hold_instance_lock(sandbox, hold=60)
    sandbox.notify.clear()
    stop = sandbox.spawn("stop")
    time.sleep(0.5)
    stop.send_signal(signal.SIGTERM)
    assert stop.wait(timeout=10) == 1
    assert sandbox.notify.messages() == ["STOPPING=1", "ERRNO=4"]


def test_sandboxes_never_share_a_key(kelvgd_binary, tmp_path):
    """A sandbox whose first choice of path has a key in use (another
    sandbox's, or another run's) puts its copy elsewhere."""
    root = str(tmp_path / "sb")
    taken = sysv.path_key(os.path.realpath(os.path.join(root, "tools/kelvgd")))
    assert sysv.claim(taken)
    try:
        with Sandbox(kelvgd_binary, root=root) as sb:
            assert sb.key != taken and sb.kelvgd == os.path.join(root, "tools/1/kelvgd")
            assert sb.key == sysv.path_key(os.path.realpath(sb.kelvgd))
            assert sb.run("cfg").returncode == 0
            assert sysv.exists(sb.key) and not sysv.exists(taken)
            assert not sysv.claim(sb.key)
        assert not sysv.exists(sb.key) and sysv.claim(sb.key)
        sysv.unclaim(sb.key)
    finally:
        sysv.unclaim(taken)
