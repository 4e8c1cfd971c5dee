"""The terminal's programs run as their systemd units run them.

A program that ends is restarted as its shipped unit says (Restart=,
RestartSec= of systemd/<unit>.in), and stopped as systemd stops a service
(SIGTERM, then SIGKILL when it does not end in time). The settings are read
from the unit files themselves, so that the virtual terminal does what a
real one does whenever the units change.
"""

import os
import re
import signal
import subprocess
import time

from .events import EventSource

UNIT_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "systemd")

# A clean end besides exit status 0 (systemd.service(5), SuccessExitStatus=).
CLEAN_SIGNALS = frozenset((signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGPIPE))
# The ends after which each Restart= setting restarts: "clean", an unclean
# exit "status", an unclean "signal". Time-outs and the watchdog do not
# happen here: the terminal enforces neither.
RESTART_AFTER = {
    "no": (),
    "always": ("clean", "status", "signal"),
    "on-success": ("clean",),
    "on-failure": ("status", "signal"),
    "on-abnormal": ("signal",),
    "on-abort": ("signal",),
    "on-watchdog": (),
}
TIME_UNITS = {"us": 1e-6, "usec": 1e-6, "ms": 1e-3, "msec": 1e-3, "s": 1, "sec": 1, "second": 1, "seconds": 1,
              "m": 60, "min": 60, "minute": 60, "minutes": 60, "h": 3600, "hr": 3600, "hour": 3600, "hours": 3600}


def timespan(text):
    """Seconds of a systemd time span: "5s", "100ms", "1min 30s", or a bare number of seconds."""
    parts = re.findall(r"(\d+(?:\.\d+)?)\s*([a-z]*)", text.strip().lower())
    if not parts or re.sub(r"[\d.\sa-z]", "", text.lower()):
        raise ValueError(f"no time span: {text!r}")
    seconds = 0.0
    for number, unit in parts:
        if unit and unit not in TIME_UNITS:
            raise ValueError(f"no time span: {text!r}")
        seconds += float(number) * TIME_UNITS.get(unit or "s")
    return seconds


def service_settings(path):
    """The [Service] settings of a unit file; a setting given twice counts
    as its last value, as systemd reads it."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line.strip("[]")
            elif section == "Service" and "=" in line:
                key, _, value = line.partition("=")
                settings[key.strip()] = value.strip()
    return settings


class RestartPolicy:
    """Restart= and RestartSec= of a unit."""

    def __init__(self, unit, restart="no", delay="100ms"):
        if restart not in RESTART_AFTER:
            raise ValueError(f"{unit}: Restart={restart} is no setting systemd knows")
        self.unit, self.restart, self.delay_text = unit, restart, delay
        self.delay = timespan(delay)

    @staticmethod
    def end_of(returncode):
        """"clean", "status" or "signal": how a program that ended with this
        status (a Popen's returncode) ended, as systemd tells them apart."""
        if returncode == 0 or (returncode < 0 and -returncode in CLEAN_SIGNALS):
            return "clean"
        return "signal" if returncode < 0 else "status"

    def restarts(self, returncode):
        return self.end_of(returncode) in RESTART_AFTER[self.restart]

    def __str__(self):
        return f"{self.unit}: Restart={self.restart}, RestartSec={self.delay_text}"


def read_policy(unit, directory=UNIT_DIR):
    """The restart policy of a shipped unit, e.g. "kelvgd.service"."""
    settings = service_settings(os.path.join(directory, unit + ".in"))
    return RestartPolicy(unit, settings.get("Restart", "no"), settings.get("RestartSec", "100ms"))


def describe_end(returncode):
    if returncode < 0:
        try:
            return f"was killed by {signal.Signals(-returncode).name}"
        except ValueError:
            return f"was killed by signal {-returncode}"
    return f"ended with status {returncode}"


class Service:
    """One program of the terminal under its unit: started by start(),
    watched by poll() (an event source's: it returns what happened), and
    restarted when its unit would restart it. spawn() starts the program
    and returns its Popen."""

    def __init__(self, name, unit, spawn):
        self.name = name
        self.policy = read_policy(unit)
        self._spawn = spawn
        self.proc = None
        self.restarts = 0
        self.ended_at = None  # monotonic time of the last end, while not running
        self.restart_at = None  # when the restart is due, while one is
        self.stopping = False

    def start(self):
        self.proc = self._spawn()
        self.ended_at = None
        return self.proc

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def poll(self, now=None):
        """What happened since the last call: the program's end and its
        restart, as lines."""
        now = time.monotonic() if now is None else now
        out = []
        if self.stopping or self.proc is None:
            return out
        if self.ended_at is None and self.proc.poll() is not None:
            self.ended_at = now
            code = self.proc.returncode
            if self.policy.restarts(code):
                self.restart_at = now + self.policy.delay
                out.append(f"{self.name} {describe_end(code)}; restarting it in {self.policy.delay_text} "
                           f"({self.policy})")
            else:
                out.append(f"{self.name} {describe_end(code)}; not restarted ({self.policy})")
        if self.restart_at is not None and now >= self.restart_at:
            self.restart_at = None
            self.restarts += 1
            try:
                self.start()
                out.append(f"{self.name} restarted (restart {self.restarts}, pid {self.proc.pid})")
            except OSError as e:
                # As a start that fails under systemd: the next try follows.
                self.restart_at = now + self.policy.delay
                out.append(f"{self.name} could not be restarted ({e}); trying again in {self.policy.delay_text}")
        return out

    def state(self, now=None):
        """One line for the status screen."""
        now = time.monotonic() if now is None else now
        again = f", restarted {self.restarts} time{'s' if self.restarts != 1 else ''}" if self.restarts else ""
        if self.proc is None:
            return "not started"
        if self.proc.poll() is None:
            return f"running (pid {self.proc.pid}{again})"
        text = f"{describe_end(self.proc.returncode)}"
        if self.ended_at is not None:
            text += f" {now - self.ended_at:.0f} s ago"
        if self.restart_at is not None:
            return text + f"; restarts in {max(0.0, self.restart_at - now):.0f} s ({self.policy})"
        if self.ended_at is None:
            return text  # not looked at yet: the next poll says what follows
        return text + f"; not restarted ({self.policy}){again}"

    def terminate(self):
        """Stops it as systemd stops a service: SIGTERM, and no restart."""
        self.stopping = True
        self.restart_at = None
        if self.running():
            self.proc.send_signal(signal.SIGTERM)

    def wait(self, deadline):
        """Waits for its end until deadline (monotonic), then kills it.
        Returns whether it had to be killed."""
        if self.proc is None:
            return False
        try:
            self.proc.wait(timeout=max(0.0, deadline - time.monotonic()))
            return False
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return True


class Services(EventSource):
    """The ends and restarts of programs run as their units run them."""

    def __init__(self, tag, services):
        self.tag, self.services = tag, services

    def poll(self):
        return [line for service in self.services for line in service.poll()]
