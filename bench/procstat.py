"""What /proc says about a process: CPU time, memory and peak memory."""

import os

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def _status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def peak_rss_kib(pid):
    return _status_kib(pid, "VmHWM")


def rss_kib(pid):
    return _status_kib(pid, "VmRSS")
