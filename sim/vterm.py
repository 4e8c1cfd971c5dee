#!/usr/bin/python3
"""The virtual terminal: a GPIO-mode or CIO-mode terminal on simulated hardware.

Starts, in a sandbox of its own: the simulated GPIO lines, coprocessor
(four call buttons, seven discrete inputs) and front LEDs, a push server, a
private PulseAudio server, the bell program, `kelvgd run` and its health
monitor `kelvgd failmon`, two RS-485 buses with intercom units, and the
voice console `parlod` with a SIP peer (baresip) in a private network
namespace. At the prompt you press call buttons, open and close inputs,
change the battery and supply, run kelvgd's maintenance commands, give the
console commands, have the peer call it and work the intercoms; what the
terminal makes of it shows as event lines, "[source] text". A program
that ends is restarted as its systemd unit would restart it. Ctrl-C while
a command runs interrupts that command; when you leave (quit, Ctrl-D, or
Ctrl-C at the prompt) everything stops and the sandbox goes.

    vterm.py [--root DIR] [-c 'press 1; sleep 2; kelvgd dump']

With --cio it is a CIO-mode terminal instead: the 8-line USB control board
(in real time) and a dispatcher, and `kelvgd run`; --board chooses another
board (via, cirrus or compact) and implies --cio. The dispatcher's
commands are typed as `disp 01 03 05 07`; the data packets, the
acknowledgements and what the daemon does on the lines show as events.

With -c the commands run without a prompt, and the exit status is 0 only
when every one of them succeeded. Needs root, for the FUSE file systems and
the network namespace.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.devices import cio_boards  # noqa: E402
from sim.terminal import StartError, cio_terminal, gpio_terminal  # noqa: E402
from sim.terminal.commands import QUIT, CommandError, Interrupted, split_commands  # noqa: E402
from sim.terminal.core import SESSION  # noqa: E402
from sim.terminal.output import FOREIGN_CALLERS, Output, ReadlinePrompt  # noqa: E402

PROMPT = "vterm> "
ROOT_MAX = 64  # unix socket names in the sandbox are limited to 107 bytes


class Stop(BaseException):
    """A signal that ends the session."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class Signals:
    """What Ctrl-C (SIGINT), SIGTERM and SIGHUP do. Each ends the session,
    except Ctrl-C while a command runs at the prompt, which interrupts that
    command only, as in a shell. While a part of the terminal starts they
    wait until it has, so that whatever it started is known and stopped
    again; so they do inside a function that C code called (see
    output.py), where what they raise would be lost."""

    def __init__(self):
        self.deferring = False
        self.in_command = False
        self.pending = None
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, self._arrived)

    def _arrived(self, signum, frame):
        if self.deferring or called_back(frame):
            self.pending = self.pending or signum
        elif signum == signal.SIGINT and self.in_command:
            raise Interrupted()
        else:
            raise Stop(signum)

    def act(self):
        """The signal that came while deferred acts now."""
        if self.pending:
            signum, self.pending = self.pending, None
            raise Stop(signum)

    def ignore(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)


def called_back(frame):
    while frame is not None:
        if frame.f_code in FOREIGN_CALLERS:
            return True
        frame = frame.f_back
    return False


class BackgroundJob(subprocess.Popen):
    """Every program of the session runs in a process group of its own, as
    a shell's background job, unless it asks for something else (a shell
    that shares the terminal): Ctrl-C at the terminal reaches the prompt,
    which decides what it ends, and never the terminal's programs behind
    it, which systemd keeps apart from any terminal too."""

    def __init__(self, *args, **kw):
        if not kw.get("start_new_session") and "process_group" not in kw:
            kw["process_group"] = 0
        super().__init__(*args, **kw)


def prepare_root(path):
    """(root, saved stat) of a --root directory: a new one, or an empty one
    that is kept (emptied) at the end. Never one that holds anything."""
    root = os.path.abspath(path)
    if len(root) > ROOT_MAX:
        raise CommandError(f"--root {root}: the path is longer than {ROOT_MAX} characters")
    if os.path.islink(root) or (os.path.lexists(root) and not os.path.isdir(root)):
        raise CommandError(f"--root {root}: exists and is not a directory")
    if os.path.isdir(root):
        if os.listdir(root):
            raise CommandError(f"--root {root}: the directory is not empty; give a new or empty one "
                               "(everything in it is removed at the end)")
        return root, os.stat(root)
    os.makedirs(root)
    return root, None


def restore_root(root, saved):
    if saved is None:
        if os.path.isdir(root) and not os.listdir(root):
            os.rmdir(root)  # made here, and the terminal never got to it
        return
    os.makedirs(root, exist_ok=True)
    os.chmod(root, saved.st_mode & 0o7777)
    os.chown(root, saved.st_uid, saved.st_gid)


