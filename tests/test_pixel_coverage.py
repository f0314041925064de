import numpy as np
import pytest

import quillet
from conftest import assert_calls_release_everything
from coverage_oracle import coverage as oracle_coverage

IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)


def ring(points):
    return np.array(points, dtype=np.float64)


def square(x0, y0, x1, y1):
    return ring([[x0, y0], [x1, y0], [x1, y1], [x0, y1]])


UNIT = square(0, 0, 1, 1)


def cover(polygons, shape, transform=IDENTITY, **kwargs):
    return quillet.pixel_coverage(polygons, transform, shape, **kwargs)


def cells(grid):
    """The non-zero cells of a grid as {(row, col): value}."""
    return {(int(r), int(c)): float(grid[r, c]) for r, c in zip(*np.nonzero(grid))}


@pytest.mark.parametrize(
    "polygons, expected",
    [
        ([(UNIT, [])], {(0, 0): 1.0}),
        ([(UNIT[::-1], [])], {(0, 0): 1.0}),  # clockwise
        ([(np.vstack([UNIT, UNIT[:1]]), [])], {(0, 0): 1.0}),  # closing point repeated
        ([(square(0.5, 0.5, 1.5, 1.5), [])], {(0, 0): 0.25, (0, 1): 0.25, (1, 0): 0.25, (1, 1): 0.25}),
        ([(square(2, 0, 3, 1), [])], {(0, 2): 1.0}),  # sides on pixel lines
        ([(square(-5, -5, -1, -1), [])], {}),  # wholly outside
        ([(square(-0.5, -0.5, 0.5, 0.5), [])], {(0, 0): 0.25}),  # straddles the grid edge
        ([(UNIT[:2], []), (ring(np.zeros((0, 2))), [])], {}),  # fewer than 3 points
        ([(square(0, 0, 1, 1), []), (square(2, 2, 3, 3), [])], {(0, 0): 1.0, (2, 2): 1.0}),
        ([(UNIT, []), (UNIT, [])], {(0, 0): 1.0}),  # clamped from 2
        ([(square(0, 0, 2, 1), [square(0, 0, 2, 1)])], {}),  # hole equals exterior
        ([(UNIT, [square(1, 0, 2, 1)])], {(0, 0): 1.0}),  # hole outside its exterior clamps to 0
        ([(square(0, 0, 2, 1), []), (square(5, 5, 6, 6), [square(0.5, 0, 1, 1)])], {(0, 0): 0.5, (0, 1): 1.0, (5, 5): 1.0}),
        ([(ring([[0, 0], [1, 0], [0, 1], [1, 1]]), [])], {(0, 0): 0.0}),  # figure eight: lobes cancel in the cell
        ([(ring([[0, 0], [2, 0], [2, 1], [0, 1], [0, 0.5], [np.inf, 0.5]]), [])], {}),  # +inf bound contributes nothing
    ],
)
def test_designed_coverage_cases(polygons, expected):
    grid = cover(polygons, (8, 8))
    expected = {k: v for k, v in expected.items() if v != 0.0}
    assert cells(grid) == pytest.approx(expected, abs=1e-7)
    assert grid.dtype == np.float32 and grid.shape == (8, 8) and grid.flags.c_contiguous


@pytest.mark.parametrize(
    "points",
    [
        [[0, 0], [1, 0], [1, 1], [-np.inf, 1]],
        [[0, 0], [1, 0], [np.nan, 0.5], [1, 1], [0, 1]],
        [[0, 0], [1, np.nan], [1, 1], [0, 1]],
    ],
)
def test_non_finite_vertices_never_leave_nan_in_the_grid(points):
    grid = cover([(ring(points), [])], (3, 3))
    assert np.isfinite(grid).all() and (grid >= 0).all() and (grid <= 1).all()


@pytest.mark.parametrize(
    "transform, polygon, expected",
    [
        ((0, 0, 0, 0, 0, 0), UNIT, {}),  # determinant zero
        ((10, 0, 100, 0, -10, 50), square(100, 40, 110, 50), {(0, 0): 1.0}),  # north-up: (c, f) is cell (0, 0)'s corner
        ((10, 0, 100, 0, -10, 50), square(110, 20, 120, 30), {(2, 1): 1.0}),  # larger y is a smaller row
        ((0, 2, 0, 2, 0, 0), square(0, 0, 2, 2), {(0, 0): 1.0}),  # swapped axes
    ],
)
def test_transforms(transform, polygon, expected):
    assert cells(cover([(polygon, [])], (4, 4), transform)) == pytest.approx(expected, abs=1e-7)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
def test_empty_shapes(shape):
    grid = cover([(UNIT, [])], shape)
    assert grid.shape == shape and grid.dtype == np.float32


def test_grid_that_cannot_be_allocated_raises_memory_error():
    with pytest.raises(MemoryError):
        cover([(UNIT, [])], (2**21, 2**21), n_threads=2)  # 16 TiB


def test_no_polygons_gives_zeros():
    grid = cover([], (3, 4))
    assert grid.shape == (3, 4) and not grid.any()


