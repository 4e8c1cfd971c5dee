import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)

from sim import sysv  # noqa: E402
from sim.sandbox import Sandbox  # noqa: E402


@pytest.fixture(scope="session")
def kelvgd_binary():
    path = os.environ.get("KELVGD", os.path.join(ROOT, "build/kelvgd/kelvgd"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"no kelvgd binary at {path}: build first, or set KELVGD")
    return path


@pytest.fixture
def sandbox(kelvgd_binary):
    """A fresh sandbox root with its own kelvgd copy and notification socket."""
    sb = Sandbox(kelvgd_binary)
    yield sb
    sb.close()
    assert not sysv.exists(sb.key), "the sandbox's shared state outlived it"
