"""The virtual terminal's parts, and how a new piece joins them.

A terminal (core.Terminal) is a sandbox and a list of parts (core.Part),
started in order: platform.Platform (sound server, system log, service
manager notifications, the shell), gpio_mode.GpioHardware and
gpio_mode.PushPeer (a GPIO-mode terminal's hardware and its push server)
or cio_mode.CioHardware and cio_mode.DispatcherPeer (a CIO-mode
terminal's board and its dispatcher), daemon.Daemon (kelvgd run, kelvgd
failmon, maintenance commands), intercoms.Intercoms (the RS-485 buses and
their intercom units) and voice.VoiceConsole (parlod and a SIP peer).
sim/vterm.py puts a prompt in front of it.

To add a simulated device or peer, write a module here with a Part:

    class Intercoms(Part):
        name = "the RS-485 intercom buses"      # "vterm: starting ..."

        def start(self, terminal):               # after the parts it uses
            super().start(terminal)
            self.bus = terminal.sb.attach(BusSimulator(terminal.sb.pty("ttyS1")))
            self.states = LineQueue("rs485")    # filled by any thread

        @command("intercom press ADDR", "a passenger presses an intercom's button")
        def intercom(self, args):                # args: the words after the name
            \"\"\"More text for `help intercom`.\"\"\"
            ...                                  # raise CommandError("one line") on a bad argument

        def sources(self):                       # event sources: [tag] lines
            return [self.states]

        def status(self):                        # rows of the status screen
            return [("intercom 3", "idle")]

        def programs(self): ...                  # names of its programs that run
        def stop(self): ...                      # SIGTERM to what it started
        def wait(self, deadline): ...            # their ends; SIGKILL after deadline
        def close(self): ...                     # the rest

and add it to the list in gpio_terminal() or cio_terminal(). An event source is anything with
a tag and a poll() that returns the lines of what happened since the last
call (events.EventSource); a LineQueue is one that a thread of its own
fills. Commands, help and the status screen are built from the parts:
nothing else needs to change. A program of the terminal that has a
systemd unit runs as a units.Service, which restarts it as the unit says
and whose Services source shows its ends and restarts.
"""

from .cio_mode import CioHardware, DispatcherPeer
from .core import StartError, Terminal
from .daemon import Daemon
from .gpio_mode import GpioHardware, PushPeer
from .intercoms import Intercoms
from .platform import Platform
from .voice import VoiceConsole

__all__ = ["StartError", "Terminal", "cio_terminal", "gpio_terminal"]


def gpio_terminal(output, kelvgd, parlod=None, root=None, health_monitor=True):
    """A GPIO-mode terminal: the hardware, the push server, kelvgd and (with
    a parlod binary) the intercom buses and the voice console with its SIP
    peer."""
    parts = [Platform(), GpioHardware(), PushPeer(), Daemon(health_monitor=health_monitor)]
    if parlod:
        parts += [Intercoms(), VoiceConsole(parlod)]
    return Terminal(output, kelvgd, parts, root=root)


def cio_terminal(output, kelvgd, root=None, board="usb"):
    """A CIO-mode terminal: a board with its lines (sim/devices/cio_boards.py, the
    USB board unless named), the dispatcher, and kelvgd."""
    parts = [Platform(), CioHardware(board), DispatcherPeer(), Daemon(health_monitor=False)]
    return Terminal(output, kelvgd, parts, root=root)
