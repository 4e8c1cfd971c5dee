"""The command line: words, options, messages and exit codes."""

import os
import re
import subprocess

import pytest

from sim.sandbox import sysv

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

COMMAND_LINES = [
    "  daemonize [-D <coprocessor tty device>] -- run daemon in background",
    "  run [-D <coprocessor tty device>] [-a <disp addr>] [-i <disp interval>] -- run daemon in foreground",
    "  xmas -- Christmas lights",
    "  stop -- stop running daemon",
    "  sound -c <channel> -- enable external mic/spk",
    "  nosound -- disable external mic/spk",
    "  clcall [-c <channel>] -- clear call botton(s)",
    "  clalarm [-c <channel>] -- clear alarm(s)",
    "  auxpwr -d <0/1> -- disable external power",
    "  relays [-a <0/1>] [-b <0/1>] [-c <0/1>] [-d <0/1>] -- relays control",
    "  dump -- dump device state",
    "  sercfg [-i <portnum>] [-b <baud>] [-w <bits>] [-p <parity>] [-s <stop>] -- serial pass-through configuration",
    '  sersrv -- run serial pass-through server in "inetd" mode',
    '  ccdump -- dump "Control Concentrators" info',
    "  ccctl -a <address> -c <command> -- perform command (0-0xff) on control concentrator (0-7)",
    "  srvaddr [-a <address>] [-e <0/1>] -- update server address and enable/disable PUSH protocol",
    "  cfg [-d <0/1>] [-w <10..900>] [-m <0/1>] [-f <0/1>] -- configuration: disable WDT, WDT duration, "
    "enable multi-notify, disable force-notify",
    "  charge -e <state> -- enable/disable battery charger",
    "  failmon -- run failure monitor",
    "  atest -- run audio test",
    "  devtype -- output device type code",
    "  modules [-o <0/1>] [-m <modes>] -- read/update CIO modules mode override (2/4-wire)",
    "  spktest [-m <mask>] -- trigger speakerphones test",
    "  spkres -- dump speakerphones test results",
    "  fmm [-e <enable>] [-a <icomaddr>] [-c <soundch>] [-d <discrete>] [-i <icominp>] [-r <cabin>] "
    "[-v <invert>] -- fireman's mode configuration",
]


def usage(sandbox):
    return f"Usage:\n{sandbox.kelvgd} <command> [parameters]\nValid commands:\n" + "".join(
        line + "\n" for line in COMMAND_LINES)


def test_no_command_prints_the_usage(sandbox):
    r = sandbox.run()
    assert r.returncode == 1
    assert r.stderr == "Command not specified\n" + usage(sandbox)
    assert r.stdout == ""


def test_unknown_and_miscased_words(sandbox):
    for word in ("bogus", "Dump", "dump2", ""):
        r = sandbox.run(word)
        assert r.returncode == 1
        assert r.stderr == f'Invalid command\n"{word}" is not a command word\n' + usage(sandbox)


def test_help_and_version(sandbox):
    for flag in ("--help", "-h"):
        r = sandbox.run(flag)
        assert (r.returncode, r.stdout, r.stderr) == (0, usage(sandbox), "")
    r = sandbox.run("--version")
    assert r.returncode == 0 and r.stderr == ""
    assert re.fullmatch(r"kelvgd \d+\.\d+\.\d+\n", r.stdout)
    with open(os.path.join(REPO, "CMakeLists.txt")) as f:
        assert re.search(r"project\(kel VERSION (\S+)", f.read()).group(1) == r.stdout.split()[1]
    assert not sysv.exists(sandbox.key)


