"""The maintenance sound channel and the relays, through the binary."""

import errno
import sys

from conftest import daemon_holds_gpio

FLT_MAX = sys.float_info.max


def levels(chip, *lines):
    return [chip.line(n)[1] for n in lines]


def test_channel_on_an_eight_channel_terminal(sandbox):
    chip = daemon_holds_gpio(sandbox)
    st = sandbox.state()
    st.set("buttonact", [1] * 8)
    st.set("pendingbell", [1] * 8)
    st.set("vol_mic_max", 3.0)

    r = sandbox.run("sound", "-c", "5")
    assert r.returncode == 0, r.stderr
    # Channel 5 is 101: enabled, select lines carry 010.
    assert levels(chip, 47, 52, 57, 59) == [1, 0, 1, 0]
    assert st.get("sound_ch") == 6
    assert st.get("buttonact")[5] == 0 and st.get("pendingbell")[5] == 0
    assert st.get("buttonact")[4] == 1
    assert (st.get("cur_spk_min"), st.get("cur_spk_max"), st.get("vol_mic_min"), st.get("vol_mic_max")) == \
        (2147483647, 0, FLT_MAX, 0.0)
    assert chip.line(49) == ("out", 0)  # the mute line is not the channel's business

    st.set("buttonact", [1] * 8)
    r = sandbox.run("nosound")
    assert r.returncode == 0
    assert levels(chip, 47, 52, 57, 59) == [0, 0, 0, 0]
    assert st.get("sound_ch") == 0
    assert st.get("buttonact")[5] == 0 and st.get("buttonact")[4] == 1
    assert st.get("gpiousr") == 1  # the daemon still holds the lines

    # Every channel has its own code; none is all lines low.
    codes = set()
    for ch in range(8):
        assert sandbox.run("sound", "-c", ch).returncode == 0
        codes.add(tuple(levels(chip, 47, 52, 57, 59)))
    assert len(codes) == 8 and (0, 0, 0, 0) not in codes


def test_channel_on_a_four_channel_terminal(sandbox):
    chip = daemon_holds_gpio(sandbox, devtype=0, counts=(7, 4, 1, 0))
    assert sandbox.run("sound", "-c", "3").returncode == 0
    assert levels(chip, 57, 59) == [0, 0]
    assert 47 not in [e.gpio for e in chip.history(what="value")]

    r = sandbox.run("sound", "-c", "5")
    assert r.returncode == 1
    assert r.stderr == "sound_enable(): Invalid channel number (5)\n"
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EINVAL}"
    assert sandbox.state().get("sound_ch") == 4  # unchanged

    sandbox.state().set("num_buttons", 6)
    assert sandbox.run("sound", "-c", "1").returncode == 1
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EOPNOTSUPP}"


def test_nosound_without_a_channel_changes_nothing(sandbox):
    chip = daemon_holds_gpio(sandbox)
    before = len(chip.events)
    assert sandbox.run("nosound").returncode == 0
    assert chip.events[before:] == []


def test_sound_ends_a_fireman_call(sandbox):
    daemon_holds_gpio(sandbox)
    sandbox.state().set("fmm_active", 1)
    r = sandbox.run("sound", "-c", "1")  # no console: the hang-up fails, the channel is taken
    assert r.returncode == 0
    assert sandbox.state().get("fmm_active") == 0
    assert sandbox.state().get("sound_ch") == 2


def test_relays(sandbox):
    chip = daemon_holds_gpio(sandbox)
    st = sandbox.state()
    r = sandbox.run("relays", "-a", "1", "-c", "1")
    assert r.returncode == 0
    assert levels(chip, 86, 87, 88, 89) == [1, 0, 1, 0]
    assert st.get("relays") == 0b0101
    assert sandbox.run("relays", "-a", "0", "-d", "1").returncode == 0
    assert st.get("relays") == 0b1100
    assert levels(chip, 86, 87, 88, 89) == [0, 0, 1, 1]

    # A small terminal has one relay: -b has nothing to switch.
    st.set("num_relays", 1)
    assert sandbox.run("relays", "-b", "0").returncode == 0
    assert levels(chip, 87) == [0] and st.get("relays") == 0b1100

    st.set("num_relays", 0)
    assert sandbox.run("relays", "-a", "1").returncode == 1
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.EAGAIN}"
    assert sandbox.semaphores().values()[3:5] == [32767, 1]
