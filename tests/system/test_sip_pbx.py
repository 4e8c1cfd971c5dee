"""The voice console behind a PBX: registration at kamailio with digest
authentication, calls both ways through it, digest challenges from sipp, and
the ends of calls that never come about (no answer, a host that refuses, a far
end that refuses the media). Everything runs in a network namespace of the
test's own (root needed)."""

import hashlib
import os
import re
import shutil
import subprocess
import time

import pytest

from sim.peers.kamailio import PBX_ADDRESS, Kamailio
from sim.peers.sip_peers import ADDRESS, RawUa, tone_frequency
from test_console import MIC_HZ, PEER_HZ, consoles, peers, pulse, record_loudspeaker  # noqa: F401 (fixtures)

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("baresip") or not shutil.which("kamailio"),
                                reason="needs root (network namespaces), baresip and kamailio")

SECRET = "cabin-7f3a"
OPERATOR_PASSWORD = "desk-19c2"
REGISTRAR = f"sip:{PBX_ADDRESS}"
AOR = f"sip:parlod@{PBX_ADDRESS}"


@pytest.fixture
def pbx(sandbox, ns):
    k = Kamailio(ns, sandbox.root, {"parlod": SECRET, "op": OPERATOR_PASSWORD})
    yield k
    k.close()


def configure(sandbox, settings="", secret=SECRET, mode=0o600):
    """/etc/parlod.conf (duplex: the far end's tone would keep the
    microphone muted otherwise) and the password file."""
    sandbox.write("etc/parlod.conf", "duplex=1\n" + settings)
    if secret is not None:
        sandbox.write("etc/parlod-sip.secret", secret + "\n", mode=mode)


def registrations(pbx, start=0, user="parlod"):
    return [line for line in pbx.lines()[start:] if re.search(rf"PBX REGISTERED user={user} ", line)]


@pytest.mark.parametrize("transport", ["udp", "tcp"])
def test_registers_keeps_registered_and_goes_at_stop(sandbox, pbx, consoles, transport):
    registrar = f"{REGISTRAR};transport={transport}"
    configure(sandbox, f"sip_registrar={registrar}\nsip_expires=3\n")
    console = consoles()
    console.wait(rf"\nRegistered at {re.escape(registrar)}\n")
    pbx.wait(rf"PBX REGISTERED user=parlod proto={transport} ")
    # The password was asked for and given.
    assert pbx.lines("PBX CHALLENGE 401 REGISTER to=sip:parlod@"), pbx.lines("PBX ")
    assert list(pbx.locations()) == ["parlod"]
    start = console.mark()
    console.send("status")
    console.wait(rf"Registered at {re.escape(registrar)} as {re.escape(AOR)}\nNo calls\.", start=start)

    # Renewed before it runs out, and said only once.
    mark = pbx.mark()
    time.sleep(7)
    assert len(registrations(pbx, mark)) >= 2
    assert len(re.findall(r"\nRegistered at \S+\n", console.text())) == 1

    # The registrar forgets everything: the next renewal registers again.
    pbx.restart()
    assert pbx.locations() == {}
    mark = pbx.mark()
    pbx.wait("PBX REGISTERED user=parlod ", timeout=10, start=mark)
    assert list(pbx.locations()) == ["parlod"]

    # SIGTERM: the console says goodbye to the registrar, promptly.
    mark = pbx.mark()
    began = time.monotonic()
    assert console.stop() == 0
    assert time.monotonic() - began < 5
    pbx.wait(r"PBX REGISTERED user=parlod .*expires=0", timeout=5, start=mark)
    assert pbx.locations() == {}


