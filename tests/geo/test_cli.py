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
from quillet_geo.cli.options import expand_number_lists  # noqa: E402

CELL = 64.0
ORIGIN = (4_194_304.0, 3_145_728.0)
CRS = "EPSG:3035"
ARGS = ["--levels", "1", "2", "4", "--lambdas", "2", "20", "--max-cost", "0.1"]


def quillet_command(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "quillet_geo.cli", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


def write_raster(path, bands, crs=CRS, transform=from_origin(*ORIGIN, CELL, CELL)):
    bands = np.atleast_3d(np.asarray(bands, dtype=np.float32).T).T
    with rasterio.open(path, "w", driver="GTiff", count=bands.shape[0], height=bands.shape[1],
                       width=bands.shape[2], dtype="float32", crs=crs, transform=transform,
                       nodata=float("nan")) as target:
        target.write(bands)
    return path


def landscape(shape, seed=5):
    condition = np.random.default_rng(seed).random(shape).astype(np.float32)
    condition[3:6, 4:9] = np.nan
    return condition


def native_connectivity(condition, levels=(1, 2, 4), lambdas=(2.0, 20.0), max_cost=0.1):
    transforms = {level: (CELL * level, 0.0, ORIGIN[0], 0.0, -CELL * level, ORIGIN[1]) for level in levels}
    return quillet.connectivity(condition, np.isnan(condition), None, transforms, list(levels), list(lambdas), False,
                                max_cost, 3, 7, (0, 0))


def read(path):
    with rasterio.open(path) as source:
        return source.read(1), source.profile, source.tags()


@pytest.fixture
def condition_file(tmp_path):
    return write_raster(tmp_path / "condition.tif", landscape((40, 36)))


@pytest.mark.parametrize("extra", [["--tile-size", "16", "--workers", "2"], ["--tile-size", "64"]])
def test_connectivity_equals_native_call_and_file_carries_grid_and_parameters(tmp_path, condition_file, extra):
    output = tmp_path / "map.tif"
    done = quillet_command("connectivity", condition_file, output, *ARGS, *extra)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # no bar when not on a terminal
    assert done.stdout.startswith("connectivity: 1,440 cells in ") and str(output) in done.stdout
    values, profile, tags = read(output)
    np.testing.assert_array_equal(values, native_connectivity(landscape((40, 36))))
    assert (profile["dtype"], profile["compress"], profile["tiled"]) == ("float32", "deflate", True)
    assert np.isnan(profile["nodata"]) and profile["crs"] == CRS
    assert profile["transform"] == from_origin(*ORIGIN, CELL, CELL)
    assert (tags["levels"], tags["lambdas"], tags["max_cost"], tags["window_mode"]) == ("1 2 4", "2.0 20.0",
                                                                                      "0.1", "circular")
    assert tags["condition"] == str(condition_file)
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


def error_cases(tmp):
    """(arguments, exit status, text the one line must contain) for every bad input the command names."""
    condition = write_raster(tmp / "condition.tif", landscape((16, 16)))
    other_crs = write_raster(tmp / "crs.tif", np.ones((16, 16)), crs="EPSG:32633")
    shifted = write_raster(tmp / "shifted.tif", np.ones((16, 16)), transform=from_origin(0, 0, CELL, CELL))
    smaller = write_raster(tmp / "smaller.tif", np.ones((15, 16)))
    bands = write_raster(tmp / "bands.tif", [np.ones((16, 16))] * 2)
    (tmp / "notes.txt").write_text("not a raster")
    points = polygons_file(tmp / "points.gpkg", [shapely.Point(ORIGIN)])
    (tmp / "existing.tif").write_bytes(b"")
    out = tmp / "out.tif"
    return [
        (["connectivity", tmp / "missing.tif", out, *ARGS], 2, "missing.tif' does not exist"),
        (["connectivity", tmp / "notes.txt", out, *ARGS], 1, "CONDITION '" + str(tmp / "notes.txt") + "' is not a raster"),
        (["connectivity", bands, out, *ARGS], 1, "has 2 bands; choose one with --band"),
        (["connectivity", condition, out, *ARGS, "--band", "3"], 1, "--band 3: CONDITION"),
        (["connectivity", condition, out, *ARGS, "--traversal", other_crs], 1, "crs.tif' is not on the grid of CONDITION: CRS differs"),
        (["connectivity", condition, out, *ARGS, "--sources", shifted], 1, "--sources '" + str(shifted) + "' is not on the grid of CONDITION: transform differs"),
        (["connectivity", condition, out, *ARGS, "--protected", smaller], 1, "shape differs ((15, 16) vs (16, 16))"),
        (["connectivity", condition, tmp / "no" / "out.tif", *ARGS], 2, "OUTPUT: folder '" + str(tmp / "no") + "' does not exist"),
        (["connectivity", condition, "/proc/out.tif", *ARGS], 2, "folder '/proc' is not writable"),
        (["connectivity", condition, tmp / "existing.tif", *ARGS], 2, "existing.tif' exists; add --overwrite"),
        (["connectivity", condition, out, *ARGS, "--sources", condition, "--protected", condition], 2, "--sources and --protected"),
        (["connectivity", condition, out, "--levels", "1", "3", "--lambdas", "2", "--max-cost", "0.1"], 2, "--levels': 3 is not a power of two"),
        (["connectivity", condition, out, *ARGS, "--window-size", "4"], 2, "--window-size': 4 is not odd"),
        (["connectivity", condition, out, *ARGS, "--resume"], 2, "--resume: no interrupted run"),
        (["connectivity", condition, out, *ARGS, "--tile-size", "10"], 2, "10 is not a multiple of the coarsest level 4"),
        (["coverage", points, out, "--like", condition], 1, "points.gpkg' has no polygons (found: Point)"),
        (["coverage", tmp / "notes.txt", out, "--like", condition], 1, "is not a vector file"),
        (["coverage", points, out, "--like", condition, "--layer", "lakes"], 1, "--layer"),
        (["coverage", points, out], 2, "Missing option '--like'"),
    ]


def test_every_bad_input_gives_one_line_and_its_exit_status(tmp_path):
    for args, status, text in error_cases(tmp_path):
        done = quillet_command(*args)
        assert (done.returncode, done.stdout) == (status, ""), (args, done.stderr)
        assert done.stderr.count("\n") == 1 and done.stderr.startswith("Error: "), done.stderr
        assert text in done.stderr, done.stderr
        assert not (tmp_path / "out.tif").exists()


@pytest.mark.parametrize("args, expanded", [
    (["--levels", "1", "2", "4", "a.tif"], ["--levels", "1", "--levels", "2", "--levels", "4", "a.tif"]),
    (["a.tif", "--lambdas", "2.5", "--levels", "1", "b.tif"], ["a.tif", "--lambdas", "2.5", "--levels", "1", "b.tif"]),
    (["--levels", "--lambdas", "2"], ["--levels", "--lambdas", "2"]),
    (["--", "--levels", "1", "2"], ["--", "--levels", "1", "2"]),
])
def test_number_lists_after_one_flag_become_repeated_options(args, expanded):
    assert expand_number_lists(args, {"--levels", "--lambdas"}) == expanded
