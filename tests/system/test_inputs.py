"""Readings of a GPIO-mode terminal's inputs, from raw ADC values to the
resistances, alarms, buttons and voltages of the shared state."""

import errno

import pytest

from sim.devices.coproc import Coprocessor

TTY = "ttyS4"
UD = 0.8349996638655462
MAX = 2147483647


def volts(reading):
    return reading * 5.0 * 0.0009765625


def truncate(x):
    return int(x)


def ohms(x):
    """Rounded or truncated whole ohms: not positive 0, too large MAX."""
    if x != x:
        return MAX
    if x <= 0:
        return 0
    return MAX if x > MAX else int(x)


def reference(reading):
    u = volts(reading)
    return (u - UD) * 3006 / (5.0 - u) - 200


def discrete(reading, r):
    u = volts(reading)
    R = ((6.0 * r + 324000 + 153000000) * (u - UD) / (5.0 - u) - (200 * r + 10800000 + 51000 * r)) / (r + 54000)
    return ohms(R + 0.5)


def button_large(reading, r):
    u = volts(reading)
    return ohms(0.5 + (u - UD) * 3006 / (5.0 - u) - r - 200)


def button_small(x):
    d = 81.00740840517241 - 0.0927734375 * x
    if d <= 0:
        return MAX
    return max(truncate((x * 249.0234375 - 9455.172413793098) / d) - 200, 0)


@pytest.fixture
def terminal(sandbox):
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    chip = sandbox.gpio()
    return sandbox.attach(Coprocessor(sandbox.pty(TTY), chip))


def update(probe, sandbox):
    r = probe("update", sandbox.path("dev/" + TTY))
    assert r["result"] == 0, probe.stderr
    return r


# Readings across the range: below the diode drop, the thresholds' region,
# open loops, and the top of the converter.
READINGS = [0, 100, 171, 180, 250, 300, 400, 500, 600, 700, 800, 900, 1000, 1023,
            175, 185, 190, 200, 210, 220, 230, 240]


def test_large_terminal(sandbox, terminal, probe):
    terminal.set_devtype(1)
    ref = 190
    terminal.set_adc(1, ref, input=23)
    for i, reading in enumerate(READINGS):
        terminal.set_adc(1, reading, input=i)
    buttons = [0, 171, 172, 173, 400, 1023, 180, 176]
    for i, reading in enumerate(buttons):
        terminal.set_adc(1, reading, input=24 + i)
    terminal.set_adc(6, 800)
    terminal.set_adc(7, 700)
    terminal.set_adc(3, 300)

    r = update(probe, sandbox)
    rref = reference(ref)
    assert r["devtype"] == "1" and r["counts"] == "22,8,4,2"
    assert (float(r["diode"]), r["temperature"], int(r["rmux"])) == (UD, "29", truncate(rref))
    for i, reading in enumerate(READINGS):
        want = discrete(reading, rref)
        assert int(r[f"discrete{i}"]) == want, i
        assert r[f"alarm{i}"] == str(int(want < 2000 or want > 8000)), i
    assert int(r["discrete0"]) == 0 and int(r["discrete13"]) > 8000
    for i, reading in enumerate(buttons):
        want = button_large(reading, rref)
        assert int(r[f"button{i}"]) == want, i
        assert r[f"active{i}"] == str(int(want <= 999)), i
    assert {r["active0"], r["active5"]} == {"1", "0"}
    assert int(r["batt"]) == ((800 * 5000) >> 10) * 18100 // 5100
    assert float(r["psu"]) == pytest.approx(volts(700) * 18100 / 5100, abs=1e-6)
    assert float(r["mic"]) == pytest.approx(volts(300) * 18100 / 5100 - UD, abs=1e-6)
    assert r["spk"] == "0"
    st = sandbox.state()
    assert (st.get("devtype"), st.get("devtype_valid"), st.get("num_discrete"), st.get("num_buttons"),
            st.get("num_relays"), st.get("num_tsensors")) == (1, 1, 22, 8, 4, 2)


def test_small_terminal_with_latched_calls(sandbox, terminal, probe):
    terminal.set_devtype(0)
    terminal.set_adc(1, 200, input=7)
    terminal.set_calls(0b0101, 0b0010)
    r = update(probe, sandbox)
    assert r["counts"] == "7,4,1,0"
    assert [r[f"button{i}"] for i in range(4)] == ["0", str(MAX), "0", str(MAX)]
    assert [r[f"active{i}"] for i in range(4)] == ["1", "1", "1", "0"]
    assert "discrete7" not in r


def test_analog_buttons_skip_the_maintenance_channel(sandbox, terminal, probe):
    terminal.set_devtype(2)
    terminal.set_adc(1, 200, input=7)
    readings = [0, 120, 500, 900]
    for i, x in enumerate(readings):
        terminal.set_adc(2, x, input=8 + i)
    update(probe, sandbox)  # publishes the counts
    sandbox.state().set("sound_ch", 3)
    r = update(probe, sandbox)
    assert r["button2"] == str(MAX) and r["active2"] == "0"
    assert (10, 2) not in terminal.adc_reads[-12:]
    for i in (0, 1, 3):
        want = button_small(readings[i])
        assert int(r[f"button{i}"]) == want
        assert r[f"active{i}"] == str(int(want <= 999))


def test_unknown_device_type(sandbox, terminal, probe):
    terminal.set_devtype(4)
    r = probe("update", sandbox.path("dev/" + TTY))
    assert r["result"] == -errno.EINVAL
    assert "inputs_init(): Unknown device type\n" in probe.stderr
    assert sandbox.state().get("devtype_valid") == 0


def test_watchdog_is_loaded_with_a_minute_to_spare(sandbox, terminal, probe):
    sandbox.run("cfg")
    sandbox.state().set("wdt_period", 900)
    assert probe("ewdt-reset", sandbox.path("dev/" + TTY))["result"] == 960
    assert terminal.wdt_loads == [960]


def test_coprocessor_that_stops_mid_reading(sandbox, terminal, probe):
    terminal.set_devtype(1)
    terminal.next_replies = [None, "23\r", "abc\r"]  # ver, input 23, then adc fails
    r = probe("update", sandbox.path("dev/" + TTY))
    assert r["result"] == -errno.ENODATA
