"""What-if maps: an update equals a full run on the new inputs bit for bit (values and tags), computes exactly the
tiles whose read block holds a changed cell, its difference is zero beyond the change's reach; each refusal is one
line and writes nothing; an interrupted update resumes to the same files."""
import os
import shutil

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
from test_cli import landscape, write_raster  # noqa: E402
from test_run import _fail_writing_the_output  # noqa: E402

import quillet_geo  # noqa: E402
from quillet_geo import ArgumentError, DataError, RunFailed, RunRefused  # noqa: E402
from quillet_geo.cli import main  # noqa: E402

SHAPE = (48, 44)
OPTIONS = dict(levels=[1, 2], lambdas=[0.5, 2.0], max_cost=10.0, outer_window=3)
REACH, COARSEST = 6, 2
RUN = dict(scheduler="threads", workers=1, progress=False)
RNG = np.random.default_rng(11)
EXTRA = {"protected": (RNG.random(SHAPE) > 0.7).astype(np.float32), "traversal": RNG.random(SHAPE),
         "sources": (RNG.random(SHAPE) > 0.4).astype(np.float32)}


def _block(rows, cols, value):
    def change(values):
        values = values.copy()
        values[rows, cols] = value
        return values
    return change


def _scattered(values):
    """No data appearing and going, and a value moved by one unit in the last place."""
    values = values.copy()
    values[5, 40], values[4, 6] = np.nan, 0.5
    values[46, 1] = np.nextafter(values[46, 1], np.float32(2))
    return values


# Each scenario: the baseline's inputs besides the condition, the input replaced and how it changes.
SCENARIOS = {
    "restoration": ((), "condition", _block(slice(20, 25), slice(22, 28), 1.0)),
    "new protected area": (("protected",), "protected", _block(slice(36, 44), slice(6, 12), 1.0)),
    "road in traversal": (("traversal",), "traversal", _block(slice(8, 30), slice(30, 31), 0.05)),
    "new sources": (("sources",), "sources", _block(slice(40, 46), slice(30, 40), 1.0)),
    "scattered": ((), "condition", _scattered),
}


def read(path):
    with rasterio.open(path) as source:
        return source.read(1), source.tags()


def full_run(folder, name, inputs, tile_size):
    """The map of a full connectivity run on `inputs` ({name: path}), written to `folder/name`."""
    output = folder / name
    result = quillet_geo.connectivity(str(inputs["condition"]), tile_size=tile_size, **OPTIONS,
                                      **{k: str(v) for k, v in inputs.items() if k != "condition"})
    quillet_geo.to_raster(result, output, **RUN)
    return output


def without_timestamps(tags):
    return {k: v for k, v in tags.items() if k not in ("quillet_date", "quillet_command_line")}


@pytest.fixture(name="made")
def made_fixture(tmp_path):
    """A baseline of the condition and `extra` inputs, its inputs as arrays and as files."""
    def make(extra=(), tile_size=16):
        arrays = {"condition": landscape(SHAPE), **{name: EXTRA[name] for name in extra}}
        files = {name: write_raster(tmp_path / f"{name}.tif", values) for name, values in arrays.items()}
        return full_run(tmp_path, "baseline.tif", files, tile_size), arrays, files
    return make


@pytest.mark.parametrize("tile_size, block_side", [(8, 24), (16, 2048), (32, 32)])
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_an_update_is_the_full_run_and_computes_only_the_tiles_the_change_reaches(made, tmp_path, monkeypatch,
                                                                                 scenario, tile_size, block_side):
    monkeypatch.setattr("quillet_geo.changes.BLOCK_SIDE", block_side)
    extra, name, change = SCENARIOS[scenario]
    baseline, arrays, files = made(extra, tile_size)
    new = write_raster(tmp_path / f"new-{name}.tif", change(arrays[name]))
    full = full_run(tmp_path, "full.tif", {**files, name: new}, tile_size)
    summary = quillet_geo.update(baseline, tmp_path / "update.tif", **{name: str(new)},
                                 difference=tmp_path / "difference.tif", **RUN)
    (values, tags), (expected, expected_tags) = read(tmp_path / "update.tif"), read(full)
    assert values.tobytes() == expected.tobytes()
    assert without_timestamps(tags) == without_timestamps(expected_tags)
    old, now = arrays[name].astype(np.float32), change(arrays[name]).astype(np.float32)
    changed = ~((old == now) | (np.isnan(old) & np.isnan(now)))
    reached = [t for row in quillet_geo.tile_plan(SHAPE, tile_size, REACH, COARSEST) for t in row
               if changed[t.read_rows, t.read_cols].any()]
    assert (summary.computed, summary.changed_cells) == (len(reached), changed.sum())
    difference, _ = read(tmp_path / "difference.tif")
    np.testing.assert_array_equal(difference, values - read(baseline)[0])
    rows, cols = np.nonzero(changed)
    near = np.zeros(SHAPE, dtype=bool)
    margin = REACH + COARSEST
    for r, c in zip(rows, cols):
        near[max(r - margin, 0):r + margin + 1, max(c - margin, 0):c + margin + 1] = True
    assert not np.any(difference[~near & ~np.isnan(difference)])


