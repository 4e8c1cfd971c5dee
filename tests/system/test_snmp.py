"""The SNMP sub-agent against the real net-snmp (sim/peers/snmp.py): snmpd as the
master agent, snmptrapd as the network management system's trap receiver,
snmpget and snmpwalk as its questions; the daemon on a simulated GPIO and
CIO terminal, and the console with its intercom buses."""

import os
import re
import shutil
import stat
import subprocess
import time

import pytest

from conftest import SETTINGS, build_dir, report_lines
from intercoms import control, make_bus, start_console, terminal_files, wait_fifo, wait_states
from sim.devices.coproc import Coprocessor
from sim.devices.icbus import INP1
from sim.peers.push import PushServer
from sim.peers.snmp import MIBS, Snmp
from sim.sandbox.pulse import PulseServer

PIPE = "run/velta-snmp"
# A fault and its end reach the trap receiver within this.
NOTIFIED = 3
# The daemon's first seconds, which the sub-agent waits out before it
# judges what its records say, and a margin.
SETTLED = 7
# No record for 10 s, then a tick of the sub-agent's, and a margin.
SILENT = 10 + 1 + NOTIFIED
NO_SUCH = "No Such Instance currently exists at this OID"


def kelsnmp_binary():
    return os.environ.get("KELSNMP") or os.path.join(build_dir(), "kelsnmp", "kelsnmp")


@pytest.fixture
def snmp(sandbox):
    return sandbox.attach(Snmp(sandbox, os.path.join(build_dir(), "kelsnmp", "KEL-TERMINAL-MIB.txt")))


@pytest.fixture
def agent(snmp):
    a = snmp.subagent(kelsnmp_binary())
    yield a
    assert a.stop() == 0, a.output()


