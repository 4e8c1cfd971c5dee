"""The manual pages against the programs: every command, option, key and
report field the programs know is documented, and nothing is documented
that they do not know. The example configuration files, installed into a
terminal, change nothing until a command writes a setting."""

import glob
import os
import re
import subprocess
import sys

import pytest

from conftest import ROOT, build_dir, built, report_lines

sys.path.insert(0, os.path.join(ROOT, "scripts"))
import manual  # noqa: E402

SOURCES = {name: manual.Page(os.path.join(ROOT, path)) for name, path in (
    ("kelvgd", "kelvgd/kelvgd.8.md"), ("parlod", "parlod/parlod.8.md"), ("conf", "common/kel.conf.5.md"),
    ("kelsnmp", "kelsnmp/kelsnmp.8.md"), ("ic", "parlod/parlod-ic.5.md"))}


def terms(page, section):
    """The terms of the definitions in one section of a page."""
    found, inside = [], False
    for kind, data in page.blocks:
        if kind == "SH":
            inside = data == section
        elif kind == "TP" and inside:
            found.append(data[0])
    return found


def sources(*folders):
    text = {}
    for folder in folders:
        for path in glob.glob(os.path.join(ROOT, folder, "**", "*.[ch]*"), recursive=True):
            if path.endswith((".cpp", ".h")):
                text[path] = open(path).read()
    return text


def test_every_command_of_kelvgd_with_its_options(kelvgd_binary):
    usage = subprocess.run([kelvgd_binary, "--help"], capture_output=True, text=True, check=True).stdout
    commands = {}
    for line in usage.splitlines():
        m = re.match(r"^  (\w+) (.*) -- ", line) or re.match(r"^  (\w+) -- ", line)
        if m:
            commands[m.group(1)] = set(re.findall(r"-([A-Za-z])\b", m.group(2) if m.lastindex > 1 else ""))
    assert len(commands) == 25
    documented = {}
    for term in terms(SOURCES["kelvgd"], "COMMANDS"):
        m = re.match(r"^`(\w+)`", term)
        documented[m.group(1)] = set(re.findall(r"`-([A-Za-z])`", term))
    assert documented == commands


def test_every_option_and_pipe_command_of_parlod():
    parlod = built("PARLOD", "build/parlod/parlod")
    usage = subprocess.run([parlod, "--help"], capture_output=True, text=True, check=True).stdout
    options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", usage.split("\n", 1)[1]))
    documented = set()
    for term in terms(SOURCES["parlod"], "OPTIONS"):
        documented |= set(re.findall(r"`(--?[a-z][a-z-]*)`", term))
    assert documented == options

    code = "".join(sources("parlod/console").values())
    commands = set(re.findall(r'SetCommand\("(\w+)"', code))
    words = {w.lower() for w in re.findall(r'strcasecmp\(word, "(\w+)"\)', code)}
    documented = set()
    for term in terms(SOURCES["parlod"], "COMMANDS"):
        documented |= set(re.findall(r"`(\w+)`", term))
    assert commands <= documented, commands - documented
    assert words <= documented, words - documented


def test_every_option_and_notification_of_kelsnmp():
    kelsnmp = os.environ.get("KELSNMP") or os.path.join(build_dir(), "kelsnmp", "kelsnmp")
    usage = subprocess.run([kelsnmp, "--help"], capture_output=True, text=True, check=True).stdout
    options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", usage.split("\n", 1)[1]))
    documented = set()
    for term in terms(SOURCES["kelsnmp"], "OPTIONS"):
        documented |= set(re.findall(r"`(--?[a-z][a-z-]*)`", term))
    assert documented == options

    mib = open(os.path.join(build_dir(), "kelsnmp", "KEL-TERMINAL-MIB.txt")).read()
    notifications = set(re.findall(r"^(\w+) NOTIFICATION-TYPE$", mib, re.M))
    assert len(notifications) == 14
    documented = set()
    for term in terms(SOURCES["kelsnmp"], "NOTIFICATIONS"):
        documented |= set(re.findall(r"`(\w+)`", term))
    assert documented == notifications


