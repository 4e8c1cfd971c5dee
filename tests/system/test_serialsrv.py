"""The serial pass-through (sersrv) and its settings (sercfg).

The server is run as a super-server runs it: an accepted TCP connection as
its standard input and output, SIGPIPE at its default disposition. At the
other end of the port is a simulated device on a pseudo-terminal. The
network buffers are kept small, so that a side that does not read really
stops the data going to it.
"""

import configparser
import errno
import fcntl
import os
import shlex
import signal
import socket
import subprocess
import threading
import time

import pytest

from conftest import build_dir
from sim.devices.serial_peer import SerialPeer

MIB = 1 << 20
TTY = "ttyS2"
SMALL_BUF = 16384


def default_sigpipe():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)


def sercfg(sandbox, *args):
    r = sandbox.run("sercfg", *args)
    return r.returncode, dict(line.split("=", 1) for line in r.stdout.splitlines()), r.stderr


def test_settings(sandbox):
    assert sercfg(sandbox) == (0, {"ch": "0", "baud": "0", "char": "0", "parity": "E", "stop": "0"}, "")

    code, out, err = sercfg(sandbox, "-i", "1", "-b", "9600", "-p", "x")
    assert code == 1
    assert err == "Parity must be one of: N (None), O (Odd), E (Even)\n"
    assert out == {"ch": "0", "baud": "0", "char": "0", "parity": "E", "stop": "0"}
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EINVAL}"

    code, out, _ = sercfg(sandbox, "-i", "2", "-b", "19200", "-w", "7", "-p", "odd", "-s", "2")
    assert (code, out) == (0, {"ch": "2", "baud": "19200", "char": "7", "parity": "O", "stop": "2"})
    st = sandbox.state()
    assert [st.get(f) for f in ("ser_port", "ser_baud", "ser_bits", "ser_par", "ser_stop")] == [2, 19200, 7, "O", 2]

    # A set needs the port and a rate; anything less only shows the settings.
    for args in (["-w", "8", "-p", "n"], ["-i", "1"], ["-i", "1", "-b", "0", "-p", "x"]):
        code, out, _ = sercfg(sandbox, *args)
        assert (code, out["ch"], out["parity"]) == (0, "2", "O")
    code, out, _ = sercfg(sandbox, "-i", "1", "-b", "4000000", "-p", "e")
    assert (code, out) == (0, {"ch": "1", "baud": "4000000", "char": "8", "parity": "E", "stop": "1"})
    # A letter that another program stored reads as even parity.
    st.set("ser_par", "Z")
    assert sercfg(sandbox)[1]["parity"] == "E"
    assert sandbox.run("sercfg", "-i", "3").returncode == 1  # option range
    with open("/dev/full", "w") as full:
        r = subprocess.run([sandbox.kelvgd, "sercfg"], stdout=full, env=sandbox.env(), timeout=30)
    assert r.returncode == 1 and sandbox.notify.messages()[-1] == f"ERRNO={errno.ENOSPC}"


