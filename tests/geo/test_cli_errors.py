"""Every mistake given to the `quillet` command ends in one line and its exit status, naming the file or the option
in the command's own names; and what a file does not say (its CRS, its no-data value) an option declares."""
import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
shapely = pytest.importorskip("shapely")
click = pytest.importorskip("click")
from rasterio.transform import from_origin  # noqa: E402
from test_cli import ARGS, CELL, ORIGIN, landscape, polygons_file, read, write_raster  # noqa: E402

from quillet_geo.cli import main  # noqa: E402


@pytest.fixture(scope="module")
def bad_inputs(tmp_path_factory):
    """Files that the command must refuse, each for one reason, beside a good condition and polygons."""
    tmp = tmp_path_factory.mktemp("bad")
    scaled = np.floor(landscape((16, 16)) * 255)
    with_sentinel = landscape((16, 16))
    with_sentinel[2, 3] = -9999
    (tmp / "notes").write_text("not a raster")
    (tmp / "existing.tif").write_bytes(b"")
    (tmp / "condition.png").symlink_to(tmp / "condition.tif")
    (tmp / "out.png").symlink_to(tmp / "out.tif")  # dangling: OUTPUT is not written
    return dict(
        tmp=tmp, out=tmp / "out.tif", notes=tmp / "notes", existing=tmp / "existing.tif",
        condition_link=tmp / "condition.png", out_link=tmp / "out.png",
        condition=write_raster(tmp / "condition.tif", landscape((16, 16))),
        other_crs=write_raster(tmp / "crs.tif", np.ones((16, 16)), crs="EPSG:32633"),
        shifted=write_raster(tmp / "shifted.tif", np.ones((16, 16)), transform=from_origin(0, 0, CELL, CELL)),
        smaller=write_raster(tmp / "smaller.tif", np.ones((15, 16))),
        bands=write_raster(tmp / "bands.tif", [np.ones((16, 16))] * 2),
        scaled=write_raster(tmp / "scaled.tif", scaled),
        sentinel=write_raster(tmp / "sentinel.tif", with_sentinel),
        no_data_declared=write_raster(tmp / "declared.tif", with_sentinel, nodata=-9999),
        no_crs=write_raster(tmp / "no_crs.tif", landscape((16, 16)), crs=None),
        points=polygons_file(tmp / "points.gpkg", [shapely.Point(ORIGIN)]),
        areas=polygons_file(tmp / "areas.gpkg", [shapely.box(ORIGIN[0], ORIGIN[1] - 200, ORIGIN[0] + 200, ORIGIN[1])]),
        areas_no_crs=polygons_file(tmp / "areas_no_crs.gpkg", [shapely.box(0, 0, 1, 1)], crs=None),
    )


def without(args, *names):
    return [arg for arg in args if arg not in names]


