"""Generated hostile arguments: every call returns a well-formed grid or raises a documented exception."""
import operator

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quillet
from hostile_values import (
    EXTREME_FLOATS,
    Converts,
    Hostile,
    Index,
    Items,
    LyingLength,
    RaisingIter,
    RaisingLength,
    extreme_floats,
    extreme_ints,
    lying_numbers,
    sequences,
)
from test_connectivity_args import valid_arguments

DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, quillet.PanicException)


def layout(array, how):
    """The same logical array in another memory layout, or a zero-size/read-only variant."""
    if how == "reversed" and array.ndim:
        return np.ascontiguousarray(array[::-1])[::-1]
    if how == "strided" and array.ndim:
        return np.repeat(array, 2, axis=0)[::2]
    if how == "fortran":
        return np.asfortranarray(array)
    if how == "readonly":
        array = array.copy()
        array.flags.writeable = False
        return array
    if how == "misaligned" and array.dtype != object:
        raw = np.frombuffer(b"\0" + array.tobytes(), dtype=array.dtype, offset=1)
        return raw.reshape(array.shape)
    if how == "broadcast" and array.size:
        return np.broadcast_to(array.flat[0], array.shape)  # every stride zero, read-only
    if how == "zero-size" and array.ndim:
        return array[:0]
    if how == "byteswapped" and array.dtype != object:
        return array.astype(array.dtype.newbyteorder())
    return array


LAYOUTS = ["c", "reversed", "strided", "fortran", "readonly", "misaligned", "broadcast", "zero-size", "byteswapped"]


@st.composite
def arrays(draw, shape, dtype):
    """An array of `shape` and `dtype` (occasionally another dtype or rank) filled with extreme values."""
    dtype = draw(st.sampled_from([dtype] * 6 + [np.float64, np.int32, np.uint8, bool, object]))
    shape = draw(st.sampled_from([shape] * 6 + [shape[:1], shape + (2,), (0,) * len(shape)]))
    values = np.array(draw(st.lists(extreme_floats, min_size=1, max_size=4)))
    index = draw(st.integers(0, 2**32 - 1))
    filled = np.resize(values, int(np.prod(shape))).reshape(shape)
    with np.errstate(all="ignore"):
        array = filled.astype(dtype) if dtype is not object else filled.astype(object)
    return layout(np.roll(array, index % max(array.size, 1)), draw(st.sampled_from(LAYOUTS)))


def transform_tuples(length=6):
    plain = st.tuples(*[extreme_floats] * length)
    return st.one_of(
        plain,
        plain,
        plain,
        st.tuples(*[lying_numbers(extreme_floats)] * length),
        st.lists(extreme_floats, min_size=0, max_size=8).map(tuple),
        st.sampled_from([(0.0,) * length, (1.0, 0, 0, 0, 1.0, 0), [1.0] * length, None]),
    )


def call_and_check(function, arguments, expected_shape, hostile_in):
    """The call returns float32 of `expected_shape` or raises a documented error (or the objects' own)."""
    allowed = DOCUMENTED + ((Hostile, ZeroDivisionError, IndexError) if hostile_in(arguments) else ())
    try:
        result = function(**arguments)
    except allowed as error:
        event(f"raised {type(error).__name__}: {str(error)[:40]}")
        return None
    event("returned a grid")
    assert isinstance(result, np.ndarray) and result.dtype == np.float32
    assert result.shape == expected_shape
    return result


def contains_hostile(value):
    if isinstance(value, (Converts, RaisingLength, LyingLength, RaisingIter, Items)):
        return True
    if isinstance(value, dict):
        return any(contains_hostile(k) or contains_hostile(v) for k, v in dict.items(value))
    if isinstance(value, (list, tuple)):
        return any(contains_hostile(v) for v in value)
    if isinstance(value, np.ndarray) and value.dtype == object:
        return any(contains_hostile(v) for v in value.ravel())
    return False


def any_hostile(arguments):
    return any(contains_hostile(v) for v in arguments.values())


LEVELS = st.lists(st.sampled_from([1, 1, 2, 2, 4, 8, 3, 0, 16, 2**31, 2**40, -1, 2**64]), min_size=0, max_size=5)


@st.composite
def level_chains(draw):
    """Levels, lambdas and transforms that agree: a chain of powers of two up to 2^30, sometimes repeated."""
    top = draw(st.sampled_from([1, 1, 2, 3, 5, 30]))
    levels = [2**k for k in range(top + 1)]
    levels = sorted(levels + draw(st.lists(st.sampled_from(levels), max_size=2)))
    lambdas = [draw(st.sampled_from([2.0, 20.0, 0.0, 1e-30, 1e30, np.inf])) for _ in levels]
    transforms = {level: (100.0 * level, 0.0, 0.0, 0.0, -100.0 * level, 0.0) for level in levels}
    return dict(levels=levels, lambdas=lambdas, transforms=transforms)


