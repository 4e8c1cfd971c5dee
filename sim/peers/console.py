"""A stand-in for the voice console's side of its command pipe.

Creates the pipe, keeps every command line it receives, and plays the
console's part of the bell's handshake: "tcmd tr_on" drives the speech-path
line to 1 and "tcmd tr_off" back to 0, through the GPIO files as the real
console does. It can also hold the speaker state file while a call's audio
runs and remove it some time after a "hangup".
"""

import os
import threading
import time


class ConsoleStandIn:
    def __init__(self, sandbox, speech_gpio=49, drive_line=True, hangup_delay=None):
        self.sb = sandbox
        self.path = sandbox.path("run/parlod-cli")
        self.gpio = speech_gpio
        self.drive_line = drive_line
        self.hangup_delay = hangup_delay  # seconds until the speaker file goes; None: it stays
        self.lines = []
        self._stop = threading.Event()
        if not os.path.exists(self.path):
            os.mkfifo(self.path, 0o600)
        # Read-write, so the pipe always has a reader and never sees an end.
        self._fd = os.open(self.path, os.O_RDWR | os.O_NONBLOCK)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def speaker_on(self):
        self.sb.write("var/run/parlod.spk", "1")

    def _drive(self, level):
        with open(self.sb.path(f"sys/class/gpio/gpio{self.gpio}/value"), "w") as f:
            f.write(str(level))

    def _handle(self, line):
        self.lines.append(line)
        if self.drive_line and line == "tcmd tr_on":
            self._drive(1)
        elif self.drive_line and line == "tcmd tr_off":
            self._drive(0)
        elif line == "hangup" and self.hangup_delay is not None:
            threading.Timer(self.hangup_delay, self._speaker_off).start()

    def _speaker_off(self):
        try:
            os.unlink(self.sb.path("var/run/parlod.spk"))
        except FileNotFoundError:
            pass

    def _serve(self):
        pending = b""
        while not self._stop.is_set():
            try:
                data = os.read(self._fd, 4096)
            except BlockingIOError:
                time.sleep(0.005)
                continue
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self._handle(line.decode(errors="replace"))

    def wait_for(self, line, timeout=10):
        deadline = time.monotonic() + timeout
        while line not in self.lines:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def close(self):
        self._stop.set()
        self._thread.join(5)
        os.close(self._fd)
