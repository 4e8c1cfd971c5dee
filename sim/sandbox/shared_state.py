"""The daemon's shared state record, as other programs see it.

The layout follows the record's published field order with natural
alignment on x86-64; offsets are computed here, not taken from the daemon.
"""

import contextlib
import socket
import struct

# (name, struct code, count). "sockaddr_in" and "sound_test_result" are the
# two composite types.
FIELDS = [
    ("daemon_loop", "B", 1), ("inputs_valid", "B", 1), ("cio_inputs_valid", "B", 1),
    ("diode", "d", 1), ("temperature", "i", 1), ("vbatt", "i", 1), ("rmux", "i", 1),
    ("vpsu", "d", 1), ("discrete", "i", 22), ("alarm", "B", 22), ("buttoncur", "i", 8),
    ("buttonact", "B", 8), ("pendingbell", "B", 8), ("urate", "I", 1),
    ("cur_spk_min", "i", 1), ("cur_spk_max", "i", 1), ("vol_mic_min", "d", 1),
    ("vol_mic_max", "d", 1), ("sound_ch", "B", 1), ("relays", "B", 1), ("ser_port", "B", 1),
    ("ser_baud", "I", 1), ("ser_bits", "B", 1), ("ser_par", "c", 1), ("ser_stop", "B", 1),
    ("serv_addr", "sockaddr_in", 1), ("num_serv", "B", 1), ("push_en", "B", 1),
    ("serv_upd", "B", 1), ("dumped", "B", 1), ("wdt_disabled", "B", 1), ("wdt_period", "i", 1),
    ("gpiousr", "i", 1), ("batttest", "B", 1), ("error_coproc", "B", 1), ("error_batt", "B", 1),
    ("num_discrete", "B", 1), ("num_buttons", "B", 1), ("num_relays", "B", 1),
    ("num_tsensors", "B", 1), ("temp_sensors", "d", 2), ("temp_mask", "B", 1),
    ("devtype", "B", 1), ("devtype_valid", "B", 1), ("addr_server", "s", 257),
    ("addr_pos", "i", 1), ("addr_len", "i", 1), ("serv_sock_close", "B", 1),
    ("addr_interval", "i", 1), ("pkt_data", "B", 80), ("pkt_len", "B", 1), ("pkt_dir", "B", 1),
    ("si_dur_main", "I", 1), ("read_freq", "I", 1), ("zlib_level", "i", 1), ("mod_vol", "i", 8),
    ("mod_supply", "i", 1), ("mod_override", "B", 1), ("mod_modes", "B", 1), ("mod_num", "B", 1),
    ("stest_res", "sound_test_result", 8), ("stest_mask", "B", 1), ("stest_cnt", "B", 1),
    ("mic_request", "B", 1), ("multi_notify", "B", 1), ("force_notify", "B", 1),
    ("fmm_enabled", "B", 1), ("fmm_icomaddr", "b", 1), ("fmm_soundch", "b", 1),
    ("fmm_discrete", "b", 1), ("fmm_icominp", "b", 1), ("fmm_cabinact", "b", 1),
    ("fmm_invert", "b", 1), ("fmm_active", "B", 1),
]

# struct codes of the composites, with their alignment
COMPOSITES = {
    "sockaddr_in": ("<HHI8x", 4),  # family, port (network order), address
    "sound_test_result": ("<dB7xq", 8),  # vol_mic, amp, ts
}


def _size_align(code):
    if code in COMPOSITES:
        fmt, align = COMPOSITES[code]
        return struct.calcsize(fmt), align
    if code == "s":
        return 1, 1
    size = struct.calcsize("<" + code)
    return size, size


def _layout():
    offsets, offset, max_align = {}, 0, 1
    for name, code, count in FIELDS:
        size, align = _size_align(code)
        offset = (offset + align - 1) // align * align
        offsets[name] = (offset, code, count, size)
        offset += size * count
        max_align = max(max_align, align)
    return offsets, (offset + max_align - 1) // max_align * max_align


OFFSETS, SIZE = _layout()


class StateView:
    """Reads and writes fields of the record in an attached segment."""

    def __init__(self, segment):
        self.seg = segment

    def _unpack(self, code, raw):
        if code == "sockaddr_in":
            family, port, addr = struct.unpack(COMPOSITES[code][0], raw)
            return (family, socket.ntohs(port), socket.inet_ntoa(struct.pack("<I", addr)))
        if code == "sound_test_result":
            return struct.unpack(COMPOSITES[code][0], raw)
        value = struct.unpack("<" + code, raw)[0]
        return value.decode("latin-1") if code == "c" else value

    def get(self, name, index=None):
        offset, code, count, size = OFFSETS[name]
        if code == "s":
            return self.seg.read(offset, count)
        if count > 1 and index is None:
            return [self.get(name, i) for i in range(count)]
        return self._unpack(code, self.seg.read(offset + size * (index or 0), size))

    def set(self, name, value, index=None):
        offset, code, count, size = OFFSETS[name]
        if code == "s":
            self.seg.write(offset, bytes(value)[:count].ljust(count, b"\0"))
            return
        if count > 1 and index is None:
            for i, v in enumerate(value):
                self.set(name, v, i)
            return
        if code == "sockaddr_in":
            family, port, addr = value
            raw = struct.pack("<HH4s8x", family, socket.htons(port), socket.inet_aton(addr))
        elif code == "sound_test_result":
            raw = struct.pack(COMPOSITES[code][0], *value)
        elif code == "c":
            raw = value.encode("latin-1")
        else:
            raw = struct.pack("<" + code, value)
        self.seg.write(offset + size * (index or 0), raw)


# The state lock: a writer takes every reader place of semaphore 3 of the
# set (the gate, semaphore 4, only keeps new readers out while it waits).
STATE_LOCK_SEM, READER_PLACES = 3, 32767


@contextlib.contextmanager
def write_locked(semset):
    """Holds the record's state lock as a writer does, for the block."""
    semset.op([(STATE_LOCK_SEM, -READER_PLACES)])
    try:
        yield
    finally:
        semset.op([(STATE_LOCK_SEM, READER_PLACES)])
