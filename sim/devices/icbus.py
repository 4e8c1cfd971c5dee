"""Intercom units on the terminal's two RS-485 buses, simulated on
pseudo-terminals.

The terminal is the bus master; an intercom speaks only to reply. Every
frame, both ways, is

    [bus address 0-63][L][command][L-1 bytes of payload][CRC]

L counting the command byte and the payload, the CRC being CRC-8 with
polynomial 0x07, initial value 0, no reflection and no final XOR over the
bytes before it. Bit 6 of a full intercom address (0-127) chooses the bus:
port 0 carries 0-63, port 1 carries 64-127. Commands and replies:

    1 audio out   [slot][audio...]      -> [a u16][b u16] (pacing)
    2 status      [flags]               -> [status bits][reset cause]
    3 rel         [value]                  no reply
    4 reset                                no reply: the intercom stops its audio
    5 audio in    [slot][request]       -> [CPU load %][audio...]
    7 clc, 8 prod [value], 9 test          no reply
    10 test result                      -> [result u16]

Byte "slot" of the audio frames names who else replies with a status after
the addressed intercom: an address on the same bus, 0xFE for the addressed
intercom itself, 0xFF for nobody. Bit 0 of the audio-in request asks for
160-byte frames (G.711), else 33-byte ones (GSM 06.10); bit 7 marks a
listen-only call.

This model is written from that format alone. Tests place intercoms at any
addresses, change their status bits and reset causes, give their
microphones a tone and their pacing values a and b, set self-test results,
make replies go wrong on demand (bad CRC, cut short, noise, late, twice,
split in pieces, a unit that talks on after its reply) and read back every frame the terminal sent, with the time
it arrived.
"""

import collections
import ctypes
import ctypes.util
import math
import os
import select
import struct
import threading
import time
import tty

from ..audio import rtp
from ..audio.tones import samples_pitch
from ..sandbox.ptys import PtyPair, realtime

CMD_AUDIO_OUT, CMD_STATUS, CMD_REL, CMD_RESET, CMD_AUDIO_IN = 1, 2, 3, 4, 5
CMD_CLC, CMD_PROD, CMD_TEST, CMD_TEST_RESULT = 7, 8, 9, 10
SLOT_SELF, SLOT_NONE = 0xFE, 0xFF
# Bits of the status byte.
CB_CUR, INP1, INP2, REL, PULSES, AUDIO, CB_PEND = 0x01, 0x02, 0x04, 0x08, 0x20, 0x40, 0x80
# An incomplete frame followed by this much silence on the line is dropped:
# the next byte starts a frame.
GAP = 0.004


def _crc_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = ((c << 1) ^ 0x07) & 0xFF if c & 0x80 else (c << 1) & 0xFF
        table.append(c)
    return table


_TABLE = _crc_table()


def crc8(data, crc=0):
    for b in data:
        crc = _TABLE[crc ^ b]
    return crc


def frame(address, command, payload=b""):
    """A frame as it goes on the wire (address masked to the bus)."""
    body = bytes([address & 63, len(payload) + 1, command]) + bytes(payload)
    return body + bytes([crc8(body)])


def ulaw_encode(sample):
    return rtp.ulaw(sample)


def ulaw_decode(byte):
    return rtp.ULAW_DECODE[byte]


class _Gsm:
    """GSM 06.10 in 33-byte frames, through spandsp when it is there."""

    def __init__(self):
        self.lib = None
        name = ctypes.util.find_library("spandsp")
        if name:
            lib = ctypes.CDLL(name)
            lib.gsm0610_init.restype = ctypes.c_void_p
            lib.gsm0610_init.argtypes = [ctypes.c_void_p, ctypes.c_int]
            for f in (lib.gsm0610_encode, lib.gsm0610_decode):
                f.restype = ctypes.c_int
                f.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
            self.lib = lib

    def encoder(self):
        return self.lib.gsm0610_init(None, 2) if self.lib else None  # GSM0610_PACKING_VOIP

    def encode(self, state, samples):
        out = ctypes.create_string_buffer(33)
        pcm = (ctypes.c_int16 * 160)(*samples)
        self.lib.gsm0610_encode(state, out, pcm, 160)
        return out.raw

    def decode(self, state, data):
        pcm = (ctypes.c_int16 * 160)()
        n = self.lib.gsm0610_decode(state, pcm, data, len(data))
        return list(pcm[:n])


_gsm = _Gsm()


