"""A systemd of a test's own, to run the shipped units as systemd runs them.

The machine may have no systemd running (a container), and a test must not
start services on the machine when it has one. So this starts the system
manager /lib/systemd/systemd as the first process of new PID, mount, UTS and
cgroup namespaces, in cgroups of its own below the test's, with a fresh
/run, its console on a file, and a unit directory that holds only the
minimal targets and the units the test gives it; /tmp and /var/tmp are its
own too, so that PrivateTmp leaves nothing behind. Network and System V IPC
are shared with the test, so the services reach the simulators and the
maintenance commands meet the daemon. systemctl() talks to it; close() kills
it and everything it started, and removes its cgroups.
"""

import os
import shutil
import signal
import subprocess
import time
import uuid

SYSTEMD = "/lib/systemd/system"

TARGET = """\
[Unit]
Description=Units under test
DefaultDependencies=no
"""

# The targets the units' default dependencies and [Install] sections name.
EMPTY_TARGETS = ("sysinit", "basic", "sockets", "local-fs", "network", "network-online", "sound", "shutdown",
                 "umount", "final", "multi-user", "default", "paths", "timers", "slices")

SCRIPT = """\
set -e
mount --make-rprivate /
{cgroups}
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=1777 tmpfs /var/tmp
mount --bind "$1/console" /dev/console
mount --bind "$1/units" {systemd}
mount --bind "$1/empty" /etc/systemd/system
export container=kel-test
exec /lib/systemd/systemd --system --unit=kel-test.target --log-target=console --log-level=info \
    --show-status=no
"""


def _cgroup_mounts():
    """(mount point, file system type, options) of each cgroup file system."""
    found = []
    for line in open("/proc/self/mountinfo"):
        fields = line.split()
        sep = fields.index("-")
        fstype, options = fields[sep + 1], fields[sep + 3]
        if fstype in ("cgroup", "cgroup2"):
            found.append((fields[4], fstype, options))
    return found


def _our_cgroups():
    """{controllers: path} of this process ("" for the unified hierarchy)."""
    ours = {}
    for line in open("/proc/self/cgroup"):
        _, controllers, path = line.rstrip("\n").split(":", 2)
        ours[controllers] = path
    return ours


# The version 1 hierarchies whose cgroups systemd makes by default. The
# others stay as they are: in a cpu cgroup of its own, on a kernel with
# real-time group scheduling, no process could have real-time priority.
SYSTEMD_V1 = {"name=systemd", "memory", "pids", "devices"}


def _hierarchy_paths(mounts):
    """The directory of this process in each hierarchy the manager uses."""
    ours = _our_cgroups()
    found = []
    for mountpoint, fstype, options in mounts:
        if fstype == "cgroup2":
            found.append(mountpoint + ours.get("", "/"))
            continue
        opts = set(options.split(","))
        for controllers, path in ours.items():
            names = set(controllers.split(","))
            if controllers and names <= opts and names & SYSTEMD_V1:
                found.append(mountpoint + path)
                break
    return found


def _remount_script(mounts):
    """Shell commands that mount every cgroup hierarchy afresh: a mount made
    inside the cgroup namespace has the namespace's root as its root, so
    the manager sees its own cgroups as the whole tree."""
    lines = []
    top = [m for m in mounts if m[0] == "/sys/fs/cgroup"]
    if top:  # the unified hierarchy alone
        lines.append("umount -l /sys/fs/cgroup")
    else:
        lines.append("mount -t tmpfs -o mode=0755 cgroups /sys/fs/cgroup")
    for mountpoint, fstype, options in mounts:
        opts = ",".join(o for o in options.split(",") if o not in ("rw", "ro"))
        lines.append(f"mkdir -p {mountpoint} && mount -t {fstype} -o {opts or 'rw'} cgroup {mountpoint}")
    return "\n".join(lines)


