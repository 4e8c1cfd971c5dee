"""The CIO-mode daemon's side of the dispatcher connection: lost and stalled
connections, dispatchers that do not answer, and the address list."""

import random
import time

from conftest import CioTerminal
from sim.peers.dispatcher import Dispatcher
from test_cio_commands import line_commands

WINDOW = 16896
SKIP = 426


def noise(n, count):
    """Lines that compress badly: a data packet of about 17 KB."""
    return random.getrandbits(8)


def test_closed_connection_is_made_again(cio):
    cio.start()
    cio.command("03010100")
    cio.disp.drop_connections(reset=False)
    assert cio.log.wait_for("Error receiving (") is not None
    assert cio.disp.wait_for(lambda ms: len(cio.disp.connect_times) >= 2, timeout=10)
    m = cio.command("03010100")
    assert m.connection == 2 and len(m.samples) == WINDOW
    assert cio.proc.poll() is None


def test_packet_cut_off_is_sent_again_whole(cio):
    cio.board.lines.pattern = noise
    cio.start()
    cio.command("03010100")
    # The dispatcher stops reading: the next packet gets stuck half way.
    cio.disp.mode = "stall"
    recordings = len(cio.board.streams)
    cio.disp.send("03010100")
    assert cio.disp.wait_for(lambda ms: cio.disp.unread() > 0, timeout=5)
    time.sleep(0.5)
    stuck = [d for _, d in cio.board.streams if len(d) == 17400]
    cio.disp.drop_connections(reset=True)
    cio.disp.mode = "accept"
    assert cio.disp.wait_for(lambda ms: len(cio.disp.connect_times) >= 2, timeout=10)
    # Nothing was recorded meanwhile: the packet waits, whole, for the
    # next command on the new connection.
    m = cio.command("03010100")
    assert m.connection == 2
    assert m.samples == stuck[-1][SKIP:SKIP + WINDOW]
    assert len(cio.board.streams) > recordings
    assert cio.log.wait_for("Connection reset by peer") is not None


def test_line_command_ordered_before_a_lost_connection(cio):
    cio.board.lines.pattern = noise
    cio.start()
    cio.command("03010100")
    # The dispatcher stops reading; commands go on until a data packet is
    # stuck on its way (no recording follows it), then a line command.
    cio.disp.mode = "stall"
    for _ in range(60):
        recordings = len(cio.board.streams)
        cio.disp.send("03010100")
        # A slow run may take a while to start the next recording: only a
        # long wait for it says that none follows.
        if not cio.board.wait_for(lambda: len(cio.board.streams) > recordings, 3):
            break
    else:
        raise AssertionError("the data packets never got stuck")
    since = len(cio.board.lines.edges)
    cio.disp.send("01030507")
    # Taken by the loop before the connection is lost: a reset would
    # discard a command still unread in the terminal's socket.
    deadline = time.monotonic() + 10
    while cio.disp.unread_by_peers():
        assert time.monotonic() < deadline, "the loop does not read its commands"
        time.sleep(0.05)
    cio.disp.drop_connections(reset=True)
    cio.disp.mode = "accept"
    # The line command is carried out and acknowledged on the next
    # connection; the next command there gets the stuck packet, whole.
    assert cio.disp.wait_messages(1, "TE")
    assert cio.disp.acks[0].connection == 2
    assert len([p for p in cio.board.lines.pulses(since) if p.mask == 1 << 2]) == 3
    m = cio.command("03010100")
    assert m.connection == 2 and len(m.samples) == WINDOW


