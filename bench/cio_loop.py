#!/usr/bin/python3
"""Benchmark of the CIO-mode daemon against the simulated USB board and
dispatcher.

The board runs in real time (it streams its samples at the acquisition
rate and waits its delays), as the hardware does. Reports: the daemon's CPU
share while the dispatcher is silent, the time from a command to its data
packet and the rate of packets when the dispatcher asks for the next one as
soon as the last arrived, the time of a line command to its
acknowledgement, and the daemon's peak resident memory.

    /usr/bin/python3 bench/cio_loop.py [--seconds 30] [--kelvgd build/kelvgd/kelvgd]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.devices.cio_usb import UsbBoard  # noqa: E402
from sim.peers.dispatcher import Dispatcher  # noqa: E402
from sim.sandbox.sandbox import Sandbox  # noqa: E402
from procstat import cpu_seconds, peak_rss_kib  # noqa: E402


def exchange(disp, cmd, kind):
    n = len([m for m in disp.messages if m.kind == kind])
    t0 = time.monotonic()
    disp.send(cmd)
    if not disp.wait_messages(n + 1, kind, timeout=15):
        return float("nan")
    return [m for m in disp.messages if m.kind == kind][n].time - t0


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=int, default=30, help="length of each phase")
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    args = ap.parse_args()

    sb = Sandbox(args.kelvgd, prefix="kel-bench-")
    try:
        disp = sb.attach(Dispatcher())
        sb.attach(UsbBoard(sb.pty("serial/by-id/usb-dorn"), pace=1.0))
        sb.write("etc/device.conf", "cio=1\nrevision=2\n")
        sb.write("etc/kelvgd.conf", "wdt_disabled=1\n")
        sb.write("etc/disp.conf", f"disp_addresses={disp.host}\n")
        proc = sb.spawn("run", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not sb.notify.wait_for("READY=1", timeout=20):
            sys.exit("kelvgd did not become ready")
        pid = proc.pid
        exchange(disp, "03010100", "TC")

        time.sleep(2)
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(args.seconds)
        idle = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)

        delays = []
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        while time.monotonic() - t0 < args.seconds:
            delays.append(exchange(disp, "03010100", "TC"))
        busy_time = time.monotonic() - t0
        busy = (cpu_seconds(pid) - cpu0) / busy_time

        line = [exchange(disp, "01030507", "TE") for _ in range(5)]

        print(f"idle CPU share:            {idle * 100:.2f} %")
        print(f"command to data packet:    median {statistics.median(delays) * 1000:.0f} ms, "
              f"max {max(delays) * 1000:.0f} ms ({len(delays)} commands)")
        print(f"data packets per second:   {len(delays) / busy_time:.2f} (CPU share {busy * 100:.1f} %)")
        print(f"line command 01 03 05 07:  median {statistics.median(line) * 1000:.0f} ms to its acknowledgement")
        print(f"peak resident memory:      {peak_rss_kib(pid)} KiB")
        print(f"dispatcher errors:         {len(disp.errors)}")
        sb.run("stop")
        proc.wait(15)
    finally:
        sb.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
