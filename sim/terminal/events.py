"""Event lines: what the terminal does, shown as it happens.

An event source has a tag (shown as "[tag]") and a poll() that returns the
lines of what happened since the last call. One thread polls every source
of the terminal ten times a second, in the order they were added; a source
fed by a thread of its own (a reader of a program's output, for example)
is a LineQueue, which its thread fills with put().
"""

import queue
import threading


class EventSource:
    tag = "event"

    def poll(self):
        """New event lines since the last call."""
        return []


class LineQueue(EventSource):
    """A source filled from any thread."""

    def __init__(self, tag):
        self.tag = tag
        self._lines = queue.SimpleQueue()

    def put(self, text):
        self._lines.put(text)

    def poll(self):
        out = []
        while True:
            try:
                out.append(self._lines.get_nowait())
            except queue.Empty:
                return out


class EventLoop:
    PERIOD = 0.1

    def __init__(self, output):
        self.out = output
        self.sources = []
        self._stop = threading.Event()
        self._polling = threading.Lock()  # one poll at a time: the sources keep no lock of their own
        self._thread = threading.Thread(target=self._run, name="vterm events", daemon=True)

    def add(self, source):
        self.sources.append(source)

    def start(self):
        self._thread.start()

    def poll(self):
        """Shows what every source has now."""
        with self._polling:
            self._poll()

    def _poll(self):
        for source in list(self.sources):
            try:
                lines = source.poll()
            except Exception as e:  # noqa: BLE001 - one broken source must not silence the rest
                lines = [f"(this source failed: {e})"]
            for line in lines:
                self.out.event(source.tag, line)

    def _run(self):
        while not self._stop.wait(self.PERIOD):
            self.poll()

    def stop(self):
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(5)

