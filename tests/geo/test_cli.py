"""The `quillet` command, run in subprocesses on small GeoTIFFs: values, file metadata, errors, coverage, demo."""
import subprocess
import sys

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
geopandas = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")
from rasterio.transform import from_origin  # noqa: E402

import quillet  # noqa: E402
import quillet_geo  # noqa: E402
from quillet_geo.cli import main  # noqa: E402
from quillet_geo.cli.options import expand_number_lists  # noqa: E402

CELL = 64.0
ORIGIN = (4_194_304.0, 3_145_728.0)
CRS = "EPSG:3035"
ARGS = ["--levels", "1", "2", "4", "--lambdas", "2", "20", "--max-cost", "10"]


def quillet_command(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "quillet_geo.cli", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


def write_raster(path, bands, crs=CRS, transform=from_origin(*ORIGIN, CELL, CELL), nodata=float("nan")):
    """A float32 GeoTIFF of one band per 2-D array in `bands`, NaN as its no-data value unless `nodata` says."""
    bands = np.atleast_3d(np.asarray(bands, dtype=np.float32).T).T
    with rasterio.open(path, "w", driver="GTiff", count=bands.shape[0], height=bands.shape[1],
                       width=bands.shape[2], dtype="float32", crs=crs, transform=transform,
                       nodata=nodata) as target:
        target.write(bands)
    return path


def landscape(shape, seed=5):
    condition = np.random.default_rng(seed).random(shape).astype(np.float32)
    condition[3:6, 4:9] = np.nan
    return condition


def native_connectivity(condition, levels=(1, 2, 4), lambdas=(2.0, 20.0), max_cost=10.0):
    transforms = {level: (CELL * level, 0.0, ORIGIN[0], 0.0, -CELL * level, ORIGIN[1]) for level in levels}
    return quillet.connectivity(condition, np.isnan(condition), None, transforms, list(levels), list(lambdas), False,
                                max_cost, 3, 7, (0, 0))


def read(path):
    with rasterio.open(path) as source:
        return source.read(1), source.profile, source.tags()


def same_map(path, other):
    """Two output files hold the same map: values, grid and tags, apart from the date and command line of each."""
    (values, profile, tags), (other_values, other_profile, other_tags) = read(path), read(other)
    for written in (tags, other_tags):
        written.pop("quillet_date"), written.pop("quillet_command_line")
    return values.tobytes() == other_values.tobytes() and repr(profile) == repr(other_profile) and tags == other_tags


@pytest.fixture
def condition_file(tmp_path):
    return write_raster(tmp_path / "condition.tif", landscape((40, 36)))


@pytest.mark.parametrize("extra", [["--tile-size", "16", "--workers", "2"], ["--tile-size", "64"]])
def test_connectivity_equals_native_call_and_file_carries_grid_and_parameters(tmp_path, condition_file, extra):
    output = tmp_path / "map.tif"
    done = quillet_command("connectivity", condition_file, output, *ARGS, *extra)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # no bar when not on a terminal
    reach, summary = done.stdout.splitlines()
    assert reach == "search reach: 28 cells, 1.79 km"  # 7 cells of the coarsest level 4, each 64 m
    assert summary.startswith("connectivity: 1,440 cells in ") and str(output) in summary
    values, profile, tags = read(output)
    np.testing.assert_array_equal(values, native_connectivity(landscape((40, 36))))
    assert (profile["dtype"], profile["compress"], profile["tiled"]) == ("float32", "deflate", True)
    with rasterio.open(output) as written:
        assert written.tags(ns="IMAGE_STRUCTURE")["LAYOUT"] == "COG"
    assert np.isnan(profile["nodata"]) and profile["crs"] == CRS
    assert profile["transform"] == from_origin(*ORIGIN, CELL, CELL)
    assert (tags["levels"], tags["lambdas"], tags["max_cost"], tags["window_mode"]) == ("1 2 4", "2.0 20.0",
                                                                                      "10.0", "circular")
    assert tags["condition"] == str(condition_file) and tags["search_reach_m"] == "1792.0"
    assert tags["quillet_version"] == quillet_geo.__version__ and tags["quillet_date"].startswith("20")
    assert not list(tmp_path.glob("*.quillet-run")) and sorted(p.name for p in tmp_path.iterdir()) == [
        "condition.tif", "map.tif"]


def test_band_selects_the_condition_band_and_preview_is_written(tmp_path):
    first, second = landscape((24, 20), seed=1), landscape((24, 20), seed=2)
    bands = write_raster(tmp_path / "bands.tif", [first, second])
    done = quillet_command("connectivity", bands, tmp_path / "map.tif", *ARGS, "--band", "2", "--workers", "1",
                           "--preview", tmp_path / "map.png", "--quiet")
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    np.testing.assert_array_equal(read(tmp_path / "map.tif")[0], native_connectivity(second))
    assert (tmp_path / "map.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_scheduler_runs_the_tiles_on_a_cluster(tmp_path, condition_file):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        done = quillet_command("connectivity", condition_file, tmp_path / "map.tif", *ARGS, "--tile-size", "16",
                               "--scheduler", cluster.scheduler_address)
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(read(tmp_path / "map.tif")[0], native_connectivity(landscape((40, 36))))


def polygons_file(path, geometries, crs=CRS, layer="areas"):
    frame = geopandas.GeoDataFrame({"kind": [f"k{n}" for n in range(len(geometries))]}, geometry=geometries, crs=crs)
    frame.to_file(path, layer=layer, engine="pyogrio")
    return path


def test_coverage_reprojects_filters_and_equals_pixel_coverage(tmp_path, condition_file):
    left, top = ORIGIN
    ring = shapely.Point(left + 900, top - 1100).buffer(600).difference(shapely.Point(left + 900, top - 1100).buffer(200))
    square = shapely.box(left + 1500, top - 2400, left + 2200, top - 1700)
    lonlat = geopandas.GeoSeries([ring, square], crs=CRS).to_crs("EPSG:4326")
    areas = polygons_file(tmp_path / "areas.gpkg", list(lonlat), crs="EPSG:4326")
    done = quillet_command("coverage", areas, tmp_path / "cover.tif", "--like", condition_file, "--tile-size", "16",
                           "--where", "kind = 'k0'")
    assert done.returncode == 0, done.stderr
    values, profile, tags = read(tmp_path / "cover.tif")
    back = lonlat.iloc[:1].to_crs(CRS).iloc[0]
    rings = [(np.asarray(back.exterior.coords), [np.asarray(hole.coords) for hole in back.interiors])]
    expected = quillet.pixel_coverage(rings, (CELL, 0.0, ORIGIN[0], 0.0, -CELL, ORIGIN[1]), (40, 36))
    np.testing.assert_allclose(values, expected, atol=1e-6)
    assert values.max() == 1 and tags["where"] == "kind = 'k0'" and profile["crs"] == CRS


def test_demo_writes_maps_and_previews(tmp_path):
    done = quillet_command("demo", tmp_path / "demo")
    assert done.returncode == 0, done.stderr
    for name in ("condition.tif", "protected_areas.gpkg", "connectivity.tif", "coverage.tif"):
        assert (tmp_path / "demo" / name).is_file()
        assert name in done.stdout
    for name in ("connectivity.png", "coverage.png"):
        assert (tmp_path / "demo" / name).stat().st_size > 10_000
    connectivity = read(tmp_path / "demo" / "connectivity.tif")[0]
    assert np.isnan(connectivity).any() and np.nanmin(connectivity) > 0


@pytest.mark.parametrize("args, expanded", [
    (["--levels", "1", "2", "4", "a.tif"], ["--levels", "1", "--levels", "2", "--levels", "4", "a.tif"]),
    (["a.tif", "--lambdas", "2.5", "--levels", "1", "b.tif"], ["a.tif", "--lambdas", "2.5", "--levels", "1", "b.tif"]),
    (["--levels", "--lambdas", "2"], ["--levels", "--lambdas", "2"]),
    (["--", "--levels", "1", "2"], ["--", "--levels", "1", "2"]),
])
def test_number_lists_after_one_flag_become_repeated_options(args, expanded):
    assert expand_number_lists(args, {"--levels", "--lambdas"}) == expanded


def test_version(capsys):
    with pytest.raises(SystemExit) as exit_status:
        main(["--version"])
    assert exit_status.value.code == 0 and capsys.readouterr().out == f"quillet {quillet_geo.__version__}\n"