def test_password_kept_from_others_or_wrong(sandbox, pbx, consoles):
    # Readable by others: not used, and said so; the registrar turns the
    # console down, and it says that too.
    configure(sandbox, f"sip_registrar={REGISTRAR}\n", mode=0o644)
    console = consoles()
    console.wait(r"\nNot using /etc/parlod-sip.secret: group or others may read it")
    console.wait(rf"\nRegistration at {re.escape(REGISTRAR)} failed: 401 Unauthorized\n")
    assert not pbx.lines("PBX REGISTERED")
    console.send("status")
    console.wait(rf"Registration at {re.escape(REGISTRAR)} as {re.escape(AOR)} failed: 401 Unauthorized")
    assert console.stop() == 0

    # A wrong one: refused the same way, once.
    configure(sandbox, f"sip_registrar={REGISTRAR}\n", secret="not-the-password")
    console = consoles()
    console.wait(rf"\nRegistration at {re.escape(REGISTRAR)} failed: 401 Unauthorized\n")
    time.sleep(1)
    assert console.text().count("failed: 401") == 1
    assert "Not using" not in console.text()
    assert not pbx.lines("PBX REGISTERED")


@pytest.mark.parametrize("transport", ["udp", "tcp", "tls"])
def test_calls_both_ways_through_the_pbx(sandbox, ns, consoles, peers, tmp_path, transport):
    users = {"parlod": SECRET, "op": OPERATOR_PASSWORD}
    if transport == "tls":
        # Certificates for all three: the PBX's is checked by the console,
        # and the console and the operator take the PBX's connections.
        from sim.peers.tls_ca import TlsCa

        ca = TlsCa(tmp_path / "ca")
        server, mine = ca.issue("pbx", ips=[PBX_ADDRESS]), ca.issue("console", ips=[ADDRESS])
        pbx = Kamailio(ns, sandbox.root, users, tls=(server.cert, server.key))
        registrar = f"sip:{PBX_ADDRESS}:5061;transport=tls"
        settings = f"sip_tls_ca={ca.cert}\nsip_tls_cert={mine.cert}\nsip_tls_key={mine.key}\n"
        operator_tls = {"tls": (ca.issue("op", ips=[ADDRESS]).combined, ca.cert)}
    else:
        pbx = Kamailio(ns, sandbox.root, users)
        registrar = f"{REGISTRAR};transport={transport}"
        settings, operator_tls = "", {}
    try:
        configure(sandbox, f"sip_registrar={registrar}\n{settings}")
        console = consoles()
        console.wait(rf"\nRegistered at {re.escape(registrar)}\n")
        pbx.wait(rf"PBX REGISTERED user=parlod proto={transport} ")
        operator = peers("op", registrar=registrar, password=OPERATOR_PASSWORD, **operator_tls)
        pbx.wait(rf"PBX REGISTERED user=op proto={transport} ")

        # The operator calls the terminal by its address of record.
        operator.dial(AOR)
        console.wait(r"incoming call at .* from sip:op@" + re.escape(PBX_ADDRESS))
        operator.wait_event("CALL_ESTABLISHED")
        time.sleep(1.5)
        operator.hangup()
        console.wait(r"\nCall 1 from sip:op@\S+ to \S+ cleared: remote user\n")
        assert abs(tone_frequency(operator.received()[-1]) - MIC_HZ) < 15

        # The terminal calls the operator by name: through the proxy, which
        # wants the password first, from the terminal's address of record.
        start = console.mark()
        mark = pbx.mark()
        console.send("call op")
        console.wait(rf"Started call from pc:\* to sip:op@{re.escape(PBX_ADDRESS)}", start=start)
        pbx.wait(rf"PBX INVITE from={re.escape(AOR)} .* proto={transport}", start=mark)
        pbx.wait(rf"PBX CHALLENGE 407 INVITE from={re.escape(AOR)} ", start=mark)
        pbx.wait(rf"PBX AUTHENTICATED INVITE from={re.escape(AOR)} user=parlod", start=mark)
        operator.wait_event("CALL_ESTABLISHED")
        time.sleep(1)
        assert abs(tone_frequency(record_loudspeaker(console.pulse, 2)) - PEER_HZ) < 15
        console.send("hangup")
        operator.wait_event("CALL_CLOSED")
        console.wait(r"\nCall 2 from pc:\* to \S+ cleared: local user\n", start=start)
        assert abs(tone_frequency(operator.received()[-1]) - MIC_HZ) < 15
        # The BYE went the dialog's way, through the proxy.
        pbx.wait(rf"PBX BYE from={re.escape(AOR)}", start=mark)

        # A number that nobody registered: the PBX says so.
        start = console.mark()
        console.send("call 112")
        console.wait(rf"\nCall 3 from pc:\* to sip:112@{re.escape(PBX_ADDRESS)} cleared: unreachable\n",
                     start=start)
        pbx.wait(rf"PBX NOT FOUND sip:112@{re.escape(PBX_ADDRESS)}")
        assert console.stop() == 0  # un-registers while the PBX is there
    finally:
        pbx.close()


