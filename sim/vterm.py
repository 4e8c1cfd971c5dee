#!/usr/bin/python3
"""The virtual terminal: a GPIO-mode terminal with simulated hardware.

Starts, in a sandbox of its own: the simulated GPIO lines and coprocessor
(device type 0: four call buttons, seven discrete inputs, one relay), a
push server that shows every report, a private PulseAudio server, the bell
program, `kelvgd run`, and the voice console `parlod` with a SIP peer
(baresip) in a private network namespace. A prompt then lets you press call
buttons, open and close inputs, change the battery and supply voltages, run
kelvgd's maintenance commands, give the console commands and have the peer
call it; the reports and messages show what the terminal made of it.
Leaving removes everything.
"""

import argparse
import cmd
import os
import shlex
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.coproc import Coprocessor  # noqa: E402
from sim.pulse import PulseServer  # noqa: E402
from sim.sip_peers import ADDRESS, Baresip, NetNs  # noqa: E402
from sim.push import PushServer, parse_report  # noqa: E402
from sim.sandbox import Sandbox  # noqa: E402
from sim.standins import StandIns  # noqa: E402

DEVICE_CONF = "cio=0\nrevision=5\n"
KELVGD_CONF = """\
# kelvgd settings of the virtual terminal
push_enabled=1
serv_addr={push}
wdt_disabled=0
wdt_period=900
multi_notify=1
force_notify=1
"""
BELL = """#!/bin/sh
# The bell of the virtual terminal: says so, instead of ringing.
echo "ring" >> "$KEL_ROOT/bell.log"
sleep 1
"""

# ADC readings of the simulated hardware (10 bits over 5 V).
REFERENCE = 190  # the multiplexer's reference loop
INPUT_READING = {"normal": 700, "closed": 250, "open": 900}  # about 4.6 kΩ, 0.2 kΩ, 17 kΩ
BUTTONS, INPUTS = 4, 7
PSU_ADC, BATT_ADC = 7, 6
CONSOLE_URI = f"sip:parlod@{ADDRESS}:5060"
# The console drives the speech-path line that the bell's handshake watches.
PARLOD_CONF = "gpio=49\n"


def volts_to_adc(volts):
    """The reading of a supply input: 18100:5100 divider, 5 V over 1024 steps."""
    return max(0, min(1023, round(volts * 5100 / 18100 * 1024 / 5.0)))


def say(tag, text):
    print(f"[{tag}] {text}", file=sys.stderr, flush=True)


