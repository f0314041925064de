"""Fixtures of the run engine's tests (test_run*.py): a condition raster, its map computed in one go, and a bound on
tests that would otherwise wait forever."""
import signal

import pytest
from test_cli import landscape, write_raster
from test_run import OPTIONS

import quillet_geo


@pytest.fixture
def condition(tmp_path):
    return write_raster(tmp_path / "condition.tif", landscape((40, 44)))


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    path = write_raster(tmp_path_factory.mktemp("reference") / "condition.tif", landscape((40, 44)))
    return quillet_geo.connectivity(path, **OPTIONS).values


@pytest.fixture
def bounded():
    """Fail a test that would wait forever (a FIFO read) instead of hanging the suite."""
    def expired(signum, frame):
        raise TimeoutError("the run waited without a bound")
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(60)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


