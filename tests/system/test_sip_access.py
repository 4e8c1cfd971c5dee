"""Who may reach the console over SIP: calls from addresses outside the
access list refused with 403 and their text never run, OPTIONS and
REGISTER answered, and addresses the host gains after start served. The
console, baresip and bare user agents in a network namespace of the test's
own (root needed)."""

import os
import re
import shutil
import subprocess
import time

import pytest

from sim.peers.sip_peers import ADDRESS, RawUa, tone_frequency
from test_console import MIC_HZ, Console, peers, pulse  # noqa: F401 (fixtures)

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("baresip"),
                                reason="needs root (network namespaces) and baresip")

TARGET = f"sip:parlod@{ADDRESS}:5060"
OTHER = "192.0.2.20"  # another host of the test's network; as a registrar, one that never answers


def add_address(ns, address):
    subprocess.run(ns.cmd(["ip", "addr", "add", f"{address}/24", "dev", "kel0"]), check=True, timeout=10)


def del_address(ns, address):
    subprocess.run(ns.cmd(["ip", "addr", "del", f"{address}/24", "dev", "kel0"]), check=True, timeout=10)


@pytest.fixture
def uas(ns):
    made = []

    def make(**kw):
        ua = RawUa(ns, **kw)
        made.append(ua)
        return ua
    yield make
    for ua in made:
        ua.close()


def probe(ua, method):
    """A request outside any dialog: (status, headers, body) of its answer."""
    ua.request(method, new_call=True)
    return ua.response()


def test_without_a_registrar_anyone_may_call_and_probes_are_answered(sandbox, ns, pulse, uas):
    console = Console(sandbox, ns, pulse)
    try:
        console.wait(r"\nSIP: any host may call the console \(neither sip_accept nor sip_registrar is set\)\n")
        ua = uas()
        status, headers, body = probe(ua, "OPTIONS")
        assert status == 200
        allowed = {m.strip() for m in headers["allow"].split(",")}
        assert {"INVITE", "ACK", "BYE", "CANCEL", "INFO", "OPTIONS"} <= allowed
        assert headers["content-type"] == "application/sdp" and "application/sdp" in headers["accept"]
        # What it takes, without media of its own.
        assert re.search(r"^m=audio 0 RTP/AVP( \d+)+\r?$", body, re.M), body
        for codec in ("PCMU/8000", "GSM/8000", "telephone-event/8000"):
            assert codec in body, body

        status, headers, _ = probe(ua, "REGISTER")
        assert status == 405 and "INVITE" in headers["allow"]
        # The probes are no calls.
        assert "incoming call" not in console.text()
        assert ua.call() == 200
        assert ua.bye() == 200
    finally:
        assert console.stop() == 0


def test_with_a_registrar_only_it_may_call_and_strangers_command_nothing(sandbox, ns, pulse, peers, uas):
    add_address(ns, OTHER)
    sandbox.write("etc/parlod.conf", f"duplex=1\nsip_registrar=sip:{OTHER}\n")
    console = Console(sandbox, ns, pulse)
    try:
        console.wait(rf"\nSIP: calls are taken from {re.escape(OTHER)} only\n")

        stranger = peers("stranger")
        stranger.dial(TARGET)
        stranger.wait_event("CALL_CLOSED")
        console.wait(rf"\nSIP call from {re.escape(ADDRESS)} refused: address not in sip_accept\n")

        ua = uas()
        assert ua.call() == 403
        ua.request("INFO", body="sndtest 1000 50", ctype="text/plain")
        assert ua.response()[0] != 200
        for method in ("OPTIONS", "REGISTER"):
            assert probe(ua, method)[0] == 403

        # The registrar (the proxy of the calls to come) may call, and its
        # caller command.
        start = console.mark()
        registrar = uas(local=OTHER)
        assert registrar.call() == 200
        console.wait(r"incoming call at .* from sip:raw@" + re.escape(OTHER), start=start)
        registrar.request("INFO", body="sndtest 1000 50", ctype="text/plain")
        assert registrar.response()[0] == 200
        console.wait(r"\nActivating test signal 1000Hz, level 50%\n", start=start)
        assert registrar.bye() == 200
        assert probe(registrar, "OPTIONS")[0] == 200
        assert probe(registrar, "REGISTER")[0] == 405

        said = console.text()
        assert said.count("User input received") == 1, said
        assert "incoming call at" not in said[:start] and "Activating" not in said[:start], said
    finally:
        assert console.stop() == 0