def tone_frequency(samples, rate=8000):
    """The frequency of a tone in 16-bit samples, all of them (sim/audio/tones.py)."""
    return samples_pitch(samples, rate, "the intercom's audio", whole=True)


class Frame:
    """A frame the terminal sent."""

    def __init__(self, time_, port, raw):
        self.time, self.port, self.raw = time_, port, bytes(raw)
        self.valid = len(raw) >= 4 and raw[1] + 3 == len(raw) and crc8(raw) == 0 and raw[0] < 64
        self.address = port * 64 + (raw[0] & 63) if raw else None
        self.command = raw[2] if len(raw) > 2 else None
        self.payload = bytes(raw[3:-1])

    def __repr__(self):
        return f"Frame(t={self.time:.4f} port={self.port} {self.raw.hex(' ')}{'' if self.valid else ' INVALID'})"


class Intercom:
    """One intercom unit. Its attributes may be changed at any time."""

    def __init__(self, address, status=0, rcause=0, tone=None, level=8000, a=0, b=160, cpu=10, test_result=0,
                 keep=None, buffer=None):
        self.address = address
        self.status = status          # the status bits it reports
        self.rcause = rcause          # its reset cause, 7 bits
        self.tone = tone              # Hz of its microphone; None: silence
        self.level = level
        self.a, self.b = a, b         # the pacing values of its audio-out replies
        # With a loudspeaker buffer of this many bytes, a and b follow it
        # instead: a the bytes waiting to be played, b the room left (a
        # buffer that runs low asks for frames sooner, one that fills up
        # for frames later). It plays 8000 bytes a second.
        self.buffer = buffer
        self._level, self._played_at = 0.0, None
        self.cpu = cpu                # CPU load of its audio-in replies
        self.test_result = test_result
        self.sticky_audio = False     # keeps the audio bit through a reset
        self.flag = False             # sets bit 7 of its replies' command byte
        self.silent = False           # replies to nothing
        # After its next reply it goes on talking (a transceiver stuck in
        # transmit): (seconds, seconds between bytes), or None.
        self.babble = None
        self.heard = collections.deque(maxlen=keep)       # audio-out payloads: what its loudspeaker got
        self.requests = collections.deque(maxlen=keep)    # audio-in request bytes
        self.poll_flags = collections.deque(maxlen=keep)  # flags of the polls it answered
        self.commands = collections.deque(maxlen=keep)    # (command, payload) of rel, reset, clc, prod, test
        self._phase = 0.0
        self._gsm_enc = None

    def microphone(self, size):
        """One frame of its microphone: 160 bytes of G.711 or 33 of GSM."""
        samples = []
        for _ in range(160):
            v = 0
            if self.tone:
                v = int(self.level * math.sin(self._phase))
                self._phase = (self._phase + 2 * math.pi * self.tone / 8000) % (2 * math.pi)
            samples.append(v)
        if size == 160:
            return bytes(ulaw_encode(v) for v in samples)
        if _gsm.lib:
            if self._gsm_enc is None:
                self._gsm_enc = _gsm.encoder()
            return _gsm.encode(self._gsm_enc, samples)
        return bytes([0xD0]) + bytes(32)

    def pace(self, now):
        """Takes one frame into the loudspeaker buffer; the a and b to report."""
        if not self.buffer:
            return self.a, self.b
        if self._played_at is not None:
            self._level = max(0.0, self._level - 8000 * (now - self._played_at))
        self._played_at = now
        self._level = min(float(self.buffer), self._level + 160)  # a frame is 20 ms in either codec
        self.a = int(self._level)
        self.b = self.buffer - self.a
        return self.a, self.b

    def heard_frames(self):
        """The audio-out payloads so far (a copy: the bus adds to them)."""
        return list(self.heard)

    def heard_samples(self):
        """What its loudspeaker played, as 16-bit samples."""
        out = []
        dec = None
        for data in self.heard_frames():
            if len(data) == 160:
                out.extend(ulaw_decode(b) for b in data)
            elif _gsm.lib:
                dec = dec or _gsm.encoder()
                out.extend(_gsm.decode(dec, data))
        return out


