"""The PC sound endpoint against a private PulseAudio server.

The driver (tests/tools/pcsound_probe) runs the endpoint with a call
manager and takes commands on its standard input. The server's "mic" is a
440 Hz sine that delivers two seconds of audio at a time; what is played on
"spk" comes back on "spk.monitor".
"""

import array
import math
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import pytest

from conftest import built
from sim.audio.tones import pitch
from sim.sandbox.pulse import PulseServer

RATE = 8000
FRAMES_PER_SECOND = 50
MIC_HZ = 440
MIC_AMPLITUDE = 16384  # the sine source plays at half of full scale


@pytest.fixture(scope="session")
def pcsound_probe_binary():
    return built("PCSOUND_PROBE", "build/tests/tools/pcsound_probe")


def processes_mentioning(text):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


class Sound:
    """The test's PulseAudio server, which a test may kill and start again
    at the same address."""

    def __init__(self, directory):
        self.dir = directory
        self.server = PulseServer(directory)

    def env(self):
        return self.server.env()

    def pactl(self, *args, **kw):
        return self.server.pactl(*args, **kw)

    def streams(self, kind):
        return self.server.streams(kind)

    def kill(self):
        """As if it crashed."""
        os.killpg(self.server.proc.pid, signal.SIGKILL)
        self.server.proc.wait()
        self.server.stop()

    def start(self):
        self.server = PulseServer(self.dir)

    def close(self):
        self.server.stop()