def test_calls_that_never_come_about(sandbox, ns, consoles, peers):
    configure(sandbox, "sip_ring_timeout=3\n", secret=None)
    console = consoles()

    # Nobody answers: the call ends after the ring timeout, the far end
    # stops ringing (CANCEL), and the reason says why.
    peer = peers(answer="manual")
    start = console.mark()
    console.send(f"call {peer.uri}")
    peer.wait_event("CALL_INCOMING")
    began = time.monotonic()
    console.wait(rf"\nCall 1 from pc:\* to {re.escape(peer.uri)} cleared: no answer\n", timeout=15, start=start)
    assert 2.5 < time.monotonic() - began < 10
    peer.wait_event("CALL_CLOSED")
    assert console.stop() == 0

    # A host where nothing takes SIP: its ICMP refusal ends the call at once,
    # not after the INVITE's 32 s of retransmissions. (Without the short
    # ring timeout: a host that is not there is known only after the ARP
    # requests for it have gone unanswered, some 3 s.)
    configure(sandbox, secret=None)
    sandbox.notify.clear()  # the next READY=1 is the new console's
    console = consoles()
    start = console.mark()
    began = time.monotonic()
    console.send(f"call sip:nobody@{ADDRESS}:5999")
    console.wait(r"\nCall 1 from pc:\* to sip:nobody@\S+ cleared: unreachable\n", timeout=30, start=start)
    assert time.monotonic() - began < 8
    # No host there at all.
    began = time.monotonic()
    console.send("call sip:nobody@192.0.2.99")
    console.wait(r"\nCall 2 from pc:\* to sip:nobody@\S+ cleared: unreachable\n", timeout=40, start=start)
    assert time.monotonic() - began < 8

    ua = RawUa(ns)
    try:
        # A far end that takes none of our media says so, and that is
        # what the console reports.
        console.send(f"call {ua.uri}")
        invite = ua.receive_request("INVITE")
        ua.reply(invite, 488, "Not Acceptable Here", to_tag="t488")
        ua.receive_request("ACK")
        console.wait(r"\nCall 3 from pc:\* to \S+ cleared: refused: 488 Not Acceptable Here\n", start=start)

        # A call the console cannot take leaves its line too.
        assert ua.call(ua.offer(((9, "G722/8000"),), events=None)) == 488
        console.wait(rf"\nCall from sip:raw@{ADDRESS} to parlod refused: 488 Not Acceptable Here \(.+\)\n",
                     start=start)
    finally:
        ua.close()
    console.send("calls")
    console.wait("No calls.", start=start)


# sipp as the far end of the console's calls: each scenario answers the
# INVITEs with the challenges listed (a header's text, or None for the answer
# 200 and the call's end by the console's BYE).
def _challenge(status, header):
    reason = "Unauthorized" if status == 401 else "Proxy Authentication Required"
    name = "WWW-Authenticate" if status == 401 else "Proxy-Authenticate"
    return f"""  <recv request="INVITE"/>
  <send><![CDATA[

SIP/2.0 {status} {reason}
[last_Via:]
[last_From:]
[last_To:];tag=sipp[call_number]
[last_Call-ID:]
[last_CSeq:]
{name}: {header}
Content-Length: 0

]]></send>
  <recv request="ACK"/>
"""


_ANSWER = """  <recv request="INVITE"/>
  <send><![CDATA[

SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=sipp[call_number]
[last_Call-ID:]
[last_CSeq:]
Contact: <sip:[local_ip]:[local_port];transport=[transport]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=sipp 1 1 IN IP[local_ip_type] [local_ip]
s=-
c=IN IP[media_ip_type] [media_ip]
t=0 0
m=audio [media_port] RTP/AVP 0
a=rtpmap:0 PCMU/8000

]]></send>
  <recv request="ACK"/>
  <recv request="BYE"/>
  <send><![CDATA[

SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
"""


