"""Real rasters and vectors: Luxembourg's elevation (EPSG:4326, int16 with no-data) and its districts, as Debian's
r-cran-terra package ships them. `.ci/run` fetches them into build/test-data; set QUILLET_TERRA_EX to their folder
to use another copy."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("rioxarray")
import geopandas
import pyproj
import rasterio
import rioxarray

import quillet
import quillet_geo
from quillet_geo import DataError
from quillet_geo.transforms import level_transforms

ROOT = Path(__file__).resolve().parents[2]
TERRA = Path(os.environ.get("QUILLET_TERRA_EX", ROOT / "build/test-data/usr/lib/R/site-library/terra/ex"))
ELEVATION, DISTRICTS = TERRA / "elev.tif", TERRA / "lux.shp"
pytestmark = pytest.mark.skipif(not ELEVATION.is_file(), reason=f"no real test data in {TERRA} (`apt-get download "
                                "r-cran-terra` and `dpkg-deb -x` it into build/test-data, as .ci/run does)")
OPTIONS = dict(levels=[1, 2, 4], lambdas=[2.0, 20.0], max_cost=10.0, window_size=3, outer_window=5)


def geodesic_cell_areas(path):
    """The area on the WGS84 ellipsoid of a cell of each row of a longitude/latitude raster, in m²."""
    geod = pyproj.Geod(ellps="WGS84")
    with rasterio.open(path) as source:
        t, rows = source.transform, source.height
    tops = t.f + t.e * np.arange(rows)
    return np.array([abs(geod.polygon_area_perimeter([t.c, t.c + t.a, t.c + t.a, t.c], [y, y, y + t.e, y + t.e])[0])
                     for y in tops])


@pytest.mark.parametrize("district", [None, "Clervaux", "Diekirch", "Luxembourg"])
def test_covered_area_of_real_districts_is_their_geodesic_area(district):
    districts = geopandas.read_file(DISTRICTS)
    chosen = districts if district is None else districts[districts.NAME_2 == district]
    fractions = quillet_geo.coverage(chosen, str(ELEVATION), tile_size=32).values
    covered = (fractions * geodesic_cell_areas(ELEVATION)[:, None]).sum()
    geod = pyproj.Geod(ellps="WGS84")
    assert covered == pytest.approx(sum(abs(geod.geometry_area_perimeter(p)[0]) for p in chosen.geometry), rel=2e-5)
    assert 0 <= fractions.min() and fractions.max() <= 1


def test_elevation_in_metres_is_refused_as_a_condition():
    with pytest.raises(DataError, match=f"condition: '{ELEVATION}' has values from 1.* to 5.*, but condition must "
                                        r"be a fraction in \[0, 1\]: rescale it"):
        quillet_geo.connectivity(str(ELEVATION), **OPTIONS)


@pytest.fixture(scope="module")
def rescaled(tmp_path_factory):
    """Luxembourg's elevation rescaled to [0, 1] (float32, -9999 declared as no-data), and the districts' protected
    fraction on its grid: a real condition and a real protected-area raster."""
    folder = tmp_path_factory.mktemp("lux")
    with rasterio.open(ELEVATION) as source:
        elevation = source.read(1, masked=True).astype(np.float32)
        profile = source.profile
    condition = (elevation - elevation.min()) / (elevation.max() - elevation.min())
    profile.update(dtype="float32", nodata=-9999.0, compress="deflate")
    with rasterio.open(folder / "condition.tif", "w", **profile) as target:
        target.write(condition.filled(-9999.0), 1)
    districts = geopandas.read_file(DISTRICTS)
    protected = quillet_geo.coverage(districts[districts.NAME_1 == "Diekirch"], str(ELEVATION))
    protected.rio.to_raster(folder / "protected.tif")
    return folder, condition.filled(np.nan)


@pytest.mark.parametrize("protected", [False, True])
def test_a_real_condition_mapped_end_to_end(rescaled, tmp_path, protected):
    folder, condition = rescaled
    output = tmp_path / "map.tif"
    options = ["--levels", "1", "2", "4", "--lambdas", "2", "20", "--max-cost", "10", "--outer-window", "5"]
    extra = ["--protected", folder / "protected.tif"] if protected else []
    done = subprocess.run([sys.executable, "-m", "quillet_geo.cli", "connectivity", folder / "condition.tif", output,
                           *options, *extra, "--tile-size", "32", "--workers", "2"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with rasterio.open(output) as result:
        values = result.read(1)
    mask = np.isnan(condition)
    if protected:
        fraction = rioxarray.open_rasterio(folder / "protected.tif").values[0]
        mask |= ~(fraction >= 0.5)
    with rasterio.open(ELEVATION) as source:
        transforms = level_transforms(source.transform, OPTIONS["levels"], (0, 0))
    expected = quillet.connectivity(condition, mask, None, transforms, is_geo=True, offsets=(0, 0),
                                    pa_to_pa=protected, **OPTIONS)
    np.testing.assert_allclose(values, expected, rtol=1e-5, atol=0)
    assert np.array_equal(np.isnan(values), mask) and np.nanmax(values) <= 1


@pytest.fixture(scope="module")
def district_summary():
    return quillet_geo.summarize(str(ELEVATION), str(DISTRICTS), by="NAME_2", tile_size=32,
                                 stats="count,sum,mean,min,max,stdev,median,area,nodata_area,area_mean")


@pytest.mark.parametrize("district", ["Clervaux", "Diekirch", "Luxembourg", "Remich"])
def test_summary_of_real_districts_follows_the_definitions(district_summary, district):
    from test_summarize import cell_fractions, expected

    districts = geopandas.read_file(DISTRICTS)
    with rasterio.open(ELEVATION) as source:
        elevation = source.read(1, masked=True).astype(np.float32).filled(np.nan)
        transform = source.transform
    fractions = cell_fractions(districts[districts.NAME_2 == district].geometry.iloc[0], transform, elevation.shape)
    truth = expected(elevation, fractions, areas=geodesic_cell_areas(ELEVATION)[:, None])
    row = district_summary.loc[district]
    for stat in ("count", "sum", "mean", "min", "max", "stdev", "median", "nodata_area", "area_mean"):
        assert row[stat] == pytest.approx(truth[stat], rel=1e-5, abs=1e-6), stat
    assert row["area"] == pytest.approx(truth["area"], rel=1e-6)


def test_covered_area_of_every_district_is_its_geodesic_area(district_summary):
    geod = pyproj.Geod(ellps="WGS84")
    districts = geopandas.read_file(DISTRICTS)
    geodesic = [abs(geod.geometry_area_perimeter(p)[0]) for p in districts.geometry]
    np.testing.assert_allclose(district_summary["area"], geodesic, rtol=1e-5)
