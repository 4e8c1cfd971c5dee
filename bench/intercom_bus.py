#!/usr/bin/python3
"""Benchmark of the intercom buses.

Runs the voice console against the bus simulator (and a private PulseAudio
server for the terminal's own sound) and reports:

- the poll rate and the time of one poll cycle with 0, 10 and 128 intercoms
  present, and the console's CPU time per second while it only polls;
- during a local call to an intercom, for three fixed pacing requests of
  the intercom (18, 20 and 22 ms) and for pacing that follows the level of
  its loudspeaker buffer as a real unit's does: audio frames per second
  towards the intercom and the spread of their intervals;
- mouth-to-bus latency: from a tone's onset at the sound server's source
  (as a recorder of our own with a 5 ms latency target sees it) to its
  first audio frame on the bus;
- CPU time of the console per call second;
- the bus time the call uses at 115200 baud against what the line can carry;
- a unit on bus 0 that answers and then talks on (a byte every 0.5 ms): the
  poll rate of bus 1 before and during it, with and without a local call to
  an intercom on bus 1 (and then that call's frame rate), and how soon
  bus 0 is polled again once it is quiet.

    /usr/bin/python3 bench/intercom_bus.py [--seconds 10] [--part all|polls|call|babble]

The simulator's clock stamps the frames as it reads them, so its own
scheduling adds to the measured jitter.
"""

import argparse
import math
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.devices.icbus import CMD_AUDIO_OUT, CMD_STATUS, IntercomBus, ulaw_decode  # noqa: E402
from sim.peers.sip_peers import ADDRESS, NetNs  # noqa: E402
from sim.sandbox.pulse import PulseServer  # noqa: E402
from sim.sandbox.sandbox import Sandbox  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
BAUD = 115200
BITS_PER_BYTE = 10  # start, 8 data, stop


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def send(sb, line):
    fd = os.open(sb.path("run/parlod-cli"), os.O_WRONLY | os.O_NONBLOCK)
    os.write(fd, (line + "\n").encode())
    os.close(fd)


