#!/usr/bin/python3
"""Benchmark of the SNMP sub-agent on the virtual terminal.

Runs kelsnmp connected to a real snmpd (sim/peers/snmp.py), a writer of state
records, and a network management system that walks the whole subtree now
and then. The writer is the GPIO-mode daemon of the virtual terminal
(--records daemon: at most one record a second, as its loop's cycles fall),
or one that writes a record of the daemon's kind every second on the
second as the daemon does, skipping one while the last is unread
(--records steady). Reports the records the sub-agent took (and those the
writer had to skip), its CPU time per hour, its resident memory at the
start, at the end and at its peak, and how long a walk takes.

    /usr/bin/python3 bench/snmp_subagent.py [--seconds 600] [--walk-every 60] [--records daemon|steady]
        [--kelvgd build/kelvgd/kelvgd] [--kelsnmp build/kelsnmp/kelsnmp]
"""

import argparse
import array
import fcntl
import os
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.peers.snmp import Snmp  # noqa: E402
from sim.terminal import gpio_terminal  # noqa: E402
from sim.terminal.output import Output  # noqa: E402
from procstat import cpu_seconds, peak_rss_kib, rss_kib  # noqa: E402


RECORD = (b"devtype=kel\ndevrev=5\nbatt=13250\nauxpwr=1\nauxvol=12345\ntemp=40\n"
          b"etemp0=21\netemp_lr0=1\netemp_err0=0\netemp_err1=-1\n")


class SteadyWriter:
    """A record every second, written as the daemon writes it: the pipe
    opened without waiting, a record skipped while the last is unread."""

    def __init__(self, path):
        self.path = path
        self.written = self.skipped = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        fd = -1
        next_at = time.monotonic()
        while not self._stop.wait(max(0.0, next_at - time.monotonic())):
            next_at += 1.0
            try:
                if fd < 0:
                    fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)
                unread = array.array("i", [0])
                fcntl.ioctl(fd, termios.FIONREAD, unread)
                if unread[0]:
                    self.skipped += 1
                    continue
                lines = RECORD.splitlines(keepends=True)
                for piece in (lines[:6], lines[6:]):  # in pieces, as the daemon writes
                    os.write(fd, b"".join(piece))
                self.written += 1
            except OSError:
                if fd >= 0:
                    os.close(fd)
                fd = -1
        if fd >= 0:
            os.close(fd)

    def close(self):
        self._stop.set()
        self._thread.join(timeout=5)


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--walk-every", type=int, default=60, help="seconds between walks of the subtree")
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    ap.add_argument("--kelsnmp", default=None, help="default: beside kelvgd's build tree")
    ap.add_argument("--records", choices=("daemon", "steady"), default="daemon")
    args = ap.parse_args()
    build = os.path.dirname(os.path.dirname(os.path.abspath(args.kelvgd)))
    kelsnmp = args.kelsnmp or os.path.join(build, "kelsnmp", "kelsnmp")
    mib = os.path.join(os.path.dirname(os.path.abspath(kelsnmp)), "KEL-TERMINAL-MIB.txt")

    quiet = open(os.devnull, "w")
    t = gpio_terminal(Output(quiet, quiet), args.kelvgd, health_monitor=False)
    writer = None
    try:
        if args.records == "daemon":
            t.start()
        snmp = t.sb.attach(Snmp(t.sb, mib))
        agent = snmp.subagent(kelsnmp)
        pid = agent.proc.pid
        if args.records == "steady":
            writer = t.sb.attach(SteadyWriter(t.sb.path("run/velta-snmp")))
        # Past the start: the first record in, the libraries loaded.
        deadline = time.monotonic() + 30
        while "kelBatteryVoltage.0" not in snmp.walk():
            if time.monotonic() > deadline:
                raise SystemExit("the sub-agent serves no record: " + agent.output())
            time.sleep(0.5)
        taken0 = int(snmp.get("kelRecordsTaken.0")["kelRecordsTaken.0"])
        rss0, cpu0, t0 = rss_kib(pid), cpu_seconds(pid), time.monotonic()
        walks, walk_times = 0, []
        next_walk = t0 + args.walk_every
        while time.monotonic() - t0 < args.seconds:
            time.sleep(1)
            if time.monotonic() >= next_walk:
                w0 = time.monotonic()
                n = len(snmp.walk())
                walk_times.append(time.monotonic() - w0)
                walks += 1
                next_walk += args.walk_every
        elapsed = time.monotonic() - t0
        cpu = cpu_seconds(pid) - cpu0
        rss1, peak = rss_kib(pid), peak_rss_kib(pid)
        got = snmp.get("kelRecordsTaken.0", "kelRecordsMalformed.0")
        taken = int(got["kelRecordsTaken.0"]) - taken0

        print(f"run time            {elapsed:.0f} s, {taken} records taken ({taken / elapsed:.2f}/s), "
              f"{got['kelRecordsMalformed.0']} malformed"
              + (f", {writer.skipped} skipped by the writer" if writer else ""))
        print(f"CPU per hour        {3600 * cpu / elapsed:.2f} s ({100 * cpu / elapsed:.3f} % of a core; "
              f"{1000 * cpu / max(taken, 1):.3f} ms per record, walks included)")
        print(f"resident memory     {rss0} KiB at the start, {rss1} KiB at the end, peak {peak} KiB")
        if walk_times:
            print(f"walk of the subtree {n} instances, {1000 * sum(walk_times) / len(walk_times):.0f} ms on average "
                  f"({walks} walks)")
        if agent.proc.poll() is not None:
            raise SystemExit("the sub-agent ended: " + agent.output())
    finally:
        t.close()


if __name__ == "__main__":
    main()