def test_every_control_fifo_command_and_states_file_column():
    """The intercoms' page against the console's code: the command words of
    the control FIFO's table, and the states file's lines of column names as
    its writer writes them, with every column."""
    code = sources("common", "parlod")
    table = "".join(m.group(0) for text in code.values()
                    for m in re.finditer(r"::ExecuteControlLine\(.*?^}", text, re.S | re.M))
    words = set(re.findall(r'\bword == "(\w+)"', table))
    assert {"rel", "ftst"} <= words, "no command table found"
    documented = set()
    for term in terms(SOURCES["ic"], "CONTROL FIFO"):
        documented |= set(re.findall(r"`(\w+)`", term))
    assert documented == words

    header = re.compile(r'"(# [a-z][a-z0-9_]*(?:,[a-z][a-z0-9_]*)+)\\n"')
    headers = sorted({h for text in code.values() for h in header.findall(text)})
    assert len(headers) == 2, headers
    states = terms(SOURCES["ic"], "STATES FILE")
    assert sorted(t.strip("`") for t in states if t.startswith("`# ")) == headers
    columns = {c for h in headers for c in h[2:].split(",")}
    assert {t.strip("`") for t in states if re.fullmatch(r"`\w+`", t)} == columns


def test_every_key_that_the_programs_read():
    """A key documented is one the code names; a key the code reads or
    writes by name is documented."""
    documented = {k.name: f.path for f in SOURCES["conf"].files for k in f.keys}
    code = sources("common", "kelvgd", "parlod")
    literals = set()
    for text in code.values():
        literals |= set(re.findall(r'"([a-z][a-z0-9_]*)"', text))
    assert set(documented) <= literals, set(documented) - literals

    read_by_name = set()
    for text in code.values():
        read_by_name |= set(re.findall(r'cfg_(?:read|write)_(?:int|str)\([^,]+,\s*"([^"]+)"', text))
        # Tables of keys whose rows a loop hands to the readers and writers.
        if re.search(r"cfg_(?:read|write)_(?:int|str)\([^,]+,\s*\w+\.key\b", text):
            read_by_name |= set(re.findall(r'\{[^{}]*?"([a-z]+_[a-z_]+)"', text))
    assert read_by_name, "no key found in the code"
    assert read_by_name <= set(documented), read_by_name - set(documented)


def test_every_field_of_the_state_report(terminal):
    terminal.start()
    terminal.cycles(2)
    r = terminal.run("dump")
    assert r.returncode == 0, r.stderr
    fields = {re.sub(r"\d+", "N", key) for key in report_lines(r.stdout)}
    documented = set()
    for term in terms(SOURCES["conf"], "STATE REPORT"):
        # "`discrete`*n*`=`*ohms*`,`*alarm*": the field discreteN.
        text = re.sub(r"\*[^*]*\*", "", term.replace("*n*", "N")).replace("`", "")
        documented |= {re.sub(r"\d+", "N", part.split("=")[0]) for part in text.split(", ")}
    assert fields <= documented, fields - documented


def install_examples(sandbox):
    examples = os.path.join(build_dir(), "manual", "examples")
    for line in open(os.path.join(build_dir(), "manual", "examples.list")):
        name, where = line.split()
        if where == "etc":
            sandbox.write("etc/" + name, open(os.path.join(examples, name)).read())
    return examples


def test_examples_change_nothing_until_a_setting_is_written(sandbox):
    examples = install_examples(sandbox)
    kelvgd_conf = sandbox.read("etc/kelvgd.conf")
    assert "#wdt_period=900" in kelvgd_conf

    r = sandbox.run("cfg")
    assert (r.returncode, r.stdout) == (0, "wdt_disabled=0\nwdt_period=900\nmulti_notify=1\nforce_notify=1\n")
    r = sandbox.run("srvaddr")
    assert (r.returncode, r.stdout) == (0, "serv_addr=\npush_enabled=0\n")

    # A setting written is one line more; every comment stays.
    assert sandbox.run("cfg", "-w", "300").returncode == 0
    assert sandbox.read("etc/kelvgd.conf") == kelvgd_conf + "wdt_period=300\n"
    assert sandbox.run("cfg").stdout.splitlines()[1] == "wdt_period=300"
    assert sandbox.run("cfg", "-w", "900").returncode == 0
    assert sandbox.read("etc/kelvgd.conf") == kelvgd_conf + "wdt_period=900\n"

    # The hardware identity is an example only: commented, it identifies
    # nothing, and the daemon says so.
    sandbox.write("etc/device.conf", open(os.path.join(examples, "device.conf")).read())
    r = sandbox.run("run", timeout=30)
    assert r.returncode == 1
    assert "Error reading config file " + sandbox.path("etc/device.conf") in r.stderr


@pytest.mark.parametrize("page", ["kelvgd.8", "parlod.8", "kelsnmp.8", "kel.conf.5", "parlod-ic.5"])
def test_pages_read_cleanly(page):
    path = os.path.join(build_dir(), "manual", page)
    r = subprocess.run(["man", "--warnings", "-l", path], capture_output=True, text=True,
                       env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
    assert (r.returncode, r.stderr) == (0, "")
    text = re.sub(".\b", "", r.stdout)  # no bold or underlining by overstrike
    assert "NAME" in text and "SEE ALSO" in text
