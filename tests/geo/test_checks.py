"""quillet_geo refuses every argument and input that cannot give the map its parameters define, with one line
naming the argument, before any tile runs; and takes the forms of input users actually have."""
import math

import numpy as np
import pytest

pytest.importorskip("rioxarray")
import rasterio
import xarray as xr
from rasterio.transform import from_origin

import quillet
import quillet_geo
from quillet_geo import ArgumentError, ArgumentTypeError, DataError

TRANSFORM = from_origin(1024.0, 8192.0, 64.0, 64.0)
OPTIONS = dict(levels=[1, 2], lambdas=[2.0], max_cost=10.0, window_size=3, outer_window=3, tile_size=8)


def georeferenced(values, crs="EPSG:3857", transform=TRANSFORM, dims=None):
    dims = dims or (("y", "x") if values.ndim == 2 else ("band", "y", "x"))
    array = xr.DataArray(values, dims=dims)
    return array.rio.write_crs(crs).rio.write_transform(transform) if crs else array.rio.write_transform(transform)


def condition(shape=(20, 18), seed=3):
    return georeferenced(np.random.default_rng(seed).uniform(0, 1, shape).astype(np.float32))


def native(values, transform=TRANSFORM, **options):
    """One native call over the whole raster: what quillet_geo must give."""
    options = {**OPTIONS, **options}
    del options["tile_size"]
    levels = options["levels"]
    transforms = {level: (transform.a * level, 0.0, transform.c, 0.0, transform.e * level, transform.f)
                  for level in levels}
    mask = options.pop("mask", np.isnan(values))
    return quillet.connectivity(values, mask, None, transforms, is_geo=False, offsets=(0, 0), **options)


@pytest.mark.parametrize("change, error, text", [
    ({"levels": []}, ArgumentError, "levels: is empty"),
    ({"levels": [1, 4]}, ArgumentError, "levels: [1, 4] leaves out 2: the levels must double from 1"),
    ({"levels": [2, 4]}, ArgumentError, "levels: [2, 4] leaves out 1"),
    ({"levels": [1, 3]}, ArgumentError, "levels: 3 is not a power of two"),
    ({"levels": [1, 1, 2]}, ArgumentError, "repeats a level"),
    ({"levels": "12"}, ArgumentTypeError, "levels: expected a list such as [1, 2, 4], got '12'"),
    ({"levels": [1, 2.0]}, ArgumentTypeError, "levels: expected an integer, got 2.0"),
    ({"window_size": 4}, ArgumentError, "window_size: 4 is not odd"),
    ({"window_size": 0}, ArgumentError, "window_size: 0 is not between 1 and"),
    ({"outer_window": 1}, ArgumentError, "outer_window: 1 is smaller than window_size 3"),
    ({"tile_size": 9}, ArgumentError, "tile_size: 9 is not a multiple of the coarsest level 2"),
    ({"tile_size": 2**80}, ArgumentError, "tile_size: 1208925819614629174706176 is not between 1 and"),
    ({"lambdas": [2.0, math.nan]}, ArgumentError, "lambdas: nan is not a finite number"),
    ({"lambdas": [0.0]}, ArgumentError, "lambdas: 0 is not a positive bandwidth"),
    ({"lambdas": 2.0}, ArgumentTypeError, "lambdas: expected a list such as [2, 20, 200], got 2.0"),
    ({"max_cost": 0.1}, ArgumentError, "max_cost: 0.1 is below 1: max_cost is the cost of crossing a fully degraded"),
    ({"max_cost": math.inf}, ArgumentError, "max_cost: inf is not a finite number"),
    ({"max_cost": 1e39}, ArgumentError, "is not a finite number"),
    ({"max_cost": "10"}, ArgumentTypeError, "max_cost: expected a number, got '10'"),
    ({"window_mode": "hexagonal"}, ArgumentError, "window_mode: 'hexagonal' is neither 'circular' nor 'square'"),
    ({"protected_min_fraction": 0.0}, ArgumentError, "protected_min_fraction: 0.0 is not in (0, 1]"),
    ({"n_threads": 0}, ArgumentError, "n_threads: 0 is not at least 1"),
    ({"sources": True, "protected": True}, ArgumentError, "protected: give sources or protected, not both"),
    ({"band": 2}, ArgumentError, "band: 2, but the array has 1 band"),
])
def test_argument_mistakes_are_one_line_naming_the_argument(change, error, text):
    values = condition()
    change = {k: (values > 0.5 if v is True else v) for k, v in change.items()}
    with pytest.raises(error) as info:
        quillet_geo.connectivity(values, **{**OPTIONS, **change})
    assert text in str(info.value) and "\n" not in str(info.value)


