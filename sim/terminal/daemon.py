"""kelvgd on the terminal: the monitoring daemon (`kelvgd run`), the health
monitor (`kelvgd failmon`), each run and restarted as its unit says, and the
maintenance commands an engineer runs against them."""

import os
import re
import signal
import subprocess
import tempfile
import threading

from .commands import CommandError, Interrupted, command
from .core import Part
from .events import LineQueue
from .gpio_mode import GpioHardware, PushPeer
from .platform import Platform
from .units import Service, Services

KELVGD_CONF = """\
# kelvgd settings of the virtual terminal
push_enabled=1
serv_addr={push}
wdt_disabled=0
wdt_period=900
multi_notify=1
force_notify=1
"""
UNITS = {"run": "kelvgd.service", "failmon": "kelvgd-failmon.service"}
SEM_MAINLOOP = 0  # the instance lock, held by the running monitoring loop
INTERRUPT_GRACE = 5  # seconds a command has to end after Ctrl-C before it is killed


class Daemon(Part):
    name = "kelvgd run and the health monitor, kelvgd failmon"

    def __init__(self, health_monitor=True):
        self.health_monitor = health_monitor
        if not health_monitor:
            self.name = "kelvgd run"
        self.services = {}

    def start(self, terminal):
        super().start(terminal)
        self.platform = terminal.part(Platform)
        push = terminal.part(PushPeer)
        terminal.sb.write("etc/kelvgd.conf", KELVGD_CONF.format(push=push.push.host if push else ""), mode=0o600)
        self.output = LineQueue("kelvgd")
        self._start("run", ready_within=30)
        if self.health_monitor:
            self._start("failmon", ready_within=15)

    @property
    def procs(self):
        """word: the Popen of that program as it runs now (after a restart, the new one)."""
        return {word: service.proc for word, service in self.services.items()}

    def _start(self, word, ready_within):
        program = f"kelvgd {word}"
        service = self.services[word] = Service(program, UNITS[word], lambda: self._spawn(word))
        self.platform.wait_ready(program, service.start(), ready_within)

    def _spawn(self, word):
        sb = self.t.sb
        proc = sb.adopt(subprocess.Popen(self.platform.wrap([sb.kelvgd, word]),
                                         env=sb.env(self.platform.env(f"kelvgd {word}")),
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, process_group=0))
        threading.Thread(target=self._show_output, args=(word, proc.stdout), daemon=True).start()
        return proc

    def _show_output(self, word, stream):
        for line in iter(stream.readline, b""):
            self.output.put(f"{word}: " + line.decode(errors="replace").rstrip("\n"))
        stream.close()

    # Commands.

    @command("kelvgd ARGS", "a maintenance command of the daemon, e.g. kelvgd dump, kelvgd clcall")
    def kelvgd(self, args):
        """Runs kelvgd with these arguments in the terminal, as root would
        there; `kelvgd` alone lists its command words. Its output follows;
        a status other than 0 is said and makes the command fail. Ctrl-C
        interrupts it as it would in a shell."""
        sb = self.t.sb
        word = args[0] if args and re.fullmatch(r"[a-z]{1,16}", args[0]) else ""
        env = sb.env(self.platform.env(f"kelvgd {word}".strip()))
        what = " ".join(["kelvgd", *args])
        # A file, not a pipe: a daemon that `kelvgd daemonize` starts keeps it.
        with tempfile.TemporaryFile() as out:
            try:
                status = run_foreground(self.platform.wrap([sb.kelvgd, *args]), timeout=120, env=env,
                                        stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            finally:
                out.seek(0)
                text = out.read().decode(errors="replace").rstrip("\n")
                if text:
                    self.t.out.say(text)
            if status is None:
                raise CommandError(f"{what} did not end within 120 s; stopped")
        if status:
            self.t.out.error(f"{what} exited with status {status}")
            return False
        return True

    # Events and status.

    def sources(self):
        return [self.output, Services("kelvgd", list(self.services.values()))]

    def programs(self):
        return [s.name for s in self.services.values() if s.running()]

    def status(self):
        rows = []
        for word, service in self.services.items():
            text = service.state()
            if word == "failmon" and service.running():
                text += f": {self.platform.notes.status_of('kelvgd failmon') or 'no status yet'}"
            rows.append((service.name, text))
        try:
            st = self.t.sb.state()
        except OSError:
            return rows
        # The instance lock tells whether a loop runs: a daemon that ended
        # leaves the shared state's flags as they were.
        try:
            loop_runs = self.t.sb.semaphores().value(SEM_MAINLOOP) == 0
        except OSError:
            loop_runs = False
        if not loop_runs:
            return rows + [("monitoring loop", "not running (no daemon holds the instance lock)")]
        loop = "running" if st.get("daemon_loop") else "stopping"
        if self.t.part(GpioHardware):
            loop += f", {st.get('urate') / 1000:.1f} cycles/s"
            loop += ", inputs valid" if st.get("inputs_valid") else ", inputs not read yet"
            loop += ", COPROCESSOR ERROR" if st.get("error_coproc") else ""
        else:
            loop += ", measurements valid" if st.get("cio_inputs_valid") else ", measurements not taken yet"
            loop += ", BOARD ERROR" if st.get("error_coproc") else ""
        return rows + [("monitoring loop", loop)]

    def stop(self):
        for service in self.services.values():
            service.terminate()

    def wait(self, deadline):
        for service in self.services.values():
            if service.wait(deadline):
                self.t.out.error(f"{service.name} did not end after SIGTERM; killed")


def run_foreground(argv, timeout, **kw):
    """Runs argv to its end and returns its exit status (None: stopped after
    timeout seconds). Ctrl-C reaches it as it does a shell's foreground job:
    SIGINT to its process group; what has not ended INTERRUPT_GRACE seconds
    later is killed."""
    proc = subprocess.Popen(argv, process_group=0, **kw)
    try:
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        except Interrupted:
            try:
                os.killpg(proc.pid, signal.SIGINT)
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout=INTERRUPT_GRACE)
            except subprocess.TimeoutExpired:
                pass
            raise
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
