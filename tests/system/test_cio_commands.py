"""Commands of CIO-mode terminals (xmas, modules), and the dispatcher's
commands of every kind against one running daemon."""

import errno
import fcntl
import os
import subprocess
import time

from sim.sandbox import shared_state, sysv

RATE = 16384
STEP = 512  # samples of one step of a hub address or code: 1/32 s


def test_xmas_blinks_every_line(cio):
    t0 = time.monotonic()
    r = cio.run("xmas")
    took = time.monotonic() - t0
    assert r.returncode == 0, r.stderr
    times = cio.board.command_times[4:]
    assert [text for _, text in times] == ["siact 255", "sipas 255"] * 20
    # 50 ms on, 50 ms off, by the clock of the terminal.
    steps = [b[0] - a[0] for a, b in zip(times, times[1:])]
    assert times[-1][0] - times[0][0] >= 1.85 and max(steps) < 1, steps
    assert took < 15
    assert cio.board.lines.si_mask == 0

    # The board is the daemon's while it runs, or another program's that
    # holds its port: the operator is told which.
    cio.start()
    n = len(cio.board.command_times)
    r = cio.run("xmas")
    assert (r.returncode, r.stderr) == (1, "The CIO board is in use by the running kelvgd: stop it first\n")
    assert cio.sb.notify.messages()[-1] == f"ERRNO={errno.EBUSY}"
    cio.stop()
    # The loop's own measurements switch SI too, with a delay between; the
    # lights would switch it on and off back to back.
    texts = [text for _, text in cio.board.command_times[n:]]
    assert ("siact 255", "sipas 255") not in zip(texts, texts[1:])
    port = os.open(cio.sb.path("dev/serial/by-id/usb-dorn"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(port, fcntl.LOCK_EX)
        r = cio.run("xmas")
    finally:
        os.close(port)
    assert (r.returncode, r.stderr) == (1, "The CIO board is in use by another program\n")

    cio.sb.write("etc/device.conf", "cio=0\nrevision=2\n")
    r = cio.run("xmas")
    assert (r.returncode, r.stderr) == (1, "No CIO board on this terminal\n")


def test_modules_settings(cio):
    assert cio.run("modules").stdout == "channels=8\noverride=0\nmodes=0\n"
    assert cio.run("modules", "-o", "1", "-m", "0x0c").returncode == 0
    assert "mods_modes=12\n" in cio.sb.read("etc/kelvgd.conf")
    assert "mods_override=1\n" in cio.sb.read("etc/kelvgd.conf")
    st = cio.sb.state()
    assert (st.get("mod_override"), st.get("mod_modes")) == (1, 12)
    # One option alone only shows the settings.
    assert cio.run("modules", "-m", "3").stdout == "channels=8\noverride=1\nmodes=12\n"
    assert st.get("mod_modes") == 12

    cio.sb.write("etc/device.conf", "cio=1\nrevision=5\n")
    r = cio.run("modules")
    assert r.stdout.startswith("channels=0\n") and "No driver" in r.stderr
    cio.sb.write("etc/device.conf", "cio=0\nrevision=2\n")
    assert cio.run("modules").stdout.startswith("channels=0\n")
    # Without the key, the revision alone names the board.
    cio.sb.write("etc/device.conf", "revision=2\n")
    assert cio.run("modules").stdout.startswith("channels=8\n")


def test_modules_set_at_once_keep_their_pairs(cio):
    """Two operators set the modes at the same time: the file and the
    running daemon end with one pair or the other, never a mix."""
    assert cio.run("modules").returncode == 0
    st = cio.sb.state()
    pairs = {("1", "3"), ("0", "5")}
    for _ in range(40):
        procs = [subprocess.Popen([cio.sb.kelvgd, "modules", "-o", o, "-m", m], env=cio.sb.env())
                 for o, m in pairs]
        assert [p.wait(timeout=30) for p in procs] == [0, 0]
        conf = dict(line.split("=", 1) for line in cio.sb.read("etc/kelvgd.conf").split())
        saved = (conf["mods_override"], conf["mods_modes"])
        assert saved in pairs
        assert (str(st.get("mod_override")), str(st.get("mod_modes"))) == saved
        cio.sb.notify.messages()  # drained


def test_modules_saved_while_the_daemon_starts_are_the_ones_it_runs_with(cio):
    assert cio.run("modules").returncode == 0
    with shared_state.write_locked(sysv.SemSet(cio.sb.key)):
        cio.start(ready=False)
        time.sleep(1)  # on its way to the lock; a later start reads the new file anyway
        cio.sb.write("etc/kelvgd.conf", cio.sb.read("etc/kelvgd.conf") + "mods_override=1\nmods_modes=12\n")
    assert cio.sb.notify.wait_for("READY=1", timeout=20), cio.stderr()
    st = cio.sb.state()
    assert (st.get("mod_override"), st.get("mod_modes")) == (1, 12)


def test_running_daemon_follows_the_module_override(cio):
    cio.start()
    cio.command("01030507", "TE")
    assert not cio.board.four_wire
    assert cio.run("modules", "-o", "1", "-m", "4").returncode == 0
    cio.command("01030507", "TE")
    assert cio.board.four_wire  # line 3 is four-wire now
    cio.command("05020100")
    cio.command("01020101", "TE")
    assert not cio.board.four_wire  # line 2 is not, whatever the dispatcher asks


def line_commands(lines, since):
    """(line mask, hub, code) of each line command in the SI pulses since
    edge number since: three pulses on one line, read by their gaps."""
    pulses = [p for p in lines.pulses(since) if p.mask & (p.mask - 1) == 0]
    out = []
    i = 0
    while i + 2 < len(pulses):
        a, b, c = pulses[i:i + 3]
        if a.mask == b.mask == c.mask:
            hub = (b.start - a.end - 348) / STEP
            code = (c.start - b.end - 80) / STEP + 1
            out.append((a.mask, hub, code))
            i += 3
        else:
            i += 1
    return out


def test_commands_of_every_kind(cio):
    """Commands of every kind against one daemon: each releases exactly one
    recording; line commands and packets are acknowledged."""
    cio.start()
    disp, board = cio.disp, cio.board
    cio.command("00000000")

    # Every sound request: 1 and 2 (bit 2 aside) set the filter, the rest
    # leave it.
    filter_on = False
    for pgs in range(256):
        cio.command(bytes([pgs, 2, 0, 0]))
        if pgs & ~4 in (1, 2):
            filter_on = pgs & ~4 == 2
        assert board.wait_for(lambda: board.filter == filter_on), pgs
    assert len(disp.data_packets) == 257 and disp.acks == []

    # Every line-command code, to hubs and lines all over: the gaps carry
    # hub and code exactly.
    since = len(board.lines.edges)
    sent = []
    for code in range(1, 65):
        hub, line = (code * 7) % 32 + 1, code % 8 + 1
        cio.command(bytes([0, line, hub, code]), "TE")
        sent.append((1 << (line - 1), hub, code))
    assert line_commands(board.lines, since) == sent

    # Lines and hubs out of range, and code 0: a recording, nothing more.
    since = len(board.lines.edges)
    acks = len(disp.acks)
    for cmd in ("00000507", "00090507", "00ff0507", "00032107", "0003ff07", "00030007", "00030500", "00050000"):
        cio.command(cmd)
    time.sleep(1)
    assert len(disp.acks) == acks and board.packets == []
    assert line_commands(board.lines, since) == []

    # Codes above 64 go out as line packets, each acknowledged.
    for code in (65, 66, 128, 254, 255):
        cio.command(bytes([0, 8, 32, code]), "TE", timeout=15)
    assert [p.data for p in board.packets] == [bytes([0x5F, 31, 2, 0x40, c, (0xBE - c - 31) % 256])
                                              for c in (65, 66, 128, 254, 255)]
    assert all(p.channel == 7 for p in board.packets)

    assert disp.errors == []
    assert cio.proc.poll() is None
