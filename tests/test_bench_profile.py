"""The zonal statistics profiler's clocks: a stage counts the processor time it spends itself, so that the shares
it prints add up to the run and none holds another's time."""
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import profile_summarize  # noqa: E402


def busy(seconds):
    end = time.process_time() + seconds
    while time.process_time() < end:
        pass


@pytest.fixture(autouse=True)
def fresh_counters():
    profile_summarize.spent.clear()
    profile_summarize.calls.clear()


@pytest.mark.parametrize(("producing", "consuming"), [(0.03, 0.0), (0.0, 0.03), (0.02, 0.04)])
def test_a_generator_stage_counts_its_items_and_not_what_its_caller_does_with_them(producing, consuming):
    def items():
        for k in range(3):
            busy(producing)
            yield k

    measured = profile_summarize.timed_steps("stage", items)
    for _ in measured():
        busy(consuming)
    assert profile_summarize.calls["stage"] == 3
    assert 3 * producing <= profile_summarize.spent["stage"] < 3 * producing + 0.015


def test_a_stage_that_raises_still_counts_its_time():
    def failing():
        busy(0.02)
        raise ValueError("no")

    with pytest.raises(ValueError):
        profile_summarize.timed("stage", failing)()
    assert profile_summarize.calls["stage"] == 1 and profile_summarize.spent["stage"] >= 0.02


def test_the_stages_share_out_the_whole_run_without_counting_a_call_twice():
    profile_summarize.spent.update(setup=0.1, reading=0.2, native=0.15, rings=0.05, coverage=0.3, accumulation=0.25,
                                   windows=1.0)
    shares = profile_summarize.stages(total=1.2, runs=1)
    assert sum(shares.values()) == pytest.approx(1.2) and min(shares.values()) >= 0
    assert shares["gathering covered cells"] == pytest.approx(0.25)