class IntercomBus:
    """Both buses: two pseudo-terminals linked as the sandbox's dev/ttyS1 and
    dev/ttyS2 (the terminal's ports 0 and 1), served by a thread each."""

    def __init__(self, sandbox, devices=("ttyS1", "ttyS2"), keep=None):
        """keep: how many of the latest frames (and of each intercom's audio
        and requests) the record holds; all of them when None."""
        self.sb = sandbox
        self.devices = devices
        self.keep = keep
        self.intercoms = {}
        self.frames = collections.deque(maxlen=keep)
        self.replies = collections.deque(maxlen=keep)  # (time, port, bytes) of everything the intercoms sent
        self.lock = threading.Condition()
        # Misbehaviour on demand, for the replies still to come.
        self.corrupt_next = 0     # replies with a wrong CRC
        self.truncate_next = 0    # replies cut short
        self.noise_next = []      # byte strings sent instead of the next replies
        self.twice = False        # every reply twice
        self.delay = 0.0          # seconds before each reply
        self.split = False        # replies in two pieces, a millisecond apart
        self.stalled = [False, False]  # a port that takes nothing more (a line that hangs)
        self.babbled = []         # (port, first byte, last byte) of each babble, once over
        self._stall_seen = [threading.Event(), threading.Event()]
        self._stop = threading.Event()
        self._ports = [None, None]
        self._threads = [None, None]
        for port in (0, 1):
            self._open(port)

    # Intercoms.

    def add(self, address, **kw):
        ic = Intercom(address, keep=self.keep, **kw)
        with self.lock:
            self.intercoms[address] = ic
        return ic

    def remove(self, address):
        with self.lock:
            self.intercoms.pop(address, None)

    # Ports.

    def _open(self, port):
        p = PtyPair()
        tty.setraw(p._slave)
        p.link(self.sb.path("dev/" + self.devices[port]))
        self._ports[port] = p
        t = threading.Thread(target=self._serve, args=(port, p), daemon=True)
        self._threads[port] = t
        t.start()

    def vanish(self, port):
        """The port goes away (an adapter unplugged): the terminal's side
        hangs up and the device name leads nowhere."""
        p = self._ports[port]
        self._ports[port] = None
        p.close()
        self._threads[port].join(5)

    def restore(self, port):
        """A new port under the same name (the adapter plugged in again)."""
        self._open(port)

    def jam(self, port, jammed=True):
        """The port takes nothing more (a line that hangs): the simulator
        stops reading, and what the line can buffer is filled up, so that
        the terminal's next write finds it full."""
        self.stalled[port] = jammed
        if not jammed:
            return
        # The serving thread may still be reading: once it is idle, the
        # line fills for good.
        self._stall_seen[port].clear()
        self._stall_seen[port].wait(5)
        slave = self._ports[port]._slave
        os.set_blocking(slave, False)
        # The kernel moves what is buffered on towards the reading side a
        # little later, which makes room again: fill until none comes back.
        for _ in range(100):
            wrote = 0
            try:
                while True:
                    wrote += os.write(slave, b"\0" * 64)
            except BlockingIOError:
                pass
            if not wrote:
                break
            time.sleep(0.05)

    def send_raw(self, port, data):
        """Bytes on the line, unasked."""
        self._ports[port].write(data)

    # The record.

    def sent(self, command=None, address=None, since=0.0, valid=None):
        """Frames the terminal sent, oldest first."""
        with self.lock:
            return [f for f in self.frames if f.time >= since and (command is None or f.command == command)
                    and (address is None or f.address == address) and (valid is None or f.valid == valid)]

    def wait_for(self, condition, timeout=10.0):
        """Waits until condition() is true; returns its last value."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                value = condition()
                if value or time.monotonic() > deadline:
                    return value
                self.lock.wait(0.05)

    def wait_frame(self, timeout=10.0, **kw):
        """The first frame matching sent(**kw), waiting for it."""
        found = self.wait_for(lambda: self.sent(**kw), timeout)
        assert found, f"no frame like {kw} in {timeout} s"
        return found[0]

    # Serving.

    def _serve(self, port, pty):
        realtime()
        fd = pty.master
        buf = bytearray()
        last = 0.0
        while not self._stop.is_set() and self._ports[port] is pty:
            if self.stalled[port]:
                self._stall_seen[port].set()
                time.sleep(0.01)
                continue
            try:
                ready = select.select([fd], [], [], 0.1)[0]
            except (OSError, ValueError):
                return
            if not ready:
                continue
            try:
                data = os.read(fd, 4096)
            except BlockingIOError:
                continue
            except OSError:
                return
            now = time.monotonic()
            if buf and now - last > GAP:
                self._record(Frame(last, port, buf))  # a frame that never ended
                buf.clear()
            last = now
            buf += data
            while len(buf) >= 3 and len(buf) >= buf[1] + 3:
                n = buf[1] + 3
                if crc8(buf[:n]) != 0:
                    self._record(Frame(now, port, buf[:1]))  # not a frame start: skip a byte
                    del buf[:1]
                    continue
                f = Frame(now, port, buf[:n])
                del buf[:n]
                self._record(f)
                self._reply(port, pty, f)

    def _record(self, f):
        with self.lock:
            self.frames.append(f)
            self.lock.notify_all()

    def _status(self, ic, port):
        cmd = CMD_STATUS | (0x80 if ic.flag else 0)
        return frame(ic.address, cmd, bytes([ic.status & 0xFF, ic.rcause & 0x7F]))

    def _reply(self, port, pty, f):
        with self.lock:
            ic = self.intercoms.get(f.address)
            if ic is not None and (ic.silent or ic.address // 64 != port):
                ic = None
            replies = []
            p = f.payload
            flag = 0x80 if ic is not None and ic.flag else 0
            if ic is not None:
                if f.command == CMD_STATUS and p:
                    ic.poll_flags.append(p[0])
                    replies.append(self._status(ic, port))
                elif f.command == CMD_AUDIO_OUT and p:
                    ic.heard.append(bytes(p[1:]))
                    pacing = ic.pace(f.time)
                    replies.append(frame(ic.address, CMD_AUDIO_OUT | flag, struct.pack("<HH", *pacing)))
                elif f.command == CMD_AUDIO_IN and len(p) >= 2:
                    ic.requests.append(p[1])
                    audio = ic.microphone(160 if p[1] & 1 else 33)
                    replies.append(frame(ic.address, CMD_AUDIO_IN | flag, bytes([ic.cpu & 0xFF]) + audio))
                elif f.command == CMD_TEST_RESULT:
                    replies.append(frame(ic.address, CMD_TEST_RESULT | flag, struct.pack("<H", ic.test_result)))
                elif f.command in (CMD_REL, CMD_RESET, CMD_CLC, CMD_PROD, CMD_TEST):
                    ic.commands.append((f.command, bytes(p)))
                    if f.command == CMD_RESET and not ic.sticky_audio:
                        ic.status &= ~AUDIO
            # The poll slot of an audio frame: another status after the reply.
            if f.command in (CMD_AUDIO_OUT, CMD_AUDIO_IN) and p:
                slot = p[0]
                other = ic if slot == SLOT_SELF else self.intercoms.get(port * 64 + slot) if slot < 64 else None
                if other is not None and not other.silent and other.address // 64 == port:
                    other.poll_flags.append(None)
                    replies.append(self._status(other, port))
            replies = [self._misbehave(r) for r in replies]
            if self.twice:
                replies = replies + replies
            delay, split = self.delay, self.split
            babble, ic_babbling = (ic.babble, ic) if ic is not None and ic.babble else (None, None)
            if babble:
                ic_babbling.babble = None
        if not replies:
            return
        if delay:
            time.sleep(delay)
        data = b"".join(replies)
        with self.lock:
            self.replies.append((time.monotonic(), port, data))
        try:
            if split:
                pty.write(data[:len(data) // 2])
                time.sleep(0.001)
                pty.write(data[len(data) // 2:])
            else:
                pty.write(data)
        except OSError:
            pass
        if babble:
            threading.Thread(target=self._babble, args=(port, pty, *babble), daemon=True).start()

    def _babble(self, port, pty, seconds, interval):
        """Random bytes, one every interval, for seconds: what a unit stuck
        in transmit puts on the line."""
        realtime()
        first = time.monotonic()
        end, due = first + seconds, first
        while not self._stop.is_set() and self._ports[port] is pty:
            now = time.monotonic()
            if now >= end:
                break
            if due > now:
                time.sleep(due - now)
            due += interval
            try:
                pty.write(os.urandom(1))
            except OSError:
                break
        with self.lock:
            self.babbled.append((port, first, time.monotonic()))
            self.lock.notify_all()

    def _misbehave(self, reply):
        if self.noise_next:
            return bytes(self.noise_next.pop(0))
        if self.corrupt_next:
            self.corrupt_next -= 1
            return reply[:-1] + bytes([reply[-1] ^ 0x5A])
        if self.truncate_next:
            self.truncate_next -= 1
            return reply[:len(reply) - 2]
        return reply

    def close(self):
        self._stop.set()
        for port in (0, 1):
            if self._threads[port] is not None:
                self._threads[port].join(5)
            if self._ports[port] is not None:
                self._ports[port].close()
