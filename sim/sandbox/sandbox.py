"""A sandbox root for running the terminal's programs without hardware.

Each sandbox is a fresh directory tree (etc/, run/, var/run/, sys/, dev/,
bin/) that the programs see through KEL_ROOT, its own copy of kelvgd (the
IPC key comes from the executable's real path, so each copy meets its own
shared state), and a datagram socket that stands in for systemd's
notification socket. close() removes the copy's shared-memory segment and
semaphore set and its claim on the key, stops what the sandbox started and
deletes the tree.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from . import sysv
from .shared_state import StateView

IPC_PROJECT = 104


def run_all(steps):
    """Runs every step, even when one fails; the first failure is raised
    at the end."""
    failure = None
    for step in steps:
        try:
            step()
        except Exception as e:  # noqa: BLE001 - everything else must still go
            failure = failure or e
    if failure:
        raise failure


class NotifySocket:
    """Collects the sd_notify() datagrams sent to NOTIFY_SOCKET."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.setblocking(False)
        self.received = []

    def _drain(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except BlockingIOError:
                return
            self.received.extend(data.decode(errors="replace").splitlines())

    def messages(self):
        """Every line received so far."""
        self._drain()
        return list(self.received)

    def wait_for(self, line, timeout=10.0):
        """Waits until the line has arrived; returns whether it did."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if line in self.messages():
                return True
            time.sleep(0.02)
        return line in self.messages()

    def clear(self):
        self._drain()
        self.received.clear()

    def close(self):
        self.sock.close()


class Sandbox:
    def __init__(self, kelvgd, prefix="kel-", root=None):
        # Short paths: unix socket names are limited to 107 bytes.
        self.root = root or tempfile.mkdtemp(prefix=prefix)
        os.makedirs(self.root, exist_ok=True)
        for d in ("etc", "run", "sys", "dev", "bin", "var", "tools"):
            os.makedirs(self.path(d), exist_ok=True)
        if not os.path.lexists(self.path("var/run")):
            os.symlink("../run", self.path("var/run"))
        self.key = None
        self.kelvgd = self._install(kelvgd)
        self.notify = NotifySocket(self.path("notify.sock"))
        self.children = []
        self.parts = []  # simulators and servers, closed before the rest
        self.ptys = []
        self.modems = []
        self.chip = None
        self._segment = None

    def _install(self, binary):
        """Copies kelvgd in, at a path whose IPC key no other sandbox, earlier
        run or daemon uses. The key is a 24-bit hash of the path: when it is
        taken, the copy goes one directory deeper. The claim is atomic, so
        sandboxes of parallel runs never share a key."""
        for attempt in range(32):
            directory = self.path("tools" if attempt == 0 else f"tools/{attempt}")
            os.makedirs(directory, exist_ok=True)
            path = os.path.join(directory, "kelvgd")
            key = sysv.path_key(os.path.realpath(path), IPC_PROJECT)
            if not sysv.claim(key):
                continue
            if sysv.exists(key):  # left over by a run that did not clean up
                sysv.unclaim(key)
                continue
            shutil.copy2(binary, path)
            self.key = key
            return path
        raise RuntimeError("no free IPC key for a kelvgd copy")

    def path(self, rel=""):
        return os.path.join(self.root, rel.lstrip("/"))

    def write(self, rel, text, mode=None):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb" if isinstance(text, bytes) else "w") as f:
            f.write(text)
        if mode is not None:
            os.chmod(p, mode)
        return p

    def read(self, rel):
        with open(self.path(rel)) as f:
            return f.read()

    def env(self, extra=None):
        env = dict(os.environ)
        env["KEL_ROOT"] = self.root
        env["NOTIFY_SOCKET"] = self.notify.path
        bins = [self.path("tools")]  # the stand-ins, and kelvgd unless it went deeper
        if os.path.dirname(self.kelvgd) not in bins:
            bins.insert(0, os.path.dirname(self.kelvgd))
        env["PATH"] = ":".join(bins + [env.get("PATH", "/usr/bin:/bin")])
        env.pop("PULSE_SERVER", None)
        if self.modems:
            from .modem_lines import preload_library

            env["LD_PRELOAD"] = " ".join(filter(None, [preload_library(), env.get("LD_PRELOAD")]))
            env["KEL_MODEM_LINES"] = ":".join(m.entry for m in self.modems)
        env.update(extra or {})
        return env

    def run(self, *args, timeout=30, env=None, wrap=None, **kw):
        """Runs the sandbox's kelvgd to the end; returns the CompletedProcess.
        wrap(argv) may put a command in front (see sim/sandbox/syslog.py)."""
        argv = [self.kelvgd, *map(str, args)]
        return subprocess.run(wrap(argv) if wrap else argv, env=self.env(env), capture_output=True,
                              text=True, timeout=timeout, **kw)

    def spawn(self, *args, env=None, wrap=None, **kw):
        """Starts the sandbox's kelvgd; close() stops it if still running.
        wrap as for run()."""
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        argv = [self.kelvgd, *map(str, args)]
        p = subprocess.Popen(wrap(argv) if wrap else argv, env=self.env(env), text=True, **kw)
        self.children.append(p)
        return p

    def adopt(self, proc):
        """Lets close() stop a helper process."""
        self.children.append(proc)
        return proc

    def gpio(self, exported=()):
        """Mounts the simulated GPIO lines; the given ones start exported."""
        from ..devices.gpio import GpioChip

        self.chip = GpioChip(exported)
        self.chip.mount(self.path("sys/class/gpio"))
        return self.chip

    def pty(self, dev=None):
        """A pseudo-terminal pair, linked as dev/<dev> when named."""
        from .ptys import PtyPair

        p = PtyPair()
        self.ptys.append(p)
        if dev:
            p.link(self.path("dev/" + dev))
        return p

    def modem_lines(self, pty, **kw):
        """The modem lines of a simulated port (sim/sandbox/modem_lines.py), which
        every program the sandbox runs from now on sees; kw as for
        ModemLines."""
        from .modem_lines import ModemLines

        m = ModemLines(pty.slave_path, self.path(f"modem{len(self.modems)}.sock"), **kw)
        self.modems.append(m)
        return self.attach(m)

    def attach(self, part):
        """Lets close() close a simulator or server (anything with close()) first."""
        self.parts.append(part)
        return part

    def state(self):
        """A view of the shared state record (it exists once kelvgd ran)."""
        if self._segment is None:
            self._segment = sysv.Segment(self.key)
        return StateView(self._segment)

    def semaphores(self):
        return sysv.SemSet(self.key)

    def close(self):
        """Stops and removes everything, even when a step fails on the way;
        the first failure is raised at the end."""
        steps = [part.close for part in reversed(self.parts)]
        steps += [lambda p=p: self._stop(p) for p in self.children]
        if self.chip is not None:
            steps.append(self.chip.unmount)
        steps += [p.close for p in self.ptys]
        if self._segment is not None:
            steps.append(self._segment.detach)
        steps += [lambda: sysv.remove_all(self.key), lambda: sysv.unclaim(self.key), self.notify.close,
                  lambda: shutil.rmtree(self.root, ignore_errors=True)]
        run_all(steps)

    @staticmethod
    def _stop(proc):
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
