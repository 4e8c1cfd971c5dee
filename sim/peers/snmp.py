"""The real net-snmp around the terminal's SNMP sub-agent, inside a sandbox:
snmpd as the master agent with its AgentX socket in the sandbox, snmptrapd
as the network management system's trap receiver, and snmpget and
snmpwalk as the network management system asks.

    snmp = sandbox.attach(Snmp(sandbox, mib_file))
    agent = snmp.subagent(kelsnmp)      # started, ready
    snmp.walk("kelState")               # {"kelBatteryVoltage.0": "15604", ...}
    snmp.traps.wait_for("kelSupplyLost")

Each of them reads only the files given here (a private HOME, no system
configuration, a persistent directory of its own in the sandbox), listens
on loopback ports picked free, and logs into the sandbox. Debian ships none
of the SMIv2 base modules: sim/peers/mibs holds small stand-ins for the ones the
terminal's module imports. close() stops every process it started.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import time

from ..sandbox.sandbox import NotifySocket, run_all

MIBS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mibs")
MODULE = "KEL-TERMINAL-MIB"
MODULES = MODULE + ":SNMPv2-MIB"
COMMUNITY = "public"


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _stop(proc, timeout=10):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=timeout)


def _wait(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(what)
        time.sleep(0.05)


class TrapReceiver:
    """snmptrapd on a loopback port; every notification it receives is one
    record of its log: the notification's name and its objects."""

    def __init__(self, home, mibs, env):
        self.port = free_udp_port()
        self.log = os.path.join(home, "traps.log")
        conf = os.path.join(home, "snmptrapd.conf")
        with open(conf, "w") as f:
            f.write("disableAuthorization yes\n")
        open(self.log, "w").close()
        # -X: no sub-agent of a master of its own; -n: addresses as
        # numbers; one line a notification, its objects tab-separated.
        self.proc = subprocess.Popen(
            ["snmptrapd", "-f", "-C", "-c", conf, "-X", "-n", "-Lf", self.log, "-F", "TRAP\t%v\tEND\n",
             "-m", MODULES, "-M", mibs, "-OQsU", f"udp:127.0.0.1:{self.port}"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            _wait(lambda: "NET-SNMP version" in open(self.log).read() or self.proc.poll() is not None, 15,
                  "snmptrapd does not start")
            assert self.proc.poll() is None, open(self.log).read()
        except BaseException:
            self.close()
            raise

    def received(self):
        """[(name, {object: value})] of the notifications so far, oldest
        first; the name is the notification's without its module, the
        objects are those it carries for its own."""
        text = open(self.log).read()
        out = []
        for record in re.findall(r"^TRAP\t(.*?)\tEND$", text, re.M | re.S):
            objects = {}
            for item in record.split("\t"):
                name, sep, value = item.partition(" = ")
                if sep:
                    objects[name.strip()] = value.strip().strip('"')
            trap = objects.pop("snmpTrapOID.0", "")
            # What every notification carries: the agent's uptime, and the
            # enterprise of SNMPv1's traps.
            objects = {k: v for k, v in objects.items() if k != "sysUpTime.0" and not k.startswith("snmpTrap")}
            out.append((trap.split("::")[-1], objects))
        return out

    def names(self, since=0):
        return [name for name, _ in self.received()[since:]]

    def wait_for(self, name, timeout=10, since=0, count=1):
        """Waits for the count-th notification name after the first since;
        returns its objects."""
        found = []

        def seen():
            found[:] = [objects for n, objects in self.received()[since:] if n == name]
            return len(found) >= count
        _wait(seen, timeout, f"no {name} within {timeout} s; received: {self.names(since)}")
        return found[count - 1]

    def close(self):
        _stop(self.proc)


class Snmp:
    """snmpd as the AgentX master, its trap receiver, and the tools."""

    def __init__(self, sandbox, mib_file):
        self.sb = sandbox
        self.home = sandbox.path("snmp")
        self.mibs = os.path.join(self.home, "mibs")
        os.makedirs(self.mibs, exist_ok=True)
        os.makedirs(os.path.join(self.home, "persist"), exist_ok=True)
        os.makedirs(os.path.join(self.home, "conf"), exist_ok=True)
        # Only MIB files in the directories that the tools search.
        for name in os.listdir(MIBS):
            shutil.copy(os.path.join(MIBS, name), self.mibs)
        shutil.copy(mib_file, os.path.join(self.mibs, MODULE + ".txt"))
        self.socket = os.path.join(self.home, "agentx")
        self.port = free_udp_port()
        self.procs = []
        self.master = None
        self.traps = TrapReceiver(self.home, self.mibs, self.env())
        try:
            self.start_master()
        except BaseException:
            self.close()
            raise

    def env(self, extra=None):
        env = dict(os.environ)
        env.update(HOME=self.home, SNMPCONFPATH=os.path.join(self.home, "conf"),
                   SNMP_PERSISTENT_DIR=os.path.join(self.home, "persist"), MIBS="", MIBDIRS=self.mibs)
        env.update(extra or {})
        return env

    def start_master(self):
        # Ready once its socket is there: not the one a master before left.
        if os.path.lexists(self.socket):
            os.unlink(self.socket)
        conf = os.path.join(self.home, "snmpd.conf")
        with open(conf, "w") as f:
            f.write(f"agentAddress udp:127.0.0.1:{self.port}\n"
                    f"rocommunity {COMMUNITY} 127.0.0.1\n"
                    "master agentx\n"
                    f"agentXSocket unix:{self.socket}\n"
                    f"trap2sink 127.0.0.1:{self.traps.port} {COMMUNITY}\n"
                    "dontLogTCPWrappersConnects yes\n")
        self.master = subprocess.Popen(["snmpd", "-f", "-Lf", os.path.join(self.home, "snmpd.log"), "-C", "-c",
                                        conf, "-m", "", "-I", "-smux"],
                                       env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        try:
            _wait(lambda: os.path.exists(self.socket) or self.master.poll() is not None, 15, "snmpd does not start")
            assert self.master.poll() is None, self.master_log()
        except BaseException:
            self.stop_master()
            raise

    def stop_master(self):
        _stop(self.master)

    def master_log(self):
        try:
            return open(os.path.join(self.home, "snmpd.log")).read()
        except FileNotFoundError:
            return ""

    def subagent(self, binary, *args, ready=True):
        """Starts the sub-agent against this master; ready: waits until it
        says it is."""
        agent = SubAgent(self, binary, *args)
        self.procs.append(agent)
        if ready:
            agent.wait_ready()
        return agent

    def _tool(self, tool, *args, timeout=20):
        argv = [tool, "-v2c", "-c", COMMUNITY, "-M", self.mibs, "-m", MODULES, "-OQsU", "-t", "2", "-r", "1",
                f"udp:127.0.0.1:{self.port}", *args]
        return subprocess.run(argv, env=self.env(), capture_output=True, text=True, timeout=timeout)

    @staticmethod
    def _values(text):
        out = {}
        for line in text.splitlines():
            name, sep, value = line.partition(" = ")
            if sep:
                out[name.strip()] = value.strip().strip('"')
        return out

    def walk(self, name="kelTerminalMIB"):
        """{object.index: value} below the object named (of the module)."""
        r = self._tool("snmpwalk", f"{MODULE}::{name}")
        assert r.returncode == 0, r.stderr
        return self._values(r.stdout)

    def get(self, *names):
        """{object.index: value} of the instances named; a missing one
        reads as what snmpget says of it."""
        r = self._tool("snmpget", *(f"{MODULE}::{n}" for n in names))
        assert r.returncode == 0, r.stderr
        return self._values(r.stdout)

    def close(self):
        run_all([p.close for p in reversed(self.procs)] + [self.stop_master, self.traps.close])


class SubAgent:
    """kelsnmp in the sandbox, connected to the master's socket, with a
    notification socket of its own."""

    def __init__(self, snmp, binary, *args):
        self.snmp = snmp
        self.notify = NotifySocket(os.path.join(snmp.home, f"notify{len(snmp.procs)}.sock"))
        self.log = os.path.join(snmp.home, f"kelsnmp{len(snmp.procs)}.log")
        env = snmp.sb.env()
        env.update(snmp.env({"NOTIFY_SOCKET": self.notify.path}))
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([binary, "-x", f"unix:{snmp.socket}", *args], env=env,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def wait_ready(self, timeout=15):
        _wait(lambda: "READY=1" in self.notify.messages() or self.proc.poll() is not None, timeout,
              "the sub-agent is not ready: " + self.output())
        assert self.proc.poll() is None, self.output()

    def output(self):
        return open(self.log).read()

    def stop(self):
        _stop(self.proc)
        return self.proc.returncode

    def close(self):
        try:
            self.stop()
        finally:
            self.notify.close()