def wait(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, what() if callable(what) else what
        time.sleep(0.1)


def fresh_walk(snmp, key="kelBatteryVoltage.0", timeout=20):
    """The subtree once the daemon's records are served."""
    return wait(lambda: (lambda w: w if key in w else None)(snmp.walk()), timeout, "no record served")


class GpioTerminal:
    """The daemon on a GPIO terminal of device type 1, which has two
    external temperature sensors (the first one fitted), with the push
    server and sound server it expects."""

    def __init__(self, sandbox):
        self.sb = sandbox
        push = sandbox.attach(PushServer())
        self.pulse = sandbox.attach(PulseServer(sandbox.path("pulse")))
        sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
        sandbox.write("etc/kelvgd.conf", SETTINGS.format(host=push.host))
        chip = sandbox.gpio()
        self.cp = sandbox.attach(Coprocessor(sandbox.pty("ttyS4"), chip, devtype=1))
        self.cp.set_adc(1, 190, input=7)
        self.cp.set_adc(6, 900)  # battery about 15.6 V
        self.cp.set_adc(7, 700)  # supply about 12.1 V
        self.cp.set_temps([21.5])
        self.proc = None

    def start(self):
        self.sb.notify.clear()
        self.proc = self.sb.spawn("run", env=self.pulse.env())
        assert self.sb.notify.wait_for("READY=1", timeout=30), self.stderr()

    def stderr(self):
        return self.proc.stderr.read() if self.proc and self.proc.poll() is not None else ""

    def dump(self):
        r = self.sb.run("dump", env=self.pulse.env())
        assert r.returncode == 0, r.stderr
        return report_lines(r.stdout)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            assert self.sb.run("stop").returncode == 0
            assert self.proc.wait(timeout=15) == 0


@pytest.fixture
def gpio(sandbox):
    t = GpioTerminal(sandbox)
    yield t
    t.stop()


def millivolts(volts):
    return int(float(volts) * 1000)


def test_gpio_terminal_served_as_the_daemon_reports_it(gpio, snmp, agent):
    gpio.start()
    # Once the sensors have been read.
    walk = fresh_walk(snmp, "kelTempSensorValue.1")
    dump = gpio.dump()
    # The same battery, supply and temperatures as the daemon's dump (the
    # records truncate to whole millivolts and degrees).
    assert abs(int(walk["kelBatteryVoltage.0"]) - millivolts(dump["batt"])) <= 1
    assert abs(int(walk["kelSupplyVoltage.0"]) - millivolts(dump["auxvol"])) <= 1
    assert walk["kelSupplyPresent.0"] == ("true" if dump["auxpwr"] == "1" else "false") == "true"
    assert walk["kelTemperature.0"] == dump["temp"]
    assert walk["kelTempSensorValue.1"] == str(int(float(dump["ext_temp1"]))) == "21"
    assert "ext_temp2" not in dump
    assert (walk["kelTempSensorStatus.1"], walk["kelTempSensorStatus.2"]) == ("ok", "error")
    assert "kelTempSensorValue.2" not in walk
    assert (walk["kelDeviceType.0"], walk["kelStateRevision.0"], walk["kelDeviceRevision.0"]) == ("gpio", "5", "5")
    assert (walk["kelModuleCount.0"], walk["kelTempSensorCount.0"]) == ("0", "2")
    assert walk["kelRecordState.0"] == "fresh" and int(walk["kelRecordAge.0"]) <= 2
    assert walk["kelRecordsMalformed.0"] == "0" and int(walk["kelRecordsTaken.0"]) >= 1
    # No module of a GPIO terminal, and no console.
    assert not any(k.startswith("kelModule") and "Count" not in k for k in walk)
    assert walk["kelIntercomStates.0"] == "none" and "kelConsoleCall.0" not in walk
    assert snmp.get("kelModuleVoltage.1", "kelDispatcherConnected.0") == {
        "kelModuleVoltage.1": NO_SUCH, "kelDispatcherConnected.0": NO_SUCH}


def test_gpio_faults_are_notified_and_their_ends(gpio, snmp, agent):
    gpio.start()
    fresh_walk(snmp)
    # The second sensor of the device type is not fitted: a fault of the
    # terminal, news once the daemon's first seconds are over.
    objects = snmp.traps.wait_for("kelTempSensorFailed", timeout=SETTLED + NOTIFIED)
    assert objects == {"kelTempSensorStatus.2": "error"}
    start = len(snmp.traps.received())

    # The supply below 6 V, and back.
    gpio.cp.set_adc(7, 300)
    t0 = time.monotonic()
    objects = snmp.traps.wait_for("kelSupplyLost", timeout=NOTIFIED + 1, since=start)
    assert time.monotonic() - t0 < NOTIFIED + 1
    assert int(objects["kelSupplyVoltage.0"]) < 6000 and int(objects["kelBatteryVoltage.0"]) > 15000
    assert snmp.get("kelSupplyPresent.0") == {"kelSupplyPresent.0": "false"}
    gpio.cp.set_adc(7, 700)
    objects = snmp.traps.wait_for("kelSupplyRestored", timeout=NOTIFIED + 1, since=start)
    assert int(objects["kelSupplyVoltage.0"]) > 12000

    # The fitted sensor fails and recovers.
    gpio.cp.set_temps([None])
    assert snmp.traps.wait_for("kelTempSensorFailed", timeout=NOTIFIED + 2, since=start) == {
        "kelTempSensorStatus.1": "error"}
    gpio.cp.set_temps([19.0])
    assert snmp.traps.wait_for("kelTempSensorRecovered", timeout=NOTIFIED + 2, since=start) == {
        "kelTempSensorStatus.1": "ok", "kelTempSensorValue.1": "19"}

    # The battery is measured every 11 s.
    gpio.cp.set_adc(6, 540)
    objects = snmp.traps.wait_for("kelBatteryLow", timeout=25, since=start)
    assert int(objects["kelBatteryVoltage.0"]) <= 9999
    gpio.cp.set_adc(6, 900)
    snmp.traps.wait_for("kelBatteryNormal", timeout=25, since=start)

    # Each once: nothing repeats while a state holds.
    names = snmp.traps.names(start)
    assert sorted(names) == sorted(["kelSupplyLost", "kelSupplyRestored", "kelTempSensorFailed",
                                    "kelTempSensorRecovered", "kelBatteryLow", "kelBatteryNormal"]), names


def test_daemon_stopped_and_restarted(gpio, snmp, agent):
    gpio.start()
    fresh_walk(snmp)
    taken = int(snmp.get("kelRecordsTaken.0")["kelRecordsTaken.0"])

    gpio.stop()
    t0 = time.monotonic()
    objects = snmp.traps.wait_for("kelDaemonSilent", timeout=SILENT)
    assert time.monotonic() - t0 < SILENT
    assert objects["kelRecordState.0"] == "stale" and int(objects["kelRecordAge.0"]) >= 10
    # Its values are gone; how old the last ones are is said.
    walk = snmp.walk()
    assert "kelBatteryVoltage.0" not in walk and "kelTempSensorStatus.1" not in walk
    assert walk["kelRecordState.0"] == "stale" and int(walk["kelRecordAge.0"]) >= 10
    assert walk["kelModuleCount.0"] == "0"  # the static description stays

    # A new daemon finds the pipe and is served at once.
    gpio.start()
    walk = fresh_walk(snmp)
    assert walk["kelRecordState.0"] == "fresh" and int(walk["kelRecordsTaken.0"]) > taken
    objects = snmp.traps.wait_for("kelDaemonBack", timeout=NOTIFIED)
    assert objects == {"kelRecordState.0": "fresh", "kelDeviceType.0": "gpio"}
    assert agent.proc.poll() is None


def test_master_agent_and_daemon_restarts(gpio, snmp, agent):
    gpio.start()
    fresh_walk(snmp)
    snmp.traps.wait_for("kelTempSensorFailed", timeout=SETTLED + NOTIFIED)  # the sensor not fitted
    start = len(snmp.traps.received())
    # snmpd goes, the supply fails meanwhile, and snmpd comes back: the
    # subtree is served again within 5 s, and the notification that was
    # due reaches it.
    snmp.stop_master()
    gpio.cp.set_adc(7, 300)
    time.sleep(2)
    snmp.start_master()
    t0 = time.monotonic()
    fresh_walk(snmp, timeout=5)
    assert time.monotonic() - t0 < 5
    objects = snmp.traps.wait_for("kelSupplyLost", timeout=5, since=start)
    assert int(objects["kelSupplyVoltage.0"]) < 6000
    gpio.cp.set_adc(7, 700)
    snmp.traps.wait_for("kelSupplyRestored", timeout=NOTIFIED + 1, since=start)

    # The daemon restarted quickly: values resume, and its first seconds
    # raise nothing.
    taken = int(snmp.get("kelRecordsTaken.0")["kelRecordsTaken.0"])
    gpio.stop()
    gpio.start()
    wait(lambda: int(snmp.get("kelRecordsTaken.0")["kelRecordsTaken.0"]) > taken, 10, "no new record")
    time.sleep(SETTLED)
    assert [n for n in snmp.traps.names(start) if n.startswith("kel")] == ["kelSupplyLost", "kelSupplyRestored"]
    assert snmp.get("kelRecordState.0") == {"kelRecordState.0": "fresh"}


@pytest.fixture
def cio(sandbox):
    from conftest import CioTerminal

    t = CioTerminal(sandbox)
    yield t
    t.stop()


def test_cio_terminal_modules_and_dispatcher(cio, snmp, agent):
    cio.start()
    cio.command("03010100")
    walk = fresh_walk(snmp, "kelModuleVoltage.8")
    dump = report_lines(cio.run("dump").stdout)
    assert walk["kelDeviceType.0"] == "cio" and walk["kelModuleCount.0"] == "8"
    for n in range(1, 9):
        assert walk[f"kelModuleVoltage.{n}"] == dump[f"mod_vol{n}"]
        assert walk[f"kelModuleShortCircuit.{n}"] == "false" and walk[f"kelModuleMode.{n}"] == "board"
    assert walk["kelTemperature.0"] == dump["temp"] == "42"
    # This board measures neither battery nor supply: both read 0, as in
    # the dump, and raise nothing.
    assert walk["kelBatteryVoltage.0"] == "0" and millivolts(dump["batt"]) == 0
    assert walk["kelDispatcherConnected.0"] == "true"
    assert walk["kelDispatcherAddresses.0"] == cio.disp.host
    assert walk["kelModuleSupply.0"] == dump["mod_supply"]
    assert not any(k.startswith("kelTempSensor") and "Count" not in k for k in walk)

    time.sleep(SETTLED)
    # Line 5 short-circuited, and cleared.
    cio.board.lines.set_volts(4, 20)
    t0 = time.monotonic()
    objects = snmp.traps.wait_for("kelModuleShorted", timeout=NOTIFIED + 1)
    assert time.monotonic() - t0 < NOTIFIED + 1
    assert objects == {"kelModuleShortCircuit.5": "true", "kelModuleVoltage.5": "20"}
    cio.board.lines.set_volts(4, 60)
    assert snmp.traps.wait_for("kelModuleCleared", timeout=NOTIFIED + 1) == {
        "kelModuleShortCircuit.5": "false", "kelModuleVoltage.5": "60"}

    # The dispatcher goes away, and comes back.
    cio.disp.mode = "refuse"
    cio.disp.drop_connections()
    objects = snmp.traps.wait_for("kelDispatcherLost", timeout=15)
    assert objects == {"kelDispatcherConnected.0": "false", "kelDispatcherAddresses.0": cio.disp.host}
    cio.disp.mode = "accept"
    snmp.traps.wait_for("kelDispatcherBack", timeout=30)
    assert not {"kelSupplyLost", "kelBatteryLow"} & set(snmp.traps.names())


@pytest.fixture
def bus(sandbox):
    terminal_files(sandbox)
    return make_bus(sandbox, rs3=dict(status=INP1, test_result=1024), rs70=dict(rcause=0x20))


@pytest.fixture
def console(sandbox, ns, bus):
    c = start_console(sandbox, ns)
    wait_fifo(sandbox)
    yield c
    assert c.stop() == 0


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root (network namespaces)")
def test_intercoms_of_the_console(sandbox, bus, console, snmp, agent):
    wait_states(sandbox, lambda t: "rs3=" in t and "rs70=" in t)
    walk = wait(lambda: (lambda w: w if "kelIntercomInput1.70" in w else None)(snmp.walk("kelIntercoms")), 5,
                "no intercom served")
    assert walk["kelIntercomStates.0"] == "published" and walk["kelConsoleCall.0"] == "none"
    assert walk["kelIntercomCount.0"] == "2"
    assert (walk["kelIntercomInput1.3"], walk["kelIntercomInput1.70"]) == ("true", "false")
    assert walk["kelIntercomCallButton.3"] == "false" and walk["kelIntercomResetCause.70"] == "32"
    assert "kelIntercomTestResult.3" not in walk
    assert not [k for k in walk if k.endswith(".0") is False and not re.search(r"\.(3|70)$", k)]

    # A self-test's result and its age.
    control(sandbox, "ftst 3\n")
    walk = wait(lambda: (lambda w: w if "kelIntercomTestResult.3" in w else None)(snmp.walk("kelIntercoms")), 10,
                "no self-test result")
    assert walk["kelIntercomTestResult.3"] == "25" and int(walk["kelIntercomTestAge.3"]) <= 3

    # An intercom taken off the bus, and put back after a reset.
    bus.remove(70)
    t0 = time.monotonic()
    objects = snmp.traps.wait_for("kelIntercomLost", timeout=NOTIFIED + 1)
    assert time.monotonic() - t0 < NOTIFIED + 1
    assert objects == {"kelIntercomResetCause.70": "32", "kelIntercomCount.0": "1"}
    assert "kelIntercomInput1.70" not in snmp.walk("kelIntercoms")
    bus.add(70, rcause=0x04)
    assert snmp.traps.wait_for("kelIntercomBack", timeout=NOTIFIED + 1) == {
        "kelIntercomResetCause.70": "4", "kelIntercomCount.0": "2"}

    # The console stops: its file goes, and the intercoms are unknown, not
    # lost.
    assert console.stop() == 0
    wait(lambda: snmp.get("kelIntercomStates.0")["kelIntercomStates.0"] == "none", 5, "still published")
    assert snmp.get("kelIntercomCount.0") == {"kelIntercomCount.0": NO_SUCH}
    time.sleep(2)
    assert snmp.traps.names().count("kelIntercomLost") == 1


def test_pipe_files_and_malformed_records(sandbox, snmp, agent):
    """Without the daemon: what the sub-agent makes of its pipe and files."""
    path = sandbox.path(PIPE)
    st = os.stat(path)
    assert stat.S_ISFIFO(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o600
    walk = snmp.walk()
    assert walk["kelRecordState.0"] == "none" and "kelRecordAge.0" not in walk
    for unknown in ("kelDeviceRevision.0", "kelModuleCount.0", "kelBatteryVoltage.0"):
        assert unknown not in walk

    def write(data):
        fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, data)
        finally:
            os.close(fd)

    # Malformed records are counted and said once; a good one is served.
    write(b"devtype=kel\ndevrev=5\nbatt=x\n")
    time.sleep(0.3)
    write(b"junk without a record\n")
    time.sleep(0.3)
    # The rest of a record may come late: it is still the same one.
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, b"devtype=kel\ndevrev=5\nbatt=12000\nauxpwr=1\n")
        time.sleep(0.3)
        os.write(fd, b"auxvol=12100\ntemp=30\netemp_err0=-1\n")
        walk = wait(lambda: (lambda w: w if w.get("kelSupplyVoltage.0") == "12100" else None)(snmp.walk()), 5,
                    lambda: snmp.walk())
    finally:
        os.close(fd)
    assert (walk["kelRecordsMalformed.0"], walk["kelRecordsTaken.0"]) == ("2", "1")
    assert walk["kelTempSensorStatus.1"] == "error"
    assert agent.output().count("malformed") == 1, agent.output()

    # The pipe removed, or replaced by a file: it is back.
    os.unlink(path)
    wait(lambda: os.path.exists(path) and stat.S_ISFIFO(os.stat(path).st_mode), 5, "no pipe again")
    os.unlink(path)
    sandbox.write(PIPE, "devtype=kel\n")
    wait(lambda: stat.S_ISFIFO(os.stat(path).st_mode), 5, "no pipe instead of the file")
    write(b"devtype=kel\ndevrev=5\nbatt=11000\nauxpwr=1\nauxvol=12100\ntemp=30\n")
    wait(lambda: snmp.get("kelBatteryVoltage.0")["kelBatteryVoltage.0"] == "11000", 5, "not served")

    # Files the sub-agent cannot read: their objects are unknown.
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.write("etc/velta-snmp.conf", "num_modules=0\nnum_tsensors=2\n")
    os.mkdir(sandbox.path("run/parlod-ic-states"))
    wait(lambda: snmp.get("kelIntercomStates.0")["kelIntercomStates.0"] == "unreadable", 5, "not unreadable")
    assert snmp.get("kelTempSensorCount.0", "kelDeviceRevision.0") == {
        "kelTempSensorCount.0": "2", "kelDeviceRevision.0": "5"}
    os.unlink(sandbox.path("etc/velta-snmp.conf"))
    wait(lambda: snmp.get("kelTempSensorCount.0")["kelTempSensorCount.0"] == NO_SUCH, 5, "still counted")
    os.rmdir(sandbox.path("run/parlod-ic-states"))

    # Stopped, it takes its pipe along. It said each problem once, and
    # none of its pipe.
    assert agent.stop() == 0
    assert not os.path.exists(path)
    said = agent.output().splitlines()
    assert len([s for s in said if "malformed" in s]) == 1, said
    assert [s for s in said if "Cannot" in s] == [f"Cannot read {sandbox.path('run/parlod-ic-states')}: Is a directory"]


