import os

import numpy as np
import pytest


def proc_status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


@pytest.fixture
def resources():
    """Reports (resident kB, thread count) of this process."""
    return lambda: (proc_status("VmRSS"), proc_status("Threads"))


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


def under_sanitizer():
    return bool(os.environ.get("QUILLET_SANITIZE"))