class Sipp:
    """sipp answering one call in the namespace, the messages it saw kept."""

    PORT = 5070

    def __init__(self, ns, workdir, name, steps):
        self.dir = os.path.join(str(workdir), f"sipp-{name}")
        os.makedirs(self.dir, exist_ok=True)
        scenario = os.path.join(self.dir, "scenario.xml")
        with open(scenario, "w") as f:
            f.write(f'<?xml version="1.0" encoding="ISO-8859-1" ?>\n<scenario name="{name}">\n{"".join(steps)}'
                    "</scenario>\n")
        self.messages = os.path.join(self.dir, "messages.log")
        self.proc = subprocess.Popen(ns.cmd(["sipp", "-sf", scenario, "-i", ADDRESS, "-p", str(self.PORT), "-m", "1",
                                             "-timeout", "30s", "-nostdin", "-trace_msg", "-message_file",
                                             self.messages]),
                                     cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.STDOUT)
        self.uri = f"sip:service@{ADDRESS}:{self.PORT}"
        deadline = time.monotonic() + 10
        while not self._listening(ns):
            assert self.proc.poll() is None and time.monotonic() < deadline, "sipp does not listen"
            time.sleep(0.05)

    def _listening(self, ns):
        out = subprocess.run(ns.cmd(["ss", "-Hulpn", f"sport = :{self.PORT}"]), capture_output=True, text=True,
                             timeout=10).stdout
        return "sipp" in out

    def finish(self):
        """sipp's exit status once its call is over (0: the scenario ran as
        written)."""
        try:
            return self.proc.wait(timeout=30)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()

    def invites(self):
        """The INVITEs it received, each as (request URI, {header: value})."""
        with open(self.messages, errors="replace") as f:
            text = f.read()
        found = []
        for block in text.split("-----------------------------------------------"):
            m = re.search(r"message received \[\d+\] bytes :\n\n(INVITE (\S+) SIP/2.0\n.*?)\n\n", block, re.S)
            if m:
                headers = {}
                for line in m.group(1).splitlines()[1:]:
                    name, _, value = line.partition(":")
                    headers.setdefault(name.strip().lower(), value.strip())
                found.append((m.group(2), headers))
        return found


def check_digest(header, uri, realm, nonce, password, user="parlod", method="INVITE", qop=False):
    """That an Authorization or Proxy-Authorization header answers the
    challenge as RFC 2617 says."""
    assert header and header.startswith("Digest "), header
    fields = {k.lower(): q or b for k, q, b in re.findall(r'(\w+)=(?:"([^"]*)"|([^,\s]+))', header)}
    assert (fields["username"], fields["realm"], fields["nonce"], fields["uri"]) == (user, realm, nonce, uri), fields
    assert fields.get("algorithm", "MD5").upper() == "MD5"

    def md5(text):
        return hashlib.md5(text.encode()).hexdigest()

    ha1, ha2 = md5(f"{user}:{realm}:{password}"), md5(f"{method}:{uri}")
    if qop:
        assert fields["qop"] == "auth" and fields["cnonce"], fields
        want = md5(f"{ha1}:{nonce}:{fields['nc']}:{fields['cnonce']}:auth:{ha2}")
    else:
        assert "qop" not in fields, fields
        want = md5(f"{ha1}:{nonce}:{ha2}")
    assert fields["response"] == want, fields
    return fields