def test_mib_module_passes_smilint(tmp_path):
    """The module as installed, checked at smilint's level 4 against the
    stand-ins of the base modules; smilint's exit status says nothing, its
    output does."""
    mibs = tmp_path / "mibs"
    mibs.mkdir()
    for name in os.listdir(MIBS):
        shutil.copy(os.path.join(MIBS, name), mibs / name.replace(".txt", ""))
    module = mibs / "KEL-TERMINAL-MIB"
    shutil.copy(os.path.join(build_dir(), "kelsnmp", "KEL-TERMINAL-MIB.txt"), module)
    conf = tmp_path / "smi.conf"
    conf.write_text("")
    r = subprocess.run(["smilint", "-c", str(conf), "-l", "4", "-s", "-m", str(module)], capture_output=True,
                       text=True, env=dict(os.environ, SMIPATH=str(mibs)), timeout=60)
    assert r.stdout + r.stderr == ""
    # It does report what is wrong.
    module.write_text(module.read_text().replace("kelRecordAge OBJECT-TYPE", "kelRecordAge OBJECT-TYPO", 1))
    r = subprocess.run(["smilint", "-c", str(conf), "-l", "4", "-s", "-m", str(module)], capture_output=True,
                       text=True, env=dict(os.environ, SMIPATH=str(mibs)), timeout=60)
    assert "error" in r.stdout + r.stderr
