"""The LED class of a terminal's front LEDs, simulated.

A small FUSE file system mounted on <sandbox>/sys/class/leds with one
directory per LED ("kel:red" and "kel:green"), each holding brightness,
max_brightness and trigger, and behaving as the kernel's: brightness is
clamped to max_brightness and a brightness of 0 ends the active trigger;
trigger reads as every trigger with the active one in brackets, writing a
trigger's name selects it, leaving a trigger switches the LED off and
"default-on" switches it fully on. Every accepted write is recorded with its
monotonic time, so tests can see a blink pattern.
"""

import errno
import os
import stat
import threading
import time
from dataclasses import dataclass

from fusepy import FuseOSError

from ..sandbox.fusefs import MountedFs

TRIGGERS = ("none", "default-on", "timer", "heartbeat")
ATTRIBUTES = ("brightness", "max_brightness", "trigger")


@dataclass
class Led:
    max_brightness: int = 255
    brightness: int = 0
    trigger: str = "none"


@dataclass
class Event:
    time: float
    led: str
    attr: str  # "brightness" or "trigger"
    value: str  # as written, without the line end


class LedClass(MountedFs):
    def __init__(self, names=("kel:red", "kel:green"), max_brightness=255):
        self.leds = {name: Led(max_brightness=max_brightness) for name in names}
        self.events = []
        self._mutex = threading.Lock()

    # What tests use.

    def preset(self, name, trigger=None, brightness=None):
        """Sets an LED's state as left by the platform; not recorded."""
        with self._mutex:
            led = self.leds[name]
            if trigger is not None:
                led.trigger = trigger
            if brightness is not None:
                led.brightness = brightness

    def led(self, name):
        """(trigger, brightness) of an LED."""
        with self._mutex:
            led = self.leds[name]
            return led.trigger, led.brightness

    def history(self, name=None, attr=None, since=0.0):
        """Recorded writes, oldest first, optionally of one LED or attribute."""
        with self._mutex:
            return [e for e in self.events
                    if (name is None or e.led == name) and (attr is None or e.attr == attr) and e.time >= since]

    def flashes(self, name):
        """(on, off) times of each flash: a write of a non-zero brightness
        followed by a write of 0."""
        out, on = [], None
        for e in self.history(name, "brightness"):
            level = int(e.value)
            if level and on is None:
                on = e.time
            elif not level and on is not None:
                out.append((on, e.time))
                on = None
        return out

    def groups(self, name, since=0.0, gap=0.6):
        """Flash counts of the groups that began at or after since; a pause
        longer than gap seconds between two flashes ends a group. The last
        group may still be growing."""
        counts, last_off, counting = [], None, False
        for on, off in self.flashes(name):
            if last_off is None or on - last_off > gap:
                counting = on >= since
                if counting:
                    counts.append(0)
            if counting:
                counts[-1] += 1
            last_off = off
        return counts

    # The file system.

    def _parse(self, path):
        """(led, attribute) of a path; attribute None for an LED's directory."""
        parts = path.strip("/").split("/")
        if parts[0] not in self.leds or len(parts) > 2 or (len(parts) == 2 and parts[1] not in ATTRIBUTES):
            raise FuseOSError(errno.ENOENT)
        return parts[0], parts[1] if len(parts) == 2 else None

    def getattr(self, path, fh=None):
        now = time.time()
        base = dict(st_uid=0, st_gid=0, st_atime=now, st_mtime=now, st_ctime=now)
        if path == "/":
            return dict(base, st_mode=stat.S_IFDIR | 0o755, st_nlink=2)
        _, attr = self._parse(path)
        if attr is None:
            return dict(base, st_mode=stat.S_IFDIR | 0o755, st_nlink=2)
        mode = 0o444 if attr == "max_brightness" else 0o644
        return dict(base, st_mode=stat.S_IFREG | mode, st_nlink=1, st_size=4096)

    def readdir(self, path, fh):
        if path == "/":
            return [".", ".."] + sorted(self.leds)
        self._parse(path)
        return [".", ".."] + list(ATTRIBUTES)

    def open(self, path, flags):
        _, attr = self._parse(path)
        if attr == "max_brightness" and flags & os.O_ACCMODE != os.O_RDONLY:
            raise FuseOSError(errno.EACCES)
        return 0

    def truncate(self, path, length, fh=None):
        return 0

    def read(self, path, size, offset, fh):
        with self._mutex:
            name, attr = self._parse(path)
            led = self.leds[name]
            if attr == "trigger":
                text = " ".join(f"[{t}]" if t == led.trigger else t for t in TRIGGERS)
            else:
                text = str(getattr(led, attr))
        return (text + "\n").encode()[offset:offset + size]

    def write(self, path, data, offset, fh):
        text = data.decode(errors="replace").strip()
        with self._mutex:
            name, attr = self._parse(path)
            led = self.leds[name]
            if attr == "brightness":
                if not text.isdigit():
                    raise FuseOSError(errno.EINVAL)
                led.brightness = min(int(text), led.max_brightness)
                if led.brightness == 0:
                    led.trigger = "none"
            elif attr == "trigger":
                if text not in TRIGGERS:
                    raise FuseOSError(errno.EINVAL)
                if led.trigger != "none":
                    led.brightness = 0
                led.trigger = text
                if text == "default-on":
                    led.brightness = led.max_brightness
            else:
                raise FuseOSError(errno.EACCES)
            self.events.append(Event(time.monotonic(), name, attr, text))
        return len(data)
