"""The device at the far end of a serial line, for tests of the serial
pass-through.

It holds the master side of a pseudo-terminal: every byte the program
writes to its port arrives here and is kept, in order; bytes given to
send() go out to the program's port. Reading can be paused: on a
pseudo-terminal, as on a line with a device that is slow to take its data,
the program's writes then stop once the line's buffers are full.
"""

import os
import select
import threading
import time

POLL = 0.1
CHUNK = 4096


class SerialPeer:
    def __init__(self, pty):
        self.pty = pty
        self._cond = threading.Condition()
        self._received = bytearray()
        self._out = bytearray()
        self._reading = True
        self._closed = False
        self._error = None
        self._wake_r, self._wake_w = os.pipe()
        self._thread = threading.Thread(target=self._serve, name="serial-peer", daemon=True)
        self._thread.start()

    def send(self, data):
        """Queues bytes for the program; they go out as fast as the line takes them."""
        with self._cond:
            self._out += data
        self._wake()

    def pause(self):
        """Stops taking the program's data."""
        with self._cond:
            self._reading = False
        self._wake()

    def resume(self):
        with self._cond:
            self._reading = True
        self._wake()

    @property
    def received(self):
        with self._cond:
            return bytes(self._received)

    def wait_received(self, count, timeout=30.0):
        """Waits until at least count bytes have arrived; whether they did."""
        with self._cond:
            self._cond.wait_for(lambda: len(self._received) >= count or self._error, timeout)
            return len(self._received) >= count

    def wait_sent(self, timeout=30.0):
        """Waits until everything queued has been written to the line."""
        with self._cond:
            self._cond.wait_for(lambda: not self._out or self._error, timeout)
            return not self._out

    def hangup(self):
        """Stops and hangs the line up under the program."""
        self.close()
        self.pty.hangup()

    def close(self):
        """Stops serving. Close the peer before its pty."""
        with self._cond:
            if self._closed:
                return
            self._closed = True
        self._wake()
        self._thread.join(5)
        os.close(self._wake_r)
        os.close(self._wake_w)

    def _wake(self):
        try:
            os.write(self._wake_w, b"x")
        except OSError:
            pass

    def _serve(self):
        fd = self.pty.master
        while True:
            with self._cond:
                if self._closed:
                    return
                rd = [self._wake_r] + ([fd] if self._reading else [])
                wr = [fd] if self._out else []
            try:
                r, w, _ = select.select(rd, wr, [], POLL)
                if self._wake_r in r:
                    os.read(self._wake_r, 64)
                if fd in r:
                    data = os.read(fd, 65536)
                    with self._cond:
                        self._received += data
                        self._cond.notify_all()
                if fd in w:
                    with self._cond:
                        chunk = bytes(self._out[:CHUNK])
                    n = os.write(fd, chunk)
                    with self._cond:
                        del self._out[:n]
                        self._cond.notify_all()
            except BlockingIOError:
                time.sleep(0.001)
            except OSError as e:  # the program hung up its end
                with self._cond:
                    self._error = e
                    self._cond.notify_all()
                return