def test_a_flood_of_refused_calls_is_said_once_then_counted(sandbox, ns, pulse, uas):
    add_address(ns, OTHER)
    sandbox.write("etc/parlod.conf", f"sip_accept={OTHER}\n")
    console = Console(sandbox, ns, pulse)
    try:
        console.wait(r"calls are taken from")
        start = console.mark()
        ua = uas()
        for _ in range(60):
            ua.request("INVITE", body=ua.offer(), new_call=True)
            assert ua.response()[0] == 403
            ua.request("ACK")
        m = console.wait(r"\nSIP calls refused from addresses not in sip_accept: (\d+) more in \d+ s\n", start=start,
                         timeout=15)
        assert int(m.group(1)) == 59
        said = console.text()[start:]
        assert said.count("\nSIP call from") == 1, said
        # The flood kept nobody out who may call.
        assert uas(local=OTHER).call() == 200
    finally:
        assert console.stop() == 0


def test_sip_accept_names_who_may_call(sandbox, ns, pulse, peers, uas):
    add_address(ns, OTHER)
    sandbox.write("etc/parlod.conf", "duplex=1\nsip_accept=192.0.2.0/28, 203.0.113.5 bogus/8\n")
    console = Console(sandbox, ns, pulse)
    try:
        console.wait(r"\nsip_accept: bogus/8: no IPv4 address or network, left out\n")
        console.wait(r"\nSIP: calls are taken from 192\.0\.2\.0/28, 203\.0\.113\.5 only\n")
        peer = peers("operator")
        peer.dial(TARGET)
        peer.wait_event("CALL_ESTABLISHED")
        time.sleep(2)
        peer.hangup()
        peer.wait_event("CALL_CLOSED")
        assert abs(tone_frequency(peer.received()[-1]) - MIC_HZ) < 15
        # 127.0.0.1 is in no entry; 192.0.2.20 lies just past the network.
        assert uas(local="127.0.0.1").call() == 403
        console.wait(r"\nSIP call from 127\.0\.0\.1 refused: address not in sip_accept\n")
        assert uas(local=OTHER).call() == 403
    finally:
        assert console.stop() == 0


def wait_options(ua, timeout=10):
    """Until OPTIONS to the ua's target is answered: the status."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            ua.request("OPTIONS", new_call=True)
            return ua.response(timeout=0.5)[0]
        except (AssertionError, OSError):
            if time.monotonic() > deadline:
                raise AssertionError(f"no answer from {ua.target} in {timeout} s")


def test_an_address_gained_after_start_is_served(sandbox, ns, pulse, uas):
    console = Console(sandbox, ns, pulse, listen=None)
    late = "192.0.2.30"
    try:
        add_address(ns, late)
        console.wait(rf"\nSIP: listening on {re.escape(late)}\n", timeout=10)
        ua = uas(target=(late, 5060))
        assert wait_options(ua, timeout=5) == 200
        assert ua.call() == 200
        console.wait(r"incoming call at")
        assert ua.bye() == 200
        console.wait(r"cleared: remote user\n")
        # Its socket's errors are heard too: a port nobody listens on
        # refuses the call at once.
        start = console.mark()
        console.send(f"call sip:nobody@{late}:5999")
        console.wait(r"\nCall \d+ from .* cleared: unreachable\n", start=start, timeout=5)

        start = console.mark()
        del_address(ns, late)
        console.wait(rf"\nSIP: {re.escape(late)} is gone\n", start=start, timeout=10)
        add_address(ns, late)
        console.wait(rf"\nSIP: listening on {re.escape(late)}\n", start=start, timeout=10)
        assert wait_options(uas(target=(late, 5060)), timeout=5) == 200
        assert "cannot listen" not in console.text()
    finally:
        assert console.stop() == 0