def test_lines_the_board_lacks_are_acknowledged(sandbox):
    """A line command or line packet for a line beyond the board's (a 2-line
    board here) acts on no line, but is acknowledged as any other: the
    dispatcher waits for that."""
    t = CioTerminal(sandbox, "cirrus")
    try:
        t.start()
        t.command("03010100")
        since = len(t.board.lines.edges)
        # A line command on line 3, a line packet on line 8, and a line
        # command that asks for the sound path on line 4.
        for cmd in ("00030507", "00080547", "01040101"):
            n = len(t.disp.data_packets)
            assert t.command(cmd, "TE", timeout=15).body == bytes(10)
            assert t.disp.wait_messages(n + 1, "TC")  # its one recording
        # Past the protocol's eight lines, or without a code: a recording,
        # nothing more.
        acks = len(t.disp.acks)
        for cmd in ("00090507", "00030500"):
            t.command(cmd)
        time.sleep(1)
        assert len(t.disp.acks) == acks and t.board.packets == []
        assert line_commands(t.board.lines, since) == []
        assert t.board.sound[1] is False
        assert t.proc.poll() is None
    finally:
        t.stop()
    assert t.disp.errors == []


def test_dispatcher_that_never_answers_holds_the_attempt(cio):
    deaf = cio.sb.attach(Dispatcher())
    deaf.mode = "deaf"
    cio.addresses(f"{deaf.host} {cio.disp.host}", interval=0)
    cio.start()
    # The connect waits for the system's own time limit; no other address
    # is tried meanwhile.
    time.sleep(5)
    assert cio.disp.connect_times == []
    assert cio.proc.poll() is None
    assert cio.run("dump").returncode == 0


def test_addresses_in_turn(cio):
    # Three dispatchers that reset every connection, and a name that does
    # not resolve: each is tried about every second for the interval, then
    # the next; the name is left after one attempt.
    others = [cio.sb.attach(Dispatcher()) for _ in range(2)]
    first, second, third = cio.disp, *others
    for d in (first, second, third):
        d.mode = "reset"
    cio.addresses(f"{first.host},nosuchhost.invalid;{second.host}  {third.host}", interval=3)
    t0 = time.monotonic()
    cio.start()
    assert third.wait_for(lambda ms: len(first.connect_times) >= 6, timeout=25)
    cio.stop()

    def stretch(d):
        return [t - t0 for t in d.connect_times]

    a, b, c = stretch(first), stretch(second), stretch(third)
    assert a and b and c, (a, b, c)
    # first: [0, 3 s], then second, third, and first again.
    assert a[0] < b[0] < c[0] < [t for t in a if t > c[0]][0]
    for d in (a, b, c):
        assert all(y - x >= 0.9 for x, y in zip(d, d[1:]))
    early = [t for t in a if t < b[0]]
    assert 2 <= len(early) <= 5 and b[0] - early[0] >= 3
    assert cio.log.wait_for("(nosuchhost.invalid)") is not None


def test_three_silent_dispatchers_with_interval_30(cio):
    others = [cio.sb.attach(Dispatcher()) for _ in range(2)]
    for d in (cio.disp, *others):
        d.mode = "reset"
    cio.addresses(" ".join(d.host for d in (cio.disp, *others)), interval=30)
    t0 = time.monotonic()
    cio.start()
    assert others[0].wait_for(lambda ms: others[0].connect_times, timeout=45)
    first = [t - t0 for t in cio.disp.connect_times]
    switch = others[0].connect_times[0] - t0
    # About one attempt a second on the first for 30 s, then the second.
    assert 30 <= switch - first[0] < 36
    assert 15 <= len(first) <= 31
    assert others[1].connect_times == []


def test_address_lists_that_name_nobody(cio):
    cio.addresses(",;, ,")
    cio.start()
    time.sleep(2)
    assert cio.disp.connect_times == []
    assert cio.run("dump").returncode == 0

    # A list of 300 characters keeps its first 256.
    cio.stop()
    cio.addresses(cio.disp.host + "," + "x" * 300)
    cio.start()
    cio.command("03010100")
    addr = cio.sb.state().get("addr_server")
    assert addr.rstrip(b"\0") == cio.disp.host.encode() + b"\0" + b"x" * (255 - len(cio.disp.host))

    # -a names the dispatcher unless the configuration does not.
    cio.stop()
    cio.addresses("")
    cio.start("-a", cio.disp.host)
    assert cio.command("03010100").connection >= 1
