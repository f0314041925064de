"""Inputs that mean nothing are named before any tile runs: coordinates off the grid, no cells, no data, no overlap,
an undeclared no-data value among any values; what a file does not say (its no-data value, its CRS) is declared by
an argument, and a declaration that a file overrides is said; outputs are named for their format."""
import numpy as np
import pytest

pytest.importorskip("rioxarray")
import geopandas
import rasterio
import shapely
from rasterio.transform import from_origin
from test_checks import OPTIONS, TRANSFORM, condition, georeferenced, native
from test_real_data import DISTRICTS, ELEVATION

import quillet_geo
from quillet_geo import ArgumentError, ArgumentTypeError, DataError
from quillet_geo.rasters import open_raster
from quillet_geo.values import FINITE, check_sample

real_data = pytest.mark.skipif(not ELEVATION.is_file(), reason=f"no real test data at {ELEVATION} (see README)")


def on_coordinates(values, x=None, y=None):
    """`values` on TRANSFORM's grid with explicit cell-centre coordinates, changed where `x` or `y` say."""
    rows, cols = values.shape
    centres = {"x": TRANSFORM.c + TRANSFORM.a * (np.arange(cols) + 0.5),
               "y": TRANSFORM.f + TRANSFORM.e * (np.arange(rows) + 0.5)}
    for dim, change in (("x", x), ("y", y)):
        if change is not None:
            centres[dim] = change(centres[dim])
    return georeferenced(values).assign_coords(**centres)


def swapped(coordinates):
    coordinates = coordinates.copy()
    coordinates[[3, 4]] = coordinates[[4, 3]]
    return coordinates


@pytest.mark.parametrize("x, y, text", [
    (swapped, None, "condition: the array's x coordinates are not a regular grid: x[3] is 1312, where its transform "
                    "puts that cell's centre at 1248; sort them (`.sortby('x')`)"),
    (None, lambda y: y - np.arange(y.size) ** 2, "the array's y coordinates are not a regular grid: y[1] is 8095, "
                                                 "where its transform puts that cell's centre at 8096"),
    (lambda x: 1056 + (x - 1056) * 1.5, None, "x[1] is 1152, where its transform puts that cell's centre at 1120; put "
                                              "the array on a regular grid"),
])
def test_coordinates_off_the_grid_are_refused(x, y, text):
    # Computed as they are, the values would lie where the coordinates say they do not.
    with pytest.raises(ArgumentError) as info:
        quillet_geo.connectivity(on_coordinates(condition().values, x, y), **OPTIONS)
    assert text in str(info.value)


def test_coordinates_on_the_grid_are_taken_in_single_precision_too():
    values = condition()
    expected = quillet_geo.connectivity(values, **OPTIONS).values
    for change in (None, lambda c: c.astype(np.float32)):
        result = quillet_geo.connectivity(on_coordinates(values.values, change, change), **OPTIONS)
        assert result.values.tobytes() == expected.tobytes()


def nan_like(values):
    return georeferenced(np.full(values.shape, np.nan, np.float32))


@pytest.mark.parametrize("argument, make, text", [
    ("condition", lambda v: georeferenced(np.zeros((0, 18), np.float32)), "condition: the array has no cells (shape "
                                                                          "(0, 18))"),
    ("condition", nan_like, "condition: the array has no data in any cell"),
    ("traversal", nan_like, "traversal: the array has no data in any cell"),
    ("protected", nan_like, "protected: the array has no data in any cell"),
    ("transgrids", lambda v: nan_like(v).expand_dims(band=2), "transgrids[0]: the array has no data in any cell"),
    ("traversal", lambda v: v.rio.write_transform(from_origin(9e6, 8192.0, 64.0, 64.0)), "traversal: the array does "
     "not overlap condition: its bounds in condition's CRS are (9e+06, 6912, 9.00115e+06, 8192)"),
])
def test_inputs_that_mean_nothing_are_refused(argument, make, text):
    # An empty or all-no-data input would give an empty map, or (traversal) be silently ignored.
    values = condition()
    made = make(values)
    inputs = {"condition": values, argument: [made] if argument == "transgrids" else made}
    with pytest.raises(DataError) as info:
        quillet_geo.connectivity(**inputs, **OPTIONS, align="nearest" if "overlap" in text else None)
    assert text in str(info.value) and "\n" not in str(info.value)


