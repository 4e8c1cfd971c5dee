"""The shipped systemd units, run by a systemd of the test's own against
simulated terminals, with every hardening option they carry.

Each unit is used as installed, with one drop-in that does for systemd what
KEL_ROOT does for the programs: the program is the sandbox's copy, its
environment names the sandbox, and each path that the unit keeps writable is
the same path below the sandbox. /sys stays writable under
ProtectSystem=strict as on a terminal, unless the unit protects it too. A
system call outside the unit's filter kills the program here (on a terminal
it fails with EPERM), so that no such call goes unnoticed."""

import configparser
import os
import shlex
import shutil
import socket
import tempfile
import time

import pytest

from conftest import CioTerminal, build_dir, built
from sim.devices.coproc import Coprocessor
from sim.devices.leds import LedClass
from sim.devices.serial_peer import SerialPeer
from sim.peers.push import PushServer
from sim.peers.sip_peers import ADDRESS, Baresip
from sim.sandbox.pulse import PulseServer
from sim.sandbox.sandbox import Sandbox
from sim.sandbox.service_manager import ServiceManager
from sim.sandbox.standins import StandIns



def scratch():
    """Where the sandboxes of these tests lie: where a service sees them as
    a terminal's services see /etc, /run and /sys. PrivateTmp hides /tmp and
    /var/tmp, ProtectHome /home, /root and /run/user, and PrivateDevices
    makes a /dev of its own, without the simulators' mounts."""
    hidden = ("/tmp/", "/var/tmp/", "/home/", "/root/", "/run/", "/dev/")
    build = os.path.realpath(build_dir())
    base = build if not (build + "/").startswith(hidden) else "/var/lib/kel-tests"
    os.makedirs(base, exist_ok=True)
    return base


def unit_text(name):
    return open(os.path.join(build_dir(), "systemd", name)).read()


def parse(text):
    cp = configparser.ConfigParser(interpolation=None, strict=False, empty_lines_in_values=False)
    cp.optionxform = str
    cp.read_string(text)
    return cp


def drop_in(name, sandbox, env=None, exec_args=None):
    """The drop-in that runs unit name against the sandbox. The stand-ins'
    record is the test's, not the program's: it stays writable; a system
    log caught by the test (sim/sandbox/syslog.py) is the program's /dev/log."""
    unit = parse(unit_text(name))
    service = unit["Service"]
    conditions = "".join(f"{key}=\n{key}={sandbox.path(value)}\n" for key, value in unit["Unit"].items()
                         if key.startswith("ConditionPath"))
    argv = shlex.split(service["ExecStart"])
    name = os.path.basename(argv[0])
    program = sandbox.kelvgd if name == "kelvgd" else sandbox.path("tools/" + name)
    writable = [sandbox.path(p) for p in service.get("ReadWritePaths", "").split()]
    if service.get("ProtectSystem") == "strict" and service.get("ProtectKernelTunables") != "yes":
        writable.append(sandbox.path("sys"))
    if os.path.exists(sandbox.path("standins.log")):
        writable.append(sandbox.path("standins.log"))
    sb_env = sandbox.env(env)
    variables = {k: sb_env[k] for k in ("KEL_ROOT", "PATH")}
    variables.update(env or {})
    log = sandbox.path("run/service.log")
    syslog = sandbox.path("syslog.sock")
    return (f"[Unit]\n{conditions}[Service]\nExecStart=\nExecStart={shlex.join([program, *(exec_args or argv[1:])])}\n"
            + "".join(f"Environment={shlex.quote(f'{k}={v}')}\n" for k, v in variables.items())
            + ("" if "StandardOutput" in service else f"StandardOutput=append:{log}\n")
            + f"StandardError=append:{log}\n"
            + "ReadWritePaths=\n" + (f"ReadWritePaths={' '.join(writable)}\n" if writable else "")
            + (f"BindPaths={syslog}:/dev/log\n" if os.path.exists(syslog) else "")
            + "SystemCallErrorNumber=\n")


def units(*names, sandbox, **kw):
    """{file: text} of the units and their drop-ins for ServiceManager."""
    files = {}
    for name in names:
        files[name] = unit_text(name)
        if name.endswith(".service"):
            files[f"{name}.d/sandbox.conf"] = drop_in(name, sandbox, **kw)
    return files


