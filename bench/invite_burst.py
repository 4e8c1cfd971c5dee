#!/usr/bin/python3
"""The voice console in a call under bursts of INVITEs.

In a private network namespace, with the console's PC sound endpoint on a
private PulseAudio server: the console calls a baresip peer, and while the
call runs a sender of this script's own sends bursts of INVITEs to the
console (50 a second by default, each a call of its own, which the console
refuses as busy; the sender acknowledges each refusal). The script watches
that the console stays alive (preferably a build with the address and
undefined-behaviour sanitizers, whose findings end it), that the call stays
up (the console's "calls" command, every ten seconds), and at the end that
the peer's hang-up is answered (the console's 200 to the peer's BYE, seen on
the wire). It prints what it measured: INVITEs sent and answered, the
answers' delay, the call's duration, the console's CPU time and peak
resident memory.

    /usr/bin/python3 bench/invite_burst.py [--minutes 30] [--rate 50] [--burst 50]
        [--parlod build/asan/parlod/parlod] [--kelvgd build/kelvgd/kelvgd]

Exits with status 1 when the console died, reported a sanitizer finding,
lost the call, or left the BYE unanswered.
"""

import argparse
import os
import random
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from console_call import summary  # noqa: E402
from procstat import cpu_seconds, peak_rss_kib  # noqa: E402
from sim.peers.sip_peers import ADDRESS, Baresip, NetNs  # noqa: E402
from sim.sandbox.pulse import PulseServer  # noqa: E402
from sim.sandbox.sandbox import Sandbox  # noqa: E402
from sim.terminal.commands import write_line  # noqa: E402

CONSOLE = (ADDRESS, 5060)
PEER_PORT = 5090
FINDINGS = re.compile(r"ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:")


class Log:
    """The console's output, written to a file and read back from an offset."""

    def __init__(self, path):
        self.path = path
        self.file = open(path, "w")

    def text(self, start=0):
        with open(self.path, errors="replace") as f:
            f.seek(start)
            return f.read()

    def size(self):
        return os.path.getsize(self.path)

    def wait(self, pattern, start=0, timeout=10):
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            m = rx.search(self.text(start))
            if m or time.monotonic() > deadline:
                return m
            time.sleep(0.1)


