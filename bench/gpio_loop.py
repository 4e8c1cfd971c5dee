#!/usr/bin/python3
"""Benchmark of the GPIO-mode daemon against the simulated terminal.

Runs `kelvgd run` of the virtual terminal for a while and reports: the loop
rate over time and when it settles at two cycles a second, CPU time per
cycle, the daemon's peak resident memory, and the delay from a call button
press to its report at the push server.

    /usr/bin/python3 bench/gpio_loop.py [--seconds 240] [--kelvgd build/kelvgd/kelvgd]
"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.terminal import gpio_terminal  # noqa: E402
from sim.terminal.daemon import Daemon  # noqa: E402
from sim.terminal.gpio_mode import GpioHardware, PushPeer  # noqa: E402
from sim.terminal.output import Output  # noqa: E402
from procstat import cpu_seconds, peak_rss_kib  # noqa: E402


def cycles(cp):
    # Every cycle selects the reference input exactly once.
    return sum(1 for c in cp.commands if c == "input 7")


def press_delay(t, button):
    cp, push = t.part(GpioHardware).cp, t.part(PushPeer).push
    n = len(push.reports)
    t0 = time.monotonic()
    cp.press(button)
    ok = push.wait_for(lambda r: any(f"call_button{button}=0,1" in x for x in r[n:]), timeout=10)
    i = next(i for i, x in enumerate(push.reports) if i >= n and f"call_button{button}=0,1" in x)
    delay = push.report_times[i] - t0 if ok else float("nan")
    cp.release(button)
    time.sleep(1.5)
    t.run("kelvgd clcall")
    return delay


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=int, default=240)
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    args = ap.parse_args()

    # The daemon alone, without the health monitor and the console; the
    # terminal's event lines are not shown.
    quiet = open(os.devnull, "w")
    t = gpio_terminal(Output(quiet, quiet), args.kelvgd, health_monitor=False)
    try:
        t.start()
        pid = t.part(Daemon).procs["run"].pid
        cp = t.part(GpioHardware).cp
        st = t.sb.state()
        cpu0, cyc0, t0 = cpu_seconds(pid), cycles(cp), time.monotonic()
        settled_at = None
        samples = []
        while time.monotonic() - t0 < args.seconds:
            time.sleep(1)
            rate = st.get("urate") / 1000
            samples.append(rate)
            if settled_at is None and len(samples) >= 10 and all(1.9 <= r <= 2.1 for r in samples[-10:]):
                settled_at = time.monotonic() - t0 - 10
        cpu, cyc = cpu_seconds(pid) - cpu0, cycles(cp) - cyc0
        delays = [press_delay(t, b % 4) for b in range(6)]

        print(f"run time            {args.seconds} s, {cyc} cycles")
        print("loop rate           " + ", ".join(f"{samples[i]:.2f}" for i in range(0, len(samples), 30))
              + f" cycles/s (every 30 s), last {samples[-1]:.2f}")
        print("settled at 2/s      " + (f"after {settled_at:.0f} s" if settled_at is not None else "not yet"))
        print(f"CPU per cycle       {1000 * cpu / max(cyc, 1):.2f} ms (daemon only, {cpu:.1f} s in all)")
        print(f"peak resident       {peak_rss_kib(pid)} KiB")
        print(f"press to report     median {1000 * statistics.median(delays):.0f} ms, "
              f"max {1000 * max(delays):.0f} ms over {len(delays)} presses")
    finally:
        t.close()


if __name__ == "__main__":
    main()
