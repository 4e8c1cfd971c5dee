"""Readings of a GPIO-mode terminal's inputs, from raw ADC values to the
resistances, alarms, buttons and voltages of the shared state."""

import errno

import pytest

from sim.devices.coproc import Coprocessor

TTY = "ttyS4"
UD = 0.8349996638655462  # the diode drop the terminal reports
MAX = 2147483647


@pytest.fixture
def terminal(sandbox):
    sandbox.write("etc/device.conf", "cio=0\nrevision=5\n")
    chip = sandbox.gpio()
    return sandbox.attach(Coprocessor(sandbox.pty(TTY), chip))


def update(probe, sandbox):
    r = probe("update", sandbox.path("dev/" + TTY))
    assert r["result"] == 0, probe.stderr
    return r


# Readings across the range (below the diode drop, the thresholds' region,
# open loops, the top of the converter), each with the whole ohms it
# stands for against the reference loop's reading of 190 (rmux -131 ohms):
# figures worked out once, not the terminal's arithmetic written again.
DISCRETE = [(0, 0), (100, 0), (171, 0), (180, 0), (250, 215), (300, 432), (400, 969), (500, 1712),
            (600, 2804), (700, 4572), (800, 7917), (900, 16658), (1000, 98238), (1023, 2424909),
            (175, 0), (185, 0), (190, 0), (200, 25), (210, 61), (220, 98), (230, 136), (240, 175)]
BUTTONS = [(0, 0), (171, 0), (172, 0), (173, 0), (400, 1035), (1023, 2561020), (180, 0), (176, 0)]


def test_large_terminal(sandbox, terminal, probe):
    terminal.set_devtype(1)
    terminal.set_adc(1, 190, input=23)
    for i, (reading, _) in enumerate(DISCRETE):
        terminal.set_adc(1, reading, input=i)
    for i, (reading, _) in enumerate(BUTTONS):
        terminal.set_adc(1, reading, input=24 + i)
    terminal.set_adc(6, 800)
    terminal.set_adc(7, 700)
    terminal.set_adc(3, 300)

    r = update(probe, sandbox)
    assert r["devtype"] == "1" and r["counts"] == "22,8,4,2"
    assert (float(r["diode"]), r["temperature"], r["rmux"]) == (UD, "29", "-131")
    for i, (_, want) in enumerate(DISCRETE):
        assert int(r[f"discrete{i}"]) == want, i
        assert r[f"alarm{i}"] == str(int(want < 2000 or want > 8000)), i
    for i, (_, want) in enumerate(BUTTONS):
        assert int(r[f"button{i}"]) == want, i
        assert r[f"active{i}"] == str(int(want <= 999)), i
    assert r["batt"] == "13862"
    assert float(r["psu"]) == pytest.approx(12.130438, abs=1e-6)
    assert float(r["mic"]) == pytest.approx(4.363760, abs=1e-6)
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
    readings = [0, 120, 500, 900]  # 0 and 92 ohms, the maintenance channel's, an open loop
    for i, x in enumerate(readings):
        terminal.set_adc(2, x, input=8 + i)
    update(probe, sandbox)  # publishes the counts
    sandbox.state().set("sound_ch", 3)
    r = update(probe, sandbox)
    assert r["button2"] == str(MAX) and r["active2"] == "0"
    assert (10, 2) not in terminal.adc_reads[-12:]
    assert [r[f"button{i}"] for i in (0, 1, 3)] == ["0", "92", str(MAX)]
    assert [r[f"active{i}"] for i in (0, 1, 3)] == ["1", "1", "0"]


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
