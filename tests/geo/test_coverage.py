"""Tiled polygon coverage on a raster's grid: the covered fraction of the polygons' union."""
import warnings

import numpy as np
import pytest

pytest.importorskip("geopandas")
import geopandas
import shapely
import xarray as xr
from rasterio.transform import from_origin

import quillet
import quillet_geo
from quillet_geo import ArgumentError, DataError


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


BOX = shapely.box(20, 220, 25, 230)  # the left half of the cell at row 7, column 2
RING = shapely.box(10, 200, 80, 270).difference(shapely.box(30, 220, 60, 250))


@pytest.mark.parametrize("shapes, cell, fraction", [
    ([BOX, BOX], (7, 2), 0.5),  # identical
    ([shapely.box(20, 220, 30, 230), BOX], (7, 2), 1.0),  # nested
    ([BOX, shapely.box(22.5, 220, 27.5, 230)], (7, 2), 0.75),  # partly overlapping
    ([BOX, shapely.box(25, 220, 30, 225)], (7, 2), 0.75),  # touching
    ([RING, shapely.box(30, 220, 60, 250)], (6, 4), 1.0),  # a hole covered by another polygon
    ([RING, shapely.box(30, 220, 45, 250)], (6, 4), 0.5),  # a hole half covered
    ([shapely.GeometryCollection([BOX, shapely.Point(1, 1), shapely.LineString([(0, 0), (90, 90)])])], (7, 2), 0.5),
    # a self-crossing polygon beside another: repaired before they are united, each lobe covered
    ([shapely.Polygon([(20, 220), (25, 230), (25, 220), (20, 230)]), shapely.box(25, 220, 30, 230)], (7, 2), 0.75),
])
@pytest.mark.parametrize("tile_size", [3, 64])
def test_overlapping_polygons_count_once(shapes, cell, fraction, tile_size):
    result = quillet_geo.coverage(shapes, grid(), tile_size=tile_size).values
    assert result[cell] == pytest.approx(fraction, abs=1e-6)
    union = shapely.union_all(shapely.make_valid(shapes, method="structure"))
    assert result.sum() * 100 == pytest.approx(union.area, rel=1e-6)


# Invalid polygons, each alone: the native coverage of their rings as they are would be wrong.
INVALID = {
    "a bow-tie crossing inside a cell": shapely.Polygon([(12, 203), (47, 236), (44, 208), (15, 231)]),
    "a bow-tie inside one cell": shapely.Polygon([(21, 221), (29, 229), (29, 221), (21, 229)]),
    "a ring winding twice": shapely.Polygon(np.c_[50 + 37 * np.cos(np.arange(5) * 4 * np.pi / 5),
                                                  150 + 37 * np.sin(np.arange(5) * 4 * np.pi / 5)]),
    "parts that overlap": shapely.MultiPolygon([shapely.box(21, 221, 27, 229), shapely.box(23, 221, 29, 229)]),
    "holes that overlap": shapely.Polygon(shapely.box(101, 101, 163, 163).exterior.coords,
                                          [shapely.box(111, 111, 133, 133).exterior.coords,
                                           shapely.box(125, 125, 147, 147).exterior.coords]),
}


@pytest.mark.parametrize("shape", INVALID.values(), ids=INVALID.keys())
@pytest.mark.parametrize("tile_size", [3, 64])
def test_an_invalid_polygon_covers_what_make_valid_makes_of_it(shape, tile_size):
    from test_summarize import TRANSFORM, cell_fractions

    assert not shape.is_valid
    truth = cell_fractions(shapely.make_valid(shape, method="structure"), TRANSFORM, (30, 26))
    result = quillet_geo.coverage([shape], grid(), tile_size=tile_size).values
    np.testing.assert_allclose(result, truth, atol=1e-6)


def test_many_overlapping_groups_give_the_same_map_on_any_thread_count():
    # Enough overlapping pairs for several batches of unions, spread over the threads.
    rng = np.random.default_rng(5)
    centres = rng.uniform(10, 250, (1500, 2))
    circles = [shapely.Point(x, y).buffer(r) for (x, y), r in zip(centres, rng.uniform(1, 6, len(centres)))]
    maps = [quillet_geo.coverage(circles, grid(), n_threads=n).values for n in (1, 2, 3)]
    assert maps[0].tobytes() == maps[1].tobytes() == maps[2].tobytes()
    assert maps[0].sum() * 100 == pytest.approx(shapely.union_all(circles).area, rel=1e-6)


def test_polygons_without_crs_or_without_area_are_refused():
    no_crs = geopandas.GeoSeries([BOX])
    with pytest.raises(DataError, match="geometries: the geometries have no CRS; say which CRS"):
        quillet_geo.coverage(no_crs, grid())
    assumed = quillet_geo.coverage(no_crs, grid(), assume_crs="EPSG:3857")
    assert assumed.values.tobytes() == quillet_geo.coverage([BOX], grid()).values.tobytes()
    with pytest.raises(DataError, match=r"the geometries have no polygons \(found: LineString, Point\)"):
        quillet_geo.coverage([shapely.Point(1, 1), shapely.LineString([(0, 0), (5, 5)])], grid())


def test_polygons_off_the_raster_give_a_warning():
    with pytest.warns(UserWarning, match="none of the 1 polygons reaches the raster"):
        result = quillet_geo.coverage([shapely.box(1000, 1000, 2000, 2000)], grid())
    assert not result.values.any()
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        quillet_geo.coverage([BOX], grid())


def test_a_vector_file_with_layer_and_where(tmp_path):
    path = tmp_path / "areas.gpkg"
    frame = geopandas.GeoDataFrame({"kind": ["a", "b"]}, geometry=[BOX, shapely.box(100, 100, 150, 150)],
                                   crs="EPSG:3857")
    frame.to_file(path, layer="areas", engine="pyogrio")
    result = quillet_geo.coverage(str(path), grid(), layer="areas", where="kind = 'a'")
    assert result.values.tobytes() == quillet_geo.coverage([BOX], grid()).values.tobytes()
    with pytest.raises(ArgumentError, match="where: 'kind = ' is not a condition"):
        quillet_geo.coverage(str(path), grid(), where="kind = ")
