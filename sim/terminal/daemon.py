"""kelvgd on the terminal: the monitoring daemon (`kelvgd run`), the health
monitor (`kelvgd failmon`), and the maintenance commands an engineer runs
against them."""

import re
import signal
import subprocess
import tempfile
import threading

from .commands import CommandError, command
from .core import Part
from .events import LineQueue, ProcessEnds
from .gpio_mode import GpioHardware, PushPeer
from .platform import Platform

KELVGD_CONF = """\
# kelvgd settings of the virtual terminal
push_enabled=1
serv_addr={push}
wdt_disabled=0
wdt_period=900
multi_notify=1
force_notify=1
"""


class Daemon(Part):
    name = "kelvgd run and the health monitor, kelvgd failmon"

    def __init__(self, health_monitor=True):
        self.health_monitor = health_monitor
        if not health_monitor:
            self.name = "kelvgd run"

    def start(self, terminal):
        super().start(terminal)
        self.platform = terminal.part(Platform)
        push = terminal.part(PushPeer)
        terminal.sb.write("etc/kelvgd.conf", KELVGD_CONF.format(push=push.push.host if push else ""), mode=0o600)
        self.output = LineQueue("kelvgd")
        self.procs = {}
        self._spawn("run", ready_within=30)
        if self.health_monitor:
            self._spawn("failmon", ready_within=15)

    def _spawn(self, word, ready_within):
        sb = self.t.sb
        program = f"kelvgd {word}"
        proc = sb.adopt(subprocess.Popen(self.platform.wrap([sb.kelvgd, word]), env=sb.env(self.platform.env(program)),
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT))
        self.procs[word] = proc
        threading.Thread(target=self._show_output, args=(word, proc.stdout), daemon=True).start()
        self.platform.wait_ready(program, proc, ready_within)

    def _show_output(self, word, stream):
        for line in iter(stream.readline, b""):
            self.output.put(f"{word}: " + line.decode(errors="replace").rstrip("\n"))

    # Commands.

    @command("kelvgd ARGS", "a maintenance command of the daemon, e.g. kelvgd dump, kelvgd clcall")
    def kelvgd(self, args):
        """Runs kelvgd with these arguments in the terminal, as root would
        there; `kelvgd` alone lists its command words. Its output follows;
        a status other than 0 is said and makes the command fail."""
        sb = self.t.sb
        word = args[0] if args and re.fullmatch(r"[a-z]{1,16}", args[0]) else ""
        env = sb.env(self.platform.env(f"kelvgd {word}".strip()))
        # A file, not a pipe: a daemon that `kelvgd daemonize` starts keeps it.
        with tempfile.TemporaryFile() as out:
            try:
                r = subprocess.run(self.platform.wrap([sb.kelvgd, *args]), env=env, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, timeout=120)
            except subprocess.TimeoutExpired:
                raise CommandError(f"kelvgd {' '.join(args)} did not end within 120 s; stopped") from None
            out.seek(0)
            text = out.read().decode(errors="replace").rstrip("\n")
        if text:
            self.t.out.say(text)
        if r.returncode:
            self.t.out.error(f"kelvgd {' '.join(args)} exited with status {r.returncode}")
            return False
        return True

    # Events and status.

    def sources(self):
        return [self.output, ProcessEnds("kelvgd", {f"kelvgd {w}": p for w, p in self.procs.items()})]

    def status(self):
        rows = []
        for word, proc in self.procs.items():
            running = proc.poll() is None
            text = "running" if running else f"ended with status {proc.returncode}"
            if word == "failmon" and running:
                text += f": {self.platform.notes.status_of('kelvgd failmon') or 'no status yet'}"
            rows.append((f"kelvgd {word}", text))
        try:
            st = self.t.sb.state()
            loop = "running" if st.get("daemon_loop") else "stopped"
            if self.t.part(GpioHardware):
                loop += f", {st.get('urate') / 1000:.1f} cycles/s"
                loop += ", inputs valid" if st.get("inputs_valid") else ", inputs not read yet"
                loop += ", COPROCESSOR ERROR" if st.get("error_coproc") else ""
            else:
                loop += ", measurements valid" if st.get("cio_inputs_valid") else ", measurements not taken yet"
                loop += ", BOARD ERROR" if st.get("error_coproc") else ""
            rows.append(("monitoring loop", loop))
        except OSError:
            pass
        return rows

    def stop(self):
        sb = self.t.sb
        # Whichever daemon holds the instance lock, this one's or one that
        # `kelvgd daemonize` started, stops here.
        try:
            sb.run("stop", env=self.platform.env("kelvgd stop"), timeout=30)
        except (OSError, subprocess.SubprocessError):
            pass
        procs = getattr(self, "procs", {})  # none when the start failed early
        failmon = procs.get("failmon")
        if failmon and failmon.poll() is None:
            failmon.send_signal(signal.SIGTERM)
        for proc in procs.values():
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