# The first line stays as scripts know it; the second says what to mend.
@pytest.mark.parametrize("args, message, detail", [
    (["relays", "-a", "2"], "Invalid option value", "-a 2: not a number from 0 to 1"),
    (["cfg", "-w", "5"], "Invalid option value", "-w 5: not a number from 10 to 900"),
    (["cfg", "-w", "010"], "Invalid option value", "-w 010: not a number from 10 to 900"),  # octal 8
    (["cfg", "-w", "x10"], "Invalid option value", "-w x10: not a number from 10 to 900"),
    (["cfg", "-w", "99999999999999999999"], "Invalid option value",
     "-w 99999999999999999999: not a number from 10 to 900"),
    (["cfg", "-w", "4294967306"], "Invalid option value", "-w 4294967306: not a number from 10 to 900"),
    (["fmm", "-a", "-1"], "Invalid option value", "-a -1: not a number from 0 to 127"),
    (["fmm", "-d", "-2"], "Invalid option value", "-d -2: not a number from -1 to 23"),
    (["sound"], "Missing mandatory option", '"sound" needs -c'),
    (["ccctl", "-c", "1"], "Missing mandatory option", '"ccctl" needs -a'),
    (["stop", "-x"], "Unexpected option", '"stop" takes no options'),
    (["xmas", "-a"], "Unexpected option", '"xmas" takes no options'),
    (["cfg", "-w"], "Unexpected option", "-w needs a value"),
    (["cfg", "-z", "1"], "Unexpected option", '-z is not an option of "cfg"'),
    (["cfg", "-:"], "Unexpected option", '-: is not an option of "cfg"'),
    (["cfg", "--help"], "Unexpected option", '"cfg" has no long options'),
    (["atest", "-a"], "Unexpected option", '"atest" takes no options'),
    # A value without its letter would widen or undo the command.
    (["clcall", "3"], "Unexpected option", '"3" is not an option of "clcall"'),
    (["clalarm", "-c", "1", "2"], "Unexpected option", '"2" is not an option of "clalarm"'),
    (["srvaddr", "192.0.2.1", "-e", "1"], "Unexpected option", '"192.0.2.1" is not an option of "srvaddr"'),
    (["cfg", "--", "-w", "20"], "Unexpected option", '"-w" is not an option of "cfg"'),
    (["stop", "now"], "Unexpected option", '"now" is not an option of "stop"'),
])
def test_bad_options_change_nothing(sandbox, args, message, detail):
    r = sandbox.run(*args)
    assert r.returncode == 1
    assert r.stderr == message + "\n" + detail + "\n" + usage(sandbox)
    assert r.stdout == ""
    assert not sysv.exists(sandbox.key), "shared state set up for a refused command line"
    assert sandbox.notify.messages() == []


def test_numbers_take_any_base_and_ignore_trailing_text(sandbox):
    for given, stored in (("0x1e", "30"), ("012", "10"), ("45x", "45"), ("20", "20")):
        assert sandbox.run("cfg", "-w", given).returncode == 0
        assert f"wdt_period={stored}\n" in sandbox.read("etc/kelvgd.conf")
    assert sandbox.run("cfg", "-w", "11", "-w", "12").returncode == 0
    assert "wdt_period=12\n" in sandbox.read("etc/kelvgd.conf")


def test_relays_options_in_any_base(sandbox):
    for value in ("0x1", "1x", "0"):
        r = sandbox.run("relays", "-a", value)
        assert "Invalid option value" not in r.stderr, value
    assert "Invalid option value" in sandbox.run("relays", "-a", "2").stderr


def test_failure_address_names_the_source_line(sandbox):
    """The "@" address of a diagnostic is one of the program file, the same
    on every run, so that addr2line finds the line that reported it."""
    os.rmdir(sandbox.path("etc"))  # the setting cannot be saved
    first, second = (sandbox.run("cfg", "-m", "0") for _ in range(2))
    assert first.returncode == 1
    m = re.fullmatch(r"No such file or directory \(@(0x[0-9a-f]+)\)\n", first.stderr)
    assert m, first.stderr
    assert second.stderr == first.stderr  # whatever the address-space layout
    where = subprocess.run(["addr2line", "-e", sandbox.kelvgd, m.group(1)], capture_output=True, text=True,
                           check=True).stdout.strip()
    source, _, line = where.rpartition(":")
    assert source.endswith("kelvgd/cmd_cfg.cpp"), where
    with open(source) as f:
        assert "neg_errno_automsg()" in f.read().splitlines()[int(line) - 1]


def test_lines_that_cannot_be_written_fail_the_command(sandbox):
    """A script that reads a command's lines from a full disk must not be
    told that it got them."""
    import errno

    sandbox.run("cfg")
    sandbox.state().set("devtype_valid", 1)
    sandbox.state().set("inputs_valid", 1)
    with open("/dev/full", "w") as full:
        for cmd in (["cfg"], ["srvaddr"], ["fmm"], ["devtype"], ["dump"]):
            r = subprocess.run([sandbox.kelvgd, *cmd], stdout=full, stderr=subprocess.PIPE, env=sandbox.env(),
                               timeout=30)
            assert r.returncode == 1, cmd
    # Written where they can be, the same commands succeed.
    for cmd in (["cfg"], ["srvaddr"], ["fmm"], ["devtype"]):
        r = sandbox.run(*cmd)
        assert r.returncode == 0 and r.stdout, cmd
    sandbox.notify.clear()
    with open("/dev/full", "w") as full:
        subprocess.run([sandbox.kelvgd, "cfg"], stdout=full, env=sandbox.env(), timeout=30)
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.ENOSPC}"
