"""Control concentrators on their shared serial bus, simulated on a
pseudo-terminal.

Up to eight units, addressed 0 to 7, listen on one line (9600 baud, 8 data
bits, no parity, 2 stop bits). The master sends a 4-byte request:

    address + 8, 0x01, command, check

and the addressed unit answers with 7 bytes:

    address + 8, 0x04, command (echoed), status bits, flags, value, check

The check byte makes the bytes of a frame sum to 0 modulo 256. Of the flags
the master reads bit 0 and bit 4. Everything else a unit does is this
model's own choice: a unit answers every valid request addressed to it with
its present status, and keeps the commands it was sent.

Written from the wire format alone. Tests set what each unit reports
(Unit.status, .flags, .value), make units absent (present = False) or
misbehave (Unit.fault, see FAULTS), and read back the requests the bus
carried (requests, junk).
"""

import os
import select
import threading
import time

REQUEST_LEN = 4
REPLY_LEN = 7
BAUD = 9600
BYTE_TIME = 11 / BAUD  # start bit, 8 data bits, 2 stop bits
TURNAROUND = 0.002  # seconds between the end of a request and the reply
POLL = 0.1

# How a unit can answer wrongly, by name:
FAULTS = {
    None: "answers correctly",
    "bad_check": "the check byte is off by one",
    "wrong_address": "answers with the next unit's address",
    "wrong_echo": "echoes another command",
    "wrong_type": "byte 1 is not 0x04",
    "short": "stops after six bytes",
    "extra": "sends two bytes more after a correct reply",
    "late": "answers correctly, but only after 200 ms",
    "slow": "answers correctly, 40 ms between bytes",
    "garbage": "seven bytes of noise",
}


def check_byte(data):
    """The byte that makes data plus it sum to 0 modulo 256."""
    return -sum(data) & 0xFF


def request(addr, cmd):
    body = bytes([addr + 8, 0x01, cmd])
    return body + bytes([check_byte(body)])


def reply(addr, cmd, status, flags, value):
    body = bytes([addr + 8, 0x04, cmd, status, flags, value])
    return body + bytes([check_byte(body)])


class Unit:
    def __init__(self, addr):
        self.addr = addr
        self.present = True
        self.status = 0
        self.flags = 0
        self.value = 0
        self.fault = None
        self.commands = []  # every valid command addressed to this unit

    def answer(self, cmd):
        """(bytes, seconds before the first, seconds between bytes)."""
        f = self.fault
        if f not in FAULTS:
            raise ValueError(f"unknown fault {f!r}")
        good = reply(self.addr, cmd, self.status, self.flags, self.value)
        gap = BYTE_TIME
        if f == "bad_check":
            return good[:-1] + bytes([(good[-1] + 1) & 0xFF]), TURNAROUND, gap
        if f == "wrong_address":
            return reply((self.addr + 1) % 8, cmd, self.status, self.flags, self.value), TURNAROUND, gap
        if f == "wrong_echo":
            return reply(self.addr, cmd ^ 0x01, self.status, self.flags, self.value), TURNAROUND, gap
        if f == "wrong_type":
            body = bytes([self.addr + 8, 0x05, cmd, self.status, self.flags, self.value])
            return body + bytes([check_byte(body)]), TURNAROUND, gap
        if f == "short":
            return good[:6], TURNAROUND, gap
        if f == "extra":
            return good + b"\x55\xaa", TURNAROUND, gap
        if f == "late":
            return good, 0.2, gap
        if f == "slow":
            return good, TURNAROUND, 0.04
        if f == "garbage":
            return bytes([0x3C, 0x00, 0xFF, 0x12, 0x34, 0x56, 0x78]), TURNAROUND, gap
        return good, TURNAROUND, gap


class ConcentratorBus:
    """Serves the master side of a pseudo-terminal from a daemon thread."""

    def __init__(self, pty, count=8):
        self.pty = pty
        self.units = [Unit(a) for a in range(8)]
        for u in self.units[count:]:
            u.present = False
        self._lock = threading.Lock()
        self._requests = []  # (time, address, command) of each valid request
        self._junk = bytearray()  # bytes that were not part of a valid request
        self._closed = False
        self._thread = threading.Thread(target=self._serve, name="concentrators", daemon=True)
        self._thread.start()

    @property
    def requests(self):
        """(address, command) of each valid request seen, in order."""
        with self._lock:
            return [(a, c) for _, a, c in self._requests]

    def request_times(self):
        with self._lock:
            return [t for t, _, _ in self._requests]

    @property
    def junk(self):
        with self._lock:
            return bytes(self._junk)

    def clear(self):
        with self._lock:
            self._requests.clear()
            self._junk.clear()

    def close(self):
        """Stops serving. Close the bus before its pty."""
        self._closed = True
        self._thread.join(5)

    def _serve(self):
        buf = bytearray()
        while not self._closed:
            try:
                ready = select.select([self.pty.master], [], [], POLL)[0]
            except (OSError, ValueError):
                return
            if not ready:
                continue
            try:
                buf += os.read(self.pty.master, 256)
            except BlockingIOError:
                continue
            except OSError:
                return
            while len(buf) >= REQUEST_LEN:
                frame = bytes(buf[:REQUEST_LEN])
                if 8 <= frame[0] < 16 and frame[1] == 0x01 and sum(frame) & 0xFF == 0:
                    del buf[:REQUEST_LEN]
                    self._handle(frame[0] - 8, frame[2])
                else:
                    # Out of step: slide by one byte until a request lines up.
                    with self._lock:
                        self._junk.append(buf.pop(0))

    def _handle(self, addr, cmd):
        with self._lock:
            self._requests.append((time.monotonic(), addr, cmd))
        unit = self.units[addr]
        if not unit.present:
            return
        unit.commands.append(cmd)
        # Each unit answers on its own time: a late one does not hold the
        # others up, it talks over them.
        threading.Thread(target=self._answer, args=unit.answer(cmd), daemon=True).start()

    def _answer(self, data, delay, gap):
        time.sleep(delay)
        for b in data:
            if self._closed:
                return
            try:
                self.pty.write(bytes([b]))
            except OSError:
                return
            time.sleep(gap)
