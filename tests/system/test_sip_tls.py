"""SIP over TLS: baresip calls the console over TLS and the console calls it
with ;transport=tls, audio both ways; a peer whose certificate is not
trusted, or names another host, is not called; a key that others may read
is not used. Certificates from a CA of the test's own (sim/peers/tls_ca.py), all
in a network namespace of the test's (root needed)."""

import os
import shutil
import socket
import subprocess
import time

import pytest

from sim.peers.sip_peers import ADDRESS, Baresip, tone_frequency
from sim.peers.tls_ca import TlsCa
from test_console import MIC_HZ, PEER_HZ, Console, pulse, record_loudspeaker  # noqa: F401 (a fixture)

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("baresip"),
                                reason="needs root (network namespaces) and baresip")


@pytest.fixture
def ca(tmp_path):
    return TlsCa(tmp_path / "ca")


@pytest.fixture
def tls_peers(ns, tmp_path):
    """baresip peers with a certificate of their own, trusting ca."""
    made = []

    def make(cert, ca_file, name="peer"):
        p = Baresip(ns, str(tmp_path), name=name, sip_port=5090 + 2 * len(made), ctrl_port=5100 + len(made),
                    tone=PEER_HZ, tls=(cert.combined, ca_file))
        made.append(p)
        return p
    yield make
    for p in made:
        p.close()


def tls_connections(ns, port):
    """Established TCP connections of the namespace with port at either end."""
    out = subprocess.run(ns.cmd(["ss", "-Htn", "state", "established", f"( sport = :{port} or dport = :{port} )"]),
                         capture_output=True, text=True, check=True, timeout=10).stdout
    return [line for line in out.splitlines() if line.strip()]


def configure(sandbox, cert, ca_file):
    sandbox.write("etc/parlod.conf",
                  f"duplex=1\nsip_tls_cert={cert.cert}\nsip_tls_key={cert.key}\nsip_tls_ca={ca_file}\n")


def call_and_hear(console, peer, pulse):
    """A call that is up: both tones heard, the peer hangs up."""
    time.sleep(1)
    assert abs(tone_frequency(record_loudspeaker(pulse)) - PEER_HZ) < 15
    peer.hangup()
    peer.wait_event("CALL_CLOSED")
    assert abs(tone_frequency(peer.received()[-1]) - MIC_HZ) < 15
    console.wait(r"cleared: remote user\n")


def test_calls_over_tls_both_ways(sandbox, ns, pulse, ca, tls_peers):
    configure(sandbox, ca.issue("console", ips=[ADDRESS]), ca.cert)
    console = Console(sandbox, ns, pulse)
    try:
        peer = tls_peers(ca.issue("peer", ips=[ADDRESS]), ca.cert)
        peer.dial(f"sip:parlod@{ADDRESS}:5061;transport=tls")
        console.wait(r"incoming call at .* from sip:peer@")
        peer.wait_event("CALL_ESTABLISHED")
        assert tls_connections(ns, 5061)
        call_and_hear(console, peer, pulse)

        start = console.mark()
        console.send(f"call {peer.tls_uri}")
        console.wait(r"Started call from pc:\* to sip:peer@.*;transport=tls", start=start)
        peer.wait_event("CALL_ESTABLISHED")
        assert tls_connections(ns, 5091)
        call_and_hear(console, peer, pulse)
        assert "SIP TLS" not in console.text()
    finally:
        assert console.stop() == 0


def test_peers_whose_certificates_do_not_hold_are_not_called(sandbox, ns, pulse, ca, tls_peers, tmp_path):
    configure(sandbox, ca.issue("console", ips=[ADDRESS]), ca.cert)
    console = Console(sandbox, ns, pulse)
    try:
        other = TlsCa(tmp_path / "other", name="Other CA")
        stranger = tls_peers(other.issue("stranger", ips=[ADDRESS]), other.cert, name="stranger")
        start = console.mark()
        console.send(f"call {stranger.tls_uri}")
        console.wait(r"\nSIP TLS: certificate of /CN=Other CA refused: self-signed certificate in certificate chain\n",
                     start=start)
        console.wait(r"\nCall 1 from .* cleared: unreachable\n", start=start)

        elsewhere = tls_peers(ca.issue("elsewhere", dns=["elsewhere.test"]), ca.cert, name="elsewhere")
        start = console.mark()
        console.send(f"call {elsewhere.tls_uri}")
        console.wait(r"\nSIP TLS: certificate of .*elsewhere\.test.* refused: it names no host called\n", start=start)
        console.wait(r"\nCall 2 from .* cleared: unreachable\n", start=start)
        assert "established" not in console.text()
    finally:
        assert console.stop() == 0


def test_a_key_that_others_may_read_is_not_used(sandbox, ns, pulse, ca):
    cert = ca.issue("console", ips=[ADDRESS])
    os.chmod(cert.key, 0o644)
    configure(sandbox, cert, ca.cert)
    console = Console(sandbox, ns, pulse)
    try:
        console.wait(rf"\nSIP TLS: the key {cert.key} is readable by others than its owner: not used, "
                     r"no TLS for calls in\n")
        s = ns.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            with pytest.raises(ConnectionRefusedError):
                s.connect((ADDRESS, 5061))
        finally:
            s.close()
        console.send("calls")
        console.wait("No calls.")
    finally:
        assert console.stop() == 0