class Probe:
    """The driver: probe("open", "a", "c1", "in") sends a command and returns
    its answer as a dict; broadcasts and cleared calls are collected as
    they come."""

    def __init__(self, binary, env, directory, *args):
        self._err = open(os.path.join(directory, "probe.err"), "w+")
        self.proc = subprocess.Popen([binary, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self._err, text=True, env=dict(os.environ, **env))
        self._answers = queue.Queue()
        self._seen = threading.Condition()
        self.broadcasts = []
        self.cleared = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._base_threads = self.threads()

    def threads(self):
        return int(self("threads")["threads"])

    def added_threads(self):
        """Threads beyond those of the probe's start (its main thread and the
        call manager's worker, and a sanitizer's where there is one)."""
        return self.threads() - self._base_threads

    def _read(self):
        answer = {}
        for line in self.proc.stdout:
            key, _, value = line.rstrip("\n").partition("=")
            if key == "broadcast":
                with self._seen:
                    self.broadcasts.append(value.replace("\\n", "\n"))
                    self._seen.notify_all()
            elif key == "cleared":
                token, _, reason = value.partition(" ")
                with self._seen:
                    self.cleared.append((token, reason))
                    self._seen.notify_all()
            elif key == "end":
                self._answers.put(answer)
                answer = {}
            else:
                answer[key] = value
        self._answers.put(None)

    def __call__(self, *words, timeout=30):
        self.proc.stdin.write(" ".join(map(str, words)) + "\n")
        self.proc.stdin.flush()
        try:
            answer = self._answers.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no answer to {words} within {timeout} s") from None
        assert answer is not None, f"the probe ended: {self.stderr()}"
        assert "error" not in answer, answer["error"]
        return answer

    def stderr(self):
        if not self._err.closed:
            self._err.seek(0)
            self._err_text = self._err.read()
        return self._err_text

    def wait_for(self, predicate, timeout=10):
        """Until predicate() holds on the broadcasts and cleared calls."""
        with self._seen:
            assert self._seen.wait_for(predicate, timeout), \
                f"broadcasts {self.broadcasts}, cleared {self.cleared}"

    def lost_reports(self):
        return [b for b in self.broadcasts if b == "\nSound server connection lost"]

    def quit(self):
        self.proc.stdin.write("quit\n")
        self.proc.stdin.flush()
        try:
            return self.proc.wait(timeout=30)
        finally:
            self.kill()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(timeout=10)
        self.stderr()
        self._err.close()


@pytest.fixture
def workdir():
    # Short: the server's socket path must fit a socket address.
    directory = tempfile.mkdtemp(prefix="pcs")
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def sound(workdir):
    s = Sound(os.path.join(workdir, "pulse"))
    yield s
    s.close()
    assert processes_mentioning(workdir) == [], "a server or recorder outlived the test"


@pytest.fixture
def probe(pcsound_probe_binary, sound, workdir):
    p = Probe(pcsound_probe_binary, sound.env(), workdir)
    yield p
    rc = p.quit()
    assert rc == 0, p.stderr()


def samples_of(path):
    a = array.array("h")
    with open(path, "rb") as f:
        a.frombytes(f.read())
    return a


def frequency(samples):
    rises = sum(1 for a, b in zip(samples, samples[1:]) if a < 0 <= b)
    return rises * RATE / len(samples)


def rms(samples):
    return math.sqrt(sum(x * x for x in samples) / len(samples))


class Tone:
    """What a recording holds of a tone, ignoring the silence around and
    between its parts: 50 ms blocks that are loud count, and those inside
    a loud stretch (not at its edges) give the pitch and the level."""

    BLOCK = RATE // 20

    def __init__(self, samples, threshold=1000):
        B = self.BLOCK
        loud = {i for i in range(0, len(samples) - B + 1, B) if rms(samples[i:i + B]) > threshold}
        inner = sorted(i for i in loud if i - B in loud and i + B in loud)
        self.seconds = len(loud) * B / RATE
        if not inner:
            self.frequency = self.rms = self.peak = 0
            return
        rises = [j for i in inner for j in range(i, i + B) if samples[j - 1] < 0 <= samples[j]]
        self.frequency = pitch(rises, RATE)
        self.rms = math.sqrt(sum(rms(samples[i:i + B]) ** 2 for i in inner) / len(inner))
        self.peak = max(max(samples[i:i + B]) for i in inner)


class Monitor:
    """Records what the server plays, as 8 kHz mono."""

    def __init__(self, sound, path):
        self.path = path
        self._out = open(path, "wb")
        self.proc = subprocess.Popen(
            ["parec", "--raw", "--format=s16le", f"--rate={RATE}", "--channels=1", "--latency-msec=50",
             "-d", "spk.monitor"], stdout=self._out, stderr=subprocess.DEVNULL,
            env=dict(os.environ, **sound.env()))

    def tone(self):
        return Tone(samples_of(self.path))

    def wait_tone(self, seconds, timeout=20):
        """Until that much tone has been heard."""
        deadline = time.monotonic() + timeout
        while self.tone().seconds < seconds and time.monotonic() < deadline:
            time.sleep(0.1)
        return self.tone()

    def stop(self, after=1.5):
        time.sleep(after)  # what is still in the server's buffers
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self._out.close()
        return self.tone()

    def running(self):
        return self.proc.poll() is None


@pytest.fixture
def listen(sound, workdir):
    """Starts recording what is played; what a test left running is ended."""
    started = []

    def start(name):
        started.append(Monitor(sound, os.path.join(workdir, name + ".raw")))
        return started[-1]
    yield start
    for m in started:
        if m.running():
            m.stop(after=0)


def test_microphone_frames_are_whole_continuous_paced_and_carry_the_tone(probe, workdir):
    assert probe("open", "a", "c1", "in")["stream"] == "1"
    path = os.path.join(workdir, "mic.raw")
    r = probe("record", "a", 8, path)
    assert r["ended"] == "0"
    assert r["wrong_size"] == "0" and r["wrong_time"] == "0"
    # The source delivers two seconds at a time: the count may be off by
    # one burst either way, but no more.
    frames, seconds = int(r["frames"]), float(r["seconds"])
    assert abs(frames / FRAMES_PER_SECOND - seconds) < 2.2, (frames, seconds)
    samples = samples_of(path)
    assert len(samples) == frames * 160
    assert abs(frequency(samples) - MIC_HZ) < 5
    assert abs(rms(samples) - MIC_AMPLITUDE / math.sqrt(2)) < 0.05 * MIC_AMPLITUDE


def test_loudspeaker_plays_the_tone_at_the_pace_of_real_time(probe, listen):
    assert probe("open", "b", "c1", "out")["stream"] == "1"
    # The null sink holds a new stream back for a while at first; what
    # comes meanwhile is too late once it plays, and goes.
    assert probe("play", "b", 2 * FRAMES_PER_SECOND, 1000, 0)["ended"] == "0"
    monitor = listen("spk")
    r = probe("play", "b", 2 * FRAMES_PER_SECOND, 1000, 8000)
    heard = monitor.stop()
    assert r["ended"] == "0"
    # Frames that come in real time never wait, and are all played.
    assert float(r["seconds"]) < 2.5
    assert heard.seconds > 1.8
    assert abs(heard.frequency - 1000) < 20
    assert abs(heard.rms - 8000 / math.sqrt(2)) < 0.1 * 8000

    # A writer far ahead of real time is held back, and what it queued
    # beyond the jitter's needs goes: the queue never grows without bound.
    monitor = listen("burst")
    r = probe("play", "b", 2 * FRAMES_PER_SECOND, 1000, 8000, "burst")
    heard = monitor.stop()
    assert r["ended"] == "0"
    assert 0.8 < float(r["seconds"]) < 10
    assert 0.8 < heard.seconds < 2.2


def test_both_directions_carry_the_phone_role(probe, sound):
    assert probe("open", "a", "c1", "in")["stream"] == "1"
    assert probe("open", "b", "c1", "out")["stream"] == "1"
    assert [s["role"] for s in sound.streams("sink-inputs")] == ["phone"]
    assert [s["role"] for s in sound.streams("source-outputs")] == ["phone"]
    inputs, outputs = sound.pactl("list", "sink-inputs").stdout, sound.pactl("list", "source-outputs").stdout
    assert 'media.name = "parlod-call-out"' in inputs and 'application.name = "parlod"' in inputs
    assert 'media.name = "parlod-call-in"' in outputs and 'application.name = "parlod"' in outputs

    # Streams go from the server when they are closed or their leg ends.
    probe("close", "b")
    probe("release", "c1")
    deadline = time.monotonic() + 10
    while sound.streams("sink-inputs") or sound.streams("source-outputs"):
        assert time.monotonic() < deadline, "streams left on the server"
        time.sleep(0.05)


def test_audio_goes_through_the_socket_not_shared_memory(probe):
    """libpulse cannot always let go of memory it shares with a server that
    dies: a record stream's block, or the shared ring buffer it sets up at
    the connection's start, leaves its thread waiting or spinning for ever
    with its lock held, and with it every call and the console's stop."""
    assert probe("open", "a", "c1", "in")["stream"] == "1"
    assert probe("open", "b", "c1", "out")["stream"] == "1"
    assert probe("record", "a", 0.5, os.devnull)["ended"] == "0"
    with open(f"/proc/{probe.proc.pid}/maps") as f:
        shared = [line for line in f if "pulse" in line and ("memfd:" in line or "/dev/shm/" in line)]
    assert shared == []


def test_microphone_gain_per_connection(probe, workdir):
    def level(stream):
        path = os.path.join(workdir, f"{stream}.raw")
        r = probe("record", stream, 1, path)
        assert r["ended"] == "0"
        return rms(samples_of(path))

    # The loudspeaker's volume is not the microphone's.
    assert probe("volume", "c1", "out", 50)["result"] == "1"
    assert probe("open", "a", "c1", "in")["stream"] == "1"
    base = level("a")
    assert abs(base - MIC_AMPLITUDE / math.sqrt(2)) < 0.05 * MIC_AMPLITUDE

    # On a running stream.
    assert probe("volume", "c1", "in", 150)["result"] == "1"
    assert level("a") / base == pytest.approx(1.5, abs=0.02)

    # Set before the stream is opened, for another connection.
    assert probe("volume", "c2", "in", 50)["result"] == "1"
    assert probe("open", "b", "c2", "in")["stream"] == "1"
    assert level("b") / base == pytest.approx(0.5, abs=0.02)
    assert level("a") / base == pytest.approx(1.5, abs=0.02)

    # A connection whose leg ended starts over at full volume.
    probe("release", "c2")
    probe("drop", "b")
    assert probe("open", "b", "c2", "in")["stream"] == "1"
    assert level("b") / base == pytest.approx(1.0, abs=0.02)


def test_loudspeaker_gain_saturates_instead_of_wrapping(probe, listen):
    assert probe("volume", "c1", "out", 50)["result"] == "1"
    assert probe("open", "b", "c1", "out")["stream"] == "1"
    monitor = listen("half")
    probe("play", "b", FRAMES_PER_SECOND, 1000, 16000)
    heard = monitor.stop()
    assert heard.seconds > 0.8
    assert abs(heard.frequency - 1000) < 20
    assert abs(heard.rms - 8000 / math.sqrt(2)) < 0.1 * 8000

    # 150 % of a tone at 30000 goes beyond 16 bits: clipped, it keeps its
    # pitch; wrapped around, it would cross zero far more often.
    assert probe("volume", "c1", "out", 150)["result"] == "1"
    monitor = listen("loud")
    probe("play", "b", FRAMES_PER_SECOND, 1000, 30000)
    heard = monitor.stop()
    assert heard.seconds > 0.8
    assert abs(heard.frequency - 1000) < 20
    assert heard.peak > 32000
    assert heard.rms > 30000 / math.sqrt(2) * 1.1


def test_named_devices_are_used(pcsound_probe_binary, sound, workdir):
    sound.pactl("load-module", "module-sine-source", "source_name=mic2", "frequency=1000")
    sound.pactl("load-module", "module-null-sink", "sink_name=spk2")
    p = Probe(pcsound_probe_binary, sound.env(), workdir, "--source", "mic2", "--sink", "spk2")
    try:
        assert p("open", "a", "c1", "in")["stream"] == "1"
        path = os.path.join(workdir, "mic2.raw")
        assert p("record", "a", 1, path)["ended"] == "0"
        assert abs(frequency(samples_of(path)) - 1000) < 10
        assert p("open", "b", "c1", "out")["stream"] == "1"
        sinks = dict(line.split("\t")[1::-1] for line in sound.pactl("list", "short", "sinks").stdout.splitlines())
        inputs = [line.split("\t")[1] for line in sound.pactl("list", "short", "sink-inputs").stdout.splitlines()]
        assert inputs == [sinks["spk2"]]
    finally:
        assert p.quit() == 0, p.stderr()

    p = Probe(pcsound_probe_binary, sound.env(), workdir, "--source", "nosuch")
    try:
        assert p("open", "a", "c1", "in")["stream"] == "0"
        assert p.broadcasts == ["\nCannot open the microphone: No such entity"]
        assert p("open", "b", "c1", "out")["stream"] == "1"  # the server is fine
    finally:
        assert p.quit() == 0, p.stderr()


def test_close_ends_a_waiting_read_or_write(probe, sound):
    # Suspended devices move no audio: a read waits for ever, and a write
    # once the server's buffer is full.
    sound.pactl("suspend-source", "mic", "1")
    sound.pactl("suspend-sink", "spk", "1")
    assert probe("open", "a", "c1", "in")["stream"] == "1"
    assert probe("open", "b", "c1", "out")["stream"] == "1"
    probe("pump", "a")
    probe("pump", "b")
    r = probe("wait", "a", 1)
    assert r["ended"] == "0" and r["frames"] == "0"
    r = probe("wait", "b", 1)
    assert r["ended"] == "0" and int(r["frames"]) < 10

    for stream in ("a", "b"):
        probe("close", stream)
        r = probe("wait", stream, 5)
        assert r["ended"] == "1"
        assert float(r["after_close"]) < 1
        probe("close", stream)  # again: nothing happens
        probe("drop", stream)
    assert probe.broadcasts == [] and probe.cleared == []


def test_server_loss_fails_streams_and_a_fresh_stream_works(probe, sound, workdir):
    assert probe("open", "a", "c1", "in")["stream"] == "1"
    assert probe("open", "b", "c1", "out")["stream"] == "1"
    probe("pump", "a")
    probe("pump", "b")
    assert probe("wait", "b", 0.5)["ended"] == "0"
    assert probe.added_threads() == 3  # the sound server connection, two pumps

    sound.kill()
    for stream in ("a", "b"):
        r = probe("wait", stream, 10)
        assert r["ended"] == "1"
        assert float(r["seconds"]) < 3
    # One report however many streams noticed, and their call ends.
    probe.wait_for(lambda: probe.lost_reports() and ("c1", "media failed") in probe.cleared)
    time.sleep(0.5)
    assert len(probe.lost_reports()) == 1
    probe("drop", "a")
    probe("drop", "b")

    # No server: no stream, a report, and no waiting.
    start = time.monotonic()
    assert probe("open", "c", "c2", "in")["stream"] == "0"
    assert time.monotonic() - start < 5
    assert any(b.startswith("\nSound server not available: ") for b in probe.broadcasts)
    # The dead connection was let go, and its thread with it.
    assert probe.added_threads() == 0

    sound.start()
    assert probe("open", "d", "c3", "in")["stream"] == "1"
    path = os.path.join(workdir, "again.raw")
    r = probe("record", "d", 1, path)
    assert r["ended"] == "0" and int(r["frames"]) >= 40
    assert abs(frequency(samples_of(path)) - MIC_HZ) < 5
    assert probe("open", "e", "c3", "out")["stream"] == "1"
    assert probe("play", "e", 10, 1000, 8000)["ended"] == "0"
    assert probe.added_threads() == 1
    assert len(probe.lost_reports()) == 1


def test_a_call_carries_the_microphone_to_the_loudspeaker(probe, sound, listen):
    monitor = listen("call")
    token = probe("call")["token"]
    assert token
    # Both legs are the PC: each microphone goes to the other leg's
    # loudspeaker stream. One is silenced so that the tone is not doubled.
    assert probe("callvolume", token, 1, "in", 0)["result"] == "1"
    heard = monitor.wait_tone(1)
    assert heard.seconds >= 1
    assert abs(heard.frequency - MIC_HZ) < 5
    for kind in ("sink-inputs", "source-outputs"):  # the monitor's recorder has no role
        assert [s["role"] for s in sound.streams(kind) if s["role"]] == ["phone", "phone"]
    monitor.stop(after=0)

    probe("hangup", token)
    probe.wait_for(lambda: (token, "local user") in probe.cleared)
    assert probe.added_threads() == 1  # the sound server connection: the patches are gone
    assert probe.broadcasts == []


def test_a_call_ends_when_the_server_dies_and_the_next_call_works(probe, sound, listen):
    first = probe("call")["token"]
    deadline = time.monotonic() + 10
    while len(sound.streams("sink-inputs")) < 2:
        assert time.monotonic() < deadline, "the call's media did not start"
        time.sleep(0.05)

    sound.kill()
    probe.wait_for(lambda: (first, "media failed") in probe.cleared)
    assert probe("calls")["count"] == "0"
    time.sleep(0.5)
    assert probe.lost_reports() == ["\nSound server connection lost"]

    # A call while the server is down fails at once, with the reason.
    down = probe("call")["token"]
    probe.wait_for(lambda: (down, "media failed") in probe.cleared)
    assert any(b.startswith("\nSound server not available: ") for b in probe.broadcasts)

    sound.start()
    monitor = listen("again")
    again = probe("call")["token"]
    assert probe("callvolume", again, 1, "in", 0)["result"] == "1"
    heard = monitor.wait_tone(1)
    monitor.stop(after=0)
    assert heard.seconds >= 1
    assert abs(heard.frequency - MIC_HZ) < 5
    assert probe("calls")["count"] == "1"
    assert (again, "media failed") not in probe.cleared


def test_shutdown_stops_every_thread_and_refuses_new_streams(probe):
    assert probe("open", "a", "c1", "in")["stream"] == "1"
    assert probe("open", "b", "c1", "out")["stream"] == "1"
    probe("pump", "a")
    assert probe.added_threads() == 2  # the sound server connection, the pump
    probe("shutdown")
    r = probe("wait", "a", 5)
    assert r["ended"] == "1"
    probe("drop", "a")
    assert probe.added_threads() == -1  # the manager's worker is gone too
    assert probe("open", "c", "c2", "in")["stream"] == "0"
    assert probe.broadcasts == [] and probe.cleared == []
