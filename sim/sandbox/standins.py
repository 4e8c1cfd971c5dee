"""Stand-ins for the system programs the terminal's software calls.

The daemon replaces itself with "reboot" when the hardware watchdog is about
to fire, and the health monitor asks "systemctl --quiet is-active ..."
through the shell whether a unit runs. In a sandbox both names lead to the
small scripts written here, into <root>/tools, which is first on the PATH of
sandbox.env(). Each call is recorded and nothing on the machine changes.

A script appends one JSON line per call (program, argv, time, pid) to
<root>/standins.log and exits with the status found in
<root>/<program>.status, which tests change with set_status(). The script
knows these paths from the moment it is written and reads nothing else from
its environment: the programs under test may run it with a different working
directory, KEL_ROOT or Python settings.
"""

import json
import os
import time

PROGRAMS = ("reboot", "systemctl")

# Python in isolated mode (-I): no PYTHON* variables, no user site packages.
# One os.write() on an O_APPEND descriptor keeps the lines of calls made at
# the same time from mixing.
SCRIPT = """\
#!/usr/bin/python3 -I
# Test stand-in for "{program}", written by the sandbox: records the call
# and exits with the status the test chose. It changes nothing on the machine.
import json
import os
import sys
import time

LOG = {log!r}
STATUS = {status!r}

record = dict(program={program!r}, argv=sys.argv[1:], time=time.monotonic(), pid=os.getpid())
fd = os.open(LOG, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
os.write(fd, (json.dumps(record) + "\\n").encode())
os.close(fd)
with open(STATUS) as f:
    sys.exit(int(f.read()))
"""


class StandIns:
    """The stand-in scripts of one sandbox and what they recorded."""

    def __init__(self, sandbox):
        self.sb = sandbox
        self.log = sandbox.path("standins.log")
        for program in PROGRAMS:
            self.set_status(program, 0)
            sandbox.write(f"tools/{program}",
                          SCRIPT.format(program=program, log=self.log, status=self._status_path(program)),
                          mode=0o755)

    def _status_path(self, program):
        if program not in PROGRAMS:
            raise ValueError(f"no stand-in for {program!r}; there are {', '.join(PROGRAMS)}")
        return self.sb.path(f"{program}.status")

    def set_status(self, program, status):
        """The exit status the program's stand-in returns from now on."""
        if not 0 <= status <= 255:
            raise ValueError(f"exit status {status} is not in 0..255")
        path = self._status_path(program)
        # Replaced whole, so that a call running now never reads half a file.
        with open(path + ".new", "w") as f:
            f.write(f"{status}\n")
        os.replace(path + ".new", path)

    def records(self, program):
        """Every call of the program so far, oldest first, as recorded:
        {"program", "argv", "time" (time.monotonic() of the call, comparable
        with the tests' own), "pid" (the daemon's own pid when it exec'd the
        program)}."""
        self._status_path(program)  # rejects unknown programs
        try:
            with open(self.log) as f:
                text = f.read()
        except FileNotFoundError:
            return []
        # A line still being written has no newline yet; it counts next time.
        lines = text.split("\n")[:-1]
        return [r for r in map(json.loads, lines) if r["program"] == program]

    def calls(self, program):
        """The arguments (without the program name) of every call so far, oldest first."""
        return [r["argv"] for r in self.records(program)]

    def wait_for(self, program, timeout=10, count=1):
        """Waits until the program was called at least count times; returns whether it was."""
        deadline = time.monotonic() + timeout
        while len(self.records(program)) < count:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True