def test_max_cost_keeps_its_meaning():
    # The path weight is (1 - max_cost)·t + max_cost: degraded land costs more to cross, so more of it lowers the value.
    values = condition()
    for max_cost in (1.0, 10.0):
        result = quillet_geo.connectivity(values, **{**OPTIONS, "max_cost": max_cost})
        assert result.values.tobytes() == native(values.values, max_cost=max_cost).tobytes()
    cheap, costly = (quillet_geo.connectivity(values, **{**OPTIONS, "max_cost": m}).values for m in (1.0, 10.0))
    assert np.all(costly <= cheap) and costly.mean() < cheap.mean() and 0 <= costly.min() and cheap.max() <= 1


def stray(values, row, col, value):
    values = values.copy()
    values[row, col] = value
    return values


@pytest.mark.parametrize("argument, values, text", [
    ("condition", lambda v: v * 255, "condition: the array has values from 0"),
    ("condition", lambda v: stray(v, 4, 5, -9999), "condition: the array holds the value -9999 in 1 cell (the first "
                                                   "at row 4, column 5), which looks like a no-data value"),
    ("condition", lambda v: stray(v, 1, 2, np.inf), "condition: the array holds infinite values (the first at row 1, "
                                                    "column 2)"),
    ("traversal", lambda v: v + 1, "traversal: the array has values from 1"),
    ("sources", lambda v: np.where(v > 0.5, 2, 0).astype(np.float32), "sources: the array holds the value 2"),
    ("protected", lambda v: v * 100, "protected: the array has values from"),
    ("transgrids", lambda v: stray(v, 3, 3, -np.inf)[None], "transgrids[0]: the array holds infinite values"),
])
def test_values_outside_their_range_are_refused_before_any_tile(argument, values, text):
    good = condition()
    bad = georeferenced(values(good.values))
    inputs = {"condition": good, argument: [bad] if argument == "transgrids" else bad}
    with pytest.raises(DataError) as info:
        quillet_geo.connectivity(**inputs, **OPTIONS)
    assert text in str(info.value) and "\n" not in str(info.value)


def test_a_stray_value_anywhere_fails_its_tile(tmp_path):
    # The file's blocks are sampled before the run; a value in a block left out of the sample is found by the tile
    # that reads it, which fails with the place instead of computing garbage.
    values = np.random.default_rng(1).uniform(0, 1, (80, 80)).astype(np.float32)
    values[3, 20] = 255
    path = tmp_path / "condition.tif"
    with rasterio.open(path, "w", driver="GTiff", width=80, height=80, count=1, dtype="float32", crs="EPSG:3857",
                       transform=TRANSFORM, tiled=True, blockxsize=16, blockysize=16) as target:
        target.write(values, 1)
    result = quillet_geo.connectivity(str(path), **{**OPTIONS, "tile_size": 40})
    with pytest.raises(DataError) as info:
        result.compute(scheduler="sync")
    assert f"condition: '{path}' holds the value 255 in 1 cell (the first at row 3, column 20)" in str(info.value)
    assert info.value.__notes__ == ["in connectivity tile (0, 0) (rows 0:40, columns 0:40)"]