def write_tiled(path, values, nodata=None, block=16):
    with rasterio.open(path, "w", driver="GTiff", width=values.shape[1], height=values.shape[0], count=1,
                       dtype=values.dtype, crs="EPSG:3857", transform=TRANSFORM, tiled=True, blockxsize=block,
                       blockysize=block, nodata=nodata) as target:
        target.write(values, 1)
    return str(path)


@pytest.mark.parametrize("data_from_row", [None, 32])
def test_a_file_is_read_on_past_an_empty_sample_until_it_shows_data(tmp_path, data_from_row):
    # 25 blocks, of which the sample reads 16 (among them the whole first and last block rows): data only in blocks
    # left out of it is found by reading on, and a file without any is refused.
    values = np.full((80, 80), np.nan, np.float32)
    if data_from_row is not None:
        values[data_from_row:data_from_row + 16, 16:32] = 0.5
    path = write_tiled(tmp_path / "condition.tif", values)
    if data_from_row is None:
        with pytest.raises(DataError, match="has no data in any cell"):
            quillet_geo.connectivity(path, **OPTIONS)
    else:
        assert np.nanmax(quillet_geo.connectivity(path, **OPTIONS).values) > 0


def stack_with(value, at=(2, 3), nodata=None, high=250):
    values = np.random.default_rng(2).uniform(0, high, (2, 20, 18)).astype(np.float32)
    values[(0, *at)] = value
    stack = georeferenced(values)
    return stack if nodata is None else stack.rio.write_nodata(nodata)


@pytest.mark.parametrize("stack, refused", [
    (stack_with(-9999), "transgrids[0]: the array holds the value -9999 in 1 cell (the first at row 2, column 3), "
                        "far outside its other values (0"),
    (stack_with(-32768, at=(19, 17)), "holds the value -32768 in 1 cell (the first at row 19, column 17)"),
    (stack_with(255), None),  # beside values up to 250: a value
    (stack_with(-999, high=2000), None),  # nearer to the others than their spread
    (stack_with(-9999, nodata=-1.0), None),  # the raster declares its own no-data value: the rest are values
])
def test_an_undeclared_no_data_value_among_any_values_is_named(stack, refused):
    if refused is None:
        quillet_geo.connectivity(condition(), transgrids=[stack], **OPTIONS)
        return
    with pytest.raises(DataError) as info:
        quillet_geo.connectivity(condition(), transgrids=[stack], **OPTIONS)
    assert refused in str(info.value) and "declare it with `nodata` " in str(info.value)


def test_nodata_declares_the_no_data_value_of_rasters_that_declare_none(tmp_path):
    values = condition().values
    with_sentinel = np.where(np.isnan(values) | (np.arange(values.size).reshape(values.shape) % 7 == 0), -9999,
                             values).astype(np.float32)
    expected = quillet_geo.connectivity(georeferenced(np.where(with_sentinel == -9999, np.nan, with_sentinel)),
                                        **OPTIONS).values
    undeclared = write_tiled(tmp_path / "undeclared.tif", with_sentinel)
    with pytest.raises(DataError, match="holds the value -9999 in 37 cells"):
        quillet_geo.connectivity(undeclared, **OPTIONS)
    for given in (undeclared, georeferenced(with_sentinel)):
        assert quillet_geo.connectivity(given, nodata=-9999, **OPTIONS).values.tobytes() == expected.tobytes()
    # A raster's own declaration stands, and the value given is said to be unused.
    declared = write_tiled(tmp_path / "declared.tif", with_sentinel, nodata=-9999)
    with pytest.warns(UserWarning, match=f"`nodata` 0 is not used for condition '{declared}': it declares its own "
                                         "no-data value -9999"):
        result = quillet_geo.connectivity(declared, nodata=0, **OPTIONS)
    assert result.values.tobytes() == expected.tobytes()
    with pytest.raises(ArgumentTypeError, match="nodata: expected a number, got '-9999'"):
        quillet_geo.connectivity(undeclared, nodata="-9999", **OPTIONS)