class Session:
    """One pass-through session: a client connected over loopback TCP, and
    kelvgd sersrv with the accepted connection as stdin and stdout."""

    def __init__(self, sandbox, stdio=None, preexec=default_sigpipe):
        self.sb = sandbox
        if stdio is None:
            with socket.socket() as listener:
                # Inherited by the accepted socket, the server's.
                for opt in (socket.SO_SNDBUF, socket.SO_RCVBUF):
                    listener.setsockopt(socket.SOL_SOCKET, opt, SMALL_BUF)
                listener.bind(("127.0.0.1", 0))
                listener.listen(1)
                self.client = socket.socket()
                for opt in (socket.SO_SNDBUF, socket.SO_RCVBUF):
                    self.client.setsockopt(socket.SOL_SOCKET, opt, SMALL_BUF)
                self.client.connect(listener.getsockname())
                self.conn, _ = listener.accept()
            stdio = self.conn
        self.proc = sandbox.spawn("sersrv", stdin=stdio, stdout=stdio, preexec_fn=preexec)
        assert sandbox.notify.wait_for("READY=1", 20), self.proc.stderr.read() if self.proc.poll() else ""

    def finish(self, timeout=30):
        """Waits for the server to end; its exit code and stderr."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pytest.fail("the session did not end")
        return self.proc.returncode, self.proc.stderr.read()

    def recv_exactly(self, count, timeout=60):
        self.client.settimeout(timeout)
        data = bytearray()
        while len(data) < count:
            chunk = self.client.recv(count - len(data))
            assert chunk, f"end of data after {len(data)} of {count} bytes"
            data += chunk
        return bytes(data)

    def recv_to_end(self, timeout=60):
        self.client.settimeout(timeout)
        data = bytearray()
        while chunk := self.client.recv(65536):
            data += chunk
        return bytes(data)

    def send_in_background(self, data):
        """Sends from a thread of its own (the send may stall); join() it."""
        t = threading.Thread(target=self.client.sendall, args=(data,), daemon=True)
        t.start()
        return t


@pytest.fixture
def peer(sandbox):
    sandbox.run("sercfg", "-i", "2", "-b", "115200", "-p", "n")
    pty = sandbox.pty(TTY)
    return sandbox.attach(SerialPeer(pty))


def test_one_mebibyte_each_way(sandbox, peer):
    s = Session(sandbox)
    # The server watches its connection for a peer that vanishes.
    assert s.conn.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE) == 1
    assert s.conn.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE) == 30
    s.conn.close()
    assert peer.pty.line() == (115200, 8, "N", 1)

    up, down = os.urandom(MIB), os.urandom(MIB)
    sender = s.send_in_background(up)
    peer.send(down)
    assert s.recv_exactly(MIB) == down
    sender.join(60)
    assert peer.wait_received(MIB, 60), len(peer.received)
    assert peer.received == up

    # The client is done: the server finishes, and says so with end of data.
    s.client.shutdown(socket.SHUT_WR)
    assert s.recv_to_end() == b""
    assert s.finish() == (0, "")
    assert sandbox.notify.messages()[-1] == "ERRNO=0"


def test_a_slow_side_does_not_hold_up_the_other(sandbox, peer):
    s = Session(sandbox)
    up, down = os.urandom(MIB), os.urandom(MIB)

    # The device takes nothing, and the data to it piles up: the data from
    # it still flows to the client.
    peer.pause()
    sender = s.send_in_background(up)
    peer.send(down)
    assert s.recv_exactly(MIB) == down
    assert sender.is_alive() and len(peer.received) < MIB / 2
    peer.resume()
    assert peer.wait_received(MIB, 60) and peer.received == up
    sender.join(60)

    # The client reads nothing: the data to the device still flows.
    more_down, more_up = os.urandom(MIB), os.urandom(MIB)
    peer.send(more_down)
    s.client.sendall(more_up)
    assert peer.wait_received(2 * MIB, 60) and peer.received == up + more_up
    assert not peer.wait_sent(0.5)  # stalled
    assert s.recv_exactly(MIB) == more_down

    s.client.shutdown(socket.SHUT_WR)
    assert s.recv_to_end() == b""
    assert s.finish() == (0, "")


def test_half_close_writes_out_what_was_read(sandbox, peer):
    s = Session(sandbox)
    peer.pause()
    up = os.urandom(200_000)

    def send_all_and_close():
        s.client.sendall(up)
        s.client.shutdown(socket.SHUT_WR)

    sender = threading.Thread(target=send_all_and_close, daemon=True)
    sender.start()
    time.sleep(0.5)
    assert s.proc.poll() is None  # the device has not taken it all
    peer.resume()
    assert peer.wait_received(len(up), 60) and peer.received == up
    sender.join(10)
    assert s.recv_to_end() == b""
    assert s.finish() == (0, "")

    # Once the client has closed its side, the device is not read any more:
    # the client gets what was read before, and the session ends although
    # the device has more to say.
    s = Session(sandbox)
    down = os.urandom(MIB)
    peer.send(down)
    assert not peer.wait_sent(0.5)  # the client reads nothing: stalled
    s.client.shutdown(socket.SHUT_WR)
    got = s.recv_to_end()
    assert 0 < len(got) < MIB / 2 and down.startswith(got)
    assert s.finish() == (0, "")


def test_line_hangup_ends_the_session(sandbox, peer):
    s = Session(sandbox)
    peer.send(b"bye")
    assert s.recv_exactly(3) == b"bye"
    peer.hangup()
    assert s.recv_to_end() == b""
    assert s.finish()[0] == 0


@pytest.mark.parametrize("half_close_first", [False, True])
def test_client_gone_without_sigpipe(sandbox, peer, half_close_first):
    s = Session(sandbox)
    s.conn.close()
    peer.send(os.urandom(MIB))  # keeps the server writing to the client
    assert s.recv_exactly(1000)
    # Unread data makes the close a reset, and the server's next write fails:
    # with a broken pipe when the client had closed its side before.
    if half_close_first:
        s.client.shutdown(socket.SHUT_WR)
        time.sleep(0.2)
    s.client.close()
    code, _ = s.finish()
    assert code == 0, f"exit {code}"


def test_pipes_without_sigpipe(sandbox, peer):
    # Pipes instead of a socket, as when started by hand; the reader of its
    # output goes away while the device keeps talking.
    in_r, in_w = os.pipe()
    out_r, out_w = os.pipe()
    sb = sandbox
    proc = sb.spawn("sersrv", stdin=in_r, stdout=out_w, preexec_fn=default_sigpipe)
    os.close(in_r)
    os.close(out_w)
    assert sb.notify.wait_for("READY=1", 20)
    peer.send(os.urandom(MIB))
    assert len(os.read(out_r, 4096)) > 0
    os.close(out_r)
    time.sleep(0.2)
    os.close(in_w)
    proc.wait(30)
    assert proc.returncode == 0, proc.returncode


def test_sigterm_ends_the_session(sandbox, peer):
    s = Session(sandbox)
    s.proc.send_signal(signal.SIGTERM)
    assert s.recv_to_end() == b""
    assert s.finish() == (0, "")
    assert "STOPPING=1" in sandbox.notify.messages()


def termination_pending():
    """A SIGTERM that came while the starting program had it blocked: it
    waits across exec until the program unblocks it."""
    default_sigpipe()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    os.kill(os.getpid(), signal.SIGTERM)


def test_sigterm_before_the_session_began_ends_it(sandbox, peer):
    s = Session(sandbox, preexec=termination_pending)
    assert s.recv_to_end(timeout=20) == b""
    assert s.finish() == (0, "")


def run_refused(sandbox):
    """Runs a session that must fail at once; its CompletedProcess."""
    a, b = socket.socketpair()
    with a, b:
        return subprocess.run([sandbox.kelvgd, "sersrv"], stdin=a, stdout=a, stderr=subprocess.PIPE,
                              env=sandbox.env(), text=True, timeout=30)


def test_refusals(sandbox, peer):
    # A second session finds the port taken; the first goes on.
    first = Session(sandbox)
    sandbox.notify.clear()
    r = run_refused(sandbox)
    assert r.returncode == 1 and "in use" in r.stderr
    assert sandbox.notify.messages() == [f"ERRNO={errno.EBUSY}"]
    first.client.sendall(b"still here")
    assert peer.wait_received(10, 10) and peer.received == b"still here"
    first.proc.send_signal(signal.SIGTERM)
    assert first.finish()[0] == 0

    # No connection to serve.
    r = subprocess.run([sandbox.kelvgd, "sersrv"], stdin=subprocess.DEVNULL, capture_output=True,
                       env=sandbox.env(), preexec_fn=lambda: os.close(0), timeout=30)
    assert r.returncode == 1 and sandbox.notify.messages()[-1] == f"ERRNO={errno.EBADF}"

    # No port configured, or one that is not there.
    sandbox.state().set("ser_port", 0)
    assert run_refused(sandbox).returncode == 1
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EINVAL}"
    sandbox.run("sercfg", "-i", "1", "-b", "9600")
    assert run_refused(sandbox).returncode == 1
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.ENOENT}"


def session_at_once(sandbox):
    """A session that ends at once: its CompletedProcess, and what the
    client got."""
    a, b = socket.socketpair()
    with a, b:
        r = subprocess.run([sandbox.kelvgd, "sersrv"], stdin=a, stdout=a, stderr=subprocess.PIPE,
                           env=sandbox.env(), text=True, timeout=30)
        b.setblocking(False)
        try:
            return r, b.recv(4096)
        except BlockingIOError:
            return r, b""


def check_relays(sandbox, peer):
    """A whole session on the port, carrying data both ways."""
    before = len(peer.received)
    s = Session(sandbox)
    s.client.sendall(b"up")
    peer.send(b"down")
    assert s.recv_exactly(4, timeout=10) == b"down"
    assert peer.wait_received(before + 2, 10) and peer.received[before:] == b"up"
    s.client.shutdown(socket.SHUT_WR)
    s.recv_to_end()
    assert s.finish() == (0, "")


@pytest.mark.parametrize("device, mask, port, bus", [
    ("cio=0\nrevision=4\n", "3", 2, 1),
    ("cio=0\nrevision=4\n", "0x1", 1, 0),
    ("cio=1\nrevision=3\n", "2", 1, 1),
    ("cio=1\nrevision=4\n", "1", 1, 0),
])
def test_intercom_bus_of_a_running_console_is_refused(sandbox, device, mask, port, bus):
    """Which ports are intercom buses depends on the terminal: CIO boards up
    to revision 3 number them from ttyS0, every other terminal from ttyS1.
    The console crashed and is being restarted: its states file is there."""
    sandbox.write("etc/device.conf", device)
    sandbox.write("etc/parlod-ic.conf", f"ports_mask={mask}\n")
    sandbox.write("run/parlod-ic-states", "")
    sandbox.run("sercfg", "-i", port, "-b", "115200", "-p", "n")
    sandbox.notify.clear()
    r, got = session_at_once(sandbox)
    assert got == f"ttyS{port} is intercom bus {bus} of the voice console: refused\n".encode()
    assert r.returncode == 1
    assert f"ttyS{port} is intercom bus {bus} of the running voice console" in r.stderr
    assert sandbox.notify.messages() == [f"ERRNO={errno.EBUSY}"]


def test_intercom_bus_of_a_stopped_console_is_free(sandbox, peer):
    """ttyS2 is bus 1 of a GPIO-mode terminal. The console runs while its
    states file exists or its pipe has a reader; stopped on purpose, it has
    neither, and the maintainer may take the bus."""
    sandbox.write("etc/device.conf", "cio=0\nrevision=4\n")
    sandbox.write("etc/parlod-ic.conf", "ports_mask=3\n")
    pipe = sandbox.path("run/parlod-cli")
    os.mkfifo(pipe)
    reader = os.open(pipe, os.O_RDWR | os.O_NONBLOCK)
    try:
        r, got = session_at_once(sandbox)
        assert r.returncode == 1 and got.endswith(b"of the voice console: refused\n")
    finally:
        os.close(reader)
    check_relays(sandbox, peer)

    # Only bus 0 is on: ttyS2 is no bus, whether the console runs or not.
    sandbox.write("etc/parlod-ic.conf", "ports_mask=1\n")
    sandbox.write("run/parlod-ic-states", "")
    check_relays(sandbox, peer)


def unit(name):
    cp = configparser.ConfigParser(interpolation=None, strict=False)
    cp.optionxform = str
    cp.read(os.path.join(build_dir(), "systemd", name))
    return cp


def test_socket_activation(sandbox, peer, tmp_path):
    """The shipped units, checked by systemd, and their command run the way
    Accept=yes runs it."""
    sock, service = unit("kelvgd-sersrv.socket"), unit("kelvgd-sersrv@.service")
    assert sock["Socket"]["Accept"] == "yes"
    # Anyone who reaches it gets the serial ports: loopback only.
    assert sock["Socket"]["ListenStream"] == "127.0.0.1:4001"
    assert service["Service"]["StandardInput"] == "socket"
    argv = shlex.split(service["Service"]["ExecStart"])
    assert os.path.basename(argv[0]) == "kelvgd" and argv[1:] == ["sersrv"]

    for name in ("kelvgd-sersrv.socket", "kelvgd-sersrv@.service"):
        text = open(os.path.join(build_dir(), "systemd", name)).read()
        (tmp_path / name).write_text(text.replace(argv[0], sandbox.kelvgd))
    # The manual pages are not installed here: test_install.py checks them.
    r = subprocess.run(["systemd-analyze", "verify", "--man=no", str(tmp_path / "kelvgd-sersrv.socket"),
                        str(tmp_path / "kelvgd-sersrv@.service")], capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (0, "")

    path = sandbox.path("sersrv.sock")
    # The activator hands its children a clean environment, as systemd does.
    env = sandbox.env()
    setenv = [f"--setenv={name}={env[name]}" for name in ("KEL_ROOT", "NOTIFY_SOCKET")]
    activator = sandbox.adopt(subprocess.Popen(
        ["systemd-socket-activate", "--accept", "--inetd", "-l", path, *setenv, sandbox.kelvgd, *argv[1:]],
        env=env, stderr=subprocess.DEVNULL, preexec_fn=default_sigpipe))
    deadline = time.monotonic() + 20
    while not os.path.exists(path):
        assert time.monotonic() < deadline and activator.poll() is None
        time.sleep(0.02)
    for round in range(2):  # one session after the other
        with socket.socket(socket.AF_UNIX) as c:
            # The name appears when the activator binds it, a moment
            # before it listens.
            while c.connect_ex(path) == errno.ECONNREFUSED:
                assert time.monotonic() < deadline and activator.poll() is None
                time.sleep(0.02)
            c.settimeout(30)
            c.sendall(b"ping %d" % round)
            assert peer.wait_received(6 * (round + 1), 30)
            peer.send(b"pong %d" % round)
            assert c.recv(6) == b"pong %d" % round
            c.shutdown(socket.SHUT_WR)
            assert c.recv(1) == b""
            # The session's end says the port is free: a client that connects
            # again at once must not be refused.
            fd = os.open(sandbox.path("dev/" + TTY), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            finally:
                os.close(fd)
    assert peer.received == b"ping 0ping 1"
