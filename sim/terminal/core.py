"""The virtual terminal: a sandbox and the parts that run in it.

A part is one piece of the terminal (simulated hardware, a program of the
terminal, a peer). It is started in the order given, after the parts it
uses, and it offers the prompt what it has: commands (methods decorated
with @command), event sources (sources()), and lines for the `status`
screen (status()). Leaving stops the programs of every part at once, as
systemd stops services (SIGTERM, and SIGKILL for what has not ended
within STOP_WITHIN seconds), then whatever process of the session is
still left, then closes the parts in the reverse order and removes the
sandbox.
"""

import contextlib
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

from ..sandbox.sandbox import Sandbox
from .commands import QUIT, CommandError, CommandTable, arity, command, decimal
from .events import EventLoop

# How long the programs have to end after SIGTERM when the session ends.
STOP_WITHIN = 2.0


# Set by vterm.py in its own environment, and so in that of every process it
# starts, directly or not: the mark by which its helpers are found.
SESSION = "KEL_VTERM_SESSION"


class StartError(Exception):
    """A part could not start; the text says why, in one line."""


class Part:
    name = "part"  # what the progress line says is starting

    def start(self, terminal):
        """Sets the part up; terminal.sb is the sandbox, terminal.part(cls)
        finds a part started before this one."""
        self.t = terminal

    def sources(self):
        """The event sources of this part."""
        return []

    def status(self):
        """[(label, text)] for the status screen."""
        return []

    def programs(self):
        """The names of its programs that run now ("kelvgd run")."""
        return []

    def stop(self):
        """Asks the processes the part started to end (SIGTERM); does not
        wait. Must not fail."""

    def wait(self, deadline):
        """Waits for them until deadline (time.monotonic()), then kills what
        is left. Must not fail."""

    def close(self):
        """Releases the rest (servers, mounts). Must not fail."""