def test_nodata_holds_through_a_warp(tmp_path):
    # Warped, an undeclared -9999 would be a value like any other; declared with `nodata`, its cells have no data.
    values = condition().values
    coarse = np.kron(values[::2, ::2], np.ones((2, 2), np.float32))
    with_sentinel = values[::2, ::2].copy()
    with_sentinel[1, 1] = -9999
    with rasterio.open(tmp_path / "traversal.tif", "w", driver="GTiff", width=9, height=10, count=1,
                       dtype="float32", crs="EPSG:3857", transform=TRANSFORM * TRANSFORM.scale(2)) as target:
        target.write(with_sentinel, 1)
    result = quillet_geo.connectivity(condition(), traversal=str(tmp_path / "traversal.tif"), align="average",
                                      nodata=-9999, **OPTIONS)
    coarse[2:4, 2:4] = np.nan
    assert result.values.tobytes() == native(values, traversal=coarse).tobytes()


@pytest.fixture(scope="module")
def elevation_undeclared(tmp_path_factory):
    """Luxembourg's elevation (int16) with its no-data cells -9999 and no no-data value declared."""
    with rasterio.open(ELEVATION) as source:
        values = source.read(1, masked=True).filled(-9999)
        profile = {**source.profile, "nodata": None}
    path = tmp_path_factory.mktemp("elevation") / "undeclared.tif"
    with rasterio.open(path, "w", **profile) as target:
        target.write(values, 1)
    return str(path)


@real_data
def test_an_undeclared_no_data_value_in_real_values_is_named_until_declared(elevation_undeclared):
    # As a raster to summarize would be read: any finite value is a value, but -9999 beside 100-550 m is none.
    with pytest.raises(DataError, match=r"values: '.*undeclared.tif' holds the value -9999 in \d+ cells .* far "
                                        r"outside its other values \(1\d\d to 5\d\d\)"):
        check_sample(open_raster(elevation_undeclared, "values"), FINITE)
    check_sample(open_raster(elevation_undeclared, "values", nodata=-9999), FINITE)
    check_sample(open_raster(str(ELEVATION), "values"), FINITE)  # declares -32768 itself


@real_data
@pytest.mark.parametrize("arguments, error, text", [
    (dict(where="NOPE = 1"), ArgumentError, "where: 'NOPE = 1' is not a condition that '{districts}' can answer "
                                            "(its fields: ID_1, NAME_1, ID_2, NAME_2, AREA, POP)"),
    (dict(assume_crs="EPSG:99999"), ArgumentError, "assume_crs: 'EPSG:99999' is not a CRS that PROJ knows"),
    (dict(assume_crs="EPSG:3035"), UserWarning, "`assume_crs` EPSG:3035 is not used: '{districts}' has its own CRS "
                                                "(EPSG:4326)"),
])
def test_vector_options_that_cannot_apply_are_named(arguments, error, text):
    text = text.format(districts=DISTRICTS)
    if error is UserWarning:
        with pytest.warns(UserWarning) as caught:
            covered = quillet_geo.coverage(str(DISTRICTS), str(ELEVATION), **arguments)
        assert [str(w.message) for w in caught if w.category is UserWarning] == [text]
        assert covered.values.tobytes() == quillet_geo.coverage(str(DISTRICTS), str(ELEVATION)).values.tobytes()
        return
    with pytest.raises(error) as info:
        quillet_geo.coverage(str(DISTRICTS), str(ELEVATION), **arguments)
    assert text in str(info.value) and "\n" not in str(info.value)


def test_plain_geometries_are_taken_in_the_crs_assumed_for_them():
    grid = condition()
    box = shapely.box(1200, 7000, 1500, 7600)
    lonlat = geopandas.GeoSeries([box], crs="EPSG:3857").to_crs("EPSG:4326")
    assumed = quillet_geo.coverage(list(lonlat), grid, assume_crs="EPSG:4326").values
    assert assumed.tobytes() == quillet_geo.coverage(lonlat, grid).values.tobytes() and assumed.sum() > 0


@pytest.mark.parametrize("output, preview, text", [
    ("map.png", None, "output: '{tmp}/map.png' does not end in .tif or .tiff: it is written as a GeoTIFF"),
    ("map.TIFF", "map.jpg", "preview: '{tmp}/map.jpg' does not end in .png: it is written as a PNG"),
])
def test_outputs_whose_name_does_not_fit_their_format_are_refused(tmp_path, output, preview, text):
    result = quillet_geo.connectivity(condition(), **OPTIONS)
    with pytest.raises(ArgumentError, match=text.format(tmp=tmp_path).replace(".", r"\.")):
        quillet_geo.to_raster(result, tmp_path / output, also_writes={"preview": preview and tmp_path / preview})
    assert not list(tmp_path.iterdir())
