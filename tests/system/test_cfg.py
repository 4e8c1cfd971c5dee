"""cfg: the stored settings and the running daemon's copy of them."""

import os
import resource
import signal
import stat

DEFAULTS = "wdt_disabled=0\nwdt_period=900\nmulti_notify=1\nforce_notify=1\n"


def test_defaults_on_a_fresh_terminal(sandbox):
    r = sandbox.run("cfg")
    assert (r.returncode, r.stdout) == (0, DEFAULTS)
    assert not os.path.exists(sandbox.path("etc/kelvgd.conf"))


def test_setting_is_saved_and_handed_to_the_daemon(sandbox):
    conf = "# kelvgd\n\npush_enabled = 1\nmulti_notify=1\nserv_addr='host'\n"
    sandbox.write("etc/kelvgd.conf", conf, mode=0o644)
    r = sandbox.run("cfg", "-m", "0")
    assert r.returncode == 0 and r.stdout == ""
    path = sandbox.path("etc/kelvgd.conf")
    assert sandbox.read("etc/kelvgd.conf") == conf.replace("multi_notify=1", "multi_notify=0")
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert sandbox.state().get("multi_notify") == 0
    assert sorted(os.listdir(sandbox.path("etc"))) == ["kelvgd.conf"]

    # The same value again leaves the file alone.
    os.utime(path, (1_000_000, 1_000_000))
    assert sandbox.run("cfg", "-m", "0").returncode == 0
    assert os.stat(path).st_mtime == 1_000_000

    assert sandbox.run("cfg").stdout == DEFAULTS.replace("multi_notify=1", "multi_notify=0")


def test_all_settings_at_once(sandbox):
    r = sandbox.run("cfg", "-d", "1", "-w", "30", "-m", "0", "-f", "0")
    assert r.returncode == 0
    assert sandbox.read("etc/kelvgd.conf") == "wdt_disabled=1\nwdt_period=30\nmulti_notify=0\nforce_notify=0\n"
    st = sandbox.state()
    assert (st.get("wdt_disabled"), st.get("wdt_period"), st.get("multi_notify"), st.get("force_notify")) == (1, 30, 0, 0)
    assert sandbox.run("cfg").stdout == sandbox.read("etc/kelvgd.conf")
    assert sandbox.notify.messages() == ["ERRNO=0", "ERRNO=0"]


def test_failed_save_leaves_file_and_daemon_unchanged(sandbox):
    old = "# " + "-" * 3000 + "\nmulti_notify=1\n"
    sandbox.write("etc/kelvgd.conf", old)
    sandbox.run("cfg")
    sandbox.state().set("multi_notify", 1)

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))

    r = sandbox.run("cfg", "-m", "0", preexec_fn=small_files)
    assert r.returncode == 1
    assert "File too large" in r.stderr
    assert sandbox.read("etc/kelvgd.conf") == old
    assert os.listdir(sandbox.path("etc")) == ["kelvgd.conf"]
    assert sandbox.state().get("multi_notify") == 1
    assert sandbox.notify.messages()[-1] == "ERRNO=27"


def test_odd_files_are_read_without_harm(sandbox):
    for content in (b"", b"\0\0\0\xff\xfe", b"wdt_period=30", b"x" * 10000 + b"\nwdt_period=31\n",
                    b"wdt_period=\"32\"\r\n\x00junk"):
        sandbox.write("etc/kelvgd.conf", content)
        r = sandbox.run("cfg")
        assert r.returncode == 0, content
    assert "wdt_period=32\n" in r.stdout
