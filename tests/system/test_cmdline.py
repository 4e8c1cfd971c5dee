"""The command line: words, options, messages and exit codes."""

import pytest

from sim import sysv

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
        assert r.stderr == "Invalid command\n" + usage(sandbox)


@pytest.mark.parametrize("args, message", [
    (["relays", "-a", "2"], "Invalid option value"),
    (["cfg", "-w", "5"], "Invalid option value"),
    (["cfg", "-w", "010"], "Invalid option value"),  # octal 8
    (["cfg", "-w", "x10"], "Invalid option value"),
    (["cfg", "-w", "99999999999999999999"], "Invalid option value"),
    (["cfg", "-w", "4294967306"], "Invalid option value"),  # 10 modulo 2^32
    (["fmm", "-a", "-1"], "Invalid option value"),
    (["fmm", "-d", "-2"], "Invalid option value"),
    (["sound"], "Missing mandatory option"),
    (["ccctl", "-c", "1"], "Missing mandatory option"),
    (["stop", "-x"], "Unexpected option"),
    (["xmas", "-a"], "Unexpected option"),
    (["cfg", "-w"], "Unexpected option"),
    (["cfg", "-z", "1"], "Unexpected option"),
    (["atest", "-a"], "Unexpected option"),
])
def test_bad_options_change_nothing(sandbox, args, message):
    r = sandbox.run(*args)
    assert r.returncode == 1
    # The scanner may add a line of its own before ours.
    assert r.stderr.endswith(message + "\n" + usage(sandbox))
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


def test_commands_of_later_builds_say_so(sandbox):
    r = sandbox.run("xmas")
    assert r.returncode == 1
    assert r.stderr == "xmas: not available in this build\n"
    assert sandbox.notify.wait_for("ERRNO=38")
