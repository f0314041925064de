"""Repeated failing and succeeding calls keep memory, threads and every input's reference count flat."""
import sys

import numpy as np
import pytest

import quillet
from conftest import assert_calls_release_everything, under_sanitizer
from test_connectivity_args import valid_arguments

# The sanitizer build checks leaks itself, and its quarantine keeps freed memory resident.
pytestmark = pytest.mark.skipif(under_sanitizer(), reason="memory figures are meaningless under the sanitizer")

FAILING_ROUNDS = 10_000
SUCCEEDING_ROUNDS = 1_000
# After a warm-up the allocator's and the interpreter's caches are full; 2 MiB over
# 10^4 calls flags any leak of 200 bytes or more per call, well above the noise
# of a few pages that free lists and arenas still move.
RSS_TOLERANCE_KB = 2 * 1024


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index")


class Hostile(list):
    def __len__(self):
        raise ZeroDivisionError("len")


def connectivity_inputs(**overrides):
    arguments = valid_arguments(nrows=3, ncols=3, n_threads=1)
    arguments.update(overrides)
    return arguments


UNIT = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], np.float64)
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)

# One set of arguments per failure class: binding, conversion, reading, driver
# refusal, internal fault, allocation failure and an input object's own exception.
CONNECTIVITY_FAILURES = {
    "unexpected keyword": connectivity_inputs(colour=1),
    "conversion TypeError": connectivity_inputs(levels="12"),
    "conversion OverflowError": connectivity_inputs(window_size=2**31),
    "tuple length ValueError": connectivity_inputs(offsets=(0, 0, 0)),
    "reading condition": connectivity_inputs(condition=np.zeros((3, 3))),
    "reading transforms": connectivity_inputs(transforms={1: (1.0,) * 5}),
    "reading mask": connectivity_inputs(mask=None),
    "window mode ValueError": connectivity_inputs(window_mode="oval"),
    "driver refusal": connectivity_inputs(offsets=(2**31, 0)),
    "fault in the driver": connectivity_inputs(levels=[1, 3]),
    "fault in the kernel": connectivity_inputs(window_size=4),
    "transgrid fault": connectivity_inputs(transgrid_list=[np.ones((3, 3, 2), np.float32), np.zeros((3, 3))]),
    "raising __index__": connectivity_inputs(outer_window=RaisingIndex()),
    "raising __len__": connectivity_inputs(lambdas=Hostile([2.0])),
}

COVERAGE_FAILURES = {
    "polygon reading": dict(polygons=[(UNIT, (UNIT,))], transform=IDENTITY, shape=(2, 2)),
    "ring shape": dict(polygons=[(UNIT, [UNIT, np.zeros((2, 3))])], transform=IDENTITY, shape=(2, 2)),
    "transform length": dict(polygons=[(UNIT, [])], transform=IDENTITY[:5], shape=(2, 2)),
    "grid too large": dict(polygons=[(UNIT, [])], transform=IDENTITY, shape=(2**21, 2**21), n_threads=1),
    "raising __index__": dict(polygons=[(UNIT, [])], transform=IDENTITY, shape=(2, RaisingIndex())),
}


def failing(function, arguments):
    def call():
        try:
            function(**arguments)
        except ZeroDivisionError as error:  # the input's own exception, passed on unchanged
            raise ValueError from error

    return call


@pytest.mark.parametrize(
    "function, arguments",
    [(quillet.connectivity, a) for a in CONNECTIVITY_FAILURES.values()]
    + [(quillet.pixel_coverage, a) for a in COVERAGE_FAILURES.values()],
    ids=[f"connectivity: {k}" for k in CONNECTIVITY_FAILURES] + [f"pixel_coverage: {k}" for k in COVERAGE_FAILURES],
)
def test_failing_calls_release_everything(function, arguments):
    assert_calls_release_everything(
        [failing(function, arguments)], FAILING_ROUNDS, tuple(arguments.values()), RSS_TOLERANCE_KB
    )


SUCCEEDING = {
    "connectivity": (quillet.connectivity, connectivity_inputs()),
    "connectivity with every input": (
        quillet.connectivity,
        connectivity_inputs(
            traversal=np.full((3, 3), 0.25, np.float32),
            transgrid_list=[np.ones((3, 3, 2), np.float32), None],
            pa_to_pa=True,
            window_mode="square",
            n_threads=2,
        ),
    ),
    "pixel_coverage": (
        quillet.pixel_coverage,
        dict(polygons=[(UNIT * 1.5, [UNIT + 0.25])], transform=IDENTITY, shape=(3, 3), n_threads=2),
    ),
}


@pytest.mark.parametrize("function, arguments", SUCCEEDING.values(), ids=SUCCEEDING.keys())
def test_succeeding_calls_release_everything(function, arguments):
    shapes = set()

    def call():
        result = function(**arguments)
        # Only the caller holds the result (the local name and getrefcount's argument).
        assert sys.getrefcount(result) == 2 and result.dtype == np.float32
        shapes.add(result.shape)

    assert_calls_release_everything([call], SUCCEEDING_ROUNDS, tuple(arguments.values()), RSS_TOLERANCE_KB, succeed=True)
    assert len(shapes) == 1
