"""The search reach told per axis where one number does not tell it, the bandwidths that do not fit it warned about,
and why a value can pass 1: path lengths counted in hundredths of a kilometre."""
import math
import warnings

import numpy as np
import pytest

pytest.importorskip("rioxarray")
import rasterio
import xarray as xr
from affine import Affine
from rasterio.transform import from_origin

import quillet
import quillet_geo
from quillet_geo.cli import main
from quillet_geo.connectivity_parameters import connectivity_parameters
from quillet_geo.rasters import open_raster
from quillet_geo.reach import check_bandwidths, search_reach

EARTH = 6371000.0  # the sphere of the native path lengths
LEVELS_1_TO_4 = dict(levels=[1, 2, 4], outer_window=7)  # a reach of 28 cells


def grid(shape, transform, crs="EPSG:3035", values=None):
    values = np.full(shape, 0.5, np.float32) if values is None else values.astype(np.float32)
    return xr.DataArray(values, dims=("y", "x")).rio.write_crs(crs).rio.write_transform(transform)


def raster(*args, **kwargs):
    return open_raster(grid(*args, **kwargs), "condition")


def parameters(lambdas, max_cost=10.0, **levels):
    return connectivity_parameters(lambdas=lambdas, max_cost=max_cost, **(levels or LEVELS_1_TO_4))


def great_circle(lat1, lat2, dlon):
    """Haversine distance in metres, written out."""
    p1, p2, dl = math.radians(lat1), math.radians(lat2), math.radians(dlon)
    h = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2 * EARTH * math.asin(math.sqrt(h))


@pytest.mark.parametrize("levels, window_size, outer_window, cells", [
    ([1, 2, 4], 3, 7, 28),
    ([4, 2, 1], 5, 5, 20),
    ([1, 2, 4, 8], 3, 15, 120),
    ([1], 9, 11, 11),
])
def test_the_tiles_halo_is_the_reach_the_module_gives(levels, window_size, outer_window, cells):
    checked = connectivity_parameters(lambdas=[1.0], max_cost=10, levels=levels, window_size=window_size,
                                      outer_window=outer_window)
    assert checked.reach() == quillet._window_reach(levels, window_size, outer_window) == cells


@pytest.mark.parametrize("transform, crs, text, notes", [
    (from_origin(0, 6400, 64, 64), "EPSG:3035", "28 cells, 1.79 km", {"search_reach_m": 1792.0}),
    (from_origin(0, 6400, 10, 20), "EPSG:3035", "28 cells, 280 m along x and 560 m along y",
     {"search_reach_x_m": 280.0, "search_reach_y_m": 560.0}),
])
def test_a_projected_reach_is_one_number_where_the_cells_are_square(transform, crs, text, notes):
    reach = search_reach(raster((50, 50), transform, crs), parameters([1.0]))
    assert reach.text() == text
    assert reach.notes() == {"search_reach": text, "search_reach_cells": 28, **notes}


def test_a_transform_that_describes_no_grid_is_refused():
    with pytest.raises(quillet_geo.DataError, match=r"condition: the array has cells that measure 0 by 0 m: its "
                                                    r"transform \(0, 0, 0, 0, 0, 0\) describes no grid"):
        quillet_geo.connectivity(grid((4, 4), Affine(0, 0, 0, 0, 0, 0)), levels=[1], lambdas=[1.0], max_cost=10)


@pytest.mark.parametrize("north, rows", [(50.6, 90), (10.0, 2000), (-40.0, 400)])
def test_a_longitude_latitude_reach_is_told_per_axis_and_over_the_latitudes(north, rows):
    """East-west shrinks away from the equator; north-south is the same everywhere on the sphere."""
    step = 0.01
    reach = search_reach(raster((rows, 60), from_origin(5.0, north, step, step), "EPSG:4326"), parameters([1.0]))
    centre, ends = north - rows * step / 2, (north - step / 2, north - (rows - 0.5) * step)
    widest_latitude = 0.0 if ends[1] < 0 < ends[0] else min(ends, key=abs)
    east_west = 28 * great_circle(centre, centre, step)
    narrowest = min(great_circle(lat, lat, step) for lat in ends)
    notes = reach.notes()
    assert notes["search_reach_east_west_m"] == pytest.approx(east_west, abs=0.1)
    assert notes["search_reach_north_south_m"] == pytest.approx(28 * great_circle(0, step, 0), abs=0.1)
    low, high = notes["search_reach_east_west_m_range"]
    assert low == pytest.approx(28 * narrowest, abs=0.1)
    assert high == pytest.approx(28 * great_circle(widest_latitude, widest_latitude, step), abs=0.1)
    assert notes["search_reach"].startswith(f"28 cells, {east_west / 1000:.3g} km east-west and ")