class InviteSender:
    """INVITEs from a UDP socket of the namespace, each a call of its own,
    in bursts; every final answer is acknowledged, as a user agent does.
    An INVITE without any answer is sent again after 0.5, 1, 2 and 4 s."""

    RETRANSMIT = (0.5, 1.0, 2.0, 4.0)

    def __init__(self, ns, rate, burst):
        self.sock = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind((ADDRESS, 0))
        self.port = self.sock.getsockname()[1]
        self.rate, self.burst = rate, burst
        self.lock = threading.Lock()
        self.pending = {}  # Call-ID: [first sent, times sent, next retransmission, the request]
        self.sent = 0
        self.retransmitted = 0
        self.provisional = 0
        self.finals = {}  # status: count
        self.delays = []  # first sending to the final answer, in ms
        self.unanswered = 0
        self.stray = 0  # answers to nothing of ours, or repeated
        self._stop_sending = threading.Event()
        self._stop = threading.Event()
        self._tag = random.getrandbits(32)
        self._threads = [threading.Thread(target=self._send, daemon=True),
                         threading.Thread(target=self._receive, daemon=True)]
        for t in self._threads:
            t.start()

    def _invite(self, n):
        call_id = f"burst{self._tag:08x}.{n}@{ADDRESS}"
        sdp = "\r\n".join(["v=0", f"o=burst {n} 1 IN IP4 {ADDRESS}", "s=burst", f"c=IN IP4 {ADDRESS}", "t=0 0",
                           f"m=audio {20000 + 2 * (n % 10000)} RTP/AVP 0 101", "a=rtpmap:0 PCMU/8000",
                           "a=rtpmap:101 telephone-event/8000", "a=fmtp:101 0-15", "a=sendrecv", ""]).encode()
        head = [f"INVITE sip:parlod@{CONSOLE[0]}:{CONSOLE[1]} SIP/2.0",
                f"Via: SIP/2.0/UDP {ADDRESS}:{self.port};branch=z9hG4bK{self._tag:08x}.{n};rport",
                "Max-Forwards: 70",
                f"From: <sip:burst{n}@{ADDRESS}:{self.port}>;tag=b{n}",
                f"To: <sip:parlod@{CONSOLE[0]}>",
                f"Call-ID: {call_id}",
                "CSeq: 1 INVITE",
                f"Contact: <sip:burst{n}@{ADDRESS}:{self.port}>",
                "Content-Type: application/sdp",
                f"Content-Length: {len(sdp)}"]
        return call_id, ("\r\n".join(head) + "\r\n\r\n").encode() + sdp

    def _send(self):
        n = 0
        period = self.burst / self.rate
        next_burst = time.monotonic()
        while not self._stop_sending.is_set():
            now = time.monotonic()
            if now >= next_burst:
                for _ in range(self.burst):
                    call_id, data = self._invite(n)
                    n += 1
                    with self.lock:
                        self.pending[call_id] = [time.monotonic(), 1, time.monotonic() + self.RETRANSMIT[0], data]
                        self.sent += 1
                    self.sock.sendto(data, CONSOLE)
                next_burst += period
            with self.lock:
                due = [(k, p) for k, p in self.pending.items() if p[2] <= now]
                for call_id, p in due:
                    if p[1] > len(self.RETRANSMIT):
                        del self.pending[call_id]
                        self.unanswered += 1
                        continue
                    p[2] = now + (self.RETRANSMIT[p[1]] if p[1] < len(self.RETRANSMIT) else 16)
                    p[1] += 1
                    self.retransmitted += 1
                    self.sock.sendto(p[3], CONSOLE)
            self._stop_sending.wait(max(0.0, min(next_burst - time.monotonic(), 0.05)))

    def _receive(self):
        self.sock.settimeout(0.2)
        while not self._stop.is_set():
            try:
                data, source = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            head = data.decode(errors="replace").partition("\r\n\r\n")[0].split("\r\n")
            if not head[0].startswith("SIP/2.0 "):
                continue
            status = int(head[0].split()[1])
            fields = {}
            for line in head[1:]:
                name, _, value = line.partition(":")
                fields.setdefault(name.strip().lower(), value.strip())
            call_id = fields.get("call-id", "")
            with self.lock:
                p = self.pending.get(call_id)
                if p is None:
                    self.stray += 1
                    continue
                if status < 200:
                    self.provisional += 1
                    p[2] = float("inf")  # it is being dealt with: no more retransmissions
                    continue
                del self.pending[call_id]
                self.finals[status] = self.finals.get(status, 0) + 1
                self.delays.append(1000 * (time.monotonic() - p[0]))
            self._ack(fields, status, source)

    def _ack(self, fields, status, source):
        """The ACK of a refusal belongs to the INVITE's transaction; that of
        an acceptance (which no busy console should send) is a request of its
        own, and a BYE follows."""
        via = fields["via"]
        branch = re.search(r"branch=([^;\s]+)", via).group(1)
        if status >= 300:
            lines = [f"ACK sip:parlod@{CONSOLE[0]}:{CONSOLE[1]} SIP/2.0",
                     f"Via: SIP/2.0/UDP {ADDRESS}:{self.port};branch={branch};rport"]
        else:
            lines = [f"ACK sip:parlod@{CONSOLE[0]}:{CONSOLE[1]} SIP/2.0",
                     f"Via: SIP/2.0/UDP {ADDRESS}:{self.port};branch={branch}a;rport"]
        common = ["Max-Forwards: 70", f"From: {fields['from']}", f"To: {fields['to']}",
                  f"Call-ID: {fields['call-id']}"]
        self.sock.sendto(("\r\n".join(lines + common + ["CSeq: 1 ACK", "Content-Length: 0"]) + "\r\n\r\n").encode(),
                         source)
        if status < 300:
            bye = [f"BYE sip:parlod@{CONSOLE[0]}:{CONSOLE[1]} SIP/2.0",
                   f"Via: SIP/2.0/UDP {ADDRESS}:{self.port};branch={branch}b;rport"]
            self.sock.sendto(("\r\n".join(bye + common + ["CSeq: 2 BYE", "Content-Length: 0"]) + "\r\n\r\n")
                             .encode(), source)

    def stop(self, linger=6):
        """Stops sending; answers still on their way are waited for a while."""
        self._stop_sending.set()
        self._threads[0].join(10)
        deadline = time.monotonic() + linger
        while time.monotonic() < deadline:
            with self.lock:
                if not self.pending:
                    break
            time.sleep(0.1)
        self._stop.set()
        self._threads[1].join(10)
        with self.lock:
            self.unanswered += len(self.pending)
            self.pending.clear()
        self.sock.close()

    def summary(self):
        with self.lock:
            return dict(sent=self.sent, retransmitted=self.retransmitted, provisional=self.provisional,
                        finals=dict(self.finals), delays=list(self.delays), unanswered=self.unanswered,
                        stray=self.stray)