class Run:
    """A console with a simulated bus in a fresh sandbox."""

    def __init__(self, args, addresses, extra_args=()):
        self.sb = Sandbox(args.kelvgd, root=tempfile.mkdtemp(prefix="kel-bench-"))
        self.ns = NetNs()
        self.proc = None
        self.sb.write("etc/device.conf", "cio=0\nrevision=4\n")
        self.sb.write("etc/parlod-ic.conf", "ports_mask=3\n")
        self.pulse = self.sb.attach(PulseServer(self.sb.path("pulse")))
        self.bus = self.sb.attach(IntercomBus(self.sb))
        for a in addresses:
            self.bus.add(a, tone=900)
        self.proc = subprocess.Popen(
            self.ns.cmd([args.parlod, "--sip-listen", ADDRESS, *extra_args]), env=self.sb.env(self.pulse.env()),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert self.sb.notify.wait_for("READY=1", timeout=20)

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(30)
        self.ns.close()
        self.sb.close()


def poll_rates(args):
    print("poll rate (no call)")
    for n in (0, 10, 128):
        addresses = [] if n == 0 else list(range(5)) + list(range(64, 69)) if n == 10 else list(range(128))
        run = Run(args, addresses)
        try:
            time.sleep(2)
            t0, c0 = time.monotonic(), cpu_seconds(run.proc.pid)
            time.sleep(args.seconds)
            t1, c1 = time.monotonic(), cpu_seconds(run.proc.pid)
            polls = run.bus.sent(command=CMD_STATUS, since=t0)
            polls = [f for f in polls if f.time < t1]
            starts = [f.time for f in polls if f.address == 1]
            cycle = statistics.mean(b - a for a, b in zip(starts, starts[1:])) if len(starts) > 1 else float("nan")
            print(f"  {n:3d} intercoms: {len(polls) / (t1 - t0):6.1f} polls/s, one cycle of 128 in "
                  f"{cycle * 1000:6.0f} ms, console CPU {1000 * (c1 - c0) / (t1 - t0):5.2f} ms/s")
        finally:
            run.close()


def bus_seconds(nbytes):
    return nbytes * BITS_PER_BYTE / BAUD


def local_call(args, a, b, label, buffer=None):
    run = Run(args, [3], ["--sound-recorder", "cabin.monitor"])
    try:
        ic = run.bus.intercoms[3]
        ic.a, ic.b, ic.buffer = a, b, buffer
        run.pulse.pactl("load-module", "module-null-sink", "sink_name=cabin")
        # The cabin's microphone: silence, and tone bursts on demand.
        player = subprocess.Popen(["pacat", "--playback", "-d", "cabin", "--raw", "--format=s16le", "--rate=8000",
                                   "--channels=1", "--latency-msec=10"], stdin=subprocess.PIPE,
                                  env=dict(os.environ, **run.pulse.env()))
        silence = bytes(320)
        tone = b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * 440 * k / 8000))) for k in range(160))
        send(run.sb, "call rs3")
        run.bus.wait_for(lambda: len(ic.heard) > 20, timeout=15)

        # Steady state: silence into the microphone, paced to real time.
        def feed(seconds, frame=silence):
            start = time.monotonic()
            k = 0
            while time.monotonic() - start < seconds:
                player.stdin.write(frame)
                player.stdin.flush()
                k += 1
                time.sleep(max(0.0, start + k * 0.02 - time.monotonic()))

        feed(1)
        t0, c0 = time.monotonic(), cpu_seconds(run.proc.pid)
        feed(args.seconds)
        t1, c1 = time.monotonic(), cpu_seconds(run.proc.pid)
        out = [f for f in run.bus.sent(command=CMD_AUDIO_OUT, address=3, since=t0) if f.time < t1]
        gaps = [1000 * (y.time - x.time) for x, y in zip(out, out[1:])]
        q = statistics.quantiles(gaps, n=100)
        within = sum(18 <= g <= 22 for g in gaps) / len(gaps)
        print(f"  {label}: {len(out) / (t1 - t0):5.1f} frames/s, interval mean {statistics.mean(gaps):5.2f} ms, "
              f"sd {statistics.pstdev(gaps):4.2f}, p1 {q[0]:5.2f}, p99 {q[98]:5.2f}, max {max(gaps):5.1f}; "
              f"{100 * within:4.1f} % within 18-22 ms")
        print(f"  console CPU {1000 * (c1 - c0) / (t1 - t0):5.2f} ms per call second")

        # What the call puts on the bus, both ways, per second of call.
        with run.bus.lock:
            sent = [f for f in run.bus.frames if t0 <= f.time < t1 and f.port == 0]
            replies = [r for r in run.bus.replies if t0 <= r[0] < t1 and r[1] == 0]
        tx = sum(len(f.raw) for f in sent)
        rx = sum(len(r[2]) for r in replies)
        used = bus_seconds(tx + rx) / (t1 - t0)
        frame_ms = 1000 * bus_seconds(len(out[0].raw))
        reply_ms = 1000 * bus_seconds(8 + 6)
        limit = 1000 / (frame_ms + reply_ms)
        secs = t1 - t0
        print(f"  bus 0 at {BAUD} baud: {100 * used:4.1f} % busy ({(tx + rx) / secs:.0f} bytes/s over the wire: "
              f"{tx / secs:.0f} sent, {rx / secs:.0f} replies); one audio frame of {len(out[0].raw)} bytes takes "
              f"{frame_ms:4.1f} ms, "
              f"with its pacing and status replies {frame_ms + reply_ms:4.1f} ms: at most {limit:4.1f} frames/s "
              f"one way, against the 50 a call needs")

        # Mouth to bus: tone bursts after silence, their onset taken at the
        # source by a recorder of our own with a 5 ms latency target.
        onsets = []
        reference = subprocess.Popen(["parec", "-d", "cabin.monitor", "--raw", "--format=s16le", "--rate=8000",
                                      "--channels=1", "--latency-msec=5"], stdout=subprocess.PIPE,
                                     env=dict(os.environ, **run.pulse.env()))

        def watch():
            quiet = True
            while True:
                data = reference.stdout.read1(4096) if hasattr(reference.stdout, "read1") else \
                    reference.stdout.read(320)
                if not data:
                    return
                now = time.monotonic()
                loud = max(abs(v) for (v,) in struct.iter_unpack("<h", data[:len(data) & ~1])) > 4000
                if loud and quiet:
                    onsets.append(now)
                quiet = not loud
        threading.Thread(target=watch, daemon=True).start()
        delays = []
        for _ in range(args.bursts):
            feed(0.6)
            since = time.monotonic()
            feed(0.2, tone)
            loud = None
            deadline = time.monotonic() + 2
            while loud is None and time.monotonic() < deadline:
                for f in run.bus.sent(command=CMD_AUDIO_OUT, address=3, since=since):
                    if max(abs(ulaw_decode(x)) for x in f.payload[1:]) > 4000:
                        loud = f
                        break
                time.sleep(0.01)
            onset = [t for t in onsets if t >= since]
            if loud is not None and onset:
                delays.append(1000 * (loud.time - onset[0]))
        feed(0.2)
        player.stdin.close()
        player.wait(10)
        reference.terminate()
        reference.wait(10)
        print(f"  mouth to bus: median {statistics.median(delays):5.1f} ms, min {min(delays):5.1f}, "
              f"max {max(delays):5.1f} over {len(delays)} bursts (from the onset at the source, as a 5 ms "
              f"recorder sees it)")
    finally:
        run.close()