def test_digest_challenges_of_the_far_end(sandbox, ns, consoles):
    configure(sandbox, "")
    console = consoles()

    def answered(name, steps, token):
        """The INVITEs of a call that sipp answers after its challenges."""
        sipp = Sipp(ns, sandbox.root, name, steps + [_ANSWER])
        start = console.mark()
        console.send(f"call {sipp.uri}")
        console.wait(r"Started call from", start=start)
        time.sleep(1)
        console.send("hangup")
        console.wait(rf"\nCall {token} from pc:\* to \S+ cleared: local user\n", start=start)
        assert sipp.finish() == 0
        return sipp.invites()

    # 401 and then 407 (a UAS and a proxy in front of it): both answered,
    # the first again in the last INVITE with its count raised.
    first, second, third = answered("both", [
        _challenge(401, 'Digest realm="uas.test", nonce="n-401-a", qop="auth", algorithm=MD5'),
        _challenge(407, 'Digest realm="proxy.test", nonce="n-407-b", algorithm=MD5')], 1)
    uri = first[0]
    assert "authorization" not in first[1] and "proxy-authorization" not in first[1]
    answer = check_digest(second[1].get("authorization"), uri, "uas.test", "n-401-a", SECRET, qop=True)
    assert answer["nc"] == "00000001"
    check_digest(third[1].get("proxy-authorization"), uri, "proxy.test", "n-407-b", SECRET)
    answer = check_digest(third[1].get("authorization"), uri, "uas.test", "n-401-a", SECRET, qop=True)
    assert answer["nc"] == "00000002"

    # A nonce gone stale is answered afresh.
    _, second, third = answered("stale", [
        _challenge(401, 'Digest realm="uas.test", nonce="n-old", algorithm=MD5'),
        _challenge(401, 'Digest realm="uas.test", nonce="n-new", stale=true, algorithm=MD5')], 2)
    check_digest(second[1].get("authorization"), uri, "uas.test", "n-old", SECRET)
    check_digest(third[1].get("authorization"), uri, "uas.test", "n-new", SECRET)

    # The password refused (the same realm again, nothing stale), or a
    # challenge without a realm: the call ends there, refused, without
    # another try.
    for token, header in (("3", 'Digest realm="uas.test", nonce="n-1", algorithm=MD5'),
                          ("4", 'Digest nonce="n-1", algorithm=MD5')):
        steps = [_challenge(401, header)] * (2 if token == "3" else 1)
        sipp = Sipp(ns, sandbox.root, f"refused{token}", steps)
        start = console.mark()
        console.send(f"call {sipp.uri}")
        console.wait(rf"\nCall {token} from pc:\* to \S+ cleared: refused\n", start=start)
        assert sipp.finish() == 0
        assert len(sipp.invites()) == len(steps)


def test_registration_fails_and_comes_back(sandbox, pbx, consoles):
    """The registrar goes away: the console says so once, tries again after
    its back-off (half a minute to a minute the first time), and registers
    again once the registrar is back."""
    registrar = f"{REGISTRAR};transport=tcp"
    configure(sandbox, f"sip_registrar={registrar}\nsip_expires=2\n")
    console = consoles()
    console.wait(r"\nRegistered at ")
    pbx.stop()
    start = console.mark()
    console.wait(rf"\nRegistration at {re.escape(registrar)} failed: Connection refused\n", timeout=10, start=start)
    failed = time.monotonic()
    pbx.start()
    console.wait(rf"\nRegistered at {re.escape(registrar)}\n", timeout=75, start=start)
    assert time.monotonic() - failed > 20  # not at once: the registrar had just failed
    assert list(pbx.locations()) == ["parlod"]
    assert console.text()[start:].count("failed:") == 1



def test_registrar_out_of_reach_at_start(sandbox, ns, consoles):
    """No route to the registrar yet (a network that comes up after the
    console, as at boot): the REGISTER cannot even be sent, which the console
    says, and it tries again until the registrar is reachable."""
    address = "198.51.100.20"
    registrar = f"sip:{address}"
    configure(sandbox, f"sip_registrar={registrar}\n")
    console = consoles()
    console.wait(rf"\nRegistration at {re.escape(registrar)} failed: Network is unreachable\n")
    pbx = Kamailio(ns, sandbox.root, {"parlod": SECRET}, address=address)  # its address brings the route
    try:
        console.wait(rf"\nRegistered at {re.escape(registrar)}\n", timeout=30)
        pbx.wait("PBX REGISTERED user=parlod ")
        assert console.stop() == 0
    finally:
        pbx.close()
