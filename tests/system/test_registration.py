"""Every test that pytest finds has a ctest entry of its own, and every
system entry runs a test: register.cmake finds the tests by reading the
files, and a test written in a form it does not know must not go unrun."""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def test_each_test_is_a_ctest_entry():
    build = os.environ.get("KEL_BUILD_DIR")
    assert build, "run through ctest, which names the build directory in KEL_BUILD_DIR"
    listing = subprocess.run(["ctest", "--test-dir", build, "-N", "-R", r"^system\."], capture_output=True,
                             text=True, check=True, timeout=60).stdout
    entries = set(re.findall(r"Test +#\d+: (system\.\S+)", listing))

    collected = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "--collect-only",
                                "--rootdir", HERE, HERE], capture_output=True, text=True, timeout=120, cwd=HERE)
    assert collected.returncode == 0, collected.stdout + collected.stderr
    tests = set()
    for line in collected.stdout.splitlines():
        m = re.match(r"(test_\w+)\.py::([^\[\s]+)", line)
        if m:
            tests.add(f"system.{m.group(1)}." + m.group(2).replace("::", "."))
    assert tests, collected.stdout

    assert tests - entries == set(), "tests without a ctest entry (register.cmake does not see them)"
    assert entries - tests == set(), "ctest entries that pytest does not collect"