@st.composite
def connectivity_arguments(draw):
    nrows, ncols = draw(st.integers(0, 6)), draw(st.integers(0, 6))
    shape = (nrows, ncols)
    levels = draw(st.one_of(LEVELS, sequences(lying_numbers(extreme_ints))))
    plain_levels = [v for v in list.__iter__(levels) if isinstance(v, int)] if isinstance(levels, list) else [1]
    transforms = draw(
        st.one_of(
            st.dictionaries(st.sampled_from(plain_levels + [1, 2, -1, 2**31]), transform_tuples(), max_size=4),
            st.builds(Items, st.just({1: (1.0, 0, 0, 0, -1.0, 0)}),
                      st.sampled_from([Hostile("items"), RaisingIter([(1, (1.0,) * 6)]), [(1,)], [1], None])),
            st.sampled_from([[], None, {1: (100.0, 0, 0, 0, -100.0, 0), 2: (200.0, 0, 0, 0, -200.0, 0)}]),
        )
    )
    candidates = {
        "condition": st.one_of(arrays(shape, np.float32), st.sampled_from([None, [[0.5]]])),
        "mask": st.one_of(arrays(shape, bool), st.none()),
        "traversal": st.one_of(arrays(shape, np.float32), st.none()),
        "transgrid_list": st.one_of(
            st.none(),
            st.lists(st.one_of(st.none(), arrays(shape + (draw(st.integers(0, 3)),), np.float32)), max_size=3),
            st.sampled_from([(), RaisingLength()]),
        ),
        "transforms": st.just(transforms),
        "levels": st.just(levels),
        "lambdas": sequences(lying_numbers(extreme_floats)),
        "is_geo": st.sampled_from([True, False, np.True_, 1, None]),
        "max_cost": lying_numbers(extreme_floats),
        "window_size": lying_numbers(extreme_ints),
        "outer_window": lying_numbers(extreme_ints),
        "offsets": st.one_of(
            st.tuples(lying_numbers(extreme_ints), lying_numbers(extreme_ints)),
            st.sampled_from([(2**31 - nrows, 0), (0, 2**31 - ncols), (2**31 - 1, 2**31 - 1), (0,), [0, 0]]),
        ),
        "window_mode": st.sampled_from(["circular", "square", " Square ", "", "x" * 100, "\0", b"square", 1]),
        "pa_to_pa": st.sampled_from([True, False, np.False_, 0]),
        "n_threads": st.sampled_from([1, 2, None, Index(1), -1, 2**64]),
    }
    # Most examples keep most arguments valid so that the driver and kernels are reached.
    chosen = draw(st.sets(st.sampled_from(sorted(candidates)), max_size=5))
    arguments = valid_arguments(nrows, ncols, n_threads=1, **draw(level_chains()))
    for name in chosen:
        arguments[name] = draw(candidates[name])
    if arguments.get("n_threads") is None:
        arguments["n_threads"] = 2
    return arguments


def condition_shape(arguments):
    condition = arguments["condition"]
    return condition.shape if isinstance(condition, np.ndarray) else None


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(connectivity_arguments())
def test_connectivity_survives_hostile_arguments(arguments):
    call_and_check(quillet.connectivity, arguments, condition_shape(arguments), any_hostile)


@st.composite
def rings(draw):
    """An (N, 2) float64 ring of 0 to 10^4 vertices, some of them non-finite, in any layout."""
    n = draw(st.sampled_from([0, 1, 2, 3, 4, 5, 8, 30, 10_000]))
    generator = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    scale = draw(st.sampled_from([1.0, 6.0, 1e-300, 1e300]))
    points = generator.uniform(-1, 7, (n, 2)) * scale
    for _ in range(draw(st.integers(0, 3)) if n else 0):
        points[generator.integers(n), generator.integers(2)] = draw(st.sampled_from(EXTREME_FLOATS))
    ring = layout(points, draw(st.sampled_from(LAYOUTS[:-2])))
    with np.errstate(over="ignore"):
        return draw(st.sampled_from([ring] * 8 + [ring.astype(np.float32), ring.ravel(), ring.tolist()]))


polygons = st.lists(
    st.one_of(
        st.tuples(rings(), st.lists(rings(), max_size=2)),
        st.tuples(rings(), st.lists(rings(), max_size=1).map(tuple)),
        st.sampled_from([None, (np.zeros((3, 2)),), [np.zeros((3, 2)), []]]),
    ),
    max_size=3,
)

SHAPES = st.one_of(
    st.tuples(st.integers(0, 6), st.integers(0, 6)),
    st.sampled_from([(2**62, 4), (2**21, 2**21), (2**32, 2**32), (2**64 - 1, 2), (2**64, 1), (-1, 2), (2, 2, 2)]),
    st.tuples(lying_numbers(st.integers(0, 4)), lying_numbers(st.integers(0, 4))),
)


def shape_of(shape):
    """The grid shape `shape` asks for, or None when it is no pair of non-negative integers."""
    try:
        rows, cols = (operator.index(v) for v in shape)
    except (TypeError, ValueError, Hostile, ZeroDivisionError):
        return None
    return (rows, cols) if isinstance(shape, tuple) and rows >= 0 and cols >= 0 else None


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(polygons, transform_tuples(), SHAPES, st.sampled_from([1, 2]))
def test_pixel_coverage_survives_hostile_arguments(polygons, transform, shape, n_threads):
    arguments = dict(polygons=polygons, transform=transform, shape=shape, n_threads=n_threads)
    expected = shape_of(shape)
    grid = call_and_check(quillet.pixel_coverage, arguments, expected, any_hostile)
    if grid is not None:
        assert ((grid >= 0) & (grid <= 1)).all()


@pytest.mark.parametrize("claimed", [2**20, 2**40, 2**62])
def test_a_length_that_lies_costs_no_memory(claimed):
    # The claimed length once sized the buffer up front: 2^62 items became an internal fault.
    with pytest.raises(IndexError):
        quillet.connectivity(**valid_arguments(levels=LyingLength([1, 2], claimed)))
