#!/usr/bin/python3
"""Benchmark of the voice console in a call.

In a private network namespace, with the console's PC sound endpoint on a
private PulseAudio server:

1. a call with baresip: CPU time, context switches and system calls per
   call second and peak resident memory of the console, beside baresip's
   own figures for the same call (counted by perf); then the same call
   with SRTP (the console's sip_srtp "optional", baresip's mediaenc
   "srtp": AES_CM_128_HMAC_SHA1_80 both ways);
2. the ear path: a steady RTP sender sends a click every half second; its
   latency is from the packet leaving the sender to the click's onset at
   the null sink's monitor. The same call shows how the console paces the
   RTP it sends while its microphone (a sine source) hands over long blocks;
3. clock difference: the sender's clock 0.1 % slow, then 0.1 % fast, a
   click in every frame; frames lost and gaps heard at the sink;
4. the mouth path: a click played into the console's microphone (a null
   sink's monitor) to the RTP packet that carries its onset.

    /usr/bin/python3 bench/console_call.py [--seconds 30] [--latency-seconds 30] [--drift-seconds 40]
"""

import argparse
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from procstat import cpu_seconds, peak_rss_kib  # noqa: E402
from sim.audio import rtp  # noqa: E402
from sim.peers.sip_peers import ADDRESS, Baresip, NetNs, RawUa  # noqa: E402
from sim.sandbox.pulse import PulseServer  # noqa: E402
from sim.sandbox.sandbox import Sandbox  # noqa: E402

CLICK_EVERY = 25  # frames: half a second
CLICK = [int(16000 * math.sin(2 * math.pi * 1000 * k / rtp.RATE)) for k in range(rtp.FRAME)]
CLICK_ULAW = rtp.encode(CLICK)
IMPULSE_ULAW = rtp.encode([24000] + [0] * (rtp.FRAME - 1))


