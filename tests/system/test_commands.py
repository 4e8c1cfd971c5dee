"""Maintenance commands on the daemon's state, without a running loop."""

import errno
import socket
import time

from conftest import daemon_holds_gpio
from sim.sandbox.syslog import SyslogCapture


def test_clear_calls_and_alarms(sandbox):
    sandbox.run("cfg")
    st = sandbox.state()
    st.set("buttonact", [1] * 8)
    st.set("alarm", [1] * 22)
    assert sandbox.run("clcall", "-c", "3").returncode == 0
    assert st.get("buttonact") == [1, 1, 1, 0, 1, 1, 1, 1]
    assert sandbox.run("clcall").returncode == 0
    assert st.get("buttonact") == [0] * 8
    assert sandbox.run("clalarm", "-c", "21").returncode == 0
    assert st.get("alarm") == [1] * 21 + [0]
    assert sandbox.run("clalarm").returncode == 0
    assert st.get("alarm") == [0] * 22


def test_charge_and_devtype(sandbox):
    sandbox.run("cfg")
    st = sandbox.state()
    r = sandbox.run("charge", "-e", "0")
    assert (r.returncode, r.stderr) == (0, "kelvgd is not running\n")  # the request waits for one
    assert st.get("batttest") == 1
    assert sandbox.run("charge", "-e", "1").returncode == 0
    assert st.get("batttest") == 0

    r = sandbox.run("devtype")
    assert (r.returncode, r.stdout, r.stderr) == (1, "", "kelvgd is not running\n")
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EAGAIN}"
    st.set("devtype", 3)
    st.set("devtype_valid", 1)
    assert sandbox.run("devtype").stdout == "3\n"


def test_speaker_test_request_and_results(sandbox):
    daemon_holds_gpio(sandbox, devtype=0, counts=(7, 4, 1, 0))
    st = sandbox.state()
    assert sandbox.run("spktest", "-m", "0x15").returncode == 0
    assert st.get("stest_mask") == 0x05  # limited to the four channels
    assert sandbox.run("spktest").returncode == 0
    assert st.get("stest_mask") == 0x0f

    assert sandbox.run("spkres").stdout == ""
    now = int(time.clock_gettime(time.CLOCK_MONOTONIC))
    st.set("stest_res", (0.25, 40, now - 5), 1)
    st.set("stest_res", (1.5, 7, now), 5)  # beyond the terminal's channels
    out = sandbox.run("spkres").stdout.splitlines()
    assert out[:2] == ["vol_mic1=0.25", "amp1=40"]
    assert out[2].startswith("time1=") and 5 <= int(out[2][6:]) < 60
    assert len(out) == 3

    st.set("num_buttons", 0)
    assert sandbox.run("spktest").returncode == 1


def test_server_address(sandbox):
    log = sandbox.attach(SyslogCapture(sandbox))
    sandbox.run("cfg")
    st = sandbox.state()
    r = sandbox.run("srvaddr")
    assert r.stdout == "serv_addr=\npush_enabled=0\n"

    # Saved, but not handed to the loop while push is off.
    assert sandbox.run("srvaddr", "-a", "127.0.0.9").returncode == 0
    assert st.get("num_serv") == 0 and st.get("serv_upd") == 0
    assert sandbox.run("srvaddr").stdout == "serv_addr=127.0.0.9\npush_enabled=0\n"

    assert sandbox.run("srvaddr", "-e", "1", wrap=log.wrap).returncode == 0
    assert log.wait_for('Enabled "push" protocol') == 3 * 8 + 5  # daemon facility, notice
    assert (st.get("push_en"), st.get("num_serv"), st.get("serv_upd")) == (1, 1, 1)
    assert st.get("serv_addr") == (socket.AF_INET, 5559, "127.0.0.9")
    assert "push_enabled=1\n" in sandbox.read("etc/kelvgd.conf")

    st.set("serv_upd", 0)
    r = sandbox.run("srvaddr", "-a", "no-such-host.invalid")
    assert r.returncode == 1
    assert r.stderr == "The specified host is unknown.\n"
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.ENOENT}"
    assert "serv_addr=127.0.0.9\n" in sandbox.read("etc/kelvgd.conf")  # not saved
    assert st.get("num_serv") == 0 and st.get("serv_upd") == 1

    assert sandbox.run("srvaddr", "-e", "0").returncode == 0
    assert (st.get("push_en"), st.get("num_serv")) == (0, 0)

    # An unresolvable saved address: enabled all the same, but an error.
    sandbox.write("etc/kelvgd.conf", "serv_addr=no-such-host.invalid\n")
    r = sandbox.run("srvaddr", "-e", "1", wrap=log.wrap)
    assert r.returncode == 1 and st.get("push_en") == 1
    assert log.wait_for('Failed to enable "push" protocol: No such file or directory') == 3 * 8 + 3


def test_fireman_configuration(sandbox):
    daemon_holds_gpio(sandbox, devtype=0, counts=(7, 4, 1, 0))
    st = sandbox.state()
    out = sandbox.run("fmm").stdout
    assert out.startswith("enabled=0\nicomaddr=0\nsoundch=0\ntotalch=4\ndiscrete=0\ntotaldisc=7\n")
    assert "cabinact" not in out  # device type 0

    r = sandbox.run("fmm", "-e", "1", "-a", "12", "-c", "3", "-d", "-1", "-i", "1", "-v", "1")
    assert r.returncode == 0, r.stderr
    assert [st.get(f) for f in ("fmm_enabled", "fmm_icomaddr", "fmm_soundch", "fmm_discrete", "fmm_icominp",
                                "fmm_invert")] == [1, 12, 3, -1, 1, 1]
    conf = sandbox.read("etc/kelvgd.conf")
    for line in ("fmm_enabled=1", "fmm_icomaddr=12", "fmm_soundch=3", "fmm_discrete=-1", "fmm_icominp=1",
                 "fmm_invert=1"):
        assert line + "\n" in conf

    # Refused with the reason, for the system log and the operator alike.
    log = sandbox.attach(SyslogCapture(sandbox))
    for args, message in ((["-c", "5"], "Invalid fireman's mode sound channel"),
                          (["-d", "7"], "Invalid fireman's mode discrete input"),
                          (["-r", "1"], "Unsupported fireman's mode cabin activation")):
        r = sandbox.run("fmm", *args, wrap=log.wrap)
        assert r.returncode == 1, args
        assert r.stderr == message + "\n"
        assert log.wait_for(message) == 3 * 8 + 3  # daemon facility, error
        assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EINVAL}"
    assert st.get("fmm_soundch") == 3 and "fmm_cabinact" not in sandbox.read("etc/kelvgd.conf")

    st.set("devtype", 1)
    assert sandbox.run("fmm", "-r", "1").returncode == 0
    assert sandbox.run("fmm").stdout.endswith("invert=1\ncabinact=1\n")
