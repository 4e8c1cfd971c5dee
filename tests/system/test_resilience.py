"""The daemon as the field treats it: its program replaced by an upgrade
while it runs, an SNMP sub-agent that comes and goes, and a start from a
shell, where nothing ignores SIGPIPE."""

import os
import shutil
import signal
import subprocess
import time

from conftest import report_lines
from sim.sandbox import sysv
from sim.sandbox.syslog import SyslogCapture

SIGPIPE_BIT = 1 << (signal.SIGPIPE - 1)


def default_sigpipe():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)


def ignored_signals(pid="self", preexec_fn=None):
    if pid == "self":  # what a child started this way begins with
        out = subprocess.run(["grep", "SigIgn", "/proc/self/status"], preexec_fn=preexec_fn,
                             capture_output=True, text=True, check=True).stdout
    else:
        with open(f"/proc/{pid}/status") as f:
            out = next(line for line in f if line.startswith("SigIgn"))
    return int(out.split()[1], 16)


def wait_until(cond, timeout=10, what="condition"):
    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


def test_program_replaced_while_the_daemon_runs(terminal):
    sb = terminal.sb
    terminal.start()
    assert terminal.push.wait_reports(1, timeout=15)

    # An upgrade: the new program is written beside the old one and renamed
    # over it, so the path stays and the file (its inode) changes.
    new = sb.kelvgd + ".new"
    shutil.copy2(sb.kelvgd, new)
    old_inode = os.stat(sb.kelvgd).st_ino
    os.rename(new, sb.kelvgd)
    assert os.stat(sb.kelvgd).st_ino != old_inode
    assert os.readlink(f"/proc/{terminal.proc.pid}/exe").endswith(" (deleted)")

    r = terminal.run("dump")
    assert (r.returncode, r.stderr) == (0, "")
    pushed = report_lines(terminal.push.reports[-1])
    dumped = report_lines(r.stdout)
    assert dumped.keys() == pushed.keys() and dumped["call_button0"] == pushed["call_button0"]

    # A copy at another path meets objects of its own.
    other = sb.path("opt/kelvgd")
    os.makedirs(os.path.dirname(other))
    shutil.copy2(sb.kelvgd, other)
    key = sysv.path_key(os.path.realpath(other))
    assert key != sb.key and sysv.claim(key), "the other path's key is in use"
    try:
        r = subprocess.run([other, "dump"], env=sb.env(), capture_output=True, text=True, timeout=30)
        assert (r.returncode, r.stdout, r.stderr) == (1, "", "kelvgd is not running\n")
        assert sysv.exists(key)
    finally:
        sysv.remove_all(key)
        sysv.unclaim(key)

    r = terminal.run("stop")
    assert (r.returncode, r.stderr) == (0, "")
    assert terminal.proc.wait(timeout=15) == 0


def fifo_holders(pid, path):
    fds = f"/proc/{pid}/fd"
    n = 0
    for fd in os.listdir(fds):
        try:
            n += os.readlink(os.path.join(fds, fd)) == path
        except FileNotFoundError:
            pass
    return n


def read_record(fd, timeout=10):
    """Reads until a whole record has come and the writer is quiet."""
    data = b""
    deadline = time.monotonic() + timeout
    quiet_since = None
    while True:
        assert time.monotonic() < deadline, f"no whole record: {data!r}"
        try:
            chunk = os.read(fd, 4096)
        except BlockingIOError:
            chunk = b""
        if chunk:
            data += chunk
            quiet_since = None
        elif b"devtype=kel\n" in data and data.endswith(b"\n"):
            quiet_since = quiet_since or time.monotonic()
            if time.monotonic() - quiet_since > 0.2:
                return data.decode()
        time.sleep(0.02)


def test_snmp_reader_restarts_under_a_shell_started_daemon(terminal):
    sb = terminal.sb
    fifo = sb.path("run/velta-snmp")
    os.mkfifo(fifo)
    log = sb.attach(SyslogCapture(sb))
    assert not ignored_signals(preexec_fn=default_sigpipe) & SIGPIPE_BIT
    terminal.start(preexec_fn=default_sigpipe, wrap=log.wrap)
    pid = terminal.proc.pid

    for outage in range(1, 11):
        fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        record = read_record(fd)
        assert record.startswith("devtype=kel\ndevrev=5\n"), record
        os.close(fd)
        # The next record meets a pipe without reader: the daemon lets go
        # of it and lives on.
        wait_until(lambda: fifo_holders(pid, fifo) == 0, what="the daemon keeps the dead pipe")
        assert terminal.proc.poll() is None, terminal.stderr()
        wait_until(lambda: len(warnings(log)) == outage, timeout=30, what="no warning of the outage")

    # One warning per outage, not one a second.
    terminal.cycles(6)
    assert len(warnings(log)) == 10
    assert all(w.startswith("Error (Broken pipe) writing") for w in warnings(log))
    assert terminal.proc.poll() is None
    assert terminal.stop() == 0


def warnings(log):
    return [text for pri, text in log.messages() if "velta-snmp" in text and pri & 7 == 4]
