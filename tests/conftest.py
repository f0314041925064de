import gc
import os
import sys
import time

import numpy as np
import pytest
from hypothesis import settings

# Derandomised with a fixed budget so that a run, also under the much slower
# sanitizer build, is repeatable and short; "long" explores far more at random.
settings.register_profile("default", derandomize=True, max_examples=300, deadline=None, print_blob=True)
settings.register_profile("long", max_examples=6000, deadline=None, print_blob=True)
settings.load_profile(os.environ.get("QUILLET_HYPOTHESIS_PROFILE", "default"))


def threads_at_rest():
    """The process's thread count once it stops moving: a joined thread leaves the
    kernel's count a moment after `join` returns, so a count read at once may still
    include the last call's workers."""
    count = proc_status("Threads")
    for _ in range(100):
        time.sleep(0.02)
        previous, count = count, proc_status("Threads")
        if count == previous:
            break
    return count


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


def is_shared_singleton(obj):
    """None, the bools, small ints and strings are shared by all code; their counts move with it."""
    return obj is None or isinstance(obj, (bool, str, np.bool_)) or (type(obj) is int and -5 <= obj <= 256)


def reference_counts(inputs):
    """sys.getrefcount of every input and of everything its lists, tuples and dicts hold."""
    gc.collect()  # cycles left by earlier tracebacks would hold references for a while
    counts, pending = [], list(inputs)
    while pending:
        obj = pending.pop()
        if not is_shared_singleton(obj):
            counts.append((id(obj), sys.getrefcount(obj)))
        if isinstance(obj, dict):
            pending.extend(obj.keys())
            pending.extend(obj.values())
        elif isinstance(obj, list):
            pending.extend(list.__iter__(obj))  # past any __len__ or __iter__ a subclass overrides
        elif isinstance(obj, tuple):
            pending.extend(obj)
    return counts


def assert_calls_release_everything(calls, rounds=300, inputs=(), rss_tolerance_kb=8 * 1024, succeed=False):
    """Runs every call many times, each failing with a documented error (or, with
    `succeed`, returning); the process must keep its thread count, the reference
    count of every object in `inputs` and, without the sanitizer (whose quarantine
    holds freed memory back), its memory."""
    import quillet

    documented = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, quillet.PanicException)

    def run_all(times):
        for _ in range(times):
            for call in calls:
                if succeed:
                    call()
                else:
                    with pytest.raises(documented):
                        call()

    run_all(max(rounds // 10, 1))
    rss_before, threads_before = proc_status("VmRSS"), threads_at_rest()
    counts_before = reference_counts(inputs)
    run_all(rounds)
    assert threads_at_rest() == threads_before
    assert reference_counts(inputs) == counts_before
    if not under_sanitizer():
        assert proc_status("VmRSS") - rss_before < rss_tolerance_kb
