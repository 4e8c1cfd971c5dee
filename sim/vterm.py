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
terminal makes of it shows as event lines, "[source] text". When
you leave (quit, Ctrl-D or Ctrl-C) everything stops and the sandbox goes.

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
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim import cio_boards  # noqa: E402
from sim.terminal import StartError, cio_terminal, gpio_terminal  # noqa: E402
from sim.terminal.core import SESSION  # noqa: E402
from sim.terminal.commands import QUIT, CommandError, split_commands  # noqa: E402
from sim.terminal.output import Output  # noqa: E402

PROMPT = "vterm> "
ROOT_MAX = 64  # unix socket names in the sandbox are limited to 107 bytes


class Stop(BaseException):
    """Ctrl-C, SIGTERM or SIGHUP: leave as quit does."""


class Signals:
    """Ctrl-C, SIGTERM and SIGHUP end the session. While a part of the
    terminal starts they wait until it has, so that whatever it started is
    known and stopped again."""

    def __init__(self):
        self.deferring = False
        self.pending = None
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, self._arrived)

    def _arrived(self, signum, frame):
        if self.deferring:
            self.pending = signum
        else:
            raise Stop()

    def between_parts(self):
        """Called between two parts: the signal that came meanwhile acts now."""
        if self.pending:
            raise Stop()

    def ignore(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)


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


def interact(t):
    interactive = sys.stdin.isatty()
    if interactive:
        try:
            import readline

            names = t.commands.names()
            readline.set_completer(lambda text, i: ([n for n in names if n.startswith(text)] + [None])[i])
            readline.parse_and_bind("tab: complete")
        except ImportError:
            pass
    while True:
        t.out.prompting(PROMPT if interactive else None)
        try:
            line = input(PROMPT)
        except EOFError:
            print()
            return 0
        finally:
            t.out.prompting(None)
        if t.run(line) is QUIT:
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
    signals = Signals()
    status = 1
    t = None
    try:
        signals.deferring = True
        t = (cio_terminal(out, args.kelvgd, root, args.board or "usb") if args.cio
             else gpio_terminal(out, args.kelvgd, parlod, root))
        out.say(f"vterm: sandbox {t.sb.root} (kelvgd's IPC key 0x{t.sb.key & 0xffffffff:08x})")
        t.start(between=signals.between_parts)
        signals.deferring = False
        signals.between_parts()
        t.events.poll()  # what starting it brought, before the first command
        if script is None:
            out.say("vterm: the terminal runs. Event lines show what it does as it happens. help lists the\n"
                    "commands, status shows its state, quit (or Ctrl-D, Ctrl-C) stops everything and removes\n"
                    "the sandbox.")
            status = interact(t)
        else:
            status = run_script(t, script)
    except StartError as e:
        out.error(str(e))
    except OSError as e:
        out.error(f"cannot set the terminal up: {e}")
    except (KeyboardInterrupt, Stop):
        out.say("\nvterm: stopping everything")
        status = 130
    finally:
        signals.ignore()  # nothing may interrupt the cleaning up
        if t is not None:
            t.close()
        if args.root:
            restore_root(root, saved)
    return status


if __name__ == "__main__":
    sys.exit(main())
