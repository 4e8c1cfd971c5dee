"""RTP for tests and benchmarks, written from RFC 3550 and G.711: µ-law
coding (and A-law decoding), a sender paced by its own clock, a receiver that notes when each
packet came, and onset detection in sampled sound."""

import multiprocessing
import socket
import struct
import threading
import time

RATE = 8000
FRAME = 160  # samples of a 20 ms frame
ULAW_SILENCE = 0xFF


def ulaw(sample):
    """G.711 µ-law of one 16-bit sample."""
    sign = 0x80 if sample < 0 else 0
    magnitude = min(abs(sample), 32635) + 0x84
    exponent = max(e for e in range(8) if magnitude >= 0x80 << e or e == 0)
    mantissa = (magnitude >> (exponent + 3)) & 0x0F
    return ~(sign | exponent << 4 | mantissa) & 0xFF


def _ulaw_decode(byte):
    b = ~byte & 0xFF
    magnitude = (((b & 0x0F) << 3) + 0x84 << ((b >> 4) & 7)) - 0x84
    return -magnitude if b & 0x80 else magnitude


ULAW_DECODE = [_ulaw_decode(b) for b in range(256)]


def encode(samples):
    return bytes(ulaw(int(s)) for s in samples)


def decode(payload):
    return [ULAW_DECODE[b] for b in payload]


def _alaw_decode(byte):
    a = byte ^ 0x55
    segment = (a >> 4) & 7
    magnitude = ((a & 0x0F) << 4) + 8
    if segment:
        magnitude = (magnitude + 0x100) << (segment - 1)
    return magnitude if a & 0x80 else -magnitude


ALAW_DECODE = [_alaw_decode(b) for b in range(256)]


def decode_alaw(payload):
    return [ALAW_DECODE[b] for b in payload]


SILENCE = bytes([ULAW_SILENCE] * FRAME)


def parse(data):
    """(payload type, seq, timestamp, ssrc, payload) of a plain packet, or
    None."""
    if len(data) < 12 or data[0] >> 6 != 2:
        return None
    _, pt, seq, ts, ssrc = struct.unpack("!BBHII", data[:12])
    start = 12 + 4 * (data[0] & 0x0F)
    return pt & 0x7F, seq, ts, ssrc, data[start:]


class Stream:
    """The headers of one sender: sequence numbers and timestamps that
    advance by a packet's samples (a 20 ms frame unless told) per packet."""

    def __init__(self, ssrc=0x1234, pt=0, seq=1, ts=0, samples=FRAME):
        self.ssrc, self.pt, self.seq, self.ts = ssrc, pt, seq, ts
        self.samples = samples  # of a packet, unless told

    def packet(self, payload, samples=None):
        samples = samples or self.samples
        data = struct.pack("!BBHII", 0x80, self.pt, self.seq & 0xFFFF, self.ts & 0xFFFFFFFF, self.ssrc) + payload
        self.seq += 1
        self.ts += samples
        return data


class PacedSender:
    """Sends frame(k) for k = 0, 1, ... at start + k * interval, from a
    process of its own (so that no thread of the caller delays it), and
    catches up without bursts of more than one packet when it is late.
    After join(), sent[k] is the time packet k left and stream has moved on
    by the packets sent."""

    def __init__(self, sock, target, frame, count, interval=0.02, stream=None):
        self.sock, self.target, self.frame, self.count = sock, target, frame, count
        self.interval = interval
        self.stream = stream or Stream()
        self.sent = []
        ctx = multiprocessing.get_context("fork")
        self._result, child = ctx.Pipe(duplex=False)
        self._proc = ctx.Process(target=self._run, args=(child,), daemon=True)
        self._proc.start()
        child.close()

    def _run(self, result):
        sent = []
        start = time.monotonic()
        for k in range(self.count):
            delay = start + k * self.interval - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            data = self.stream.packet(self.frame(k))
            sent.append(time.monotonic())
            try:
                self.sock.sendto(data, self.target)
            except OSError:
                pass
        result.send((sent, self.stream.seq, self.stream.ts))

    def join(self):
        self.sent, self.stream.seq, self.stream.ts = self._result.recv()
        self._proc.join(10)


class Receiver:
    """Collects (time, source address, packet) of what a socket receives."""

    def __init__(self, sock):
        self.sock = sock
        self.packets = []
        self._stop = threading.Event()
        self.sock.settimeout(0.1)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                data, source = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            self.packets.append((time.monotonic(), source, data))

    def stop(self):
        self._stop.set()
        self._thread.join(5)


def onsets(samples, threshold, quiet):
    """Indexes where the sound rises above threshold after at least quiet
    samples below it."""
    found, calm = [], quiet
    for i, x in enumerate(samples):
        if abs(x) > threshold:
            if calm >= quiet:
                found.append(i)
            calm = 0
        else:
            calm += 1
    return found