class ByeWatch:
    """The SIP requests and answers between the peer and the console, as
    they cross the namespace's loopback: whether the peer's BYE was answered,
    and how soon."""

    def __init__(self, ns):
        self.sock = ns.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.bye_at = None
        self.answer = None  # (status, ms after the first BYE)
        self.byes = 0

    def watch(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.answer is None:
            try:
                frame, meta = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            if meta[2] == socket.PACKET_OUTGOING:
                continue  # each packet on the loopback is seen leaving and arriving
            payload = self._udp(frame)
            if payload is None:
                continue
            sport, dport, data = payload
            text = data.decode(errors="replace")
            first = text.split("\r\n", 1)[0]
            if sport == PEER_PORT and dport == CONSOLE[1] and first.startswith("BYE "):
                self.byes += 1
                self.bye_at = self.bye_at or time.monotonic()
            elif (sport == CONSOLE[1] and dport == PEER_PORT and first.startswith("SIP/2.0 ")
                  and re.search(r"(?im)^CSeq:\s*\d+\s+BYE\s*$", text) and self.bye_at is not None):
                status = int(first.split()[1])
                if status >= 200:
                    self.answer = (status, 1000 * (time.monotonic() - self.bye_at))

    @staticmethod
    def _udp(frame):
        """(source port, destination port, payload) of an IPv4 UDP packet in
        an Ethernet frame (the loopback's), or None."""
        if len(frame) < 14 + 20 + 8 or struct.unpack("!H", frame[12:14])[0] != 0x0800:
            return None
        ip = frame[14:]
        if ip[9] != 17:
            return None
        udp = ip[(ip[0] & 0x0F) * 4:]
        sport, dport, length = struct.unpack("!HHH", udp[:6])
        return sport, dport, udp[8:length]

    def close(self):
        self.sock.close()


class Bench:
    def __init__(self, args):
        self.args = args
        self.sb = Sandbox(args.kelvgd, root=tempfile.mkdtemp(prefix="kel-bench-"))
        self.ns = NetNs()
        self.pulse = self.sb.attach(PulseServer(self.sb.path("pulse")))
        self.sb.write("etc/parlod.conf", "duplex=1\n")
        self.log = Log(self.sb.path("parlod.log"))
        # A sanitizer's finding ends the console: that is what is watched.
        env = self.sb.env(dict(self.pulse.env(),
                               ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:verify_asan_link_order=0",
                               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"))
        self.console = subprocess.Popen(self.ns.cmd([args.parlod, "--sip-port", str(CONSOLE[1]), "--sip-listen",
                                                     ADDRESS]),
                                        env=env, stdin=subprocess.DEVNULL, stdout=self.log.file,
                                        stderr=subprocess.STDOUT)
        if not self.sb.notify.wait_for("READY=1", timeout=60):
            raise RuntimeError("the console did not start:\n" + self.log.text())
        self.peer = None

    def send(self, line):
        write_line(self.sb.path("run/parlod-cli"), line, "the console does not read its pipe")

    def calls(self):
        """The console's answer to "calls": [(token, description)]."""
        start = self.log.size()
        self.send("calls")
        m = self.log.wait(r"No calls\.\n|((?:\d+: \S+ -> \S+ \((?:established|setting up)\)\n)+)", start, 10)
        if not m:
            return None
        return re.findall(r"(\d+): (\S+ -> \S+ \((?:established|setting up)\))", m.group(0))

    def alive(self):
        return self.console.poll() is None

    def run(self):
        args = self.args
        self.peer = Baresip(self.ns, self.sb.root, tone=700, codecs=("g711",))
        self.send(f"call {self.peer.uri}")
        self.peer.wait_event("CALL_ESTABLISHED", timeout=30)
        established = time.monotonic()
        token = None
        for _ in range(20):
            listed = self.calls() or []
            mine = [t for t, what in listed if f"-> {self.peer.uri} (established)" in what]
            if mine:
                token = mine[0]
                break
            time.sleep(0.5)
        if token is None:
            raise RuntimeError("the console does not list the call:\n" + self.log.text()[-2000:])
        cpu0, rss0 = cpu_seconds(self.console.pid), peak_rss_kib(self.console.pid)
        print(f"call {token} to {self.peer.uri} established; INVITEs: {args.rate}/s in bursts of {args.burst}, "
              f"for {args.minutes:g} min", flush=True)

        sender = InviteSender(self.ns, args.rate, args.burst)
        checks = lost = 0
        started = time.monotonic()
        end = started + 60 * args.minutes
        next_check = started + 10
        failure = None
        try:
            while time.monotonic() < end:
                time.sleep(0.5)
                if not self.alive():
                    failure = f"the console died (status {self.console.returncode})"
                    break
                if time.monotonic() >= next_check:
                    next_check += 10
                    listed = self.calls()
                    checks += 1
                    if not listed or (token, f"pc:* -> {self.peer.uri} (established)") not in [
                            (t, w) for t, w in listed]:
                        lost += 1
                        if not any(t == token for t, _ in listed or []):
                            failure = f"the call is gone: {listed}"
                            break
                    if checks % 30 == 0:
                        s = sender.summary()
                        print(f"  {(time.monotonic() - started) / 60:5.1f} min: {s['sent']} INVITEs, "
                              f"answers {s['finals']}, console CPU "
                              f"{cpu_seconds(self.console.pid) - cpu0:.1f} s, "
                              f"peak RSS {peak_rss_kib(self.console.pid)} KiB", flush=True)
        finally:
            sender.stop()
        burst_seconds = time.monotonic() - started
        s = sender.summary()

        bye = None
        if failure is None and self.alive():
            # The peer hangs up: its BYE must be answered.
            watch = ByeWatch(self.ns)
            hangup_at = self.log.size()
            try:
                self.peer.hangup()
                watch.watch(10)
            finally:
                watch.close()
            bye = watch
            cleared = self.log.wait(rf"\nCall {token} from .* cleared: (.*)", hangup_at, 10)
        else:
            cleared = None
        duration = time.monotonic() - established
        cpu = cpu_seconds(self.console.pid) - cpu0 if self.alive() else None
        rss = peak_rss_kib(self.console.pid) if self.alive() else None
        if self.alive():
            self.console.terminate()
            try:
                self.console.wait(60)
            except subprocess.TimeoutExpired:
                self.console.kill()
                self.console.wait()
        findings = FINDINGS.findall(self.log.text())

        answered = sum(s["finals"].values())
        print(f"INVITEs sent: {s['sent']} ({s['sent'] / burst_seconds:.1f}/s over {burst_seconds / 60:.1f} min), "
              f"{s['retransmitted']} sent again; provisional answers {s['provisional']}; "
              f"final answers {answered}: {s['finals']}; unanswered {s['unanswered']}; stray {s['stray']}")
        print(f"final answer delay: {summary(s['delays'])}")
        print(f"call: {duration / 60:.1f} min from set-up to the peer's hang-up; the console listed it established "
              f"at {checks - lost} of {checks} checks")
        if bye is not None:
            print(f"peer's BYE: sent {bye.byes} time(s), " +
                  (f"answered {bye.answer[0]} after {bye.answer[1]:.1f} ms" if bye.answer else "not answered") +
                  (f"; console: call {token} cleared: {cleared.group(1)}" if cleared else "; no clearing reported"))
        if cpu is not None:
            print(f"console: CPU {cpu:.1f} s over the bursts ({1000 * cpu / burst_seconds:.1f} ms per second), "
                  f"peak resident {rss0} KiB at the call's start, {rss} KiB at its end")
        print(f"console exit status {self.console.returncode}; sanitizer findings: {len(findings)}")
        if failure:
            print("FAILED: " + failure)
        ok = (failure is None and not findings and bye is not None and bye.answer is not None
              and bye.answer[0] == 200 and lost == 0)
        if not ok:
            print("console output, last lines:\n" + "\n".join(self.log.text().splitlines()[-40:]))
        return ok

    def close(self):
        if self.peer:
            self.peer.close()
        if self.console.poll() is None:
            self.console.kill()
            self.console.wait()
        self.log.file.close()
        self.ns.close()
        self.sb.close()


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    asan = os.path.join(here, "build/asan/parlod/parlod")
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, default=30)
    ap.add_argument("--rate", type=float, default=50, help="INVITEs a second")
    ap.add_argument("--burst", type=int, default=50, help="INVITEs sent at once")
    ap.add_argument("--parlod", default=asan if os.path.exists(asan) else os.path.join(here, "build/parlod/parlod"))
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    args = ap.parse_args()
    print(f"console: {args.parlod}", flush=True)

    bench = Bench(args)
    try:
        ok = bench.run()
    finally:
        bench.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