def interact(t, signals):
    """The prompt, until quit, Ctrl-D or Ctrl-C; returns the exit status."""
    prompt = None
    if sys.stdin.isatty() and sys.stdout.isatty():
        try:
            prompt = ReadlinePrompt(t.commands.names(), check=signals.act)
        except (ImportError, OSError, AttributeError, ValueError):
            pass  # no GNU readline: a plain prompt
    while not t.out.unheard:  # a pipe's reader that left (Ctrl-C ended it too): as quit
        try:
            line = t.out.read_line(PROMPT, prompt)
        except EOFError:
            t.out.say("")
            return 0
        except Stop as e:
            if e.signum != signal.SIGINT:
                raise
            t.out.say("")  # Ctrl-C at the prompt: as quit
            return 0
        try:
            signals.in_command = True
            result = t.run(line)
        except Interrupted:
            t.out.say("")  # after the terminal's "^C"
            t.out.error(f"{line.split()[0] if line.split() else 'the line'}: interrupted")
            result = False
        finally:
            signals.in_command = False
        if result is QUIT:
            return 0
    return 0


def run_script(t, lines):
    ok = True
    for line in lines:
        t.out.say(f"{PROMPT}{line}")
        result = t.run(line)
        if result is QUIT:
            break
        ok = ok and result
    time.sleep(1)  # the events of the last command
    return 0 if ok else 1


def main(argv=None):
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"), help="the kelvgd binary")
    ap.add_argument("--parlod", default=os.path.join(here, "build/parlod/parlod"), help="the parlod binary")
    ap.add_argument("--cio", action="store_true", help="a CIO-mode terminal: the USB board and a dispatcher")
    ap.add_argument("--board", choices=sorted(cio_boards.BOARDS),
                    help="the CIO board (default usb); implies --cio: "
                    + "; ".join(f"{name}: {what}" for name, (_, _, what) in sorted(cio_boards.BOARDS.items())))
    ap.add_argument("--root", help="a new or empty directory for the sandbox (default: a new one under /tmp)")
    ap.add_argument("-c", "--commands", help="prompt commands separated by ';' (outside quotes) instead of "
                    "the prompt, e.g. 'press 1; sleep 2; kelvgd dump'")
    args = ap.parse_args(argv)
    args.cio = args.cio or args.board is not None
    out = Output()

    if os.geteuid() != 0:
        out.error("the virtual terminal needs root (for its FUSE file systems and network namespace)")
        return 1
    if not os.access(args.kelvgd, os.X_OK):
        out.error(f"no kelvgd at {args.kelvgd}; build it first (scripts/sim does)")
        return 1
    parlod = args.parlod if os.access(args.parlod, os.X_OK) else None
    if parlod is None and not args.cio:
        out.error(f"no parlod at {args.parlod}: the terminal runs without its voice console")
    try:
        script = split_commands(args.commands) if args.commands is not None else None
        root, saved = prepare_root(args.root) if args.root else (None, None)
    except CommandError as e:
        out.error(str(e))
        return 1

    os.environ[SESSION] = str(os.getpid())
    subprocess.Popen = BackgroundJob
    signals = Signals()
    status = 1
    t = None
    try:
        signals.deferring = True
        t = (cio_terminal(out, args.kelvgd, root, args.board or "usb") if args.cio
             else gpio_terminal(out, args.kelvgd, parlod, root))
        out.say(f"vterm: sandbox {t.sb.root} (kelvgd's IPC key 0x{t.sb.key & 0xffffffff:08x})")
        t.start(between=signals.act)
        signals.deferring = False
        signals.act()
        t.events.poll()  # what starting it brought, before the first command
        if script is None:
            out.say("vterm: the terminal runs. Event lines show what it does as it happens. help lists the\n"
                    "commands, status shows its state, Ctrl-C interrupts a command that runs, quit (or Ctrl-D,\n"
                    "or Ctrl-C at the prompt) stops everything and removes the sandbox.")
            status = interact(t, signals)
        else:
            status = run_script(t, script)
    except StartError as e:
        out.error(str(e))
    except OSError as e:
        out.error(f"cannot set the terminal up: {e}")
    except Stop as e:
        out.say(f"\nvterm: {e} arrived")
        status = 128 + e.signum
    finally:
        signals.ignore()  # nothing may interrupt the cleaning up
        if t is not None:
            t.close()
        if args.root:
            restore_root(root, saved)
    return status


if __name__ == "__main__":
    sys.exit(main())
