"""A private PulseAudio server for tests and the virtual terminal.

User mode, a null sink as the default sink ("spk", its monitor plays back
whatever is played) and a sine source as the microphone ("mic"). Clients
find it through PULSE_SERVER; nothing of the machine's own sound is used.
"""

import os
import re
import shutil
import signal
import subprocess
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
