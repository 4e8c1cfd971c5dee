"""Real peers for SIP tests and the virtual terminal: a private network namespace, baresip
instances driven through ctrl_tcp, the sip_probe driver, and a bare SIP user agent
for the requests baresip does not send (INFO, broken messages)."""

import ctypes
import glob
import json
import os
import queue
import re
import socket
import struct
import subprocess
import threading
import time
import wave

from ..audio.tones import samples_pitch

ADDRESS = "192.0.2.10"
CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


class NetNs:
    """A network namespace of the test's own, with loopback and one veth address
    (libre, and so baresip, wants a non-loopback interface for media). A holder
    process keeps it; it ends when its standard input closes, so a test run that
    dies leaves nothing behind."""

    def __init__(self):
        script = ("ip link set lo up && ip link add kel0 type veth peer name kel1 && "
                  f"ip addr add {ADDRESS}/24 dev kel0 && ip link set kel0 up && ip link set kel1 up && "
                  "echo up && exec cat >/dev/null")
        self.holder = subprocess.Popen(["unshare", "-n", "sh", "-c", script], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, text=True)
        if self.holder.stdout.readline().strip() != "up":
            self.close()
            raise RuntimeError("cannot set up the network namespace (root needed)")
        self.path = f"/proc/{self.holder.pid}/ns/net"
        self._ns = open(self.path)
        # The interface may take a moment to leave its tentative state.
        deadline = time.monotonic() + 10
        while True:
            try:
                s = self.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind((ADDRESS, 0))
                s.close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def cmd(self, argv):
        return ["nsenter", f"--net={self.path}", *argv]

    def socket(self, *args):
        """A socket that lives in the namespace (made there by this thread)."""
        with open("/proc/thread-self/ns/net") as mine:
            if _libc.setns(self._ns.fileno(), CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
            try:
                return socket.socket(*args)
            finally:
                _libc.setns(mine.fileno(), CLONE_NEWNET)

    def close(self):
        if getattr(self, "_ns", None):
            self._ns.close()
        self.holder.stdin.close()
        self.holder.wait(timeout=10)


class Lines:
    """Lines of a stream, collected by a thread, waited for by pattern."""

    def __init__(self, stream=None):
        self.lines = []
        self._cond = threading.Condition()
        if stream:
            self.follow(stream)

    def follow(self, stream):
        """Collects another stream's lines too, after those so far (a
        program started again); returns the thread that reads it."""
        thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        thread.start()
        return thread

    def _read(self, stream):
        for line in stream:
            with self._cond:
                self.lines.append(line.rstrip("\n"))
                self._cond.notify_all()

    def wait(self, pattern, timeout=15, start=0):
        """The first line from index start that matches, as (match, index)."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.lines):
                    m = rx.search(self.lines[i])
                    if m:
                        return m, i
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no line like {pattern!r} in {timeout} s; got:\n" +
                                         "\n".join(self.lines))
                self._cond.wait(left)

    def all(self):
        with self._cond:
            return list(self.lines)


class Probe:
    """The sip_probe driver in the namespace."""

    def __init__(self, ns, binary, workdir, *args):
        self.record = os.path.join(workdir, "probe-rec")
        os.makedirs(self.record, exist_ok=True)
        self._err_path = os.path.join(workdir, "probe.err")
        self._err = open(self._err_path, "w")
        self.proc = subprocess.Popen(ns.cmd([binary, "--record", self.record, *map(str, args)]),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._err,
                                     text=True, bufsize=1)
        self.out = Lines(self.proc.stdout)
        self.wait("^ready$")

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait(self, pattern, timeout=15, start=0):
        return self.out.wait(pattern, timeout, start)[0]

    def mark(self):
        return len(self.out.all())

    def sockets(self):
        start = self.mark()
        self.send("sockets")
        _, end = self.out.wait("^sockets done$", start=start)
        found = []
        for line in self.out.all()[start:end]:
            if line.startswith("socket "):
                found.append(dict(kv.split("=", 1) for kv in line.split()[1:]))
        return found

    def recording(self, token):
        return os.path.join(self.record, f"call-{token}.wav")

    def stderr(self):
        with open(self._err_path) as f:
            return f.read()

    def close(self):
        """Ends the probe; it must exit by itself, cleanly."""
        if self.proc.poll() is None:
            try:
                self.send("quit")
            except BrokenPipeError:
                pass
        try:
            code = self.proc.wait(timeout=20)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self._err.close()
        return code


class Baresip:
    """A baresip user agent "peer" in the namespace, answering by itself, its
    microphone a sine, recording what it hears (sndfile). audio_codecs: the
    account's codecs in its order (e.g. ("PCMA",)), None for every codec of
    the modules; mediaenc: "srtp" (SDES keys offered on RTP/AVP, taken when
    offered), "srtp-mand" (offered on RTP/SAVP, required) or None (plain RTP).
    registrar: a registrar's URI (sim/peers/kamailio.py) to register at with password,
    as sip:NAME@its host (self.aor), sending every request through it."""

    def __init__(self, ns, workdir, name="peer", sip_port=5090, ctrl_port=5100, tone=700, codecs=("g711", "gsm"),
                 answer="auto", address=ADDRESS, audio_codecs=None, mediaenc=None, tls=None, registrar=None,
                 password=None):
        self.ns = ns
        self.dir = os.path.join(workdir, f"baresip-{name}")
        self.rec = os.path.join(self.dir, "rec")
        os.makedirs(self.rec, exist_ok=True)
        # On 127.0.0.1 it still sends its media from the veth address: the
        # shape of a peer behind NAT or with two interfaces.
        self.uri = f"sip:{name}@{address}:{sip_port}"
        modules = "".join(f"module           {c}.so\n" for c in tuple(codecs) + (("srtp",) if mediaenc else ()))
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write(f"""poll_method      epoll
sip_listen       {address}:{sip_port}
audio_player     aubridge,nil
audio_source     ausine,{tone}
audio_alert      aufile,/dev/null
ausrc_srate      48000
ausrc_channels   2
auplay_srate     48000
snd_path         {self.rec}
module_path      /usr/lib/baresip/modules
{modules}module           ausine.so
module           aufile.so
module           aubridge.so
module           sndfile.so
module_app       account.so
module_app       menu.so
module_app       ctrl_tcp.so
ctrl_tcp_listen  127.0.0.1:{ctrl_port}
""")
            # TLS listens on the SIP port + 1 whatever; with a certificate
            # (its file also holding the key) and the authorities it trusts,
            # it works: tls_uri reaches it so.
            if tls:
                certificate, cafile = tls
                f.write(f"sip_certificate  {certificate}\nsip_cafile       {cafile}\n")
        self.tls_uri = f"sip:{name}@{address}:{sip_port + 1};transport=tls"
        with open(os.path.join(self.dir, "accounts"), "w") as f:
            params = f";regint=0;answermode={answer}"
            self.aor = self.uri
            if registrar:
                self.aor = f"sip:{name}@" + re.match(r"sip:([^:;>]+)", registrar).group(1)
                params = f';regint=600;auth_pass={password};outbound="{registrar}";answermode={answer}'
            if audio_codecs:
                params += ";audio_codecs=" + ",".join(audio_codecs)
            if mediaenc:
                params += f";mediaenc={mediaenc}"
            f.write(f"<{self.aor}>{params}\n")
        self._log = open(os.path.join(self.dir, "log"), "w")
        self.proc = subprocess.Popen(ns.cmd(["baresip", "-f", self.dir]), stdin=subprocess.DEVNULL,
                                     stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        while True:
            self.ctrl = ns.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                self.ctrl.connect(("127.0.0.1", ctrl_port))
                break
            except OSError:
                self.ctrl.close()
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("baresip did not start:\n" + self.log())
                time.sleep(0.1)
        self.events = queue.Queue()
        self._responses = queue.Queue()
        self._token = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            try:
                data = self.ctrl.recv(4096)
            except OSError:
                return
            if not data:
                return
            buf += data
            while True:  # netstrings: "<length>:<json>,"
                colon = buf.find(b":")
                if colon < 0:
                    break
                n = int(buf[:colon])
                if len(buf) < colon + 1 + n + 1:
                    break
                msg = json.loads(buf[colon + 1:colon + 1 + n])
                buf = buf[colon + 1 + n + 1:]
                (self.events if msg.get("event") else self._responses).put(msg)

    def command(self, command, params=""):
        self._token += 1
        body = json.dumps({"command": command, "params": params, "token": str(self._token)}).encode()
        self.ctrl.sendall(str(len(body)).encode() + b":" + body + b",")
        return self._responses.get(timeout=10)

    def dial(self, uri):
        return self.command("dial", uri)

    def hangup(self):
        return self.command("hangup")

    def wait_event(self, kind, timeout=15):
        """The next event of the kind (CALL_ESTABLISHED, CALL_CLOSED, ...)."""
        deadline = time.monotonic() + timeout
        seen = []
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"baresip sent no {kind}; events: {seen}\n" + self.log())
            try:
                ev = self.events.get(timeout=left)
            except queue.Empty:
                continue
            seen.append(ev)
            if ev.get("type") == kind:
                return ev

    def received(self):
        """The recordings of what baresip heard, oldest first."""
        return sorted(glob.glob(os.path.join(self.rec, "dump-*-dec.wav")))

    def log(self):
        if not self._log.closed:
            self._log.flush()
        with open(os.path.join(self.dir, "log")) as f:
            return f.read()

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def close(self):
        try:
            self.ctrl.close()
        except OSError:
            pass
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()


def tone_frequency(path):
    """The frequency of the tone in a WAV file (sim/audio/tones.py), so that a gap
    does not read as a lower pitch."""
    with wave.open(path) as w:
        n, channels, rate = w.getnframes(), w.getnchannels(), w.getframerate()
        samples = struct.unpack(f"<{n * channels}h", w.readframes(n))[::channels]
    return samples_pitch(samples, rate, path)


class RawUa:
    """A bare SIP user agent over UDP: for requests baresip cannot send (INFO
    with text) and for broken ones, and for descriptions that baresip does
    not write (a host name for the media). It keeps one dialog at a time.
    rtp_address: where its RTP socket is bound; local: the address it sends
    its requests from, and names in them."""

    def __init__(self, ns, target=(ADDRESS, 5060), rtp_address=ADDRESS, local=ADDRESS):
        self.target, self.local = target, local
        self.sock = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((local, 0))
        self.port = self.sock.getsockname()[1]
        self.uri = f"sip:raw@{local}:{self.port}"
        self.rtp = ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtp.bind((rtp_address, 0))
        self.rtp_port = self.rtp.getsockname()[1]
        self.cseq = 0
        self.call_id = None
        self.invite_status = None
        self.branch = 0

    def close(self):
        self.sock.close()
        self.rtp.close()

    def raw(self, data):
        self.sock.sendto(data, self.target)

    def offer(self, payloads=((0, "PCMU/8000"),), events=101, host=ADDRESS):
        """A description of our audio (an offer or an answer); host: what its
        connection line names."""
        pts = [str(pt) for pt, _ in payloads] + ([str(events)] if events is not None else [])
        lines = ["v=0", f"o=raw 1 1 IN IP4 {self.local}", "s=raw", f"c=IN IP4 {host}", "t=0 0",
                 f"m=audio {self.rtp_port} RTP/AVP {' '.join(pts)}"]
        lines += [f"a=rtpmap:{pt} {name}" for pt, name in payloads]
        if events is not None:
            lines += [f"a=rtpmap:{events} telephone-event/8000", f"a=fmtp:{events} 0-15"]
        return "\r\n".join(lines + ["a=sendrecv", ""])

    def request(self, method, uri=None, body=None, ctype="application/sdp", headers=(), new_call=False,
                contact=True):
        if new_call or not self.call_id:
            self.call_id = f"raw{time.monotonic_ns()}@{self.local}"
            self.from_tag = f"f{time.monotonic_ns() % 100000}"
            self.to_tag = None
            self.remote_target = None
        self.cseq += 1
        self.branch += 1
        uri = uri or self.remote_target or f"sip:parlod@{self.target[0]}:{self.target[1]}"
        to = f"<sip:parlod@{self.target[0]}>" + (f";tag={self.to_tag}" if self.to_tag else "")
        refused = method == "ACK" and self.invite_status != 200
        if refused:
            to = self.invite_to
        cseq = self.cseq if method != "ACK" else self.invite_cseq
        branch = f"z9hG4bK{self.call_id[3:12]}x{self.branch}"
        if method == "INVITE":
            self.invite_cseq, self.invite_branch = self.cseq, branch
        elif refused:
            branch = self.invite_branch  # the ACK of a refusal ends the INVITE's transaction
        self.expect = f"{cseq} {'INVITE' if method == 'ACK' else method}"
        body_bytes = (body or "").encode()
        hdrs = [f"{method} {uri} SIP/2.0",
                f"Via: SIP/2.0/UDP {self.local}:{self.port};branch={branch};rport",
                "Max-Forwards: 70",
                f"From: <sip:raw@{self.local}:{self.port}>;tag={self.from_tag}",
                f"To: {to}",
                f"Call-ID: {self.call_id}",
                f"CSeq: {cseq} {method}"]
        if contact:
            hdrs.append(f"Contact: <sip:raw@{self.local}:{self.port}>")
        hdrs += list(headers)
        if body is not None:
            hdrs.append(f"Content-Type: {ctype}")
        hdrs.append(f"Content-Length: {len(body_bytes)}")
        self.raw(("\r\n".join(hdrs) + "\r\n\r\n").encode() + body_bytes)

    def response(self, timeout=10, final=True):
        """The next (final) response: (status, headers, body)."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no response")
            self.sock.settimeout(left)
            data, _ = self.sock.recvfrom(65536)
            head, _, body = data.decode(errors="replace").partition("\r\n\r\n")
            lines = head.split("\r\n")
            if not lines[0].startswith("SIP/2.0 "):
                continue  # a request from the other side
            status = int(lines[0].split()[1])
            headers = {}
            for line in lines[1:]:
                name, _, value = line.partition(":")
                headers.setdefault(name.strip().lower(), value.strip())
            if headers.get("cseq") != self.expect or (final and status < 200):
                continue  # a provisional, or a late copy of an earlier one
            if self.expect.endswith(" INVITE"):
                self.invite_status, self.invite_to = status, headers.get("to", "")
            return status, headers, body

    def call(self, body=None, ack_body=None, **kw):
        """INVITE and ACK; the final status (and the dialog when it is 200).
        body "" sends no offer, and ack_body then carries the answer."""
        self.request("INVITE", body=body if body is not None else self.offer(), new_call=True, **kw)
        status, headers, answer = self.response()
        if status == 200:
            self.to_tag = re.search(r"tag=([^;>\s]+)", headers["to"]).group(1)
            self.remote_target = re.search(r"<([^>]+)>", headers["contact"]).group(1)
            self.answer = answer
        self.request("ACK", body=ack_body)
        return status

    def receive_request(self, method, timeout=10):
        """The next request of the method, as (header lines, body, source);
        others that come first are dropped."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {method}")
            self.sock.settimeout(left)
            data, source = self.sock.recvfrom(65536)
            head, _, body = data.decode(errors="replace").partition("\r\n\r\n")
            lines = head.split("\r\n")
            if lines[0].startswith(method + " "):
                return lines, body, source

    def reply(self, request, status, reason, body=None, to_tag=None):
        """Answers a request from receive_request()."""
        lines, _, source = request
        hdrs = [f"SIP/2.0 {status} {reason}"]
        for line in lines[1:]:
            name = line.partition(":")[0].strip().lower()
            if name == "to" and to_tag:
                line += f";tag={to_tag}"
            if name in ("via", "from", "to", "call-id", "cseq"):
                hdrs.append(line)
        hdrs.append(f"Contact: <{self.uri}>")
        body_bytes = (body or "").encode()
        if body is not None:
            hdrs.append("Content-Type: application/sdp")
        hdrs.append(f"Content-Length: {len(body_bytes)}")
        self.sock.sendto(("\r\n".join(hdrs) + "\r\n\r\n").encode() + body_bytes, source)

    def accept(self, body=None, timeout=10):
        """Takes a call: answers the next INVITE with 200 and body (our
        answer, self.offer() unless told), and waits for its ACK. The caller's
        offer becomes self.answer, for rtp_peer(). The caller ends the call:
        see answer_bye()."""
        invite = self.receive_request("INVITE", timeout)
        self.answer = invite[1]
        self.reply(invite, 200, "OK", body if body is not None else self.offer(),
                   to_tag=f"t{time.monotonic_ns() % 100000}")
        self.receive_request("ACK", timeout)

    def answer_bye(self, timeout=10):
        self.reply(self.receive_request("BYE", timeout), 200, "OK")

    def rtp_peer(self):
        """Where the endpoint takes our RTP, from its description."""
        addr = re.search(r"c=IN IP4 (\S+)", self.answer).group(1)
        port = int(re.search(r"m=audio (\d+)", self.answer).group(1))
        return addr, port

    def bye(self):
        self.request("BYE")
        return self.response()[0]
