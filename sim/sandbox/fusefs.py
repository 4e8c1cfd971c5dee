"""The mounting of the small FUSE file systems that stand in for sysfs."""

import os
import subprocess
import threading
import time

from fusepy import FUSE, Operations


class MountedFs(Operations):
    """A file system served by a thread of this process.

    Reads and writes reach the file system one by one and nothing is
    cached, as with sysfs attributes. Its operations run in that thread:
    they must never touch the mounted files themselves.
    """

    use_ns = True
    _mountpoint = None
    _thread = None

    def mount(self, mountpoint):
        os.makedirs(mountpoint, exist_ok=True)
        self._mountpoint = mountpoint
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        deadline = time.monotonic() + 10
        while not os.path.ismount(mountpoint):
            if time.monotonic() > deadline or not self._thread.is_alive():
                raise RuntimeError(f"cannot mount {type(self).__name__} on {mountpoint}")
            time.sleep(0.01)
        return self

    def _serve(self):
        FUSE(self, self._mountpoint, foreground=True, nothreads=True, direct_io=True,
             entry_timeout=0, attr_timeout=0, negative_timeout=0)

    def unmount(self):
        if self._mountpoint and os.path.ismount(self._mountpoint):
            subprocess.run(["umount", self._mountpoint], check=False)
        if self._thread:
            self._thread.join(10)
        self._mountpoint = None

    def close(self):
        self.unmount()