# (arguments, exit status, text the one line must contain); names are keys of `bad_inputs`.
ERROR_CASES = [
    (["connectivity", "missing.tif", "out", *ARGS], 2, "missing.tif' does not exist"),
    (["connectivity", "notes", "out", *ARGS], 1, "CONDITION '{notes}' is not a raster"),
    (["connectivity", "bands", "out", *ARGS], 2, "'--band': '{bands}' has 2 bands; choose one (1 to 2)"),
    (["connectivity", "condition", "out", *ARGS, "--band", "3"], 2, "'--band': 3, but '{condition}' has 1 band"),
    (["connectivity", "condition", "out", *ARGS, "--traversal", "other_crs"], 1,
     "--traversal '{other_crs}' is not on the grid of condition: CRS differs"),
    (["connectivity", "condition", "out", *ARGS, "--sources", "shifted"], 1, "transform differs"),
    (["connectivity", "condition", "out", *ARGS, "--protected", "smaller"], 1, "shape differs ((15, 16) vs (16, 16))"),
    (["connectivity", "scaled", "out", *ARGS], 1, "CONDITION '{scaled}' has values from 0 to 254, but condition must be a fraction in [0, 1]: rescale it"),
    (["connectivity", "sentinel", "out", *ARGS], 1, "holds the value -9999 in 1 cell (the first at row 2, column 3), "
     "which looks like a no-data value the raster does not declare; declare it with --nodata -9999"),
    (["connectivity", "no_crs", "out", *ARGS], 1, "CONDITION '{no_crs}' has no CRS"),
    (["connectivity", "condition", "out", *ARGS, "--traversal", "scaled"], 1, "--traversal '{scaled}' has values"),
    (["connectivity", "condition", "{tmp}/no/out.tif", *ARGS], 2, "OUTPUT: folder '{tmp}/no' does not exist"),
    (["connectivity", "condition", "/proc/out.tif", *ARGS], 2, "folder '/proc' is not writable"),
    (["connectivity", "condition", "existing", *ARGS], 2, "existing.tif' exists; add --overwrite"),
    (["connectivity", "condition", "out", *ARGS, "--sources", "condition", "--protected", "condition"], 2,
     "'--protected': give sources or protected, not both"),
    (["connectivity", "condition", "out", "--levels", "1", "3", "--lambdas", "2", "--max-cost", "10"], 2,
     "'--levels': 3 is not a power of two"),
    (["connectivity", "condition", "out", "--levels", "1", "4", "--lambdas", "2", "--max-cost", "10"], 2,
     "leaves out 2: the levels must double from 1"),
    (["connectivity", "condition", "out", *without(ARGS, "10"), "0.1"], 2,
     "'--max-cost': 0.1 is below 1: max_cost is the cost of crossing a fully degraded cell"),
    (["connectivity", "condition", "out", *without(ARGS, "10"), "nan"], 2, "'--max-cost': nan is not a finite"),
    (["connectivity", "condition", "out", *ARGS, "--lambdas", "nan"], 2, "'--lambdas': nan is not a finite"),
    (["connectivity", "condition", "out", *ARGS, "--window-size", "4"], 2, "'--window-size': 4 is not odd"),
    (["connectivity", "condition", "out", *ARGS, "--outer-window", "1"], 2, "'--outer-window': 1 is smaller"),
    (["connectivity", "condition", "out", *ARGS, "--resume"], 2, "--resume: no interrupted run"),
    (["connectivity", "condition", "out", *ARGS, "--tile-size", "10"], 2,
     "'--tile-size': 10 is not a multiple of the coarsest level 4"),
    (["connectivity", "condition", "out", *ARGS, "--tile-size", str(2**80)], 2, "'--tile-size': 1208925819614629"),
    (["coverage", "points", "out", "--like", "condition"], 1, "POLYGONS '{points}' has no polygons (found: Point)"),
    (["coverage", "notes", "out", "--like", "condition"], 1, "is not a vector file"),
    (["coverage", "points", "out", "--like", "condition", "--layer", "lakes"], 1, "--layer Layer 'lakes'"),
    (["coverage", "areas", "out", "--like", "condition", "--where", "kind = "], 2,
     "'--where': 'kind = ' is not a condition that '{areas}' can answer (incomplete input; its fields: kind)"),
    (["coverage", "areas_no_crs", "out", "--like", "condition"], 1, "POLYGONS '{areas_no_crs}' has no CRS"),
    (["coverage", "points", "out"], 2, "Missing option '--like'"),
    (["connectivity", "condition", "condition", *ARGS, "--overwrite"], 2,
     "OUTPUT: '{condition}' is the input CONDITION; write to another file"),
    (["connectivity", "condition", "out", *ARGS, "--preview", "condition_link"], 2,
     "--preview: '{condition_link}' is the input CONDITION"),
    (["connectivity", "condition", "out", *ARGS, "--preview", "out_link"], 2, "--preview: '{out_link}' is also OUTPUT"),
    (["coverage", "areas", "condition", "--like", "condition", "--overwrite"], 2,
     "OUTPUT: '{condition}' is the input --like"),
    (["connectivity", "condition", "{tmp}/map.png", *ARGS], 2,
     "'OUTPUT': '{tmp}/map.png' does not end in .tif or .tiff: it is written as a GeoTIFF"),
    (["coverage", "areas", "out", "--like", "condition", "--preview", "{tmp}/map.jpg"], 2,
     "'--preview': '{tmp}/map.jpg' does not end in .png: it is written as a PNG"),
    (["connectivity", "condition", "out", *ARGS, "--workers", "0"], 2, "'--workers': 0 is not at least 1"),
    (["connectivity", "condition", "out", *ARGS, "--co", "COMPRESS=JPEG"], 2,
     "'--co': COMPRESS=JPEG: the value must be one of NONE, DEFLATE"),
    (["coverage", "areas", "out", "--like", "condition", "--assume-crs", "EPSG:99999"], 2,
     "'--assume-crs': 'EPSG:99999' is not a CRS that PROJ knows (Invalid projection: EPSG:99999"),
    (["summarize", "condition", "areas", "{tmp}/t.csv", "--where", "NOPE = 1"], 2,
     "'--where': 'NOPE = 1' is not a condition that '{areas}' can answer (no such column: NOPE; its fields: kind)"),
    (["connectivity", "sentinel", "out", *ARGS, "--nodata", "nine"], 2, "'--nodata': 'nine' is not a valid float"),
    (["connectivity", "condition", "out", *ARGS, "--workers", "2", "--scheduler", "tcp://localhost:1"], 2,
     "'--workers': counts local processes or threads; a cluster's own workers compute the parts"),
    (["coverage", "areas", "out", "--like", "condition", "--workers", "2", "--scheduler", "tcp://localhost:1"], 2,
     "'--workers': counts local processes or threads; a cluster's own workers compute the parts"),
    (["summarize", "condition", "areas", "{tmp}/t.csv", "--workers", "2", "--scheduler", "tcp://localhost:1"], 2,
     "'--workers': counts local processes or threads; a cluster's own workers compute the parts"),
    (["demo", "{tmp}"], 2, "FOLDER '{tmp}' holds files; choose an empty or new folder, or add --overwrite"),
    (["summarize", "condition", "areas", "{tmp}/t.txt"], 2, "'OUTPUT': '{tmp}/t.txt' does not end in .csv, .gpkg"),
    (["summarize", "condition", "areas", "{tmp}/t.csv", "--stats", "mean,quantile(2)"], 2,
     "'--stats': 'quantile(2)': the quantile's level must be a number in [0, 1], such as quantile(0.9)"),
    (["summarize", "condition", "areas", "{tmp}/t.csv", "--by", "name"], 2,
     "'--by': 'name' is not a field of the regions (their fields: kind)"),
    (["summarize", "condition", "areas", "{tmp}/t.csv", "--weights", "condition"], 2,
     "'--weights': is given, but no weighted statistic is asked for; add weighted_mean or weighted_sum to --stats"),
    (["summarize", "condition", "areas", "{tmp}/t.csv", "--stats", "weighted_mean", "--weights", "other_crs"], 1,
     "--weights '{other_crs}' is not on the grid of values: CRS differs"),
    (["summarize", "condition", "points", "{tmp}/t.csv"], 1, "REGIONS '{points}' has no polygons (found: Point)"),
    (["summarize", "no_crs", "areas", "{tmp}/t.csv"], 1, "VALUES '{no_crs}' has no CRS"),
    (["summarize", "condition", "areas", "areas", "--overwrite"], 2, "OUTPUT: '{areas}' is the input REGIONS"),
]


