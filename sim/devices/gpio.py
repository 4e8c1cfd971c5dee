"""The sysfs GPIO interface of a terminal, simulated.

A small FUSE file system mounted on <sandbox>/sys/class/gpio that behaves as
the kernel's: writing a number to "export" makes the line's directory appear
at once, "direction" takes in, out, low and high, "value" of an input cannot
be written (EPERM), and reads show "in\\n", "0\\n" and so on. Every change is
recorded with its time, and simulators can follow changes as they happen
(the coprocessor sees its reset line) or drive input levels.
"""

import errno
import stat
import threading
import time
from dataclasses import dataclass

from fusepy import FuseOSError

from ..sandbox.fusefs import MountedFs


@dataclass
class Line:
    direction: str = "in"
    value: int = 0  # the driven level of an output
    input: int = 0  # the level an input reads

    def level(self):
        return self.value if self.direction == "out" else self.input


@dataclass
class Event:
    time: float
    gpio: int
    what: str  # "export", "unexport", "direction" or "value"
    value: object


class GpioChip(MountedFs):
    def __init__(self, exported=()):
        self.lines = {n: Line() for n in exported}
        self.events = []
        self.refused = []  # (gpio, attribute, text) of every write the kernel would refuse
        self.listeners = []
        self._mutex = threading.Lock()

    # What tests and simulators use.

    def line(self, n):
        """(direction, value) of an exported line."""
        with self._mutex:
            ln = self.lines[n]
            return ln.direction, ln.level()

    def set_input(self, n, level):
        """Drives the level an input line reads."""
        with self._mutex:
            self.lines[n].input = 1 if level else 0

    def history(self, n=None, what=None):
        """Recorded changes, oldest first, optionally of one line or kind."""
        with self._mutex:
            return [e for e in self.events if (n is None or e.gpio == n) and (what is None or e.what == what)]

    def values(self, n):
        """The levels a line was driven to, in order."""
        return [e.value for e in self.history(n, "value")]

    def exports(self):
        return [e.gpio for e in self.history(what="export")]

    def on_change(self, fn):
        """fn(gpio, what, value) is called after each change. It runs inside
        the file system: it must not touch the mounted files."""
        self.listeners.append(fn)

    # The file system.

    def _record(self, n, what, value):
        self.events.append(Event(time.monotonic(), n, what, value))
        for fn in self.listeners:
            fn(n, what, value)

    def _parse(self, path):
        """(gpio, attribute) of a path inside a line's directory."""
        parts = path.strip("/").split("/")
        if not parts[0].startswith("gpio") or not parts[0][4:].isdigit():
            raise FuseOSError(errno.ENOENT)
        n = int(parts[0][4:])
        if n not in self.lines or len(parts) > 2 or (len(parts) == 2 and parts[1] not in ("direction", "value")):
            raise FuseOSError(errno.ENOENT)
        return n, parts[1] if len(parts) == 2 else None

    def getattr(self, path, fh=None):
        now = time.time()
        base = dict(st_uid=0, st_gid=0, st_atime=now, st_mtime=now, st_ctime=now)
        if path == "/":
            return dict(base, st_mode=stat.S_IFDIR | 0o755, st_nlink=2)
        if path in ("/export", "/unexport"):
            return dict(base, st_mode=stat.S_IFREG | 0o200, st_nlink=1, st_size=4096)
        with self._mutex:
            _, attr = self._parse(path)
        if attr is None:
            return dict(base, st_mode=stat.S_IFDIR | 0o755, st_nlink=2)
        return dict(base, st_mode=stat.S_IFREG | 0o644, st_nlink=1, st_size=4096)

    def readdir(self, path, fh):
        with self._mutex:
            if path == "/":
                return [".", "..", "export", "unexport"] + [f"gpio{n}" for n in sorted(self.lines)]
            self._parse(path)
            return [".", "..", "direction", "value"]

    def open(self, path, flags):
        if path not in ("/export", "/unexport"):
            with self._mutex:
                self._parse(path)
        return 0

    def truncate(self, path, length, fh=None):
        return 0

    def read(self, path, size, offset, fh):
        with self._mutex:
            n, attr = self._parse(path)
            ln = self.lines[n]
            text = (ln.direction if attr == "direction" else str(ln.level())) + "\n"
        return text.encode()[offset:offset + size]

    def write(self, path, data, offset, fh):
        text = data.decode(errors="replace").strip()
        with self._mutex:
            if path in ("/export", "/unexport"):
                if not text.isdigit():
                    raise FuseOSError(errno.EINVAL)
                n = int(text)
                if path == "/export":
                    if n in self.lines:
                        raise FuseOSError(errno.EBUSY)
                    self.lines[n] = Line()
                else:
                    if n not in self.lines:
                        raise FuseOSError(errno.EINVAL)
                    del self.lines[n]
                self._record(n, path[1:], None)
                return len(data)

            n, attr = self._parse(path)
            ln = self.lines[n]
            if attr == "direction":
                if text not in ("in", "out", "low", "high"):
                    self.refused.append((n, attr, text))
                    raise FuseOSError(errno.EINVAL)
                ln.direction = "in" if text == "in" else "out"
                if text != "in":
                    ln.value = 1 if text == "high" else 0
                self._record(n, "direction", ln.direction)
            elif attr == "value":
                if ln.direction != "out":
                    raise FuseOSError(errno.EPERM)
                try:
                    ln.value = 1 if int(text) else 0
                except ValueError:
                    self.refused.append((n, attr, text))
                    raise FuseOSError(errno.EINVAL)
                self._record(n, "value", ln.value)
            else:
                raise FuseOSError(errno.EISDIR)
        return len(data)
