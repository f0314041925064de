"""Zonal statistics by region against an independent computation: each cell's covered fraction from shapely's
intersection areas, and each statistic from its definition over all of a region's cells at once."""
import sys

import numpy as np
import pytest

pytest.importorskip("geopandas")
import geopandas
import shapely
import xarray as xr
from rasterio.transform import from_origin

import quillet_geo
from quillet_geo import ArgumentError, ArgumentTypeError, DataError
from quillet_geo.statistics import CATEGORIES, DEFINITIONS

TRANSFORM = from_origin(0.0, 300.0, 10.0, 10.0)
SHAPE = (30, 26)


def grid(values, crs="EPSG:3857", transform=TRANSFORM):
    dims = ("band", "y", "x") if np.ndim(values) == 3 else ("y", "x")
    array = xr.DataArray(np.asarray(values, np.float32), dims=dims).rio.write_transform(transform)
    return array.rio.write_crs(crs) if crs else array


def continuous(seed=3):
    values = np.random.default_rng(seed).normal(50, 20, SHAPE).astype(np.float32)
    values[0, 0] = values[12:15, 3:8] = np.nan
    return values


def categories():
    return (np.arange(SHAPE[1])[None, :] // 4 + np.arange(SHAPE[0])[:, None] // 9).astype(np.float32)


def cell_fractions(geometry, transform, shape):
    """The fraction of every cell that `geometry` covers, from shapely's intersection areas."""
    a, _, c, _, e, f = tuple(transform)[:6]
    rows, cols = np.mgrid[:shape[0], :shape[1]]
    cells = shapely.box(c + a * cols, f + e * (rows + 1), c + a * (cols + 1), f + e * rows)
    return shapely.area(shapely.intersection(cells, geometry)) / abs(a * e)


def expected(values, fractions, *, weights=None, areas=None):
    """Every statistic of one band by its definition, from all of a region's cells at once."""
    v, f = values.ravel().astype(np.float64), fractions.ravel()
    a = np.broadcast_to(1.0 if areas is None else areas, fractions.shape).ravel()
    has = (f > 0) & ~np.isnan(v)
    fv, vv = f[has], v[has]
    count, total = fv.sum(), (fv * vv).sum()
    mean = total / count if count else np.nan
    result = {"count": count, "sum": total, "mean": mean, "min": vv.min() if has.any() else np.nan,
              "max": vv.max() if has.any() else np.nan,
              "stdev": np.sqrt((fv * (vv - mean) ** 2).sum() / count) if count else np.nan,
              "area": (f * a).sum(), "nodata_area": (f * a)[(f > 0) & np.isnan(v)].sum(),
              "area_mean": (fv * a[has] * vv).sum() / (fv * a[has]).sum() if count else np.nan}
    order = np.argsort(vv)
    reached = np.cumsum(fv[order])
    for q, label in ((0.5, "median"), (0.9, "quantile_0.9")):
        result[label] = vv[order][np.searchsorted(reached, q * reached[-1])] if count else np.nan
    found = np.unique(vv)
    summed = np.array([fv[vv == x].sum() for x in found])
    result["majority"] = found[np.argmax(summed)] if count else np.nan
    result["minority"] = found[np.argmin(summed)] if count else np.nan
    if weights is not None:
        w = weights.ravel()[has]
        result["weighted_sum"] = (fv * w * vv).sum()
        result["weighted_mean"] = result["weighted_sum"] / (fv * w).sum() if count else np.nan
    return result


RING = shapely.box(10, 200, 80, 270).difference(shapely.box(30, 220, 60, 250))
REGIONS = {
    "half a cell": shapely.box(20, 220, 25, 230),
    "a hole": RING,
    "a disc": shapely.Point(131, 157).buffer(47),
    "parts that overlap": shapely.MultiPolygon([shapely.box(100, 20, 160, 90), shapely.box(130, 50, 200, 120)]),
    "inside the disc": shapely.box(120, 140, 150, 175),
    "off the raster": shapely.box(1000, 1000, 1010, 1010),
    "half off the raster": shapely.Point(250, 60).buffer(30),
    "on no-data only": shapely.box(40, 160, 70, 170),
}
# Every statistic but the categorical ones, each checked against `expected`: a new statistic needs its definition there.
CONTINUOUS = [d.name if not d.takes_level else f"{d.name}_0.9" for d in DEFINITIONS if CATEGORIES not in d.needs]


def regions_frame():
    return geopandas.GeoDataFrame({"name": list(REGIONS)}, geometry=list(REGIONS.values()), crs="EPSG:3857")


def compare(table, values, *, stats, weights=None, areas=None):
    for name, geometry in REGIONS.items():
        union = shapely.union_all(shapely.get_parts(geometry))
        truth = expected(values, cell_fractions(union, TRANSFORM, SHAPE), weights=weights, areas=areas)
        for stat in stats:
            assert table.loc[name, stat] == pytest.approx(truth[stat], rel=1e-5, abs=1e-9, nan_ok=True), (name, stat)


@pytest.mark.parametrize("tile_size", [4, 1024])
def test_statistics_follow_their_definitions(tile_size):
    values, weights = continuous(), np.random.default_rng(8).uniform(0, 2, SHAPE).astype(np.float32)
    stats = [s.replace("_0.9", "(0.9)") for s in CONTINUOUS]
    table = quillet_geo.summarize(grid(values), regions_frame(), by="name", stats=stats, weights=grid(weights),
                                  tile_size=tile_size)
    assert list(table.index) == list(REGIONS) and list(table.columns) == CONTINUOUS
    compare(table, values, stats=CONTINUOUS, weights=weights, areas=100.0)
    off, nodata = table.loc["off the raster"], table.loc["on no-data only"]
    assert (off["count"], off["sum"], off["area"]) == (0, 0, 0) and np.isnan(off["mean"])
    assert nodata["count"] == 0 and np.isnan(nodata["mean"]) and nodata["area"] == nodata["nodata_area"] == 300


@pytest.mark.parametrize("tile_size", [4, 1024])
def test_invalid_regions_are_summarized_as_make_valid_makes_them(tile_size):
    from test_coverage import INVALID

    regions = geopandas.GeoDataFrame({"name": list(INVALID)}, geometry=list(INVALID.values()), crs="EPSG:3857")
    table = quillet_geo.summarize(grid(continuous()), regions, by="name", stats="count,sum,min,area",
                                  tile_size=tile_size)
    for name, shape in INVALID.items():
        truth = expected(continuous(), cell_fractions(shapely.make_valid(shape, method="structure"), TRANSFORM,
                                                      SHAPE), areas=100.0)
        for stat in ("count", "sum", "min", "area"):
            assert table.loc[name, stat] == pytest.approx(truth[stat], rel=1e-6), (name, stat)


def test_majority_and_minority_of_categories():
    table = quillet_geo.summarize(grid(categories()), regions_frame(), by="name", stats="majority,minority,count")
    compare(table, categories(), stats=["majority", "minority", "count"])


def test_every_band_gets_its_columns_and_band_picks_one(tmp_path):
    first, second = continuous(1), continuous(2)
    both = quillet_geo.summarize(grid([first, second]), regions_frame(), stats=["mean", "area"], by="name")
    assert list(both.columns) == ["mean_b1", "mean_b2", "area"]
    picked = quillet_geo.summarize(grid([first, second]), regions_frame(), stats=["mean"], band=2, by="name")
    np.testing.assert_allclose(picked["mean"], both["mean_b2"], rtol=1e-14)
    compare(both.rename(columns={"mean_b1": "mean"}), first, stats=["mean"])


@pytest.mark.parametrize("tile_size, n_threads", [(3, 1), (7, 2), (64, 2)])
def test_tile_sizes_and_threads_change_nothing_but_rounding(tile_size, n_threads):
    options = dict(by="name", stats=["count", "sum", "mean", "stdev", "min", "max"])
    reference = quillet_geo.summarize(grid(continuous()), regions_frame(), tile_size=1024, n_threads=1, **options)
    table = quillet_geo.summarize(grid(continuous()), regions_frame(), tile_size=tile_size, n_threads=n_threads,
                                  **options)
    np.testing.assert_allclose(table, reference, rtol=1e-12, atol=1e-9)


def test_many_regions_in_several_batches_keep_their_order(monkeypatch):
    monkeypatch.setattr(sys.modules["quillet_geo.batches"], "BATCH_REGIONS", 7)
    centres = np.random.default_rng(4).uniform(0, 260, (60, 2))
    discs = geopandas.GeoDataFrame({"id": np.arange(60) * 10}, geometry=shapely.buffer(shapely.points(centres), 12),
                                   crs="EPSG:3857")
    table = quillet_geo.summarize(grid(continuous()), discs, by="id", stats=["sum", "area"])
    assert list(table.index) == list(discs["id"])
    for k in (0, 17, 59):
        fractions = cell_fractions(discs.geometry.iloc[k], TRANSFORM, SHAPE)
        assert table["sum"].iloc[k] == pytest.approx(np.nansum(fractions * continuous()), rel=1e-5)


@pytest.mark.parametrize("arguments, error, text", [
    (dict(stats="mean,median,foo"), ArgumentError, "stats: 'foo' is not a statistic; choose among count"),
    (dict(stats="quantile(1.5)"), ArgumentError, "stats: 'quantile(1.5)': the quantile's level must be a number"),
    (dict(stats="quantile(high)"), ArgumentError, "stats: 'quantile(high)': the quantile's level must be a number"),
    (dict(stats="mean,mean"), ArgumentError, "stats: asks for mean twice"),
    (dict(stats=[]), ArgumentError, "stats: is empty"),
    (dict(stats="weighted_mean"), ArgumentError, "weights: is needed for weighted_mean"),
    (dict(weights="W"), ArgumentError, "weights: is given, but no weighted statistic is asked for"),
    (dict(by="kind"), ArgumentError, "by: 'kind' is not a field of the regions (their fields: name)"),
    (dict(regions=[shapely.box(0, 0, 1, 1)]), ArgumentTypeError, "regions: expected a GeoDataFrame or a vector"),
    (dict(regions=geopandas.GeoDataFrame(geometry=[shapely.Point(1, 1)], crs="EPSG:3857")), DataError,
     "regions: the regions have no polygons (found: Point)"),
    (dict(values=grid(continuous(), crs=None)), DataError, "values: the array has no CRS"),
    (dict(weights="W", stats="weighted_sum", shifted=True), DataError, "weights: the array is not on the grid of "
                                                                       "values: transform differs"),
    (dict(values=grid(np.where(categories() > 5, np.inf, 1))), DataError, "values: the array holds infinite values"),
    (dict(band=3), ArgumentError, "band: 3, but the array has 1 band"),
    (dict(align="nearest"), ArgumentError, "align: is given, but there are no `weights` to warp"),
    (dict(weights="W", stats="weighted_sum", align="sideways"), ArgumentError, "align: 'sideways' is not a "
                                                                                "resampling method"),
])
def test_bad_arguments_are_one_line_naming_them(arguments, error, text):
    arguments = dict(arguments)
    shifted = arguments.pop("shifted", False)
    if arguments.get("weights") == "W":
        arguments["weights"] = grid(np.ones(SHAPE), transform=from_origin(5.0, 300.0, 10.0, 10.0) if shifted else
                                    TRANSFORM)
    arguments = {"values": grid(continuous()), "regions": regions_frame(), **arguments}
    with pytest.raises(error) as refusal:
        quillet_geo.summarize(**arguments)
    assert text in str(refusal.value) and "\n" not in str(refusal.value)


def test_weights_on_another_grid_are_warped_with_align(tmp_path):
    # Shifted by 0.3 of a cell: the nearest cell of each cell of the values' grid has the same row and column.
    values, path, cells = grid(continuous()), tmp_path / "weights.tif", np.random.default_rng(8).uniform(0, 2, SHAPE)
    weights = grid(cells, transform=from_origin(3.0, 297.0, 10.0, 10.0))
    weights.rio.to_raster(path)
    options = dict(by="name", stats="weighted_mean,weighted_sum")
    truth = quillet_geo.summarize(values, regions_frame(), weights=grid(cells), **options)
    for given in (weights, str(path)):
        table = quillet_geo.summarize(values, regions_frame(), weights=given, align="nearest", **options)
        np.testing.assert_allclose(table, truth, rtol=1e-12)


@pytest.mark.parametrize("as_file", [False, True])
def test_an_undeclared_nodata_value_is_named_and_nodata_declares_it(tmp_path, as_file):
    values = np.where(categories() == 3, -9999, continuous()).astype(np.float32)
    given = grid(values)
    if as_file:
        given.rio.to_raster(tmp_path / "values.tif")
        given = str(tmp_path / "values.tif")
    with pytest.raises(DataError, match="values: .* -9999"):
        quillet_geo.summarize(given, regions_frame(), by="name")
    table = quillet_geo.summarize(given, regions_frame(), by="name", nodata=-9999)
    truth = quillet_geo.summarize(grid(np.where(values == -9999, np.nan, values)), regions_frame(), by="name")
    np.testing.assert_array_equal(table, truth)
