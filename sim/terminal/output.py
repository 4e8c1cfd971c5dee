"""What the virtual terminal writes: event lines, answers, errors.

Event lines come from threads while the prompt waits for input. Each one
is written on a line of its own above the prompt, and the prompt is drawn
again with what has been typed so far, so that typing goes on undisturbed.

GNU readline is not thread-safe, and it runs without the interpreter lock
while it waits for input: an event thread that drew the prompt while
readline echoed a key would garble the line. So while the prompt waits,
event lines are queued, and readline's own thread writes them and draws
the prompt again, from the input hook that readline calls between keys
(every 0.1 s while nothing is typed).
"""

import ctypes
import os
import sys
import threading


class _ReadlineHook:
    """Runs a function in readline's thread between keys, and draws the
    prompt and line afresh on a new line there."""

    def __init__(self, function):
        import readline

        lib = ctypes.CDLL(readline.__file__)
        self.on_new_line, self.redisplay = lib.rl_on_new_line, lib.rl_redisplay
        self._function = ctypes.CFUNCTYPE(ctypes.c_int)(lambda: function() or 0)
        slot = ctypes.c_void_p.in_dll(ctypes.pythonapi, "PyOS_InputHook")
        if slot.value:
            raise OSError("the input hook is taken")
        slot.value = ctypes.cast(self._function, ctypes.c_void_p).value

    def redraw(self):
        self.on_new_line()
        self.redisplay()


def _readline_hook(function):
    """A _ReadlineHook, or None where GNU readline cannot be had."""
    try:
        return _ReadlineHook(function)
    except (ImportError, OSError, AttributeError, ValueError):
        return None


class Output:
    def __init__(self, stdout=None, stderr=None):
        self.stdout = stdout or sys.stdout
        self.stderr = stderr or sys.stderr
        self._lock = threading.Lock()
        self._prompt = None  # the prompt on the screen while input is awaited
        self._hook = None  # None: not tried yet; False: no readline
        self._queued = []  # (stream, text) that wait for readline's thread

    def prompting(self, prompt):
        """The prompt is on the screen (None: it is not) and waits for a line."""
        with self._lock:
            if prompt is not None and self._hook is None:
                self._hook = _readline_hook(self._under_prompt) or False
            self._prompt = prompt
            if prompt is None:
                # The line was taken: what came meanwhile goes out plainly.
                queued, self._queued = self._queued, []
                for stream, text in queued:
                    self._put(stream, text)

    def _write(self, stream, text):
        with self._lock:
            if self._prompt is None:
                self._put(stream, text)
            elif self._hook:
                self._queued.append((stream, text))
            else:
                self._put(self.stdout, "\r\x1b[K", end="")  # the prompt line, cleared
                self._put(stream, text)
                self._fallback_redraw()

    def _under_prompt(self):
        """readline's input hook: the queued lines above the prompt."""
        with self._lock:
            if not self._queued or self._prompt is None:
                return
            queued, self._queued = self._queued, []
            for stream, text in queued:
                self._put(self.stdout, "\r\x1b[K", end="")
                self._put(stream, text)
                self._hook.redraw()

    def _put(self, stream, text, end="\n"):
        try:
            stream.write(text + end)
            stream.flush()
        except OSError:
            # The reader went away (a pipe into head, a closed terminal):
            # the session goes on, and ends as it should, unheard.
            self._mute(stream)

    def _mute(self, stream):
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        except (OSError, ValueError):
            pass
        finally:
            os.close(devnull)

    def _fallback_redraw(self):
        try:
            import readline

            typed = readline.get_line_buffer()
        except ImportError:
            typed = ""
        self._put(self.stdout, self._prompt + typed, end="")

    def event(self, source, text):
        """An event line "[source] text"; further lines of text are indented."""
        first, *rest = str(text).split("\n")
        self._write(self.stdout, "\n".join([f"[{source}] {first}"] + [f"    {line}" for line in rest]))

    def say(self, text):
        """A line of the terminal's own: progress, answers."""
        self._write(self.stdout, text)

    def error(self, text):
        """A one-line error."""
        self._write(self.stderr, f"vterm: {text}")
