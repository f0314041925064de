"""Inputs on other grids, warped onto the condition's grid as each tile reads them (`align`)."""
import numpy as np
import pyproj
import pytest

pytest.importorskip("rasterio")
import rasterio
from rasterio.transform import from_origin
from rasterio.warp import transform_bounds

import quillet
import quillet_geo
from quillet_geo import DataError
from quillet_geo.transforms import level_transforms

CONDITION_GRID = dict(crs="EPSG:3035", transform=from_origin(4_000_000, 3_000_000, 100, 100), shape=(60, 50))
OPTIONS = dict(levels=[1, 2], lambdas=[2.0], max_cost=10.0, outer_window=3)


def write(path, values, crs, transform):
    with rasterio.open(path, "w", driver="GTiff", width=values.shape[1], height=values.shape[0], count=1,
                       dtype="float32", crs=crs, transform=transform, nodata=float("nan")) as target:
        target.write(values.astype(np.float32), 1)
    return str(path)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A condition, and a traversal in longitude/latitude on coarser cells that cover it."""
    folder, rng = tmp_path_factory.mktemp("align"), np.random.default_rng(4)
    condition = write(folder / "condition.tif", rng.uniform(0, 1, CONDITION_GRID["shape"]),
                      CONDITION_GRID["crs"], CONDITION_GRID["transform"])
    west, south, east, north = transform_bounds("EPSG:3035", "EPSG:4326", 3_999_000, 2_993_000, 4_006_000, 3_001_000)
    traversal = write(folder / "traversal.tif", rng.uniform(0, 1, (40, 30)), "EPSG:4326",
                      from_origin(west, north, (east - west) / 30, (north - south) / 40))
    return condition, traversal


def looked_up(path):
    """The value of the raster at `path` under each condition cell's centre: nearest resampling, done by hand."""
    transform, (rows, cols) = CONDITION_GRID["transform"], CONDITION_GRID["shape"]
    row, col = np.mgrid[0:rows, 0:cols] + 0.5
    lon, lat = pyproj.Transformer.from_crs(3035, 4326, always_xy=True).transform(
        transform.c + col * transform.a, transform.f + row * transform.e)
    with rasterio.open(path) as source:
        c, r = ~source.transform @ (lon, lat)
        return source.read(1)[np.floor(r).astype(int), np.floor(c).astype(int)]


def test_nearest_alignment_reads_the_cell_under_each_centre(files):
    condition, traversal = files
    with rasterio.open(condition) as source:
        values = source.read(1)
    transforms = level_transforms(CONDITION_GRID["transform"], OPTIONS["levels"], (0, 0))
    expected = quillet.connectivity(values, np.isnan(values), None, transforms, is_geo=False, offsets=(0, 0),
                                    traversal=looked_up(traversal), window_size=3, **OPTIONS)
    result = quillet_geo.connectivity(condition, traversal=traversal, align="nearest", tile_size=16, **OPTIONS)
    assert result.values.tobytes() == expected.tobytes() and result.attrs["align"] == "nearest"


@pytest.mark.parametrize("method", ["bilinear", "average"])
def test_the_warped_values_do_not_depend_on_the_tiles(files, method):
    condition, traversal = files
    tiled = [quillet_geo.connectivity(condition, traversal=traversal, align=method, tile_size=size, **OPTIONS)
             for size in (16, 24, 64)]
    assert tiled[0].values.tobytes() == tiled[1].values.tobytes() == tiled[2].values.tobytes()


def test_without_align_another_grid_is_refused_naming_the_option(files):
    with pytest.raises(DataError, match="or pass `align` to warp it as it is read"):
        quillet_geo.connectivity(files[0], traversal=files[1], **OPTIONS)
