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
def rng():
    return np.random.default_rng(20261207)


def under_sanitizer():
    return bool(os.environ.get("QUILLET_SANITIZE"))


def assert_calls_release_everything(failing_calls, rounds=300):
    """Runs every failing call many times; the process must keep its thread count
    and, without the sanitizer (whose quarantine holds freed memory back), its memory."""
    import quillet

    def run_all(times):
        for _ in range(times):
            for failing in failing_calls:
                with pytest.raises((TypeError, ValueError, OverflowError, RuntimeError, MemoryError, quillet.PanicException)):
                    failing()

    run_all(rounds // 10)
    rss_before, threads_before = proc_status("VmRSS"), proc_status("Threads")
    run_all(rounds)
    assert proc_status("Threads") == threads_before
    if not under_sanitizer():
        assert proc_status("VmRSS") - rss_before < 8 * 1024  # kB
