"""What `cmake --install` puts where, checked as systemd and man see it,
and one version everywhere."""

import os
import re
import subprocess

import pytest

from conftest import ROOT, build_dir, built

UNITS = ["kelvgd.service", "kelvgd-failmon.service", "parlod.service", "kelvgd-sersrv.socket",
         "kelvgd-sersrv@.service"]


def project_version():
    text = open(os.path.join(ROOT, "CMakeLists.txt")).read()
    return re.search(r"project\(kel VERSION ([0-9.]+)", text).group(1)


def install_prefix():
    cache = open(os.path.join(build_dir(), "CMakeCache.txt")).read()
    return re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", cache, re.M).group(1)


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The build installed below a scratch directory (DESTDIR)."""
    dest = tmp_path_factory.mktemp("install")
    r = subprocess.run(["cmake", "--install", build_dir()], env=dict(os.environ, DESTDIR=str(dest)),
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    return dest


def in_place(installed, argv):
    """Runs argv in a mount namespace of its own in which the installed
    files lie over the prefix, where the units expect them."""
    prefix = install_prefix()
    script = ('mount -t overlay overlay -o lowerdir="$1$2":"$2" "$2" && shift 2 && exec "$@"')
    return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                           str(installed), prefix, *argv], capture_output=True, text=True)


def test_layout(installed):
    prefix = str(installed) + install_prefix()
    etc = str(installed) + ("/etc" if install_prefix() == "/usr" else install_prefix() + "/etc")
    for program in ("kelvgd", "parlod"):
        assert os.access(f"{prefix}/sbin/{program}", os.X_OK)
    for unit in UNITS:
        assert os.path.isfile(f"{prefix}/lib/systemd/system/{unit}")
    assert open(f"{prefix}/lib/tmpfiles.d/parlod.conf").read().splitlines()[-1] == "p /run/parlod-cli 0660 root root -"
    for page in ("man8/kelvgd.8", "man8/parlod.8", "man5/kel.conf.5", "man5/parlod-ic.5"):
        assert os.path.isfile(f"{prefix}/share/man/{page}")
    docs = f"{prefix}/share/doc/kel"
    assert {"README.md", "CHANGELOG.md", "LICENSE", "examples"} <= set(os.listdir(docs))
    examples = set(os.listdir(docs + "/examples"))
    assert {"kelvgd.conf", "device.conf", "disp.conf", "parlod.conf", "parlod_vol.conf", "parlod-ic.conf"} <= examples
    # The hardware identity is no file to ship: a terminal is made with it.
    # Nor are the intercom buses' settings: a terminal without buses needs
    # none, and the console stores them when it is told to.
    assert set(os.listdir(etc)) == examples - {"device.conf", "parlod-ic.conf"}
    for name in os.listdir(etc):
        assert open(f"{etc}/{name}").read() == open(f"{docs}/examples/{name}").read()


def test_installing_again_keeps_the_configuration(installed):
    etc = str(installed) + ("/etc" if install_prefix() == "/usr" else install_prefix() + "/etc")
    with open(f"{etc}/kelvgd.conf", "a") as f:
        f.write("wdt_period=300\n")
    r = subprocess.run(["cmake", "--install", build_dir()], env=dict(os.environ, DESTDIR=str(installed)),
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert "Kept: " in r.stdout
    assert open(f"{etc}/kelvgd.conf").read().endswith("wdt_period=300\n")


def test_units_pass_systemd_analyze_verify(installed):
    """With the programs and manual pages where the units name them."""
    units = [f"{install_prefix()}/lib/systemd/system/{unit}" for unit in UNITS]
    r = in_place(installed, ["systemd-analyze", "verify", *units])
    assert (r.returncode, r.stderr) == (0, "")
    r = in_place(installed, ["man", "-w", "kelvgd", "parlod", "kel.conf"])
    assert r.returncode == 0, r.stderr


def test_one_version_everywhere():
    version = project_version()
    for binary in (built("KELVGD", "build/kelvgd/kelvgd"), built("PARLOD", "build/parlod/parlod")):
        r = subprocess.run([binary, "--version"], capture_output=True, text=True)
        assert r.returncode == 0
        assert r.stdout.splitlines()[0] == f"{os.path.basename(binary)} {version}"
    changelog = open(os.path.join(ROOT, "CHANGELOG.md")).read()
    assert re.search(r"^## ([0-9.]+)", changelog, re.M).group(1) == version
    debian = open(os.path.join(ROOT, "debian", "changelog")).readline()
    assert re.match(r"^kel \(([0-9.]+)[-~+]?[^)]*\) ", debian).group(1) == version