def random_ring(rng, n, extent):
    """A star-shaped or arbitrary ring with some repeated and collinear points."""
    if rng.random() < 0.5:
        angles = np.sort(rng.uniform(0, 2 * np.pi, n))
        radii = rng.uniform(0.2, 1.0, n) * extent / 2
        centre = rng.uniform(-1, extent + 1, 2)
        points = centre + np.c_[radii * np.cos(angles), radii * np.sin(angles)]
    else:
        points = rng.uniform(-2, extent + 2, (n, 2))  # usually self-intersecting
    if n > 3 and rng.random() < 0.3:
        points[1] = points[0]
    if n > 3 and rng.random() < 0.3:
        points[2] = (points[1] + points[3]) / 2
    return points


def test_random_rings_match_an_independent_exact_computation(rng):
    for _ in range(25):
        polygons = []
        for _ in range(rng.integers(1, 3)):
            holes = [random_ring(rng, rng.integers(3, 7), 6) for _ in range(rng.integers(0, 2))]
            polygons.append((random_ring(rng, rng.integers(3, 10), 6), holes))
        expected = oracle_coverage(polygons, 6, 7)
        np.testing.assert_allclose(cover(polygons, (6, 7)), expected, rtol=0, atol=2e-6)


def layouts(a):
    """The same logical (N, 2) array in several memory layouts."""
    fortran = np.asfortranarray(a)
    transposed = np.ascontiguousarray(a.T).T
    reversed_view = np.ascontiguousarray(a[::-1])[::-1]
    strided = np.repeat(a, 3, axis=0)[::3]
    unaligned = np.frombuffer(b"\0" + a.tobytes(), dtype=np.float64, offset=1).reshape(a.shape)
    return [a, fortran, transposed, reversed_view, strided, unaligned]


def test_memory_layout_does_not_change_the_result(rng):
    exterior = random_ring(rng, 9, 6)
    hole = random_ring(rng, 5, 6)
    results = [cover([(e, [h])], (6, 6)) for e, h in zip(layouts(exterior), layouts(hole))]
    for result in results[1:]:
        np.testing.assert_array_equal(result, results[0])


def test_results_are_bit_identical_for_every_thread_count(rng):
    polygons = [(random_ring(rng, 40, 60) , [random_ring(rng, 10, 60)]) for _ in range(6)]
    runs = [cover(polygons, (60, 60), n_threads=n) for n in (None, 0, 1, 2, 3, 8)]
    for run in runs[1:]:
        assert run.tobytes() == runs[0].tobytes()


@pytest.mark.parametrize(
    "polygons, message",
    [
        ((UNIT, []), "Expected a list of polygons: 'tuple' object is not an instance of 'list'"),
        ([[UNIT, []]], "Each polygon must be (exterior, holes): TypeError: 'list' object is not an instance of 'tuple'"),
        ([None], "Each polygon must be (exterior, holes): TypeError: 'None' is not an instance of 'tuple'"),
        ([(UNIT, [], [])], "Each polygon must be (exterior, holes): ValueError: expected tuple of length 2, but got tuple of length 3"),
        ([(UNIT.astype(np.float32), [])], "Ring must be a 2D float64 array: 'ndarray' object is not an instance of 'ndarray'"),
        ([(UNIT.ravel(), [])], "Ring must be a 2D float64 array: 'ndarray' object is not an instance of 'ndarray'"),
        ([(UNIT.tolist(), [])], "Ring must be a 2D float64 array: 'list' object is not an instance of 'ndarray'"),
        ([(UNIT.astype(">f8"), [])], "Ring must be a 2D float64 array: 'ndarray' object is not an instance of 'ndarray'"),
        ([(np.zeros((5, 3)), [])], "Ring array must have shape (N, 2), got [5, 3]"),
        ([(UNIT, (UNIT,))], "Holes must be a list of arrays: 'tuple' object is not an instance of 'list'"),
        ([(UNIT.astype(np.float32), (UNIT,))], "Ring must be a 2D float64 array: 'ndarray' object is not an instance of 'ndarray'"),
        ([(UNIT, [UNIT, np.zeros((2, 4))])], "Ring array must have shape (N, 2), got [2, 4]"),
        ([(UNIT, []), "x"], "Each polygon must be (exterior, holes): TypeError: 'str' object is not an instance of 'tuple'"),
    ],
)
def test_polygon_reading_errors(polygons, message):
    with pytest.raises(RuntimeError) as info:
        cover(polygons, (2, 2))
    assert str(info.value) == "Reading polygons failed: " + message


def test_inputs_are_not_modified():
    exterior = square(0.25, 0.25, 1.75, 1.75)
    before = exterior.copy()
    cover([(exterior, [])], (2, 2))
    np.testing.assert_array_equal(exterior, before)


def test_failure_paths_release_everything():
    assert_calls_release_everything(
        [
            lambda: cover([(UNIT, (UNIT,))], (2, 2)),
            lambda: cover([(UNIT, [UNIT, np.zeros((2, 3))])], (2, 2)),
            lambda: quillet.pixel_coverage([(UNIT, [])], (1,) * 5, (2, 2)),
            lambda: cover([(UNIT, [])], (2**62, 4), n_threads=2),
            lambda: cover([(np.zeros((10_000, 2)), [])], (2**40, 2**22), n_threads=2),
            lambda: cover([(UNIT, [])], (2**21, 2**21)),
        ]
    )
