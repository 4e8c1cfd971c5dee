"""run and daemonize up to the monitoring loops."""

import errno

SETTINGS = "wdt_disabled=7\nwdt_period=120\nmulti_notify=0\nforce_notify=0\nmods_override=1\nmods_modes=0x0b\n"


def test_device_configuration_is_required(sandbox):
    r = sandbox.run("run")
    assert r.returncode == 1
    assert r.stderr == f"Error reading config file {sandbox.path('etc/device.conf')}.\n"
    assert sandbox.notify.messages() == ["ERRNO=2"]

    sandbox.write("etc/device.conf", "revision=5\ncio=yes\n")
    r = sandbox.run("run")
    assert r.returncode == 1
    assert "Error reading config file" in r.stderr
    assert sandbox.notify.messages()[-1] == "ERRNO=22"


def test_gpio_mode_loads_the_settings(sandbox):
    sandbox.write("etc/device.conf", "cio=0\n")  # no revision: the GPIO lines cannot be set up
    sandbox.write("etc/kelvgd.conf", SETTINGS)
    r = sandbox.run("run")
    assert r.returncode == 1
    assert r.stderr.startswith(f"Error reading config file {sandbox.path('etc/device.conf')}.\n")
    st = sandbox.state()
    assert (st.get("wdt_disabled"), st.get("wdt_period"), st.get("multi_notify"), st.get("force_notify")) == (1, 120, 0, 0)
    assert st.get("mod_modes") == 0
    assert sandbox.notify.messages() == ["ERRNO=2"]


def test_defaults_without_settings(sandbox):
    sandbox.write("etc/device.conf", "cio=0\n")
    sandbox.run("cfg")
    st = sandbox.state()
    st.set("wdt_period", 5)
    st.set("multi_notify", 0)
    sandbox.run("run")
    assert (st.get("wdt_disabled"), st.get("wdt_period"), st.get("multi_notify"), st.get("force_notify")) == (0, 900, 1, 1)


def test_cio_mode_applies_the_module_override(sandbox):
    sandbox.write("etc/device.conf", "cio=1\n")
    sandbox.write("etc/kelvgd.conf", SETTINGS)
    r = sandbox.run("run", "-i", "5", "-a", "dispatcher")
    assert r.returncode == 1
    assert r.stderr == "Unknown device type!\nCannot detect CIO type\n"
    assert sandbox.notify.messages()[-1] == f"ERRNO={errno.ENODEV}"
    st = sandbox.state()
    assert (st.get("mod_override"), st.get("mod_modes")) == (1, 0x0b)


def test_daemonize_detaches(sandbox):
    sandbox.write("etc/device.conf", "cio=0\n")
    sandbox.run("cfg")
    r = sandbox.run("daemonize")
    # The parent leaves at once; the detached child reports its own result.
    assert r.returncode == 0 and r.stderr == ""
    assert sandbox.notify.wait_for("ERRNO=2")
