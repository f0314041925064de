"""connectivity values on small rasters whose results can be derived by hand."""
import math

import numpy as np
import pytest

import quillet
from test_connectivity_args import valid_arguments

CELL = 1000.0  # metres: edge lengths of 1 km and sqrt(2) km


def transforms_for(levels, cell=CELL, x0=0.0, y0=0.0, offsets=(0, 0)):
    """North-up transforms of every level, for a tile placed at `offsets` in a global grid at (x0, y0)."""
    result = {}
    for level in levels:
        first_row, first_col = offsets[0] // level, offsets[1] // level
        result[level] = (cell * level, 0.0, x0 + first_col * cell * level, 0.0, -cell * level, y0 - first_row * cell * level)
    return result


def run(condition, levels=(1, 2, 4), mask=None, **kwargs):
    condition = np.asarray(condition, np.float32)
    return quillet.connectivity(**valid_arguments(**{
        "condition": condition, "mask": np.isnan(condition) if mask is None else mask,
        "transforms": transforms_for(levels), "levels": list(levels), "lambdas": [2.0, 20.0, 200.0],
        "outer_window": 7, **kwargs}))


def single_cell(value, shape=(5, 5), at=(2, 2)):
    condition = np.full(shape, np.nan, np.float32)
    condition[at] = value
    return condition


def f32(x):
    return np.float32(x)


def isolated_value(condition, length_km, max_cost, lambdas):
    """The value of a source without neighbours: one record, itself at one row step."""
    weight = f32(condition) * (f32(1) - f32(max_cost)) + f32(max_cost)
    cost = weight * f32(length_km)
    distance = f32(np.floor(f32(length_km) * f32(100) + f32(0.5))) / f32(100)
    ratios = [math.exp(-float(cost) / lam) * float(condition) / math.exp(-float(distance) / lam) for lam in lambdas]
    return sum(ratios) / len(lambdas)


@pytest.mark.parametrize("window_mode", ["circular", "square"])
@pytest.mark.parametrize("condition, max_cost", [(0.8, 0.5), (0.3, 10.0), (1.0, 1.0)])
def test_isolated_source(condition, max_cost, window_mode):
    result = run(single_cell(condition), levels=(1,), max_cost=max_cost, window_mode=window_mode)
    expected = isolated_value(condition, CELL / 1000.0, max_cost, [2.0, 20.0, 200.0])
    assert result[2, 2] == pytest.approx(expected, rel=2e-6)
    assert np.isnan(np.delete(result.ravel(), 12)).all()  # masked cells stay NaN


def haversine_m(lon1, lat1, lon2, lat2):
    k = 0.017453292519943295
    p1, p2, l1, l2 = lat1 * k, lat2 * k, lon1 * k, lon2 * k
    h = math.sin((p2 - p1) / 2) ** 2 + math.cos(p2) * math.cos(p1) * math.sin((l2 - l1) / 2) ** 2
    return 2 * math.atan2(math.sqrt(h), math.sqrt(1 - h)) * 6371000.0


def test_isolated_source_with_geographic_lengths():
    # 0.01 degree cells whose top-left corner is at (10 E, 50 N); the source is cell (2, 2).
    transforms = {1: (0.01, 0.0, 10.0, 0.0, -0.01, 50.0)}
    result = run(single_cell(0.7), levels=(1,), transforms=transforms, is_geo=True)
    lon = 10.0 + 0.01 * 2.5
    length_km = haversine_m(lon, 50.0 - 0.01 * 2.5, lon, 50.0 - 0.01 * 3.5) / 1000.0
    assert result[2, 2] == pytest.approx(isolated_value(0.7, length_km, 0.5, [2.0, 20.0, 200.0]), rel=2e-6)


def test_isolated_protected_area_scores_zero():
    result = run(single_cell(0.7), levels=(1,), pa_to_pa=True)
    assert result[2, 2] == 0.0


def test_empty_lambdas_give_zero():
    assert not run(np.full((6, 6), 0.5), lambdas=[]).any()


def test_source_without_data_of_its_own_gives_zero():
    condition = np.full((6, 6), 0.5, np.float32)
    condition[3, 3] = np.nan
    result = run(condition, mask=np.zeros((6, 6), bool))
    assert result[3, 3] == 0.0 and (result[np.isfinite(condition)] > 0).all()


