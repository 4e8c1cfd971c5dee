"""What the virtual terminal writes: event lines, answers, errors.

Event lines come from threads while the prompt waits for input. Each one
is written on a line of its own above the prompt, and the prompt is drawn
again with what has been typed so far, so that typing goes on undisturbed.
"""

import ctypes
import os
import sys
import threading


def _readline_redisplay():
    """A function that makes GNU readline draw its prompt and line afresh
    on a new line, or None where that cannot be had."""
    try:
        import readline

        lib = ctypes.CDLL(readline.__file__)
        on_new_line, redisplay = lib.rl_on_new_line, lib.rl_redisplay
    except (ImportError, OSError, AttributeError):
        return None

    def redraw():
        on_new_line()
        redisplay()
    return redraw


class Output:
    def __init__(self, stdout=None, stderr=None):
        self.stdout = stdout or sys.stdout
        self.stderr = stderr or sys.stderr
        self._lock = threading.Lock()
        self._prompt = None  # the prompt on the screen while input is awaited
        self._redraw = None

    def prompting(self, prompt):
        """The prompt is on the screen (None: it is not) and waits for a line."""
        with self._lock:
            if prompt is not None and self._redraw is None:
                self._redraw = _readline_redisplay() or False
            self._prompt = prompt

    def _write(self, stream, text):
        with self._lock:
            try:
                if self._prompt is not None:
                    self.stdout.write("\r\x1b[K")  # the prompt line, cleared
                    self.stdout.flush()
                stream.write(text + "\n")
                stream.flush()
                if self._prompt is not None:
                    if self._redraw:
                        self._redraw()
                    else:
                        self._fallback_redraw()
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
        self.stdout.write(self._prompt + typed)
        self.stdout.flush()

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
