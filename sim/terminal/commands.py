"""The prompt's commands: a table built from the parts of the terminal.

A part offers a command by decorating a method:

    @command("press N", "a passenger presses call button N (0-3)")
    def press(self, args):
        \"\"\"Further lines for `help press`.\"\"\"
        self.cp.press(index(args, BUTTONS, "call button"))

The first word of the usage is the command's name. The method gets the
words after the name, split as a shell would (quotes group words), or with
raw=True the rest of the line as it was typed (without the quotes when it
is one quoted word: `shell "a; b"` gives `a; b`). It reports a bad argument by
raising CommandError with a one-line text, and a failure of what it did by
returning False (or raising CommandError); anything else is success.
Ctrl-C while it runs raises Interrupted in it (out of a wait, a sleep, a
read): what it started must not outlive it (try/finally).
"""

import os
import shlex


class CommandError(Exception):
    """A command could not do its job; the text says why, in one line."""


class Interrupted(BaseException):
    """Ctrl-C while a command runs: that command ends, the session goes on."""


QUIT = object()  # returned by a command that ends the session


def command(usage, summary, raw=False):
    def mark(method):
        method.command = (usage, summary, raw)
        return method
    return mark


class Command:
    def __init__(self, usage, summary, handler, raw=False, doc=None):
        self.name = usage.split()[0]
        self.usage, self.summary, self.handler, self.raw = usage, summary, handler, raw
        self.doc = " ".join((doc or "").split())

    def run(self, rest):
        rest = rest.strip()
        try:
            args = shlex.split(rest)
        except ValueError as e:
            if not self.raw:
                raise CommandError(f"{self.name}: {e}") from None
            args = None
        if not self.raw:
            return self.handler(args)
        # The line as typed; quoted as a whole (so that -c keeps its ";"
        # for it), without the quotes.
        whole = args is not None and len(args) == 1 and rest[:1] in "'\"" and rest
        return self.handler(args[0] if whole else rest)


def commands_of(obj):
    """The commands that obj's methods offer, in the order of definition."""
    found = []
    for cls in reversed(type(obj).__mro__):
        for name, member in vars(cls).items():
            if callable(member) and hasattr(member, "command"):
                usage, summary, raw = member.command
                found.append(Command(usage, summary, getattr(obj, name), raw, member.__doc__))
    return found


class CommandTable:
    def __init__(self):
        self._commands = {}

    def add(self, cmd):
        if cmd.name in self._commands:
            raise ValueError(f"two commands named {cmd.name!r}")
        self._commands[cmd.name] = cmd

    def add_all(self, obj):
        for cmd in commands_of(obj):
            self.add(cmd)

    def names(self):
        return list(self._commands)

    def get(self, name):
        return self._commands.get(name)

    def summary(self):
        width = max(len(c.usage) for c in self._commands.values())
        return "\n".join(f"  {c.usage:<{width}}  {c.summary}" for c in self._commands.values())

    def run(self, line):
        """Runs one command line; returns True (done), False (failed) or QUIT."""
        name, _, rest = line.strip().partition(" ")
        if not name:
            return True
        cmd = self._commands.get(name)
        if cmd is None:
            raise CommandError(f"no command {name!r}; help lists them")
        result = cmd.run(rest)
        return QUIT if result is QUIT else result is not False


def split_commands(text):
    """Command lines separated by ";" outside quotes, as in "a; shell 'b; c'"."""
    lines, current, quote, escaped = [], [], None, False
    for ch in text:
        if escaped:
            escaped = False
        elif ch == "\\" and quote != "'":
            escaped = True
        elif quote:
            quote = None if ch == quote else quote
        elif ch in "'\"":
            quote = ch
        elif ch == ";":
            lines.append("".join(current).strip())
            current = []
            continue
        current.append(ch)
    if quote:
        raise CommandError(f"unbalanced {quote} in the commands")
    lines.append("".join(current).strip())
    return [line for line in lines if line]


# Argument helpers: each raises CommandError with a text a user can act on.

def arity(args, low, high=None, usage=""):
    high = low if high is None else high
    if not low <= len(args) <= high:
        raise CommandError(f"usage: {usage}" if usage else "wrong number of arguments")


def number(text, low, high, what):
    """An integer from low to high."""
    try:
        n = int(text, 0)
    except (TypeError, ValueError):
        n = None
    if n is None or not low <= n <= high:
        raise CommandError(f"{what}: give a number from {low} to {high}, not {text!r}")
    return n


def decimal(text, low, high, what, unit=""):
    """A decimal number from low to high."""
    try:
        x = float(text)
    except (TypeError, ValueError):
        x = None
    if x is None or not low <= x <= high:
        raise CommandError(f"{what}: give a number from {low:g} to {high:g}{unit}, not {text!r}")
    return x


def write_line(path, line, nobody):
    """One line into a named pipe, as a local tool writes it: opened without
    waiting, one write. nobody: what to say when no one reads the pipe."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    except OSError as e:
        raise CommandError(f"{nobody} ({e.strerror})") from None
    try:
        os.write(fd, (line + "\n").encode())
    finally:
        os.close(fd)