def test_protected_fraction_only_lowers_the_numerator():
    rng = np.random.default_rng(3)
    condition = rng.uniform(0.2, 1.0, (20, 20)).astype(np.float32)
    everything_protected = np.zeros((20, 20), bool)
    plain = run(condition, mask=everything_protected)
    np.testing.assert_array_equal(run(condition, mask=everything_protected, pa_to_pa=True), plain)
    half = everything_protected.copy()
    half[:, 10:] = True  # right half: not protected, and not a source
    with_pa = run(condition, mask=half, pa_to_pa=True)
    sources = ~half
    assert (with_pa[sources] <= plain[sources] * (1 + 1e-6)).all()
    assert (with_pa[sources] < plain[sources]).any()
    assert np.isnan(with_pa[half]).all()


def test_transgrid_form_with_an_absent_band():
    # An isolated source: its only record carries its own similarities, exp(0) = 1 for
    # layer 0 and absent for layer 1, whose lane holds a NaN.
    condition = single_cell(0.6)
    layer0 = np.ones((5, 5, 2), np.float32)
    layer1 = np.ones((5, 5, 2), np.float32)
    layer1[2, 2, 1] = np.nan
    lambdas = [2.0, 20.0]
    result = run(condition, levels=(1,), transgrid_list=[layer0, layer1], lambdas=lambdas)
    cost = float(f32(0.6) * f32(0.5) + f32(0.5))  # one row step of 1 km at weight w
    expected = 0.0
    for lam in lambdas:
        g_c = math.exp(-((cost / lam) ** 2) / 283.465)
        g_d = math.exp(-((1.0 / lam) ** 2) / 283.465)
        k = g_c * 0.6
        expected += ((k / 2 + 0.0) * 0.5) / g_d  # layer sums (k, 0): mean k/2, minimum 0
    assert result[2, 2] == pytest.approx(expected / len(lambdas), rel=2e-6)
    # With the absent band in the first layer the distance sum is empty and the value is 0.
    assert run(condition, levels=(1,), transgrid_list=[layer1, layer0], lambdas=lambdas)[2, 2] == 0.0


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"levels": (1, 4)}, "Node not found in node mapping."),
        ({"levels": (1, 4), "transforms": transforms_for((1, 4))}, "internal fault without a message"),
        ({"window_size": 4}, "Window size must be odd-numbered"),
        ({"outer_window": 8}, "Outer window size must be odd-numbered"),
        ({"levels": (2, 4)}, "Base condition level not found!"),
    ],
)
def test_kernel_faults(overrides, message):
    with pytest.raises(quillet.PanicException) as info:
        run(np.full((12, 12), 0.5), **{"transforms": transforms_for((1, 2, 4)), **overrides})
    assert info.value.args == (message,)


@pytest.mark.parametrize("n_threads", [1, 2])
def test_fault_of_the_first_source_row_by_row(n_threads):
    # Near the end of the node id range, the source at (0, 11) meets a column past
    # it in its first window row and the one at (6, 0) a row past it; rows come
    # first, whatever order the sources are computed in.
    offsets = (2**24 - 4, 2**24 - 14)
    mask = np.ones((32, 32), bool)
    mask[0, 11] = mask[6, 0] = False
    with pytest.raises(quillet.PanicException) as info:
        run(np.full((32, 32), 0.5), levels=(1,), mask=mask, offsets=offsets,
            transforms=transforms_for((1,), offsets=offsets), n_threads=n_threads)
    assert info.value.args == ("Node id overflow for (level,row,col)=(1,16777212,16777216); exceeds 16/24/24-bit layout",)


def test_a_raster_ending_at_the_last_global_row_builds_its_overviews():
    # Its last base row is 2^31 - 1: the level extents must not overflow on the way.
    offsets = (2**31 - 6, 0)
    result = run(np.full((6, 6), 0.5), levels=(1, 2), mask=np.ones((6, 6), bool), offsets=offsets,
                 transforms=transforms_for((1, 2), offsets=offsets))
    assert result.shape == (6, 6) and np.isnan(result).all()


def test_no_fault_when_every_cell_is_masked():
    result = run(np.full((8, 8), 0.5), mask=np.ones((8, 8), bool), window_size=4)
    assert np.isnan(result).all()


