"""Settings saved by commands that run at the same time, by commands killed
half-way, and while the daemon starts: no setting is lost, the file is
always whole, and nothing is left behind in /etc."""

import os
import random
import re
import signal
import stat
import subprocess
import time

from sim.sandbox import shared_state, sysv

KEYS = {"d": "wdt_disabled", "w": "wdt_period", "m": "multi_notify", "f": "force_notify"}
HEADER = "# kelvgd\nserv_addr=host\n"


def parse(text):
    """The file as the daemon reads it; every line must be a key=value pair."""
    values = {}
    for line in text.splitlines():
        assert "=" in line or line.startswith("#"), f"broken line {line!r} in {text!r}"
        key, _, value = line.partition("=")
        assert key not in values, f"{key} twice in {text!r}"
        values[key] = value
    return values


def leftovers(sandbox):
    return [n for n in os.listdir(sandbox.path("etc")) if n != "kelvgd.conf"]


def test_concurrent_writers_of_different_keys_lose_nothing(sandbox):
    conf = sandbox.path("etc/kelvgd.conf")
    sandbox.write("etc/kelvgd.conf", HEADER)
    sandbox.run("cfg")  # the shared state exists before the races
    for rnd in range(40):
        want = {"d": rnd % 2, "w": 10 + rnd, "m": (rnd + 1) % 2, "f": rnd % 2}
        procs = [sandbox.spawn("cfg", f"-{opt}", value) for opt, value in want.items()]
        for p in procs:
            out, err = p.communicate(timeout=30)
            assert p.returncode == 0, err
        sandbox.notify.clear()  # a full notification queue would hold the writers up
        values = parse(sandbox.read("etc/kelvgd.conf"))
        assert values == {"# kelvgd": "", "serv_addr": "host",
                          **{KEYS[opt]: str(value) for opt, value in want.items()}}, f"round {rnd}"
        assert stat.S_IMODE(os.stat(conf).st_mode) == 0o600
        assert leftovers(sandbox) == []
    st = sandbox.state()
    assert (st.get("wdt_disabled"), st.get("wdt_period"), st.get("multi_notify"), st.get("force_notify")) == (1, 49, 0, 1)


def test_writers_killed_at_random_moments_leave_a_whole_file(sandbox):
    sandbox.write("etc/kelvgd.conf", HEADER + "wdt_period=10\n")
    sandbox.run("cfg")
    rng = random.Random(11)
    saved = "10"
    possible = {"10"}
    killed = 0
    for i in range(300):
        value = str(11 + i % 50)
        possible.add(value)
        p = sandbox.spawn("cfg", "-w", value, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            p.wait(timeout=rng.uniform(0, 0.012))
        except subprocess.TimeoutExpired:
            p.send_signal(signal.SIGKILL)
            killed += 1
        p.wait(timeout=30)
        sandbox.notify.clear()
        values = parse(sandbox.read("etc/kelvgd.conf"))
        assert values.keys() == {"# kelvgd", "serv_addr", "wdt_period"}
        if p.returncode == 0:  # a writer that finished has saved its value
            saved = value
            assert values["wdt_period"] == saved
        else:  # one killed keeps the value before it, or had it saved
            assert values["wdt_period"] in (saved, value)
            saved = values["wdt_period"]
        # At most the one version of a writer killed between its last two
        # steps, which the next writer of the file takes away.
        assert len(leftovers(sandbox)) <= 1 and all(re.fullmatch(r"kelvgd\w{6}", n) for n in leftovers(sandbox))
    assert killed > 30, "the kills came too late to test anything"
    assert sandbox.run("cfg", "-w", "900").returncode == 0
    assert leftovers(sandbox) == []
    assert parse(sandbox.read("etc/kelvgd.conf"))["wdt_period"] == "900"


def test_settings_saved_while_the_daemon_starts_are_the_ones_it_runs_with(terminal):
    """The daemon reads its file under the state lock, the lock a command
    hands its new value over under after saving it. A value saved while the
    daemon waits for that lock at its start must be the one it runs with,
    not the one the file had a moment before."""
    sb = terminal.sb
    sb.run("cfg")
    with shared_state.write_locked(sysv.SemSet(sb.key)):
        terminal.proc = sb.spawn("run", env=terminal.pulse.env())
        time.sleep(1)  # on its way to the lock; a later start reads the new file anyway
        sb.write("etc/kelvgd.conf", sb.read("etc/kelvgd.conf") + "wdt_period=77\nfmm_icomaddr=9\n")
    assert sb.notify.wait_for("READY=1", timeout=30), terminal.stderr()
    st = sb.state()
    assert (st.get("wdt_period"), st.get("fmm_icomaddr")) == (77, 9)
