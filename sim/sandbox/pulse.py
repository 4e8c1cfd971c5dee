"""A private PulseAudio server for tests and the virtual terminal.

User mode, a null sink as the default sink ("spk", its monitor plays back
whatever is played) and a sine source as the microphone ("mic"). Clients
find it through PULSE_SERVER; nothing of the machine's own sound is used.
"""

import array
import os
import re
import shutil
import signal
import subprocess
import threading
import time


def parse_streams(text):
    """[{'index', 'mute', 'role'}] from the output of pactl list sink-inputs
    or source-outputs."""
    streams = []
    for block in re.split(r"\n(?=\S)", text):
        head = re.match(r"(Sink Input|Source Output) #(\d+)", block)
        if not head:
            continue
        mute = re.search(r"^\s*Mute: (\w+)", block, re.M)
        role = re.search(r'^\s*media\.role = "([^"]*)"', block, re.M)
        streams.append({"index": int(head.group(2)), "mute": bool(mute) and mute.group(1) == "yes",
                        "role": role.group(1) if role else None})
    return streams


class PulseServer:
    def __init__(self, directory, mic_frequency=440):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        self.address = f"unix:{directory}/native"
        env = dict(os.environ, XDG_RUNTIME_DIR=directory, PULSE_RUNTIME_PATH=directory, HOME=directory,
                   PULSE_STATE_PATH=directory)
        env.pop("PULSE_SERVER", None)
        self._log = open(os.path.join(directory, "pulseaudio.log"), "w")
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
             "-L", "module-null-sink sink_name=spk",
             "-L", f"module-native-protocol-unix auth-anonymous=1 socket={directory}/native",
             "-L", "module-always-sink",
             "-L", f"module-sine-source source_name=mic frequency={mic_frequency}"],
            env=env, stdout=self._log, stderr=subprocess.STDOUT, start_new_session=True)
        self.clients = []
        deadline = time.monotonic() + 20
        while self.pactl("info", check=False).returncode != 0:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"PulseAudio did not start, see {directory}/pulseaudio.log")
            time.sleep(0.1)
        self.pactl("set-default-sink", "spk")
        self.pactl("set-default-source", "mic")

    def env(self):
        return {"PULSE_SERVER": self.address}

    def pactl(self, *args, check=True):
        return subprocess.run(["pactl", "-s", self.address, *args], capture_output=True, text=True, check=check,
                              timeout=20)

    def _client(self, args):
        p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             env=dict(os.environ, PULSE_SERVER=self.address))
        self.clients.append(p)
        return p

    def play(self, role="phone"):
        """A playback stream with the given media.role, playing silence."""
        return self._client(["pacat", "--playback", f"--property=media.role={role}", "/dev/zero"])

    def record(self, role="phone"):
        """A recording stream with the given media.role."""
        return self._client(["parec", f"--property=media.role={role}", "--file-format=wav", "/dev/null"])

    def streams(self, kind="sink-inputs"):
        """[{'index', 'mute', 'role'}] of the sink inputs or source outputs."""
        return parse_streams(self.pactl("list", kind).stdout)

    def wait_streams(self, count, kind="sink-inputs", timeout=10):
        deadline = time.monotonic() + timeout
        while len(self.streams(kind)) < count:
            if time.monotonic() > deadline:
                raise RuntimeError(f"fewer than {count} {kind}")
            time.sleep(0.05)

    def capture(self, device, rate=8000):
        """A Capture of the device (a source, or a sink's monitor)."""
        return Capture(self, device, rate)

    def feed(self, sink, chunk, rate=8000):
        """A Feed into the sink."""
        return Feed(self, sink, chunk, rate)

    def stop(self):
        for p in self.clients:
            p.kill()
            p.wait()
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self._log.close()

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class Capture:
    """What a source carries, with the time each sample was there. parec
    hands its raw output over as it comes; the time of sample i is taken
    from the reads around it (two seconds either way): the one that came
    with the least delay gives start + i / rate. The figure is late by at
    most the capture's fragment (10 ms), and a stretch the server dropped
    shifts only the times near it."""

    SPAN = 2  # seconds

    def __init__(self, pulse, device, rate=8000):
        self.rate = rate
        self._data = bytearray()
        self._reads = []  # (samples so far, start they imply)
        self.proc = subprocess.Popen(
            ["parec", "-d", device, "--raw", "--format=s16le", f"--rate={rate}", "--channels=1",
             "--latency-msec=10"], stdout=subprocess.PIPE, env=dict(os.environ, **pulse.env()))
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 4096)
            now = time.monotonic()
            if not data:
                return
            self._data += data
            n = len(self._data) // 2
            self._reads.append((n, now - n / self.rate))

    def stop(self):
        """Ends the capture; returns its samples."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        self.proc.wait(timeout=10)
        self._thread.join(10)
        self.proc.stdout.close()
        return self.samples()

    def samples(self):
        return array.array("h", bytes(self._data[:len(self._data) // 2 * 2]))

    def time_of(self, index):
        span = self.SPAN * self.rate
        start = min((s for n, s in self._reads if abs(n - index) <= span), default=None)
        if start is None:
            start = min(s for _, s in self._reads)
        return start + index / self.rate


class Feed:
    """Plays chunk(k), 20 ms of 16-bit samples each, into a sink at its
    real pace; the sink's monitor shows when it played."""

    def __init__(self, pulse, sink, chunk, rate=8000):
        self.chunk = chunk
        self._stop = threading.Event()
        self.proc = subprocess.Popen(
            ["pacat", "--playback", "-d", sink, "--raw", "--format=s16le", f"--rate={rate}", "--channels=1",
             "--latency-msec=20"], stdin=subprocess.PIPE, env=dict(os.environ, **pulse.env()))
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        start = time.monotonic()
        k = 0
        while not self._stop.is_set():
            delay = start + k * 0.02 - time.monotonic()
            if delay > 0 and self._stop.wait(delay):
                break
            try:
                self.proc.stdin.write(array.array("h", self.chunk(k)).tobytes())
                self.proc.stdin.flush()
            except OSError:
                break
            k += 1

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        self.proc.terminate()
        self.proc.wait(timeout=10)
