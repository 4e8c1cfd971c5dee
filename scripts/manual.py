#!/usr/bin/python3
"""Manual pages and example configuration files from one source.

Each manual page is written once, in the folder of the code it documents,
as a small Markdown file that reads well on its own (kelvgd/kelvgd.8.md,
parlod/parlod.8.md, common/kel.conf.5.md). This script turns those files
into manual pages (roff, for man(1)), and turns the configuration files
they describe into commented example files, so that a key, its range and
its default are written in one place only.

    manual.py --version V --out DIR SOURCE...

writes DIR/NAME.SECTION for each source and DIR/examples/FILE for each
configuration file described, and DIR/examples.list: one line per example,
"FILE etc" (installed as /etc/FILE) or "FILE doc" (an example only).

The Markdown it understands (nothing else; anything else is an error):

    # NAME(SECTION): what it is           the first line: title and NAME line
    ## HEADING                            a section
    ### Heading                           a subsection
    text lines                            a paragraph; a blank line ends it
    - item                                a bullet (continuation lines
                                          indented by two blanks)
    TERM                                  a definition: the term line, then
    :   text                              lines indented by four blanks,
        more text                         blank lines between paragraphs
    ```                                   a literal block
    <!-- example: etc|doc [active] -->    see below

Inline: `code` prints in bold, *words* in italics.

A subsection whose heading is an absolute path ending in ".conf" describes
a configuration file; its definitions whose term reads

    `key` = default (range)

are that file's keys (`""` is the empty value; the range is free text).
The comment after the heading says where its example goes: "etc" into /etc
(a conffile of the package), "doc" among the documentation only. An example
holds every key commented out with its default. "active" writes the keys
as settings instead, with no prose at all: for a file whose reader finds a
key anywhere in the text, comments included.
"""

import argparse
import os
import re
import sys
import textwrap

KEY_TERM = re.compile(r'^`([A-Za-z_][A-Za-z0-9_]*)` = (""|\S+)(?: \((.+)\))?$')
TITLE = re.compile(r"^# ([a-z.\-]+)\(([1-8])\): (.+)$")
EXAMPLE = re.compile(r"^<!-- example: (etc|doc)( active)? -->$")

MANUALS = {"5": "File Formats", "8": "System Manager's Manual"}


class SourceError(Exception):
    pass


class Key:
    def __init__(self, name, default, range_text, text):
        self.name = name
        self.default = "" if default == '""' else default
        self.range = range_text or ""
        self.text = text  # the definition's first paragraph, one line


class ConfigFile:
    def __init__(self, path, where, active, line):
        self.path = path
        self.where = where
        self.active = active
        self.line = line
        self.about = ""  # the first paragraph of the subsection
        self.keys = []


class Page:
    """One source file: its blocks, and the configuration files it describes."""

    def __init__(self, path):
        self.path = path
        self.name = self.section = self.summary = None
        self.blocks = []  # (kind, data)
        self.files = []
        self._parse(open(path, encoding="utf-8").read().split("\n"))

    def _error(self, lineno, message):
        raise SourceError(f"{self.path}:{lineno}: {message}")

    def _parse(self, lines):
        m = TITLE.match(lines[0]) if lines else None
        if not m:
            self._error(1, 'the first line must read "# name(section): summary"')
        self.name, self.section, self.summary = m.groups()
        if self.section not in MANUALS:
            self._error(1, f"no manual for section {self.section}")
        current = None  # the ConfigFile being described
        i = 1
        while i < len(lines):
            line = lines[i]
            lineno = i + 1
            if not line.strip():
                i += 1
            elif line.startswith("## "):
                self.blocks.append(("SH", line[3:].strip()))
                current = None
                i += 1
            elif line.startswith("### "):
                heading = line[4:].strip()
                self.blocks.append(("SS", heading))
                current = None
                if heading.startswith("/") and heading.endswith(".conf"):
                    m = EXAMPLE.match(lines[i + 1] if i + 1 < len(lines) else "")
                    if not m:
                        self._error(lineno + 1, "a configuration file needs <!-- example: etc|doc -->")
                    current = ConfigFile(heading, m.group(1), bool(m.group(2)), lineno)
                    self.files.append(current)
                    i += 1
                i += 1
            elif line.startswith("<!--"):
                self._error(lineno, "a comment only follows the heading of a configuration file")
            elif line.startswith("```"):
                j = i + 1
                while j < len(lines) and not lines[j].startswith("```"):
                    j += 1
                if j == len(lines):
                    self._error(lineno, "literal block without its end")
                self.blocks.append(("EX", lines[i + 1:j]))
                i = j + 1
            elif line.startswith("- "):
                item = [line[2:]]
                i += 1
                while i < len(lines) and lines[i].startswith("  ") and lines[i].strip():
                    item.append(lines[i].strip())
                    i += 1
                self.blocks.append(("LI", " ".join(item)))
            elif line.startswith(" ") or line.startswith(":"):
                self._error(lineno, "indented text outside a definition")
            elif i + 1 < len(lines) and lines[i + 1].startswith(":   "):
                term = line.strip()
                paragraphs, i = self._definition(lines, i + 1)
                self.blocks.append(("TP", (term, paragraphs)))
                m = KEY_TERM.match(term)
                if current and m:
                    if any(k.name == m.group(1) for k in current.keys):
                        self._error(lineno, f"key {m.group(1)} described twice")
                    current.keys.append(Key(*m.groups(), paragraphs[0]))
                elif current and term.startswith("`"):
                    self._error(lineno, "a key reads `key` = default (range)")
            else:
                para = []
                while i < len(lines) and lines[i].strip() and not re.match(r"^(#|- |```|<!--|:)", lines[i]):
                    if i + 1 < len(lines) and lines[i + 1].startswith(":   "):
                        break
                    para.append(lines[i].strip())
                    i += 1
                if not para:
                    self._error(lineno, "cannot read this line")
                self.blocks.append(("PP", " ".join(para)))
                if current and not current.about:
                    current.about = " ".join(para)
        for f in self.files:
            if not f.keys:
                self._error(f.line, f"{f.path} describes no key")

    def _definition(self, lines, i):
        """The paragraphs of a definition starting at line i (": " first)."""
        paragraphs = [[lines[i][4:].strip()]]
        i += 1
        while i < len(lines):
            if lines[i].startswith("    ") and lines[i].strip():
                paragraphs[-1].append(lines[i].strip())
                i += 1
            elif not lines[i].strip() and i + 1 < len(lines) and lines[i + 1].startswith("    "):
                paragraphs.append([])
                i += 1
            else:
                break
        return [" ".join(p) for p in paragraphs], i


