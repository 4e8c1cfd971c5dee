"""GPIO lines through the binary, against the simulated sysfs GPIO lines."""

import pytest

SERIAL_LINES = [47, 52, 57, 59, 49, 20, 7, 86, 87, 88, 89]  # table order
REST_OUTPUTS = {49: 0, 20: 0}


@pytest.fixture
def terminal(sandbox):
    """A GPIO-mode terminal of variant (0, 5) with some lines exported."""
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    sandbox.gpio(exported=[47, 52, 57, 59, 49])
    return sandbox


def test_auxpwr_switches_the_supply_and_leaves_the_rest_state(terminal):
    chip = terminal.chip
    r = terminal.run("auxpwr", "-d", "1")
    assert (r.returncode, r.stdout, r.stderr) == (0, "1\n", "")

    # Only missing lines were exported, from the last row of the table back.
    assert chip.exports() == [89, 88, 87, 86, 7, 20]
    # Line 7 was set up low as at start, then driven on.
    assert chip.values(7) == [0, 1]
    # The last user leaves every line at rest.
    for n in SERIAL_LINES:
        want = ("out", REST_OUTPUTS[n]) if n in REST_OUTPUTS else ("in", 0)
        assert chip.line(n) == want, n
    assert terminal.state().get("gpiousr") == 0
    assert terminal.notify.messages() == ["ERRNO=0"]


def test_start_directions_and_levels(terminal):
    chip = terminal.chip
    assert terminal.run("auxpwr", "-d", "0").stdout == "0\n"
    for n in SERIAL_LINES:
        directions = [e.value for e in chip.history(n, "direction")]
        assert directions[0] == "out", n  # every line of the variant starts as output
    assert chip.values(20)[0] == 1  # coprocessor out of reset
    assert all(v == 0 for n in SERIAL_LINES if n != 20 for v in chip.values(n))


def test_second_user_changes_nothing_but_its_line(terminal):
    chip = terminal.chip
    terminal.run("auxpwr", "-d", "0")  # creates the state; lines at rest
    # The daemon holds the lines: configured, relay 1 on.
    st = terminal.state()
    st.set("gpiousr", 1)
    for n in SERIAL_LINES:
        with open(terminal.path(f"sys/class/gpio/gpio{n}/direction"), "w") as f:
            f.write("out")
    with open(terminal.path("sys/class/gpio/gpio86/value"), "w") as f:
        f.write("1")
    before = len(chip.events)

    r = terminal.run("auxpwr", "-d", "1")
    assert r.returncode == 0
    changes = [(e.gpio, e.what, e.value) for e in chip.events[before:]]
    assert changes == [(7, "value", 1)]
    assert chip.line(86) == ("out", 1)
    assert st.get("gpiousr") == 1


def test_board_variant_has_no_relays(sandbox):
    sandbox.write("etc/device.conf", "cio=1\nrevision=3\n")
    chip = sandbox.gpio()
    r = sandbox.run("auxpwr", "-d", "1")
    assert r.returncode == 0
    assert sorted(chip.exports()) == [7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 58, 59, 61]
    assert 86 not in chip.lines
    assert all(chip.line(n)[0] == "in" for n in chip.lines)


def test_missing_variant_or_lines(sandbox):
    sandbox.write("etc/device.conf", "cio=0\n")
    sandbox.gpio()
    r = sandbox.run("auxpwr", "-d", "1")
    assert r.returncode == 1
    assert r.stderr == f"Error reading config file {sandbox.path('etc/device.conf')}.\n"
    assert r.stdout == ""

    # Without any GPIO interface the export fails: nothing is left held.
    sandbox.chip.unmount()
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    r = sandbox.run("auxpwr", "-d", "1")
    assert r.returncode == 1
    assert sandbox.state().get("gpiousr") == 0
    assert sandbox.semaphores().values() == [1, 1, 1, 32767, 1, 1]