def babble(args):
    print("a babbling unit on bus 0 (a byte every 0.5 ms)")
    for calling in (False, True):
        run = Run(args, [3, 70])
        try:
            if calling:
                send(run.sb, "call rs70")
                run.bus.wait_for(lambda: len(run.bus.intercoms[70].heard) > 20, timeout=15)
            time.sleep(2)
            t0 = time.monotonic()
            time.sleep(args.seconds)
            t1 = time.monotonic()
            run.bus.intercoms[3].babble = (args.seconds, 0.0005)
            run.bus.wait_for(lambda: run.bus.babbled, timeout=args.seconds + 30)
            _, first, last = run.bus.babbled[0]
            time.sleep(2)

            def rate(port, since, until, command=CMD_STATUS, address=None):
                frames = run.bus.sent(command=command, address=address, since=since)
                return sum(f.port == port and f.time < until for f in frames) / (until - since)

            def polls(port, since, until):
                # Status polls, and the audio frames that ask for a status
                # on the same bus (their poll slot).
                frames = [f for f in run.bus.sent(since=since) if f.port == port and f.time < until]
                return sum(f.command == CMD_STATUS or (f.command == CMD_AUDIO_OUT and f.payload and
                                                       f.payload[0] != 0xFF) for f in frames) / (until - since)

            resumed = next((f.time for f in run.bus.sent(command=CMD_STATUS, since=last) if f.port == 0), None)
            label = "during a local call to 70" if calling else "no call"
            print(f"  {label}: bus 1 {polls(1, t0, t1):5.1f} polls/s before, {polls(1, first + 1, last):5.1f} "
                  f"during (from its 2nd second); bus 0 polled again "
                  f"{1000 * (resumed - last) if resumed else float('nan'):5.0f} ms after the babble's end")
            if calling:
                print(f"    the call's audio frames to 70: {rate(1, t0, t1, CMD_AUDIO_OUT, 70):5.1f}/s before, "
                      f"{rate(1, first, last, CMD_AUDIO_OUT, 70):5.1f}/s during")
        finally:
            run.close()


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--bursts", type=int, default=15)
    ap.add_argument("--part", choices=("all", "polls", "call", "babble"), default="all")
    ap.add_argument("--parlod", default=os.path.join(here, "build/parlod/parlod"))
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    args = ap.parse_args()

    if args.part in ("all", "polls"):
        poll_rates(args)
    if args.part in ("all", "babble"):
        babble(args)
    if args.part in ("polls", "babble"):
        return
    print("local call, cabin to intercom 3")
    local_call(args, 0, 200, "paced at 18 ms (a=0)")
    local_call(args, 80, 80, "paced at 20 ms (a+b=160)")
    local_call(args, 40, 160, "paced at 22 ms (b=160)")
    local_call(args, 0, 0, "paced by its 480-byte buffer", buffer=480)


if __name__ == "__main__":
    main()
