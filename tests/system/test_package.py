"""The Debian package: built with the usual tools, installed with apt into a
throwaway copy of this machine, checked as systemd and man see it, and
upgraded under a running daemon whose maintenance commands must go on
working.

The copy is an overlay of the root file system in a mount namespace of the
test's own: apt, dpkg and the maintainer scripts run there as on a fresh
terminal (without systemd running), and whatever they write is gone with
the namespace."""

import os
import re
import subprocess

import pytest

from conftest import ROOT, report_lines
from sim.devices.coproc import Coprocessor
from sim.sandbox import sysv
from sim.sandbox.sandbox import IPC_PROJECT

# Under ctest: the package is built from scratch, with the compiler's full
# optimisation, beside the rest of the suite.
TIMEOUT = 900

UNITS = ["kelvgd.service", "kelvgd-failmon.service", "parlod.service", "kelsnmp.service", "kelvgd-sersrv.socket",
         "kelvgd-sersrv@.service"]

HOLDER = """\
set -e
mount -t overlay overlay -o lowerdir=/,upperdir="$1/upper",workdir="$1/work" "$1/root"
for d in proc sys dev dev/pts; do mount --rbind /$d "$1/root/$d"; done
mount -t tmpfs -o mode=0755 tmpfs "$1/root/run"
mount -t tmpfs -o mode=1777 tmpfs "$1/root/tmp"
# man-db's trigger would index every manual page of the machine.
rm -f "$1/root/var/lib/man-db/auto-update"
echo up
exec cat >/dev/null
"""


class Machine:
    """A copy of this machine in a mount namespace, held by a process that
    ends when its standard input closes."""

    def __init__(self, workdir):
        self.dir = workdir
        for d in ("upper", "work", "root"):
            os.makedirs(os.path.join(workdir, d))
        self.holder = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c", HOLDER, "sh",
                                        workdir], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.holder.stdout.readline().strip() != "up":
            self.close()
            raise RuntimeError("cannot make a copy of the machine")

    @property
    def root(self):
        return os.path.join(self.dir, "root")

    def argv(self, *argv, env=None):
        env = ["env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8",
               *(f"{k}={v}" for k, v in (env or {}).items())]
        return ["nsenter", "-t", str(self.holder.pid), "-m", "chroot", self.root, *env, *argv]

    def run(self, *argv, env=None, timeout=300):
        return subprocess.run(self.argv(*argv, env=env), capture_output=True, text=True, timeout=timeout)

    def bind(self, path):
        """Makes a directory of the machine (and what is mounted below it)
        appear at the same place in the copy."""
        subprocess.run(["nsenter", "-t", str(self.holder.pid), "-m", "sh", "-c",
                        'mkdir -p "$2$1" && mount --rbind "$1" "$2$1"', "sh", path, self.root], check=True)

    def close(self):
        self.holder.stdin.close()
        self.holder.wait(timeout=30)


@pytest.fixture
def machine(tmp_path):
    """Makes the copy, which sees what is mounted on the machine until then."""
    made = []

    def make():
        made.append(Machine(str(tmp_path / "machine")))
        return made[-1]
    yield make
    for m in made:
        m.close()


def simulated_terminal(sandbox):
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.write("etc/kelvgd.conf", "wdt_disabled=1\n")
    chip = sandbox.gpio()
    cp = sandbox.attach(Coprocessor(sandbox.pty("ttyS4"), chip, devtype=0))
    cp.set_adc(1, 190, input=7)
    cp.set_adc(6, 900)
    cp.set_adc(7, 700)


def build_package(out):
    r = subprocess.run([os.path.join(ROOT, "scripts", "package"), out], capture_output=True, text=True,
                       timeout=1800)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    [deb] = [os.path.join(out, f) for f in os.listdir(out) if re.match(r"kel_.*\.deb$", f)]
    return deb


def with_version(deb, version, out):
    """The same package under another version, as the next release."""
    tree = os.path.join(out, "tree")
    os.makedirs(out)
    subprocess.run(["dpkg-deb", "-R", deb, tree], check=True)
    control = os.path.join(tree, "DEBIAN", "control")
    text = re.sub(r"^Version: .*$", f"Version: {version}", open(control).read(), flags=re.M)
    open(control, "w").write(text)
    new = os.path.join(out, f"kel_{version}.deb")
    subprocess.run(["dpkg-deb", "-b", tree, new], check=True, capture_output=True)
    return new


def apt_install(machine, deb):
    machine.bind(os.path.dirname(deb))
    r = machine.run("apt-get", "install", "-y", "-q", "--no-install-recommends", deb,
                    env={"DEBIAN_FRONTEND": "noninteractive"})
    assert r.returncode == 0, r.stdout + r.stderr
    return r


