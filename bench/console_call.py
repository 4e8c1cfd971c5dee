#!/usr/bin/python3
"""Benchmark of the voice console in a call.

Runs a call between the console (its PC sound endpoint on a private
PulseAudio server) and baresip for a while, in a private network namespace,
and reports CPU time per call second and peak resident memory of the
console beside baresip's own figures for the same call.

    /usr/bin/python3 bench/console_call.py [--seconds 60]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.pulse import PulseServer  # noqa: E402
from sim.sandbox import Sandbox  # noqa: E402
from sim.sip_peers import ADDRESS, Baresip, NetNs  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--parlod", default=os.path.join(here, "build/parlod/parlod"))
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    args = ap.parse_args()

    sb = Sandbox(args.kelvgd, root=tempfile.mkdtemp(prefix="kel-bench-"))
    ns = NetNs()
    console = peer = None
    try:
        pulse = sb.attach(PulseServer(sb.path("pulse")))
        sb.write("etc/parlod.conf", "duplex=1\n")
        console = subprocess.Popen(ns.cmd([args.parlod, "--sip-listen", ADDRESS]), env=sb.env(pulse.env()),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert sb.notify.wait_for("READY=1", timeout=20)
        peer = Baresip(ns, sb.root, tone=700)
        fd = os.open(sb.path("run/parlod-cli"), os.O_WRONLY | os.O_NONBLOCK)
        os.write(fd, f"call {peer.uri}\n".encode())
        os.close(fd)
        peer.wait_event("CALL_ESTABLISHED")
        c0, b0 = cpu_seconds(console.pid), cpu_seconds(peer.proc.pid)
        time.sleep(args.seconds)
        c1, b1 = cpu_seconds(console.pid), cpu_seconds(peer.proc.pid)
        rc, rb = peak_rss_kib(console.pid), peak_rss_kib(peer.proc.pid)
        cc, cb = 1000 * (c1 - c0) / args.seconds, 1000 * (b1 - b0) / args.seconds
        print(f"call of {args.seconds} s, PCMU, console on PulseAudio, baresip with a sine source")
        print(f"console  CPU {cc:6.2f} ms per call second, peak resident {rc} KiB")
        print(f"baresip  CPU {cb:6.2f} ms per call second, peak resident {rb} KiB")
        print(f"ratio    CPU {cc / cb if cb else float('inf'):.2f}, memory {rc / rb:.2f} (console / baresip)")
    finally:
        if console and console.poll() is None:
            console.terminate()
            console.wait(30)
        if peer:
            peer.close()
        ns.close()
        sb.close()


if __name__ == "__main__":
    main()