def roff_text(text):
    """Inline Markdown to roff, with roff's special characters escaped.
    Italics are looked for between the code spans, so that they may touch
    them: `rs`*N*`=` is a bold "rs", an italic N and a bold "="."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    out = []
    for part in re.split(r"(`[^`]+`)", text):
        if part.startswith("`") and part.endswith("`") and len(part) > 1:
            out.append(f"\\fB{part[1:-1]}\\fR")
        else:
            out.append(re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\\fI\1\\fR", part))
    return "".join(out)


def roff_line(text):
    """A line of running text: no request may start it."""
    text = roff_text(text)
    return "\\&" + text if text.startswith((".", "'")) else text


def render_roff(page, version, date):
    out = [f'.TH "{page.name.upper()}" "{page.section}" "{date}" "kel {version}" "{MANUALS[page.section]}"',
           ".SH NAME", f"{roff_text(page.name)} \\- {roff_text(page.summary)}"]
    for kind, data in page.blocks:
        if kind == "SH":
            out += [f'.SH "{data.upper()}"']
        elif kind == "SS":
            out += [f'.SS "{roff_text(data)}"']
        elif kind == "PP":
            out += [".PP", roff_line(data)]
        elif kind == "LI":
            out += [".IP \\(bu 2", roff_line(data)]
        elif kind == "TP":
            term, paragraphs = data
            out += [".TP", roff_line(term), roff_line(paragraphs[0])]
            for p in paragraphs[1:]:
                out += [".IP", roff_line(p)]
        elif kind == "EX":
            out += [".PP", ".RS 4", ".nf"] + [roff_line(line) if line else "" for line in data] + [".fi", ".RE"]
    return "\n".join(out) + "\n"


def plain(text):
    """Inline Markdown as plain text, for comments."""
    return re.sub(r"`([^`]+)`", r"\1", text).replace("*", "")


def first_sentence(text):
    m = re.match(r"(.+?\.)(\s|$)", text)
    return m.group(1) if m else text


def render_example(conf, manual):
    """A commented example: every line starts with "#" or is a setting."""
    name = os.path.basename(conf.path)
    if conf.active:
        # No prose: the reader of this file finds a key anywhere in the text.
        lines = [f"# {conf.path}: see {manual}."]
        lines += [f"{k.name}={k.default}" for k in conf.keys]
    else:
        wrap = lambda text: textwrap.wrap(plain(text), 70)  # noqa: E731
        lines = ["# " + line for line in wrap(f"{conf.path}: {conf.about}")]
        lines += ["#", "# Each setting below is commented out and shows its default. The file",
                  "# has no comment syntax: a line that begins with \"#\" is a key that no",
                  f"# program asks for, so it sets nothing. See {manual}."]
        for k in conf.keys:
            lines += ["#"] + ["# " + line for line in wrap(f"{k.name} ({k.range}): {first_sentence(k.text)}")]
            lines.append(f"#{k.name}={k.default}")
    for line in lines:
        if conf.active and line.startswith("#") and any(k.name in line for k in conf.keys):
            raise SourceError(f"{conf.path}: the example's comment names a key")
    return name, "\n".join(lines) + "\n"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--version", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("sources", nargs="+")
    args = ap.parse_args(argv)

    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    date = ""
    if epoch:
        import time
        date = time.strftime("%Y-%m-%d", time.gmtime(int(epoch)))
    try:
        pages = [Page(p) for p in args.sources]
    except SourceError as e:
        print(f"manual.py: {e}", file=sys.stderr)
        return 1
    os.makedirs(os.path.join(args.out, "examples"), exist_ok=True)
    listing = []
    for page in pages:
        with open(os.path.join(args.out, f"{page.name}.{page.section}"), "w") as f:
            f.write(render_roff(page, args.version, date))
        for conf in page.files:
            try:
                name, text = render_example(conf, f"{page.name}({page.section})")
            except SourceError as e:
                print(f"manual.py: {e}", file=sys.stderr)
                return 1
            with open(os.path.join(args.out, "examples", name), "w") as f:
                f.write(text)
            listing.append(f"{name} {conf.where}")
    with open(os.path.join(args.out, "examples.list"), "w") as f:
        f.write("".join(line + "\n" for line in listing))
    return 0


if __name__ == "__main__":
    sys.exit(main())