def bandwidth_warnings(cell, lambdas, max_cost=10.0, transgrids=False, **levels):
    reach = search_reach(raster((100, 100), from_origin(0, 100 * cell, cell, cell)), parameters(lambdas, max_cost,
                                                                                               **levels))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        check_bandwidths(parameters(lambdas, max_cost, **levels), reach, transgrids=transgrids)
    return [str(w.message) for w in caught]


# 28 cells of 28.5 m reach 798 m; with max_cost 1 the exponential decay keeps 90% there from λ = 0.798 / ln(1/0.9).
BARELY = 0.798 / math.log(1 / 0.9)


@pytest.mark.parametrize("cell, lambdas, options, expected", [
    (28.5, [500, 1000, 2000], {}, ["`lambdas` 500 1000 2000 km barely decay within the search reach (28 cells, "
                                   "798 m with `levels` 1 2 4): a destination at the reach keeps 98% of its weight "
                                   "or more, even where its path costs `max_cost` 10 times its length, so the "
                                   "values are nearly a mean of condition over the window; bandwidths are in "
                                   "kilometres, and `levels` 1 to 4096 would reach 817 km, beyond the raster's "
                                   "2.85 km"]),
    (28.5, [0.005, 0.5], {}, ["`lambdas` 0.005 km decays within one cell (28.5 m): a destination one cell away "
                              "keeps at most 0.33% of its weight", "from 0.0285 on this grid"]),
    (3.3, [0.008], {}, ["`lambdas` 0.008 km decays within 10 m, the step in which path lengths are counted (cells "
                        "are 3.3 m): a destination 10 m away keeps at most 29%", "from 0.01 on this grid"]),
    (28.5, [0.5, 1, 2], dict(levels=[1, 2, 4, 8], outer_window=7), []),
    (28.5, [BARELY * 0.99], dict(max_cost=1.0), []),
    (28.5, [BARELY * 1.01], dict(max_cost=1.0), ["barely decays"]),
    (28.5, [BARELY * 1.01], dict(max_cost=1.1), []),  # costlier land makes the decay act
    # The Gaussian decay of transition stacks falls to 1/e at 16.8 λ: 1 km barely decays within 798 m ...
    (28.5, [1.0], dict(max_cost=1.0, transgrids=True), ["barely decays", "`levels` 1 to 128 would reach 25.5 km"]),
    (28.5, [1.0], dict(max_cost=1.0), []),
    # ... and 2 m still decays beyond a cell.
    (28.5, [0.002], dict(transgrids=True), []),
    (28.5, [0.0015], dict(transgrids=True), ["decays within one cell"]),
])
def test_bandwidths_that_do_not_fit_the_reach_get_one_warning_line(cell, lambdas, options, expected):
    caught = bandwidth_warnings(cell, lambdas, **options)
    assert len(caught) == min(len(expected), 1)
    assert all(part in caught[0] for part in expected)


def test_the_command_prints_the_warning_and_the_reach_per_axis(tmp_path, capsys):
    condition = tmp_path / "condition.tif"
    with rasterio.open(condition, "w", driver="GTiff", width=20, height=20, count=1, dtype="float32",
                       crs="EPSG:4326", transform=from_origin(5.0, 50.0, 0.01, 0.01)) as target:
        target.write(np.full((1, 20, 20), 0.5, np.float32))
    with pytest.raises(SystemExit) as done:
        main(["connectivity", str(condition), str(tmp_path / "map.tif"), "--levels", "1", "2", "--lambdas", "500",
              "--max-cost", "1", "--outer-window", "3", "--workers", "1"])
    out, err = capsys.readouterr()
    assert done.value.code == 0, err
    assert err.startswith("Warning: --lambdas 500 km barely decays within the search reach (6 cells, up to 6.67 km "
                          "with --levels 1 2): ")
    assert "; bandwidths are in kilometres, and --levels 1 to 256 would reach 549 km" in err
    assert out.splitlines()[0] == ("search reach: 6 cells, 4.3 km east-west and 6.67 km north-south at the raster's "
                                   "centre (east-west 4.29-4.31 km over its latitudes)")


@pytest.mark.parametrize("cell, rounded", [(28.5, 30.0), (40.0, 40.0), (3.3, 0.0), (114.0, 110.0)])
def test_a_value_passes_1_by_the_rounding_of_path_lengths_to_10_m(cell, rounded):
    """Two cells of condition 1: each reaches the other at the cost of one step, exact, and at the distance of one
    step rounded to 10 m, so the value is exp(-cost/λ) / exp(-distance/λ) (λ = 1 km)."""
    condition = grid((1, 2), from_origin(0, cell, cell, cell), values=np.ones((1, 2)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # 1 km barely decays within one step
        values = quillet_geo.connectivity(condition, levels=[1], lambdas=[1.0], max_cost=10, outer_window=3).values
    expected = np.exp(-np.float32(cell / 1000)) / np.exp(-np.float32(rounded / 1000))
    np.testing.assert_allclose(values, expected, rtol=3e-7)