def test_package_installs_and_upgrades_under_a_running_daemon(tmp_path, machine, sandbox):
    deb = build_package(str(tmp_path / "package"))
    simulated_terminal(sandbox)
    machine = machine()
    version = subprocess.run(["dpkg-deb", "-f", deb, "Version"], capture_output=True, text=True).stdout.strip()
    fields = subprocess.run(["dpkg-deb", "-I", deb, "conffiles"], capture_output=True, text=True).stdout.split()
    assert sorted(fields) == ["/etc/disp.conf", "/etc/kelvgd.conf", "/etc/parlod.conf", "/etc/parlod_vol.conf"]

    # Installed with apt, as on a fresh terminal.
    apt_install(machine, deb)
    assert machine.run("dpkg-query", "-W", "-f=${Status} ${Version}", "kel").stdout == f"install ok installed {version}"
    for program in ("kelvgd", "parlod", "kelsnmp"):
        r = machine.run(program, "--version")
        assert r.stdout.splitlines()[0] == f"{program} {version}"
    r = machine.run("systemd-analyze", "verify", *(f"/lib/systemd/system/{u}" for u in UNITS))
    assert (r.returncode, r.stderr) == (0, "")
    r = machine.run("man", "-P", "cat", "kelvgd", env={"MANWIDTH": "80"})
    assert r.returncode == 0 and "hardware health-monitor daemon" in r.stdout
    r = machine.run("man", "-P", "cat", "kelsnmp", env={"MANWIDTH": "80"})
    assert r.returncode == 0 and "SNMP sub-agent" in r.stdout
    # The MIB module where net-snmp's tools look for modules.
    r = machine.run("grep", "-c", "^kel[A-Za-z]* NOTIFICATION-TYPE$", "/usr/share/snmp/mibs/KEL-TERMINAL-MIB.txt")
    assert r.stdout == "14\n", r.stdout + r.stderr
    # The maintainer scripts: units enabled, the console's pipe made.
    for link in ("multi-user.target.wants/kelvgd.service", "multi-user.target.wants/kelsnmp.service",
                 "sockets.target.wants/kelvgd-sersrv.socket"):
        assert machine.run("test", "-L", "/etc/systemd/system/" + link).returncode == 0, link
    assert machine.run("stat", "-c", "%F %a", "/run/parlod-cli").stdout == "fifo 660\n"

    # The daemon of the installed program, on a simulated terminal.
    key = sysv.path_key("/usr/sbin/kelvgd", IPC_PROJECT)
    assert sysv.claim(key) and not sysv.exists(key), "the key of /usr/sbin/kelvgd is in use"
    try:
        run_daemon_through_upgrade(machine, sandbox, deb, version, tmp_path)
    finally:
        sysv.remove_all(key)
        sysv.unclaim(key)


def run_daemon_through_upgrade(machine, sandbox, deb, version, tmp_path):
    machine.bind(sandbox.root)
    env = {"KEL_ROOT": sandbox.root, "NOTIFY_SOCKET": sandbox.notify.path}
    daemon = sandbox.adopt(subprocess.Popen(machine.argv("kelvgd", "run", env=env), stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, text=True))
    assert sandbox.notify.wait_for("READY=1", timeout=30), daemon.stderr.read() if daemon.poll() else ""

    # An operator's setting in a configuration file of the package.
    assert machine.run("sh", "-c", "echo wdt_period=300 >> /etc/kelvgd.conf").returncode == 0

    upgrade = with_version(deb, version + "+next", str(tmp_path / "next"))
    apt_install(machine, upgrade)
    assert machine.run("dpkg-query", "-W", "-f=${Version}", "kel").stdout == version + "+next"
    assert machine.run("cat", "/etc/kelvgd.conf").stdout.endswith("wdt_period=300\n")
    assert daemon.poll() is None, "the upgrade ended the daemon"
    # nsenter, chroot and env each become the next program: the daemon's
    # process is the one started, and it still runs the replaced file.
    assert machine.run("readlink", f"/proc/{daemon.pid}/exe").stdout == "/usr/sbin/kelvgd (deleted)\n"

    # The new program's maintenance commands find the daemon.
    r = machine.run("kelvgd", "dump", env=env)
    assert r.returncode == 0, r.stderr
    assert report_lines(r.stdout)["batt"].startswith("15.")
    assert machine.run("kelvgd", "cfg", "-w", "600", env=env).returncode == 0
    r = machine.run("kelvgd", "stop", env=env)
    assert r.returncode == 0, r.stderr
    assert daemon.wait(timeout=30) == 0