@pytest.fixture(scope="module")
def landscape():
    rng = np.random.default_rng(11)
    condition = rng.uniform(0, 1, (28, 30)).astype(np.float32)
    condition[rng.random((28, 30)) < 0.1] = np.nan
    return condition


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"window_mode": "square"},
        {"is_geo": True, "transforms": {1: (0.01, 0, 5, 0, -0.01, 45), 2: (0.02, 0, 5, 0, -0.02, 45), 4: (0.04, 0, 5, 0, -0.04, 45)}},
        {"pa_to_pa": True},
        {"traversal": "random"},
        {"transgrid_list": "random"},
    ],
    ids=["circular", "square", "geographic", "pa_to_pa", "traversal", "transgrid"],
)
def test_identical_for_every_thread_count_and_layout(landscape, options):
    rng = np.random.default_rng(5)
    options = dict(options)
    if options.get("traversal") == "random":
        options["traversal"] = rng.uniform(0, 1, landscape.shape).astype(np.float32)
    if options.get("transgrid_list") == "random":
        options["transgrid_list"] = [rng.uniform(0, 1, landscape.shape + (3,)).astype(np.float32) for _ in range(2)]
    mask = np.isnan(landscape) | (rng.random(landscape.shape) < 0.2)
    reference = run(landscape, mask=mask, n_threads=1, **options)
    assert np.isfinite(reference[~mask]).all() and np.isnan(reference[mask]).all()

    fortran = {k: np.asfortranarray(v) for k, v in options.items() if isinstance(v, np.ndarray)}
    runs = [
        run(landscape, mask=mask, n_threads=2, **options),
        run(landscape, mask=mask, n_threads=4, **options),
        run(np.asfortranarray(landscape), mask=np.asfortranarray(mask), n_threads=3, **{**options, **fortran}),
        run(landscape[::-1].copy()[::-1], mask=mask[:, ::-1].copy()[:, ::-1], **options),
    ]
    for result in runs:
        assert result.tobytes() == reference.tobytes()


@pytest.mark.parametrize(
    "shape, sources, options",
    [
        # 3% of cells as sources: one thread takes bands of 64 rows, more threads shorter ones.
        ((300, 40), "scattered", {}),
        # Windows nearly as tall as the edge tables: a band's column reaches past them.
        ((160, 160), "a block", {"levels": (1,), "window_size": 59, "outer_window": 59}),
    ],
    ids=["sparse sources", "wide window"],
)
def test_identical_for_every_band_height(shape, sources, options):
    rng = np.random.default_rng(3)
    condition = rng.uniform(0.1, 1, shape).astype(np.float32)
    if sources == "scattered":
        mask = rng.random(shape) >= 0.03
    else:
        mask = np.ones(shape, bool)
        mask[64:80, 70:72] = False
    reference = run(condition, mask=mask, n_threads=1, **options)
    for n_threads in (2, 16):
        assert run(condition, mask=mask, n_threads=n_threads, **options).tobytes() == reference.tobytes()


@pytest.mark.parametrize("origin", [(16, 16), (17, 19)])
def test_tile_with_margin_matches_the_whole_raster(origin):
    # At the coarsest level (4, outer width 3) a window reaches 12 base cells, plus up
    # to 4 for block alignment: cells 16 or more from the tile edge see only cells
    # and complete coarse blocks that the whole raster has too.
    rng = np.random.default_rng(17)
    whole_condition = rng.uniform(0, 1, (72, 72)).astype(np.float32)
    whole_condition[rng.random((72, 72)) < 0.1] = np.nan
    whole = run(whole_condition, outer_window=3)
    rows, cols = slice(origin[0], origin[0] + 40), slice(origin[1], origin[1] + 40)
    tile = run(whole_condition[rows, cols], outer_window=3, offsets=origin,
               transforms=transforms_for((1, 2, 4), offsets=origin))
    margin = 16
    np.testing.assert_array_equal(tile[margin:-margin, margin:-margin], whole[rows, cols][margin:-margin, margin:-margin])


@pytest.mark.parametrize("similarity", [False, True])
@pytest.mark.parametrize("lambdas", [[3.0], [0.5, 1.0, 2.0, 4.0, 8.0], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0]])
def test_value_is_the_float32_mean_of_each_bandwidth_alone(lambdas, similarity):
    rng = np.random.default_rng(4)
    condition = rng.random((12, 12), dtype=np.float32)
    condition[rng.random(condition.shape) < 0.3] = 0.0
    extra = {}
    if similarity:
        extra["transgrid_list"] = [rng.random((12, 12, 2), dtype=np.float32) for _ in range(3)]
    together = run(condition, lambdas=lambdas, **extra)
    total = np.full(condition.shape, -0.0, np.float32)
    for lam in lambdas:
        total = total + run(condition, lambdas=[lam], **extra)
    assert np.array_equal(together, total / np.float32(len(lambdas)))