@pytest.mark.parametrize("args, status, text", ERROR_CASES)
def test_every_bad_input_gives_one_line_and_its_exit_status(bad_inputs, capsys, args, status, text):
    files = {name: str(path) for name, path in bad_inputs.items()}
    args = [files.get(arg, arg).format(tmp=files["tmp"]) for arg in args]
    with pytest.raises(SystemExit) as exit_status:
        main(args)
    out, err = capsys.readouterr()
    assert (exit_status.value.code, out) == (status, ""), err
    assert err.count("\n") == 1 and err.startswith("Error: "), err
    assert text.format(**files) in err, err
    assert not bad_inputs["out"].exists() and not list(bad_inputs["tmp"].glob("t.*"))


@pytest.mark.parametrize("args, warning", [
    (["coverage", "areas", "{tmp}/cover.tif", "--like", "condition", "--assume-crs", "EPSG:4326"],
     "Warning: --assume-crs EPSG:4326 is not used: '{areas}' has its own CRS (EPSG:3035)\n"),
    (["connectivity", "sentinel", "{tmp}/map.tif", *ARGS, "--nodata", "-9999", "--quiet"], ""),
    (["connectivity", "no_data_declared", "{tmp}/unused.tif", *ARGS, "--nodata", "-1", "--quiet"],
     "Warning: --nodata -1 is not used for condition '{no_data_declared}': it declares its own no-data value -9999\n"),
])
def test_what_a_file_does_not_say_is_declared_by_an_option(bad_inputs, capsys, args, warning):
    files = {name: str(path) for name, path in bad_inputs.items()}
    args = [files.get(arg, arg).format(tmp=files["tmp"]) for arg in args]
    with pytest.raises(SystemExit) as exit_status:
        main(args)
    assert (exit_status.value.code, capsys.readouterr().err) == (0, warning.format(**files))
    if "--nodata" in args:
        values = read(args[2])[0]
        assert np.isnan(values[2, 3]) and np.isfinite(values[2, 4])


@pytest.mark.parametrize("command, argument, name, told", [
    ("connectivity", "max_cost", "--max-cost", "--max-cost"), ("connectivity", "condition", "CONDITION", "CONDITION"),
    ("connectivity", "transgrids[2]", "--transgrid", "`transgrids[2]`"), ("coverage", "geometries", "POLYGONS", "POLYGONS"),
    ("coverage", "creation_options", "--co", "--co"), ("summarize", "values", "VALUES", "VALUES"),
    ("summarize", "n_threads", "n_threads", "`n_threads`"),  # not an option of the command: left as the library's
])
def test_the_library_arguments_are_told_by_the_command_names(command, argument, name, told):
    from quillet_geo.cli import cli
    from quillet_geo.cli.errors import in_command_terms, option_name

    with click.Context(cli.commands[command]):
        assert (option_name(argument), in_command_terms(f"add `{argument}`")) == (name, f"add {told}")
