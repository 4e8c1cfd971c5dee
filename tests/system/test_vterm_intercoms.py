"""The virtual terminal's intercom buses, used from a script as an engineer
would: a cabin call to an intercom with the direction flipped by its
button, fireman's mode placing and ending a call, and the control FIFO."""

import re

from test_vterm import run_vterm

SCRIPT = "; ".join([
    "sleep 3", "status",
    # A call from the cabin: its microphone (440 Hz) to the intercom; the
    # intercom's button held: its 900 Hz in the cabin.
    "console call rs3", "sleep 3", "intercom 3 heard",
    "intercom 3 press", "sleep 2", "loudspeaker", "intercom 3 release", "console hangup", "sleep 3",
    # Fireman's mode on intercom 70's input 1.
    "kelvgd fmm -e 1 -a 70 -c 1 -i 0", "intercom 70 input 1 on", "sleep 6", "intercom 70 heard",
    "intercom 70 input 1 off", "sleep 4",
    # Tools on the control FIFO; an intercom that resets.
    "icctl ftst 3", "intercom 70 reset 0x20", "sleep 6",
])


def test_intercoms_in_the_virtual_terminal():
    r = run_vterm("-c", SCRIPT, timeout=240)
    out = r.stdout
    assert r.returncode == 0, out + r.stderr
    assert "Traceback" not in out + r.stderr
    assert re.search(r"^intercom 3 +bus 0, idle, reset cause 0$", out, re.M), out
    assert re.search(r"^intercom 70 +bus 1, idle", out, re.M)
    assert re.search(r"^\[call\] console: Started call from pc:\* to rs485:rs3$", out, re.M)
    assert re.search(r"^intercom 3 heard 4[34]\d Hz$", out, re.M), out
    assert re.search(r"^\[rs485\] audio from intercom 3$", out, re.M), out
    assert re.search(r"^the loudspeaker plays (8[89]\d|9[01]\d) Hz$", out, re.M), out
    assert re.search(r"^\[parlod\] Max intercom CPU load:\t\d+%$", out, re.M)
    # Fireman's mode called intercom 70 and hung up again.
    assert re.search(r"^\[call\] console: Started call from pc:\* to rs485:rs70$", out, re.M), out
    assert re.search(r"^intercom 70 heard 4[34]\d Hz$", out, re.M), out
    assert re.search(r"^\[call\] console: Hanging up call from pc:\* to rs485:rs70$", out, re.M), out
    # The self-test: what the request does, and the figure, explained.
    assert re.search(r"^vterm: self-test of intercom 3 requested: it takes about 3 s", out, re.M), out
    assert re.search(r"^\[rs485\] intercom 3 self-test: 23 \(the unit's raw result 900: ⌊√900 × 0\.78125⌋\)$",
                     out, re.M), out
    assert re.search(r"^\[parlod\] rs70 RCAUSE 0x20 \(WDT\)$", out, re.M), out
    # The daemon always gets the states file read.
    assert "Failed to lock" not in out