def _version_changed(baseline, files):
    with rasterio.open(baseline, "r+", IGNORE_COG_LAYOUT_BREAK="YES") as target:
        target.update_tags(quillet_version="0.0.1")


def _condition_rewritten(baseline, files):
    write_raster(files["condition"], landscape(SHAPE, seed=9))


def _condition_gone(baseline, files):
    os.unlink(files["condition"])


@pytest.mark.parametrize("spoil, arguments, error, text", [
    (None, lambda f, t: dict(baseline=f["condition"]), DataError, "is not a map written by `quillet connectivity`"),
    (_version_changed, lambda f, t: {}, DataError, "was made by quillet 0.0.1, this is"),
    (_condition_rewritten, lambda f, t: {}, DataError, "`condition` '{condition}', which is gone or has changed"),
    (_condition_gone, lambda f, t: {}, DataError, "which is gone or has changed since"),
    (None, lambda f, t: dict(condition=str(write_raster(t / "small.tif", landscape((40, 44))))), DataError,
     "is not on the grid of the baseline"),
    (None, lambda f, t: dict(sources=str(f["condition"])), ArgumentError, "was made without `sources`"),
    (None, lambda f, t: dict(output=t / "baseline.tif", overwrite=True), RunRefused, "is the input `baseline`"),
    (None, lambda f, t: dict(output=f["condition"], condition=str(_copy_changed(t)), overwrite=True), RunRefused,
     "is the input `baseline_condition`"),
    (None, lambda f, t: dict(difference=t / "difference.png"), ArgumentError, "does not end in .tif or .tiff"),
])
def test_each_refusal_is_one_line_and_writes_nothing(made, tmp_path, spoil, arguments, error, text):
    baseline, _, files = made()
    if spoil:
        spoil(baseline, files)
    call = {"baseline": baseline, "output": tmp_path / "update.tif", "difference": tmp_path / "difference.tif",
            **arguments(files, tmp_path)}
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(error) as refused:
        quillet_geo.update(call.pop("baseline"), call.pop("output"), **call, **RUN)
    assert text.format(condition=files["condition"]) in str(refused.value) and "\n" not in str(refused.value)
    assert sorted(os.listdir(tmp_path)) == before


def _copy_changed(folder):
    return write_raster(folder / "changed.tif", _scattered(landscape(SHAPE)))


def test_nothing_changed_is_said_and_writes_nothing(made, tmp_path, capsys):
    baseline, _, files = made()
    copy = shutil.copy(files["condition"], tmp_path / "copy.tif")
    summary = quillet_geo.update(baseline, tmp_path / "update.tif", condition=copy,
                                 difference=tmp_path / "difference.tif", **RUN)
    assert (summary.computed, summary.changed_cells, summary.changed_bounds) == (0, 0, None)
    with pytest.raises(SystemExit) as done:
        main(["update", str(baseline), str(tmp_path / "update.tif"), "--condition", str(copy)])
    assert done.value.code == 0 and "no cell of the inputs given differs" in capsys.readouterr().out
    assert not (tmp_path / "update.tif").exists() and not (tmp_path / "difference.tif").exists()


def test_the_command_tells_the_tiles_computed_and_the_change(made, tmp_path, capsys):
    baseline, arrays, _ = made()
    new = write_raster(tmp_path / "new.tif", _block(slice(20, 22), slice(10, 13), 1.0)(arrays["condition"]))
    with pytest.raises(SystemExit) as done:
        main(["update", str(baseline), str(tmp_path / "update.tif"), "--condition", str(new), "--workers", "1"])
    assert done.value.code == 0
    # Rows 20:22 and columns 10:13 of 64 m cells from (4194304, 3145728); tiles of 16 read 6 cells beyond.
    line = capsys.readouterr().out.strip()
    assert line.startswith("update: 4 of 9 tiles computed in ")
    assert "for 6 changed cells within (4194944, 3144320, 4195136, 3144448) in EPSG:3035" in line


def test_an_interrupted_update_leaves_neither_file_and_resumes_to_both(made, tmp_path):
    baseline, arrays, files = made()
    new = write_raster(tmp_path / "new.tif", _block(slice(20, 25), slice(22, 28), 1.0)(arrays["condition"]))
    outputs = dict(difference=tmp_path / "difference.tif")
    with pytest.MonkeyPatch.context() as patch:
        _fail_writing_the_output(patch)
        with pytest.raises(RunFailed, match="are finished and kept"):
            quillet_geo.update(baseline, tmp_path / "update.tif", condition=str(new), **outputs, **RUN)
    assert not (tmp_path / "update.tif").exists() and not outputs["difference"].exists()
    summary = quillet_geo.update(baseline, tmp_path / "update.tif", condition=str(new), resume=True, **outputs, **RUN)
    assert summary.resumed == summary.computed > 0
    full = full_run(tmp_path, "full.tif", {**files, "condition": new}, 16)
    assert read(tmp_path / "update.tif")[0].tobytes() == read(full)[0].tobytes()
    np.testing.assert_array_equal(read(outputs["difference"])[0], read(full)[0] - read(baseline)[0])