@pytest.mark.parametrize("crs, transform, text", [
    (None, TRANSFORM, "condition: the array has no CRS; set it"),
    ("EPSG:4326", from_origin(10.0, 95.0, 0.01, 0.01), "condition: the array reaches latitude 95°, beyond ±90°"),
    ("EPSG:2263", TRANSFORM, "condition: the array has a CRS in US survey foot; distances are measured in metres"),
])
def test_a_crs_that_cannot_measure_distances_is_refused(crs, transform, text):
    values = georeferenced(condition().values, crs=crs, transform=transform)
    with pytest.raises(DataError, match=text):
        quillet_geo.connectivity(values, **OPTIONS)


@pytest.mark.parametrize("argument, change, text", [
    ("traversal", lambda a: a.rio.write_crs("EPSG:4326"), "traversal: the array is not on the grid of condition: CRS "
                                                          "differs (EPSG:4326 vs EPSG:3857); put it on that grid first"),
    ("traversal", lambda a: a[:-1], "shape differs ((19, 18) vs (20, 18))"),
    ("sources", lambda a: a.rio.write_transform(from_origin(1024.0 + 64e-5, 8192.0, 64.0, 64.0)), "transform differs"),
])
def test_rasters_off_the_grid_are_refused_with_how_to_align(argument, change, text):
    values = condition()
    other = change((values > 0.5) if argument == "sources" else values.copy())
    with pytest.raises(DataError) as info:
        quillet_geo.connectivity(values, **{argument: other}, **OPTIONS)
    assert text in str(info.value) and "reproject_match" in str(info.value)


def test_inputs_in_the_forms_users_have():
    values = condition()
    expected = quillet_geo.connectivity(values, sources=values > 0.3, **OPTIONS).values
    # Within a millionth of a cell is the same grid: writers differ in the last bits of a coefficient.
    almost = from_origin(1024.0 + 64e-8, 8192.0, 64.0 * (1 + 1e-9), 64.0)
    forms = {
        "single band (band, y, x)": dict(condition=values.expand_dims(band=[1])),
        "band chosen": dict(condition=xr.concat([values * 0, values], "band").assign_coords(band=[1, 2]), band=2),
        "sources as 0/1 floats": dict(sources=(values > 0.3).astype(np.float32)),
        "grid equal within tolerance": dict(sources=(values > 0.3).rio.write_transform(almost)),
    }
    for name, form in forms.items():
        arguments = {"condition": values, "sources": values > 0.3, **OPTIONS, **form}
        assert quillet_geo.connectivity(**arguments).values.tobytes() == expected.tobytes(), name


def test_a_numpy_array_is_refused_without_printing_it():
    with pytest.raises(ArgumentTypeError) as info:
        quillet_geo.connectivity(np.zeros((500, 500), np.float32), **OPTIONS)
    assert str(info.value) == ("condition: expected a georeferenced xarray DataArray or a raster path, got a NumPy "
                               "array of shape (500, 500)")


@pytest.mark.parametrize("min_fraction, protected_from", [(0.5, lambda f: f >= 0.5), (0.2, lambda f: f >= 0.2),
                                                          (1.0, lambda f: f == 1)])
def test_a_protected_fraction_counts_from_protected_min_fraction(min_fraction, protected_from):
    values = condition()
    fraction = georeferenced(np.random.default_rng(5).choice([0, 0.3, 0.5, 0.7, 1], values.shape).astype(np.float32))
    result = quillet_geo.connectivity(values, protected=fraction, protected_min_fraction=min_fraction, **OPTIONS)
    as_membership = quillet_geo.connectivity(values, protected=protected_from(fraction), **OPTIONS)
    assert result.values.tobytes() == as_membership.values.tobytes()
    mask = ~protected_from(fraction.values) | np.isnan(values.values)
    assert result.values.tobytes() == native(values.values, mask=mask, pa_to_pa=True).tobytes()