class Terminal:
    def __init__(self, output, kelvgd, parts, root=None):
        self.out = output
        self.parts = parts
        self.sb = Sandbox(kelvgd, prefix="kel-vterm-", root=root)
        self.commands = CommandTable()
        self.events = EventLoop(output)
        self._started = []

    def part(self, cls):
        """The started part of the class (or a subclass of it), or None."""
        return next((p for p in self._started if isinstance(p, cls)), None)

    def start(self, between=lambda: None):
        """Starts the parts in order; between() is called after each, and
        may raise to stop the start there."""
        for part in self.parts:
            between()
            self.out.say(f"vterm: starting {part.name}")
            self._started.append(part)
            try:
                part.start(self)
            except StartError:
                raise
            except Exception as e:  # noqa: BLE001 - said in one line, then everything stops
                raise StartError(f"{part.name} did not start: {e}") from None
            self.commands.add_all(part)
            for source in part.sources():
                self.events.add(source)
        self.commands.add_all(self)  # status, sleep, help, quit: after those of the parts
        between()
        self.events.start()

    def run(self, line):
        """Runs one command line: True when it succeeded, False when not, or
        QUIT. Errors are said in one line, never as a traceback."""
        try:
            return self.commands.run(line)
        except CommandError as e:
            self.out.error(str(e))
        except Exception as e:  # noqa: BLE001 - a command's failure must not end the session
            self.out.error(f"{line.split()[0]}: {type(e).__name__}: {e}")
        return False

    # Commands of every terminal.

    @command("status", "one screen of the terminal's state")
    def status(self, args):
        """Inputs and their alarms, buttons and latches, battery and supply,
        LEDs, sound channel, call and push server, as the programs see them."""
        arity(args, 0, 0, "status")
        rows = []
        for part in self._started:
            try:
                rows += part.status()
            except Exception as e:  # noqa: BLE001 - the other parts still tell theirs
                rows.append((part.name, f"cannot tell ({e})"))
        width = max((len(label) for label, _ in rows), default=0)
        self.out.say("\n".join(f"{label:<{width}}  {text}" for label, text in rows))

    @command("sleep SECONDS", "wait, with events showing (for scripts)")
    def sleep(self, args):
        arity(args, 1, 1, "sleep SECONDS")
        time.sleep(decimal(args[0], 0, 3600, "sleep", " s"))

    @command("help [CMD]", "the commands, or what one of them does")
    def help(self, args):
        arity(args, 0, 1, "help [CMD]")
        if not args:
            self.out.say("Commands (help CMD explains one):\n" + self.commands.summary())
            return
        cmd = self.commands.get(args[0])
        if cmd is None:
            raise CommandError(f"no command {args[0]!r}; help lists them")
        doc = textwrap.fill(cmd.doc, 76, initial_indent="  ", subsequent_indent="  ") if cmd.doc else ""
        self.out.say(f"{cmd.usage}\n  {cmd.summary}" + (f"\n{doc}" if doc else ""))

    @command("quit", "stop everything and remove the sandbox (also Ctrl-D, or Ctrl-C at the prompt)")
    def quit(self, args):
        return QUIT

    # The end.

    def _quietly(self, step, part):
        """A step of the end, and what it returned; a failure (a part whose
        start failed half-way has less to stop) is said, and the end goes
        on."""
        try:
            return step()
        except Exception as e:  # noqa: BLE001
            self.out.error(f"stopping {part.name}: {type(e).__name__}: {e}")
            return None

    def close(self):
        """Stops every process of the session and removes every trace of it,
        within STOP_WITHIN seconds and what removing takes. Problems are
        said, and the rest still goes."""
        self.events.stop()  # no restarts from here on
        self.events.poll()  # what happened last
        programs = [name for part in reversed(self._started) for name in self._quietly(part.programs, part) or []]
        self.out.say("vterm: stopping " + (", ".join(programs) + ", " if programs else "")
                     + "the simulators, and removing the sandbox")
        deadline = time.monotonic() + STOP_WITHIN
        for part in reversed(self._started):
            self._quietly(part.stop, part)
        # What the parts do not know of: a shell's job, a bell, a daemon of
        # `kelvgd daemonize`; it has the same time to end.
        marker = f"KEL_ROOT={self.sb.root}"
        signal_session_processes(marker, signal.SIGTERM)
        for part in reversed(self._started):
            self._quietly(lambda: part.wait(deadline), part)
        while session_processes(marker) and time.monotonic() < deadline:
            time.sleep(0.05)
        for pid in session_processes(marker):
            self.out.error(f"process {pid} of the session had not ended after SIGTERM; killed")
        kill_session_processes(marker)
        with libfuse_quiet():
            for part in reversed(self._started):
                self._quietly(part.close, part)
            try:
                self.sb.close()
            except Exception as e:  # noqa: BLE001
                self.out.error(f"removing the sandbox: {e}")
        for mount in mounts_under(self.sb.root):
            subprocess.run(["umount", "-l", mount], check=False)
            self.out.error(f"{mount} was still mounted; detached")
        # Helpers that a part could not close because its start failed
        # half-way; they carry the session's mark (see vterm.py).
        if SESSION in os.environ:
            kill_session_processes(f"{SESSION}={os.environ[SESSION]}")


@contextlib.contextmanager
def libfuse_quiet():
    """Leaves out what libfuse says when the second of two file systems of
    one process ends ("fuse_remove_signal_handlers: unknown session": its
    signal handlers are the first one's); everything else written to the
    standard error stream meanwhile is passed on."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as caught:
        os.dup2(caught.fileno(), 2)
        try:
            yield
        finally:
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            caught.seek(0)
            for line in caught.read().decode(errors="replace").splitlines():
                if "fuse_remove_signal_handlers: unknown session" not in line:
                    print(line, file=sys.stderr)


def session_processes(variable):
    """Pids of the processes whose environment holds variable ("NAME=value"):
    for KEL_ROOT=<sandbox>, every process of the terminal and whatever those
    started in turn (a daemon of `kelvgd daemonize`, a bell, a shell's job)."""
    marker = b"\0" + os.fsencode(variable) + b"\0"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if marker in b"\0" + f.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


def signal_session_processes(variable, signum):
    for pid in session_processes(variable):
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


def kill_session_processes(variable, timeout=5):
    deadline = time.monotonic() + timeout
    while session_processes(variable) and time.monotonic() < deadline:
        signal_session_processes(variable, signal.SIGKILL)
        time.sleep(0.05)


def mounts_under(root):
    """Mount points at or below root, deepest first."""
    root = os.path.realpath(root)
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].encode().decode("unicode_escape")
            if point == root or point.startswith(root + "/"):
                found.append(point)
    return sorted(found, key=len, reverse=True)