@pytest.fixture
def sandbox(kelvgd_binary):
    sb = Sandbox(kelvgd_binary, root=tempfile.mkdtemp(prefix="units-", dir=scratch()))
    yield sb
    sb.close()


@pytest.fixture
def managers():
    made = []

    def make(files, **kw):
        m = ServiceManager(tempfile.mkdtemp(prefix="systemd-", dir=scratch()), files, **kw)
        made.append(m)
        return m
    yield make
    for m in made:
        m.close()


def log(sandbox):
    try:
        return sandbox.read("run/service.log")
    except FileNotFoundError:
        return ""


def assert_confined(sd, unit):
    """The unit's main process runs with the unit's restrictions."""
    pid = sd.show(unit, "MainPID")
    status = dict(line.split(":\t", 1) for line in sd.run("cat", f"/proc/{pid}/status").stdout.splitlines())
    assert status["NoNewPrivs"].strip() == "1" and status["Seccomp"].strip() == "2", status
    mounts = [line.split() for line in sd.run("cat", f"/proc/{pid}/mountinfo").stdout.splitlines()]
    assert any(m[4] == "/" and m[5].startswith("ro,") for m in mounts)  # ProtectSystem


def wait(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, what
        time.sleep(0.1)


def test_kelvgd_service_monitors_stops_and_reboots(sandbox, managers):
    push = sandbox.attach(PushServer())
    pulse = sandbox.attach(PulseServer(sandbox.path("pulse")))
    standins = StandIns(sandbox)
    sandbox.write("standins.log", "")
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.write("etc/kelvgd.conf", f"push_enabled=1\nserv_addr={push.host}\nwdt_disabled=1\n")
    sandbox.write("bin/button_bell", '#!/bin/sh\necho ring >> "$KEL_ROOT/run/bell.log"\n', mode=0o755)
    chip = sandbox.gpio()
    cp = sandbox.attach(Coprocessor(sandbox.pty("ttyS4"), chip, devtype=0))
    cp.set_adc(1, 190, input=7)
    for i in range(7):
        cp.set_adc(1, 250, input=i)
    cp.set_adc(6, 900)
    cp.set_adc(7, 700)
    sd = managers(units("kelvgd.service", sandbox=sandbox, env=pulse.env()))

    # Started as systemd starts it: ready once the first battery reading is in.
    sd.systemctl("start", "kelvgd.service")
    assert sd.show("kelvgd.service", "ActiveState") == "active", log(sandbox)
    assert_confined(sd, "kelvgd.service")
    assert push.wait_reports(1, timeout=15)
    cp.press(1)
    assert push.wait_for(lambda reports: any("call_button1=0,1" in r for r in reports), timeout=15), log(sandbox)
    wait(lambda: os.path.exists(sandbox.path("run/bell.log")), 15, "no bell")
    r = sandbox.run("dump")
    assert r.returncode == 0 and "call_button1=" in r.stdout
    assert sandbox.read("etc/velta-snmp.conf")  # written at the loop's start

    sd.systemctl("stop", "kelvgd.service")
    assert sd.show("kelvgd.service", "Result") == "success", log(sandbox)
    assert sd.show("kelvgd.service", "ExecMainStatus") == "0"

    # Near the watchdog's end the daemon becomes "reboot".
    sandbox.write("etc/kelvgd.conf", "push_enabled=0\nwdt_disabled=0\nwdt_period=10\n")
    sd.systemctl("start", "kelvgd.service")
    assert standins.wait_for("reboot", timeout=40), log(sandbox)
    sd.wait_for("kelvgd.service", "ActiveState", "inactive")
    assert sd.show("kelvgd.service", "Result") == "success", log(sandbox)


def test_kelvgd_service_on_a_cio_terminal(sandbox, managers):
    """Line actions run at real-time priority, which the unit allows."""
    cio = CioTerminal(sandbox)
    sd = managers(units("kelvgd.service", sandbox=sandbox))
    sd.systemctl("start", "kelvgd.service")
    assert sd.show("kelvgd.service", "ActiveState") == "active", log(sandbox)
    cio.command("03010100")
    # The simulated board's clock runs as fast as the daemon reads it, so
    # the real-time part of a line action is over too soon to be sampled
    # from outside. A daemon refused real-time priority says so in the log
    # (the CIO loop's tests show it does); under the unit it must not.
    assert cio.command("01030507", "TE").body == bytes(10)
    assert not any("scheduling" in text for _, text in cio.log.messages()), cio.log.messages()
    sd.systemctl("stop", "kelvgd.service")
    assert sd.show("kelvgd.service", "Result") == "success", log(sandbox)


def test_failmon_service_reports_health(sandbox, managers):
    pulse = sandbox.attach(PulseServer(sandbox.path("pulse")))
    StandIns(sandbox)
    sandbox.write("standins.log", "")
    leds = sandbox.attach(LedClass())
    leds.mount(sandbox.path("sys/class/leds"))
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.write("sys/kernel/debug/musb-hdrc.0/softconnect", "1")
    assert sandbox.run("cfg").returncode == 0  # the daemon's shared state
    sd = managers(units("kelvgd-failmon.service", sandbox=sandbox, env=pulse.env()))

    sd.systemctl("start", "kelvgd-failmon.service")
    sd.wait_for("kelvgd-failmon.service", "StatusText", "System is healthy")
    assert_confined(sd, "kelvgd-failmon.service")
    sandbox.state().set("error_batt", 1)
    sd.wait_for("kelvgd-failmon.service", "StatusText", "Errors detected (0x01)")
    wait(lambda: any(e.led == "kel:red" and e.value != "0" for e in leds.events), 15,
         f"the red LED is dark: {leds.events} {log(sandbox)}")
    sd.systemctl("stop", "kelvgd-failmon.service")
    assert sd.show("kelvgd-failmon.service", "Result") == "success", log(sandbox)
    for p in sandbox.children:
        p.wait(timeout=10)


def test_parlod_service_calls(sandbox, managers, ns):
    shutil.copy2(built("PARLOD", "build/parlod/parlod"), sandbox.path("tools/parlod"))
    pulse = sandbox.attach(PulseServer(sandbox.path("pulse")))
    sandbox.write("etc/parlod.conf", "duplex=1\n")
    peer = sandbox.attach(Baresip(ns, sandbox.root, sip_port=5090, ctrl_port=5100))
    sd = managers(units("parlod.service", sandbox=sandbox, env=pulse.env(),
                        exec_args=["--sip-port", "5060", "--sip-listen", ADDRESS]), wrap=ns.cmd)

    sd.systemctl("start", "parlod.service")
    assert sd.show("parlod.service", "ActiveState") == "active", log(sandbox)
    assert_confined(sd, "parlod.service")
    wait(lambda: os.path.exists(sandbox.path("run/parlod-cli")), 10, "no command pipe")
    with open(sandbox.path("run/parlod-cli"), "w") as pipe:
        pipe.write(f"call {peer.uri}\n")
    peer.wait_event("CALL_ESTABLISHED")
    wait(lambda: os.path.exists(sandbox.path("run/parlod.spk")), 10, "no speaker state file")
    with open(sandbox.path("run/parlod-cli"), "w") as pipe:
        pipe.write("hangup\n")
    peer.wait_event("CALL_CLOSED")
    assert "Started call from pc:* to " + peer.uri in log(sandbox), log(sandbox)
    assert peer.received(), "the console sent no audio"

    sd.systemctl("stop", "parlod.service")
    assert sd.show("parlod.service", "Result") == "success", log(sandbox)


def test_kelsnmp_service_serves_and_notifies(sandbox, managers):
    """The sub-agent as the unit runs it, without any capability, against
    a real snmpd, with a daemon on a simulated terminal."""
    from sim.peers.snmp import Snmp

    shutil.copy2(os.environ.get("KELSNMP") or os.path.join(build_dir(), "kelsnmp", "kelsnmp"),
                 sandbox.path("tools/kelsnmp"))
    snmp = sandbox.attach(Snmp(sandbox, os.path.join(build_dir(), "kelsnmp", "KEL-TERMINAL-MIB.txt")))
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.write("etc/kelvgd.conf", "wdt_disabled=1\n")
    pulse = sandbox.attach(PulseServer(sandbox.path("pulse")))
    chip = sandbox.gpio()
    cp = sandbox.attach(Coprocessor(sandbox.pty("ttyS4"), chip, devtype=0))
    cp.set_adc(1, 190, input=7)
    cp.set_adc(6, 900)
    cp.set_adc(7, 700)
    env = {k: v for k, v in snmp.env().items() if k in ("HOME", "SNMPCONFPATH", "SNMP_PERSISTENT_DIR", "MIBS")}
    sd = managers(units("kelsnmp.service", sandbox=sandbox, env=env, exec_args=["-x", f"unix:{snmp.socket}"]))

    sd.systemctl("start", "kelsnmp.service")
    assert sd.show("kelsnmp.service", "ActiveState") == "active", log(sandbox)
    assert_confined(sd, "kelsnmp.service")
    pid = sd.show("kelsnmp.service", "MainPID")
    status = dict(line.split(":\t", 1) for line in sd.run("cat", f"/proc/{pid}/status").stdout.splitlines())
    assert int(status["CapEff"], 16) == 0 and int(status["CapBnd"], 16) == 0, status
    wait(lambda: os.path.exists(sandbox.path("run/velta-snmp")), 10, "no record pipe")

    daemon = sandbox.spawn("run", env=pulse.env())
    assert sandbox.notify.wait_for("READY=1", timeout=30)
    wait(lambda: "kelBatteryVoltage.0" in snmp.walk(), 15, f"not served: {log(sandbox)}")
    cp.set_adc(7, 300)
    snmp.traps.wait_for("kelSupplyLost", timeout=20)
    assert sandbox.run("stop").returncode == 0
    assert daemon.wait(timeout=15) == 0

    sd.systemctl("stop", "kelsnmp.service")
    assert sd.show("kelsnmp.service", "Result") == "success", log(sandbox)
    assert not os.path.exists(sandbox.path("run/velta-snmp"))
    # Nothing it needs was kept from it (a file system it may not write,
    # a call outside its filter).
    assert "Cannot" not in log(sandbox) and "rror" not in log(sandbox), log(sandbox)


def test_serial_pass_through_socket(sandbox, managers):
    sandbox.run("sercfg", "-i", "2", "-b", "115200", "-p", "n")
    peer = sandbox.attach(SerialPeer(sandbox.pty("ttyS2")))
    path = sandbox.path("run/sersrv.sock")
    files = units("kelvgd-sersrv.socket", "kelvgd-sersrv@.service", sandbox=sandbox)
    files["kelvgd-sersrv.socket.d/sandbox.conf"] = f"[Socket]\nListenStream=\nListenStream={path}\n"
    sd = managers(files)
    sd.systemctl("start", "kelvgd-sersrv.socket")

    for round in range(2):  # one session after the other, each its own service
        with socket.socket(socket.AF_UNIX) as c:
            c.connect(path)
            c.settimeout(30)
            c.sendall(b"ping %d" % round)
            assert peer.wait_received(6 * (round + 1), 30), log(sandbox)
            peer.send(b"pong %d" % round)
            assert c.recv(6) == b"pong %d" % round
    assert peer.received == b"ping 0ping 1"
    wait(lambda: "kelvgd-sersrv@" not in sd.systemctl("list-units", "--state=active").stdout, 30,
         "a session outlived its connection")
    failed = sd.systemctl("list-units", "--state=failed").stdout
    assert "kelvgd-sersrv@" not in failed, failed + log(sandbox)

    # ttyS2 as an intercom bus of a console that reads its pipe: the
    # session sees the pipe's reader through the read-only file system.
    sandbox.write("etc/device.conf", "cio=0\nrevision=4\n")
    sandbox.write("etc/parlod-ic.conf", "ports_mask=2\n")
    os.mkfifo(sandbox.path("run/parlod-cli"))
    reader = os.open(sandbox.path("run/parlod-cli"), os.O_RDWR | os.O_NONBLOCK)
    try:
        with socket.socket(socket.AF_UNIX) as c:
            c.connect(path)
            c.settimeout(30)
            assert c.recv(100) == b"ttyS2 is intercom bus 1 of the voice console: refused\n", log(sandbox)
            assert c.recv(1) == b""
    finally:
        os.close(reader)
    assert peer.received == b"ping 0ping 1"
    # The refused session fails, and is not kept: each refused connection
    # would leave one more failed unit behind.
    wait(lambda: "kelvgd-sersrv@" not in sd.systemctl("list-units", "--all").stdout, 30,
         "the refused session was kept")
