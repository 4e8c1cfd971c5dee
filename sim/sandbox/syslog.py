"""The system log of a program under test, caught without touching the
machine's: the program runs in a mount namespace of its own in which
/dev/log is a datagram socket of the test's. The rest of /dev is the
machine's few common nodes, its pseudo-terminals (serial lines of the
simulators) and its shared memory."""

import os
import select
import socket
import threading
import time

# $1: the socket, $2: a scratch directory; then the command.
SCRIPT = r'''
set -e
sock=$1 scratch=$2; shift 2
mount --rbind /dev "$scratch"
mount -t tmpfs kel-dev /dev
for n in null zero full random urandom tty; do
	touch "/dev/$n"
	mount --bind "$scratch/$n" "/dev/$n"
done
for d in pts shm; do
	mkdir "/dev/$d"
	mount --bind "$scratch/$d" "/dev/$d"
done
touch /dev/log
mount --bind "$sock" /dev/log
exec "$@"
'''


class SyslogCapture:
    """Collects the messages from a thread of its own, so that a program
    that logs a lot never blocks on a full socket."""

    def __init__(self, sandbox):
        self.path = sandbox.path("syslog.sock")
        self.scratch = sandbox.path("syslog.dev")
        os.makedirs(self.scratch, exist_ok=True)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.received = []  # (priority, text)
        self.idents = []  # the program's name of each, as it gave it
        self._lock = threading.Lock()
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._collect, name="syslog", daemon=True)
        self._thread.start()

    def wrap(self, argv):
        """The command line that runs argv with its syslog caught here."""
        return ["unshare", "-m", "--propagation", "private", "sh", "-c", SCRIPT, "syslog",
                self.path, self.scratch, *argv]

    def _collect(self):
        while True:
            readable, _, _ = select.select([self.sock, self._stop_r], [], [])
            if self._stop_r in readable:
                return
            data = self.sock.recv(8192).decode(errors="replace")
            pri, _, rest = data.partition(">")
            head, _, text = rest.partition(": ") if ": " in rest else ("", "", rest)
            with self._lock:
                self.received.append((int(pri.lstrip("<")), text))
                # "Mmm dd hh:mm:ss ident[pid]" before the text
                self.idents.append(head.split(" ")[-1] if head else "")

    def messages(self):
        """Every message so far, as (priority, text)."""
        with self._lock:
            return list(self.received)

    def entries(self):
        """Every message so far, as (priority, ident, text)."""
        with self._lock:
            return [(pri, ident, text) for (pri, text), ident in zip(self.received, self.idents)]

    def wait_for(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for pri, message in self.messages():
                if text in message:
                    return pri
            time.sleep(0.05)
        return None

    def close(self):
        os.write(self._stop_w, b"!")
        self._thread.join(5)
        for fd in (self._stop_r, self._stop_w):
            os.close(fd)
        self.sock.close()