class Terminal:
    def __init__(self, kelvgd, parlod=None, root=None):
        self.sb = Sandbox(kelvgd, root=root or tempfile.mkdtemp(prefix="kel-vterm-"))
        self.parlod_binary = parlod
        self.push = self.sb.attach(PushServer())
        self.pulse = self.sb.attach(PulseServer(self.sb.path("pulse")))
        self.pulse.pactl("set-default-source", "spk.monitor")  # the speaker test hears itself
        StandIns(self.sb)
        self.sb.write("etc/device.conf", DEVICE_CONF)
        self.sb.write("etc/kelvgd.conf", KELVGD_CONF.format(push=self.push.host), mode=0o600)
        self.sb.write("bin/button_bell", BELL, mode=0o755)
        self.sb.write("etc/parlod.conf", PARLOD_CONF)
        self.chip = self.sb.gpio()
        self.cp = self.sb.attach(Coprocessor(self.sb.pty("ttyS4"), self.chip, devtype=0))
        self.cp.set_adc(1, REFERENCE, input=7)
        for i in range(INPUTS):
            self.cp.set_adc(1, INPUT_READING["normal"], input=i)
        self.battery(13.5)
        self.supply(12.0)
        self.daemon = None
        self.console = self.ns = self.peer = None
        self.log = open(self.sb.path("kelvgd.log"), "w")
        self._stop = threading.Event()
        self._watcher = threading.Thread(target=self._watch, daemon=True)

    def start(self):
        self.daemon = self.sb.spawn("run", env=self.pulse.env(), stdout=self.log, stderr=subprocess.STDOUT)
        self._watcher.start()
        if not self.sb.notify.wait_for("READY=1", timeout=30):
            say("vterm", f"kelvgd did not become ready; see {self.sb.path('kelvgd.log')}")
        if self.parlod_binary:
            self.start_console()

    def start_console(self):
        """parlod and a SIP peer, in a network namespace of their own."""
        self.ns = NetNs()
        self.console = subprocess.Popen(self.ns.cmd([self.parlod_binary, "--sip-listen", ADDRESS]),
                                        env=self.sb.env(self.pulse.env()), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._show_console, daemon=True).start()
        self.peer = Baresip(self.ns, self.sb.root, name="peer", sip_port=5090, ctrl_port=5100, tone=700)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.sb.path("run/parlod-cli")) and time.monotonic() < deadline:
            time.sleep(0.1)

    def _show_console(self):
        # Its messages begin with a line end instead of ending with one.
        while data := os.read(self.console.stdout.fileno(), 4096):
            for line in data.decode(errors="replace").splitlines():
                if line.strip():
                    say("parlod", line)

    def console_command(self, line):
        try:
            fd = os.open(self.sb.path("run/parlod-cli"), os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            say("vterm", f"the console is not running ({e.strerror})")
            return
        os.write(fd, (line + "\n").encode())
        os.close(fd)

    def battery(self, volts):
        self.cp.set_adc(BATT_ADC, volts_to_adc(volts))

    def supply(self, volts):
        self.cp.set_adc(PSU_ADC, volts_to_adc(volts))

    def set_input(self, i, how):
        self.cp.set_adc(1, INPUT_READING[how], input=i)

    def kelvgd(self, *args):
        r = self.sb.run(*args, env=self.pulse.env())
        sys.stdout.write(r.stdout)
        sys.stderr.write(r.stderr)
        if r.returncode:
            say("vterm", f"kelvgd {' '.join(args)} exited {r.returncode}")

    def _watch(self):
        """Shows what the terminal does as it happens."""
        notes = reports = bells = 0
        last = {}
        while not self._stop.wait(0.1):
            for m in self.sb.notify.messages()[notes:]:
                notes += 1
                say("systemd", m)
            for text in self.push.reports[reports:]:
                reports += 1
                now = parse_report(text)
                if not last:
                    say("push", f"report {reports}:\n  " + "\n  ".join(text.splitlines()))
                else:
                    changed = [f"{k}={v}" for k, v in now.items() if last.get(k) != v and k != "urate"]
                    say("push", f"report {reports}: " + (", ".join(changed) or "(no change)"))
                last = now
            try:
                with open(self.sb.path("bell.log")) as f:
                    rung = len(f.readlines())
            except FileNotFoundError:
                rung = 0
            for _ in range(rung - bells):
                say("bell", "ring ring")
            bells = rung
            if self.daemon and self.daemon.poll() is not None:
                say("vterm", f"kelvgd ended with {self.daemon.returncode}; see {self.sb.path('kelvgd.log')}")
                self.daemon = None

    def close(self):
        daemon = self.daemon  # the watcher may forget it meanwhile
        try:
            if daemon and daemon.poll() is None:
                self.sb.run("stop")
                daemon.wait(15)
            if self.console and self.console.poll() is None:
                self.console.terminate()
                self.console.wait(30)
            if self.peer:
                self.peer.close()
            if self.ns:
                self.ns.close()
        finally:
            self._stop.set()
            if self._watcher.is_alive():
                self._watcher.join()
            self.log.close()
            self.sb.close()


class Prompt(cmd.Cmd):
    intro = """
The virtual terminal runs: {root}
  press N / release N     call button N (0-3)
  open N / close N / normal N   discrete input N (0-6): open loop, short, normal
  battery V / supply V    battery and supply voltage, in volts
  kelvgd ARGS             a maintenance command, e.g. kelvgd dump, kelvgd clcall
  console LINE            a command to the voice console, e.g.
                          console call {peer}   console hangup   console calls
  dial / peer-hangup      the SIP peer calls the console, or hangs up
  shell                   a shell in the terminal's sandbox
  quit
Reports reach the push server as [push] lines, the bell as [bell] lines,
the voice console's messages as [parlod] lines.
"""
    prompt = "vterm> "

    def __init__(self, terminal):
        super().__init__()
        self.t = terminal
        self.intro = self.intro.format(root=terminal.sb.root,
                                       peer=terminal.peer.uri if terminal.peer else "sip:...")

    def _index(self, arg, count):
        try:
            i = int(arg)
        except ValueError:
            i = -1
        if not 0 <= i < count:
            say("vterm", f"give a number from 0 to {count - 1}")
            return None
        return i

    def do_press(self, arg):
        if (i := self._index(arg, BUTTONS)) is not None:
            self.t.cp.press(i)

    def do_release(self, arg):
        if (i := self._index(arg, BUTTONS)) is not None:
            self.t.cp.release(i)

    def _input(self, arg, how):
        if (i := self._index(arg, INPUTS)) is not None:
            self.t.set_input(i, how)

    def do_open(self, arg):
        self._input(arg, "open")

    def do_close(self, arg):
        self._input(arg, "closed")

    def do_normal(self, arg):
        self._input(arg, "normal")

    def _volts(self, arg, apply):
        try:
            apply(float(arg))
        except ValueError:
            say("vterm", "give a voltage, e.g. 12.5")

    def do_battery(self, arg):
        self._volts(arg, self.t.battery)

    def do_supply(self, arg):
        self._volts(arg, self.t.supply)

    def do_kelvgd(self, arg):
        self.t.kelvgd(*shlex.split(arg))

    def do_console(self, arg):
        self.t.console_command(arg)

    def do_dial(self, arg):
        if self.t.peer:
            self.t.peer.dial(arg or CONSOLE_URI)

    def do_peer_hangup(self, arg):
        if self.t.peer:
            self.t.peer.hangup()

    def do_sleep(self, arg):
        time.sleep(float(arg or 1))

    def do_shell(self, arg):
        subprocess.call(["bash", "--norc", "--noprofile", "-i"] if not arg else ["bash", "-c", arg],
                        env=self.t.sb.env({"PS1": r"[vterm \W]\$ ", **self.t.pulse.env()}), cwd=self.t.sb.root)

    def do_quit(self, arg):
        return True

    do_EOF = do_quit

    def emptyline(self):
        pass


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"), help="the kelvgd binary")
    ap.add_argument("--parlod", default=os.path.join(here, "build/parlod/parlod"), help="the parlod binary")
    ap.add_argument("--root", help="sandbox directory (default: a new one under /tmp)")
    ap.add_argument("-c", "--commands", help="prompt commands separated by ';' instead of the prompt, "
                    "e.g. 'press 1; sleep 2; kelvgd dump'")
    args = ap.parse_args()
    if not os.access(args.kelvgd, os.X_OK):
        sys.exit(f"vterm: no kelvgd at {args.kelvgd}; build first (scripts/sim does)")

    t = Terminal(args.kelvgd, args.parlod if os.access(args.parlod, os.X_OK) else None, args.root)
    try:
        t.start()
        prompt = Prompt(t)
        if args.commands:
            say("vterm", f"sandbox {t.sb.root}")
            time.sleep(1)
            for line in args.commands.split(";"):
                prompt.onecmd(line.strip())
            time.sleep(1)
        else:
            prompt.cmdloop()
    except KeyboardInterrupt:
        pass
    finally:
        t.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
