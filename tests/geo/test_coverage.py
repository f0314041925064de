"""Tiled polygon coverage on a raster's grid."""
import numpy as np
import pytest

pytest.importorskip("geopandas")
import geopandas
import shapely
import xarray as xr
from rasterio.transform import from_origin

import quillet
import quillet_geo


def grid(shape=(30, 26)):
    return xr.DataArray(np.zeros(shape, np.float32), dims=("y", "x")).rio.write_crs("EPSG:3857").rio.write_transform(
        from_origin(0.0, 300.0, 10.0, 10.0))


SHAPES = [shapely.box(15, 40, 180, 260).difference(shapely.box(50, 100, 90, 150)),
          shapely.MultiPolygon([shapely.box(200, 10, 250, 55), shapely.box(3, 3, 8, 290)])]


@pytest.mark.parametrize("tile_size", [7, 8, 64])
def test_tiles_match_one_call(tile_size):
    rings = [(shapely.get_coordinates(p.exterior), [shapely.get_coordinates(h) for h in p.interiors])
             for p in shapely.get_parts(SHAPES)]
    expected = quillet.pixel_coverage(rings, (10.0, 0.0, 0.0, 0.0, -10.0, 300.0), (30, 26))
    result = quillet_geo.coverage(geopandas.GeoSeries(SHAPES, crs="EPSG:3857"), grid(), tile_size=tile_size)
    np.testing.assert_allclose(result.values, expected, atol=1e-6)


def test_reprojected_to_the_grid():
    series = geopandas.GeoSeries(SHAPES, crs="EPSG:3857").to_crs("EPSG:4326")
    result = quillet_geo.coverage(series, grid(), tile_size=8)
    direct = quillet_geo.coverage(SHAPES, grid(), tile_size=8)
    np.testing.assert_allclose(result.values, direct.values, atol=1e-4)


def test_invalid_and_wrong_geometries():
    # A self-crossing ring covers each of its lobes, whichever way the lobe winds.
    bowtie = shapely.Polygon([(0, 0), (100, 100), (100, 0), (0, 100)])
    lobes = [shapely.Polygon([(0, 0), (50, 50), (0, 100)]), shapely.Polygon([(100, 0), (50, 50), (100, 100)])]
    np.testing.assert_allclose(quillet_geo.coverage([bowtie], grid()).values, quillet_geo.coverage(lobes, grid()).values,
                               atol=1e-6)
    with pytest.raises(TypeError, match="geometries: only Polygon"):
        quillet_geo.coverage([shapely.Point(1, 1)], grid())