class ServiceManager:
    def __init__(self, workdir, units, wrap=None):
        """units: {name: text}, drop-ins as "name.d/file.conf". wrap(argv)
        may put a command in front, such as one that enters a network
        namespace (sim/peers/sip_peers.py)."""
        self.dir = workdir
        os.makedirs(os.path.join(workdir, "units"))
        os.makedirs(os.path.join(workdir, "empty"))
        open(os.path.join(workdir, "console"), "w").close()
        self._write("kel-test.target", TARGET + "Wants=" + " ".join(
            n for n in units if "/" not in n and not n.endswith("@.service")) + "\n")
        for target in EMPTY_TARGETS:
            self._write(f"{target}.target", f"[Unit]\nDescription={target}\nDefaultDependencies=no\n")
        for name, text in units.items():
            self._write(name, text)

        self.cgroups = []
        tag = "kel-test-" + uuid.uuid4().hex[:12]
        mounts = _cgroup_mounts()
        for path in _hierarchy_paths(mounts):
            d = os.path.join(path, tag)
            os.mkdir(d)
            self.cgroups.append(d)

        def enter_cgroups():
            for d in self.cgroups:
                with open(os.path.join(d, "cgroup.procs"), "w") as f:
                    f.write("0")

        argv = ["unshare", "--pid", "--fork", "--kill-child", "--mount", "--uts", "--cgroup", "--mount-proc",
                "sh", "-c", SCRIPT.format(systemd=SYSTEMD, cgroups=_remount_script(mounts)), "sh", workdir]
        if wrap:
            argv = wrap(argv)
        self.proc = subprocess.Popen(argv, preexec_fn=enter_cgroups, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.pid = None
        deadline = time.monotonic() + 30
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("the service manager did not start: " + self.proc.stderr.read().decode())
            self.pid = self.pid or self._pid1()
            if self.pid and self.systemctl("is-system-running", check=False).stdout.strip() in (
                    "running", "degraded"):
                return
            if time.monotonic() > deadline:
                console = self.console()
                self.close()
                raise RuntimeError("the service manager is not running: " + console)
            time.sleep(0.1)

    def _write(self, name, text):
        path = os.path.join(self.dir, "units", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def _pid1(self):
        """The manager's process id, seen from outside: the child of unshare."""
        try:
            children = open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children").read().split()
        except OSError:
            return None
        for pid in children:
            try:
                if os.readlink(f"/proc/{pid}/exe") == "/usr/lib/systemd/systemd":
                    return int(pid)
            except OSError:
                pass
        return None

    def argv(self, *argv):
        """A command line that runs argv in the manager's mount and PID
        namespaces."""
        return ["nsenter", "-t", str(self.pid), "-m", "-p", *argv]

    def run(self, *argv, timeout=60):
        return subprocess.run(self.argv(*argv), capture_output=True, text=True, timeout=timeout)

    def systemctl(self, *args, check=True, timeout=60):
        """systemctl against this manager (in its namespaces, where its /run
        is)."""
        r = self.run("systemctl", "--no-pager", *args, timeout=timeout)
        if check and r.returncode != 0:
            raise AssertionError(f"systemctl {' '.join(args)}: {r.stdout}{r.stderr}\n{self.console()}")
        return r

    def show(self, unit, prop):
        return self.systemctl("show", "-P", prop, unit).stdout.rstrip("\n")

    def wait_for(self, unit, prop, value, timeout=30):
        deadline = time.monotonic() + timeout
        while self.show(unit, prop) != value:
            if time.monotonic() > deadline:
                raise AssertionError(f"{unit}: {prop} is {self.show(unit, prop)!r}, not {value!r}\n{self.console()}")
            time.sleep(0.1)

    def console(self):
        with open(os.path.join(self.dir, "console"), errors="replace") as f:
            return f.read()

    def close(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=30)
        # The cgroups empty as the killed processes go.
        deadline = time.monotonic() + 30
        for top in self.cgroups:
            for root, dirs, _ in sorted(os.walk(top, topdown=False), key=lambda w: -len(w[0])):
                for _ in range(300):
                    try:
                        os.rmdir(root)
                        break
                    except FileNotFoundError:
                        break
                    except OSError:
                        if time.monotonic() > deadline:
                            raise
                        time.sleep(0.1)
        shutil.rmtree(self.dir, ignore_errors=True)
