"""What the terminal's operating system gives its programs: a sound server,
the system log, systemd's notification socket, and the system programs
the daemon calls (reboot, systemctl, as recording stand-ins).

Every program of the terminal is started through env() and wrap(): its
notifications then arrive on a socket of its own, so that each one is shown
with the program's name, and its system log messages are caught here.
"""

import re
import signal
import subprocess
import time

from ..sandbox.pulse import PulseServer
from ..sandbox.sandbox import NotifySocket
from ..sandbox.standins import StandIns
from ..sandbox.syslog import SyslogCapture
from .commands import command
from .core import Part, StartError
from .events import EventSource

FACILITIES = ("kern", "user", "mail", "daemon", "auth", "syslog", "lpr", "news", "uucp", "cron", "authpriv",
              "ftp", "ntp", "security", "console", "solaris-cron") + tuple(f"local{i}" for i in range(8))
LEVELS = ("emerg", "alert", "crit", "err", "warning", "notice", "info", "debug")


class Platform(Part):
    name = "the platform: sound server, system log, service manager"

    def start(self, terminal):
        super().start(terminal)
        sb = terminal.sb
        self.pulse = sb.attach(PulseServer(sb.path("pulse")))
        self.pulse.pactl("set-default-source", "spk.monitor")  # the speaker test hears the loudspeaker
        self.standins = StandIns(sb)
        self.syslog = sb.attach(SyslogCapture(sb))
        self._notify = {}  # program name -> socket
        self.notes = Notifications(self._notify)

    def env(self, program):
        """The environment of a program of the terminal, named as its
        notifications are to be shown (e.g. "kelvgd run")."""
        sock = self._notify.get(program)
        if sock is None:
            slug = re.sub(r"[^a-z0-9]+", "-", program.lower()).strip("-")[:24]
            sock = self._notify[program] = NotifySocket(self.t.sb.path(f"notify-{slug}.sock"))
        return {**self.pulse.env(), "NOTIFY_SOCKET": sock.path}

    def notifications(self, program):
        """The notification socket of a program (see env())."""
        return self._notify[program]

    def wait_ready(self, program, proc, timeout):
        """Waits for the program's READY=1. A program that ends first fails
        the start; one that is only slow is said and waited for no more."""
        deadline = time.monotonic() + timeout
        sock = self._notify[program]
        while not sock.wait_for("READY=1", timeout=0.1):
            if proc.poll() is not None:
                raise StartError(f"{program} ended with status {proc.returncode}")
            if time.monotonic() > deadline:
                self.t.out.error(f"{program} is not ready after {timeout} s; going on")
                return

    def wrap(self, argv):
        """argv, run so that its system log is caught."""
        return self.syslog.wrap(argv)

    @command("shell [CMD]", "a shell in the terminal's sandbox, or one command line there", raw=True)
    def shell(self, line):
        """The programs' paths lead into the sandbox there (KEL_ROOT), the
        sandbox's kelvgd comes first on PATH and the sound server is the
        terminal's. exit returns to the prompt."""
        sb = self.t.sb
        argv = ["bash", "-c", line] if line else ["bash", "--norc", "--noprofile", "-i"]
        env = sb.env({**self.env("shell"), "PS1": r"[vterm \W]\$ "})
        # Ctrl-C belongs to the shell and what it runs while it runs: it
        # shares the terminal's process group with the prompt.
        old = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            r = subprocess.run(self.wrap(argv), env=env, cwd=sb.root, process_group=None,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        finally:
            signal.signal(signal.SIGINT, old)
        return r.returncode == 0

    def sources(self):
        return [self.notes, SystemLog(self.syslog)]

    def status(self):
        streams = self.pulse.streams("sink-inputs") + self.pulse.streams("source-outputs")
        phone = [s for s in streams if s["role"] == "phone"]
        muted = sum(s["mute"] for s in phone)
        return [("sound server", f"{len(streams)} streams, {len(phone)} of them calls"
                 + (f", {muted} muted" if muted else ""))]

    def close(self):
        for sock in getattr(self, "_notify", {}).values():
            sock.close()


class Notifications(EventSource):
    """sd_notify() messages, with the name of the program that sent them.
    "ERRNO=0" (success) is left out, and a status text only shows when it
    changes: the health monitor repeats its own every second."""

    tag = "systemd"

    def __init__(self, sockets):
        self.sockets = sockets
        self._seen = {}
        self._status = {}

    def poll(self):
        out = []
        for program, sock in list(self.sockets.items()):
            messages = sock.messages()
            for line in messages[self._seen.get(program, 0):]:
                if line == "ERRNO=0":
                    continue
                if line.startswith("STATUS="):
                    if self._status.get(program) == line:
                        continue
                    self._status[program] = line
                out.append(f"{program}: {line}")
            self._seen[program] = len(messages)
        return out

    def status_of(self, program):
        """The last status text of a program, or None."""
        text = self._status.get(program)
        return text[len("STATUS="):] if text else None


class SystemLog(EventSource):
    """Messages of the system log with the sender, facility and level. A
    message that comes again and again (a daemon may log a failure at every
    cycle) is shown once, then counted, as syslog daemons do."""

    tag = "syslog"
    REPEAT_EVERY = 30.0  # seconds between two counts of a message that keeps coming

    def __init__(self, capture):
        self.capture = capture
        self._seen = 0
        self._last = None  # the last message shown
        self._repeats = 0
        self._counted_at = 0.0

    def poll(self, now=None):
        now = time.monotonic() if now is None else now
        entries = self.capture.entries()
        new, self._seen = entries[self._seen:], len(entries)
        out = []
        for pri, ident, text in new:
            facility = FACILITIES[pri >> 3] if pri >> 3 < len(FACILITIES) else str(pri >> 3)
            line = f"{ident or '?'} {facility}.{LEVELS[pri & 7]}: {text}"
            if line == self._last:
                self._repeats += 1
                continue
            out += self._count()
            out.append(line)
            self._last, self._counted_at = line, now
        if self._repeats and now - self._counted_at >= self.REPEAT_EVERY:
            out += self._count()
            self._counted_at = now
        return out

    def _count(self):
        if not self._repeats:
            return []
        n, self._repeats = self._repeats, 0
        return [f"(the message before came {n} more time{'s' if n > 1 else ''})"]
