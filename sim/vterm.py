#!/usr/bin/python3
"""The virtual terminal: the terminal's programs against simulated hardware.

Builds a sandbox root with the configuration files of a GPIO-mode terminal,
gives it its own copy of kelvgd, and opens a shell in which `kelvgd` runs
against that sandbox. What the programs tell systemd is printed as it comes.
Leaving the shell removes the sandbox and its shared state.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim import sysv  # noqa: E402
from sim.sandbox import Sandbox  # noqa: E402

DEVICE_CONF = """\
cio=0
revision=5
"""

KELVGD_CONF = """\
# kelvgd settings of the virtual terminal
wdt_disabled=0
wdt_period=900
multi_notify=1
force_notify=1
push_enabled=0
serv_addr=127.0.0.1
"""

DISP_CONF = """\
disp_addresses=127.0.0.1
disp_interval=1
"""

BANNER = """\
Virtual terminal: a GPIO-mode terminal in {root}
  kelvgd                 the usage and every command
  kelvgd cfg             the stored settings
  kelvgd cfg -m 0        change one (see {root}/etc/kelvgd.conf)
  kelvgd auxpwr -d 1     switch the auxiliary power off (GPIO line 7)
  kelvgd run             start the daemon (monitoring loops come with later builds)
What kelvgd tells systemd is shown as [systemd] lines, what it does to the
GPIO lines (under sys/class/gpio) as [gpio] lines. Leave with exit.
"""


def watch_notifications(sandbox, stop):
    seen = 0
    while not stop.is_set():
        msgs = sandbox.notify.messages()
        for m in msgs[seen:]:
            print(f"[systemd] {m}", file=sys.stderr, flush=True)
        seen = len(msgs)
        time.sleep(0.1)


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"), help="the kelvgd binary")
    ap.add_argument("--root", help="sandbox directory (default: a new one under /tmp)")
    ap.add_argument("--keep", action="store_true", help="keep the sandbox tree at the end")
    ap.add_argument("-c", "--command", help="run this shell command in the terminal instead of a shell")
    args = ap.parse_args()

    if not os.access(args.kelvgd, os.X_OK):
        sys.exit(f"vterm: no kelvgd at {args.kelvgd}; build first (scripts/sim does)")

    root = args.root or tempfile.mkdtemp(prefix="kel-vterm-")
    sb = Sandbox(args.kelvgd, root=root)
    sb.write("etc/device.conf", DEVICE_CONF)
    sb.write("etc/kelvgd.conf", KELVGD_CONF, mode=0o600)
    sb.write("etc/disp.conf", DISP_CONF)

    chip = sb.gpio()
    chip.on_change(lambda n, what, value: print(f"[gpio] {n} {what} {value if value is not None else ''}",
                                               file=sys.stderr, flush=True))

    stop = threading.Event()
    watcher = threading.Thread(target=watch_notifications, args=(sb, stop), daemon=True)
    watcher.start()
    rc = 0
    try:
        env = sb.env({"PS1": r"[vterm \W]\$ "})
        if args.command:
            rc = subprocess.call(["bash", "-c", args.command], env=env, cwd=sb.root)
        else:
            print(BANNER.format(root=sb.root))
            rc = subprocess.call(["bash", "--norc", "--noprofile", "-i"], env=env, cwd=sb.root)
        time.sleep(0.2)  # let the last notifications be printed
    finally:
        stop.set()
        watcher.join()
        if args.keep:
            chip.unmount()
            sysv.remove_all(sb.key)
            sb.notify.close()
            print(f"vterm: sandbox kept in {sb.root}", file=sys.stderr)
        else:
            sb.close()
    return rc


if __name__ == "__main__":
    sys.exit(main())