def perf_start(pid, seconds):
    """perf counting the context switches and system calls of every thread
    of pid for that long."""
    return subprocess.Popen(["perf", "stat", "-x,", "-e", "context-switches,raw_syscalls:sys_enter", "-p", str(pid),
                             "--", "sleep", str(seconds)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)


def perf_result(proc):
    counts = {}
    for line in proc.communicate(timeout=60)[1].splitlines():
        fields = line.split(",")
        if len(fields) > 2 and fields[0].isdigit():
            counts[fields[2]] = int(fields[0])
    return counts.get("context-switches", 0), counts.get("raw_syscalls:sys_enter", 0)


def summary(values, unit="ms"):
    if not values:
        return "no values"
    v = sorted(values)
    return (f"median {statistics.median(v):6.1f} {unit}, p90 {v[int(0.9 * (len(v) - 1))]:6.1f}, "
            f"min {v[0]:6.1f}, max {v[-1]:6.1f} ({len(v)} values)")


def matched_latencies(starts, arrivals, limit=0.45):
    """For each start time, the first arrival after it (within limit, less
    than the clicks' spacing), in ms."""
    out, j = [], 0
    arrivals = sorted(arrivals)
    for t in sorted(starts):
        while j < len(arrivals) and arrivals[j] < t:
            j += 1
        if j < len(arrivals) and arrivals[j] - t < limit:
            out.append(1000 * (arrivals[j] - t))
    return out


class Bench:
    def __init__(self, args):
        self.args = args
        self.sb = Sandbox(args.kelvgd, root=tempfile.mkdtemp(prefix="kel-bench-"))
        self.ns = NetNs()
        self.pulse = self.sb.attach(PulseServer(self.sb.path("pulse")))
        self.pulse.pactl("load-module", "module-null-sink", "sink_name=clicks")
        # Optional SRTP: plain RTP with a peer that has none.
        self.sb.write("etc/parlod.conf", "duplex=1\nsip_srtp=optional\n")
        self.log = open(self.sb.path("parlod.log"), "w")
        self.console = subprocess.Popen(self.ns.cmd([args.parlod, "--sip-listen", ADDRESS]),
                                        env=self.sb.env(self.pulse.env()), stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        assert self.sb.notify.wait_for("READY=1", timeout=20)

    def send(self, line):
        fd = os.open(self.sb.path("run/parlod-cli"), os.O_WRONLY | os.O_NONBLOCK)
        os.write(fd, (line + "\n").encode())
        os.close(fd)

    def close(self):
        if self.console.poll() is None:
            self.console.terminate()
            self.console.wait(30)
        self.log.close()
        self.ns.close()
        self.sb.close()

    def call_with_baresip(self, mediaenc=None):
        seconds = self.args.seconds
        name = f"peer-{mediaenc}" if mediaenc else "peer"
        peer = Baresip(self.ns, self.sb.root, name=name, tone=700, mediaenc=mediaenc)
        try:
            self.send(f"call {peer.uri}")
            peer.wait_event("CALL_ESTABLISHED")
            time.sleep(2)
            pids = {"console": self.console.pid, "baresip": peer.proc.pid}
            perf = {name: perf_start(pid, seconds) for name, pid in pids.items()}
            cpu0 = {name: cpu_seconds(pid) for name, pid in pids.items()}
            time.sleep(seconds)
            cpu1 = {name: cpu_seconds(pid) for name, pid in pids.items()}
            counts = {name: perf_result(p) for name, p in perf.items()}
            if mediaenc:
                print("   the same with SRTP (AES_CM_128_HMAC_SHA1_80 both ways)")
            else:
                print(f"1. call of {seconds} s with baresip, PCMU, console on PulseAudio (microphone: a sine source)")
            for name, pid in pids.items():
                cpu = 1000 * (cpu1[name] - cpu0[name]) / seconds
                switches, calls = (c / seconds for c in counts[name])
                print(f"   {name:8} CPU {cpu:6.2f} ms, {switches:6.0f} context switches, {calls:6.0f} system calls "
                      f"per call second; peak resident {peak_rss_kib(pid)} KiB")
            self.send("hangup")
            peer.wait_event("CALL_CLOSED")
            if mediaenc:
                self.log.flush()
                with open(self.sb.path("parlod.log")) as f:
                    assert "protected by SRTP" in f.read(), "the call had no SRTP"
        finally:
            peer.close()

    def incoming(self):
        """A call from a raw user agent, and what it receives from the start."""
        ua = RawUa(self.ns)
        heard = rtp.Receiver(ua.rtp)
        assert ua.call() == 200
        time.sleep(0.5)  # the console's media start
        return ua, heard

    def ear_path(self):
        seconds = self.args.latency_seconds
        capture = self.pulse.capture("spk.monitor")
        ua, heard = self.incoming()
        try:
            sender = rtp.PacedSender(ua.rtp, ua.rtp_peer(),
                                     lambda k: CLICK_ULAW if k % CLICK_EVERY == 0 else rtp.SILENCE, seconds * 50)
            sender.join()
            time.sleep(1)
            heard.stop()
            assert ua.bye() == 200
        finally:
            ua.close()
        samples = capture.stop()
        onsets = [capture.time_of(i) for i in rtp.onsets(samples, 3000, 800)]
        clicks = [sender.sent[k] for k in range(0, len(sender.sent), CLICK_EVERY)][2:]  # settled
        latencies = matched_latencies(clicks, onsets)
        print(f"2. ear path, steady sender, {seconds} s, clicks found {len(latencies)} of {len(clicks)}")
        print(f"   RTP arrival to loudspeaker: {summary(latencies)}")
        times = [t for t, _, data in heard.packets if rtp.parse(data)]
        gaps = [1000 * (b - a) for a, b in zip(times, times[1:])]
        busiest = max((sum(1 for u in times[i:i + 200] if u - t < 0.1) for i, t in enumerate(times)), default=0)
        print(f"   RTP sent by the console: {len(times) / seconds:.1f} packets/s; gap {summary(gaps)}; "
              f"busiest 100 ms: {busiest} packets")

    def clock_difference(self, ratio, label):
        seconds = self.args.drift_seconds
        capture = self.pulse.capture("spk.monitor")
        ua, heard = self.incoming()
        try:
            # Four seconds of silence first, so that only frames sent once
            # the media runs steadily count (a new stream on the null sink
            # is held back for a while at first).
            lead, count = 200, seconds * 50
            sender = rtp.PacedSender(ua.rtp, ua.rtp_peer(), lambda k: IMPULSE_ULAW if k >= lead else rtp.SILENCE,
                                     lead + count, interval=0.02 * ratio)
            sender.join()
            silence = rtp.PacedSender(ua.rtp, ua.rtp_peer(), lambda k: rtp.SILENCE, 50, stream=sender.stream)
            silence.join()
            heard.stop()
            assert ua.bye() == 200
        finally:
            ua.close()
        samples = capture.stop()
        found = rtp.onsets(samples, 6000, 60)
        spacing = [b - a for a, b in zip(found, found[1:])]
        gaps = sum(1 for s in spacing if s > 1.5 * rtp.FRAME)
        print(f"   sender {label}: {count} frames sent, {count - len(found):+d} not heard, "
              f"{gaps} gaps of a frame or more at the sink")

    def mouth_path(self):
        seconds = self.args.latency_seconds
        self.pulse.pactl("set-default-source", "clicks.monitor")
        feed = self.pulse.feed("clicks", lambda k: CLICK if k % CLICK_EVERY == 0 else [0] * rtp.FRAME)
        capture = self.pulse.capture("clicks.monitor")
        ua, heard = self.incoming()
        try:
            # The console's media needs to see packets from the peer, or
            # it would not know the call is alive.
            sender = rtp.PacedSender(ua.rtp, ua.rtp_peer(), lambda k: rtp.SILENCE, seconds * 50)
            sender.join()
            heard.stop()
            assert ua.bye() == 200
        finally:
            ua.close()
            feed.stop()
            self.pulse.pactl("set-default-source", "mic")
        samples = capture.stop()
        played = [capture.time_of(i) for i in rtp.onsets(samples, 3000, 800)][2:]
        arrivals, calm = [], 800
        for t, _, data in heard.packets:
            packet = rtp.parse(data)
            if not packet or packet[0] != 0:
                continue
            for x in rtp.decode(packet[4]):
                if abs(x) > 3000:
                    if calm >= 800:
                        arrivals.append(t)
                    calm = 0
                else:
                    calm += 1
        latencies = matched_latencies(played, arrivals)
        print(f"4. mouth path, {seconds} s, clicks found {len(latencies)} of {len(played)}")
        print(f"   microphone to RTP packet: {summary(latencies)}")


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=int, default=30)
    ap.add_argument("--latency-seconds", type=int, default=30)
    ap.add_argument("--drift-seconds", type=int, default=40)
    ap.add_argument("--parlod", default=os.path.join(here, "build/parlod/parlod"))
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    args = ap.parse_args()

    bench = Bench(args)
    try:
        bench.call_with_baresip()
        bench.call_with_baresip("srtp")
        bench.ear_path()
        print(f"3. clock difference, {args.drift_seconds} s each, a click in every frame")
        bench.clock_difference(1.001, "0.1 % slow")
        bench.clock_difference(1 / 1.001, "0.1 % fast")
        bench.mouth_path()
    finally:
        bench.close()


if __name__ == "__main__":
    main()
