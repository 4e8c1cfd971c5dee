"""What the virtual terminal writes: event lines, answers, errors; and the
prompt that reads the engineer's lines.

Event lines come from threads while the prompt waits for input. Each one
is written on a line of its own, at once.

On a terminal (input and output both), GNU readline edits the line, and
event lines go above the prompt, which is drawn again with what has been
typed so far, so that typing goes on undisturbed. GNU readline is not
thread-safe, so the prompt reads through readline's alternate interface
from a loop of the main thread's own: event threads queue their lines
while the prompt waits, and the loop writes them after each key, and ten
times a second while none comes. A signal's Python handler then runs in that loop,
not inside a function that readline calls, where what it raises would be
lost; the few Python functions that readline does call (the end of a line,
completion) are in FOREIGN_CALLERS, where a handler must not raise.

Otherwise (output into a pipe or a file, input from one) the prompt is a
plain one, and event lines are written as they come.
"""

import ctypes
import os
import select
import sys
import threading

# Code of the functions that C code calls back; see above.
FOREIGN_CALLERS = set()


class ReadlinePrompt:
    """Reads lines with readline's alternate interface (rl_callback_*)."""

    def __init__(self, names, check=lambda: None):
        """names: what Tab completes; check() is called after each key: it
        may raise what a signal that came meanwhile asks for."""
        import readline

        readline.set_completer(self._complete)
        readline.parse_and_bind("tab: complete")
        self._names = names
        lib = ctypes.CDLL(readline.__file__)  # its libreadline's symbols
        # Signals stay Python's: readline's own handlers would act inside it.
        ctypes.c_int.in_dll(lib, "rl_catch_signals").value = 0
        self._line_handler = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(self._line_done)
        lib.rl_callback_handler_install.argtypes = (ctypes.c_char_p, ctypes.c_void_p)
        for name in ("rl_callback_read_char", "rl_callback_handler_remove", "rl_callback_sigcleanup",
                     "rl_free_line_state", "rl_on_new_line", "rl_redisplay"):
            getattr(lib, name).restype = None
        self.lib = lib
        self._free = ctypes.CDLL(None).free
        self._free.argtypes = (ctypes.c_void_p,)
        self._readline = readline
        self._check = check
        FOREIGN_CALLERS.update((self._line_done.__code__, self._complete.__code__))

    def _complete(self, text, i):
        return ([n for n in self._names if n.startswith(text)] + [None])[i]

    def _line_done(self, pointer):
        # readline's line, NULL at the end of input; it is ours to free.
        self._line = ctypes.string_at(pointer).decode(errors="replace") if pointer else None
        self._free(pointer)
        self._done = True
        # Now, or readline draws the prompt again for a next line.
        self.lib.rl_callback_handler_remove()

    def read(self, prompt, between_keys):
        """A line; EOFError at the end of input. between_keys() is called
        after each key, and ten times a second while none comes."""
        self._line, self._done = None, False
        stdin = sys.stdin.fileno()
        self.lib.rl_callback_handler_install(prompt.encode(), self._line_handler)
        try:
            while not self._done:
                ready, _, _ = select.select([stdin], [], [], 0.1)
                if ready:
                    self.lib.rl_callback_read_char()
                    self._check()
                between_keys()
        except BaseException:
            # A signal: the line typed so far goes, and the terminal's mode
            # is put back.
            self.lib.rl_free_line_state()
            self.lib.rl_callback_sigcleanup()
            raise
        finally:
            self.lib.rl_callback_handler_remove()
        if self._line is None:
            raise EOFError
        history = self._readline.get_current_history_length()
        if self._line.strip() and (not history or self._readline.get_history_item(history) != self._line):
            self._readline.add_history(self._line)
        return self._line

    def redraw(self):
        self.lib.rl_on_new_line()
        self.lib.rl_redisplay()


class Output:
    def __init__(self, stdout=None, stderr=None):
        self.stdout = stdout or sys.stdout
        self.stderr = stderr or sys.stderr
        self._lock = threading.Lock()
        self._readline = None  # the ReadlinePrompt while it waits
        self._queued = []  # (stream, text) that wait for the prompt's loop
        self._at_prompt = False  # the plain prompt ends the last line written
        self.unheard = False  # the reader of what it writes went away

    def read_line(self, prompt, readline_prompt=None):
        """Shows the prompt and reads a line (EOFError at the end of input):
        with readline_prompt (a ReadlinePrompt) on a terminal, else plainly."""
        if readline_prompt is None:
            return self._read_plain(prompt)
        with self._lock:
            self._readline = readline_prompt
        try:
            return readline_prompt.read(prompt, self._under_prompt)
        finally:
            with self._lock:
                self._readline = None
                # The line was taken: what came meanwhile goes out plainly.
                queued, self._queued = self._queued, []
                for stream, text in queued:
                    self._put(stream, text)

    def _read_plain(self, prompt):
        with self._lock:
            self._put(self.stdout, prompt, end="")
            self._at_prompt = True
        try:
            line = sys.stdin.readline()
        finally:
            with self._lock:
                self._at_prompt = False
        if not line:
            raise EOFError
        return line.rstrip("\n")

    def _write(self, stream, text):
        with self._lock:
            if self._readline is not None:
                self._queued.append((stream, text))
                return
            if self._at_prompt:
                # Below the prompt, which is not drawn again: a terminal's
                # own echo of what is typed cannot be redrawn from here.
                self._put(self.stdout, "", end="\n")
                self._at_prompt = False
            self._put(stream, text)

    def _under_prompt(self):
        """The prompt's loop, between keys: the queued lines above the prompt."""
        with self._lock:
            if not self._queued or self._readline is None:
                return
            queued, self._queued = self._queued, []
            for stream, text in queued:
                self._put(self.stdout, "\r\x1b[K", end="")  # the prompt line, cleared
                self._put(stream, text)
            self._readline.redraw()

    def _put(self, stream, text, end="\n"):
        try:
            stream.write(text + end)
            stream.flush()
        except OSError:
            # The reader went away (a pipe into head, a closed terminal):
            # the session goes on, and ends as it should, unheard.
            self._mute(stream)

    def _mute(self, stream):
        self.unheard = True
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        except (OSError, ValueError):
            pass
        finally:
            os.close(devnull)

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
