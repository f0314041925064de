"""The run engine, faults injected in-process: paths that would lose data, full disks, a second run, an input that
changes, damaged tiles. After every fault the old output is intact, the finished tiles are kept, and `resume`
gives the map an uninterrupted run gives."""
import errno
import os
import signal

import numpy as np
import pytest

pytest.importorskip("rasterio")
import rasterio
import shapely
import xarray as xr
from test_cli import landscape, write_raster

import quillet_geo
from quillet_geo import RunFailed, RunRefused
from quillet_geo.lock import RunLock

OPTIONS = dict(levels=[1, 2], lambdas=[2.0, 20.0], max_cost=10.0, outer_window=3, tile_size=16)
RUN = dict(scheduler="threads", workers=2, progress=False)


@pytest.fixture(name="condition")
def condition_fixture(tmp_path):
    return write_raster(tmp_path / "condition.tif", landscape((40, 44)))


@pytest.fixture(name="expected", scope="module")
def expected_fixture(tmp_path_factory):
    path = write_raster(tmp_path_factory.mktemp("reference") / "condition.tif", landscape((40, 44)))
    return quillet_geo.connectivity(path, **OPTIONS).values


@pytest.fixture(name="bounded")
def bounded_fixture():
    """Fail a test that would wait forever (a FIFO read) instead of hanging the suite."""
    def expired(signum, frame):
        raise TimeoutError("the run waited without a bound")
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(60)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def values_of(path):
    with rasterio.open(path) as source:
        return source.read(1)


def run(condition, output, **options):
    return quillet_geo.to_raster(quillet_geo.connectivity(str(condition), **OPTIONS), output, **RUN, **options)


def run_folder(output):
    return output.with_name(output.name + ".quillet-run")


def interrupted(result, output):
    """A run of `result` into `output` that failed as it assembled the map, its tiles kept."""
    with pytest.MonkeyPatch.context() as patch:
        _fail_writing_the_output(patch)
        with pytest.raises(RunFailed):
            quillet_geo.to_raster(result, output, **RUN)
    return run_folder(output)


def _inside_the_run_folder(condition):
    moved = run_folder(condition.with_name("map.tif")) / "condition.tif"
    moved.parent.mkdir()
    condition.rename(moved)
    return moved, condition.with_name("map.tif")


@pytest.mark.parametrize("paths, text", [
    (lambda c: (c, c), "'{c}' is the input `condition`"),
    (lambda c: (c, _link(c, os.symlink)), "is the input `condition`"),
    (lambda c: (c, _link(c, os.link)), "is the input `condition`"),
    (_inside_the_run_folder, "the input `condition` '{c}' lies in '{c.parent}', the run folder that the run removes"),
])
def test_an_output_that_would_remove_an_input_is_refused_before_anything_is_touched(condition, paths, text):
    condition, output = paths(condition)
    before, files = condition.read_bytes(), sorted(condition.parent.parent.rglob("*"))
    with pytest.raises(RunRefused) as refusal:
        run(condition, output, overwrite=True)
    assert text.format(c=condition) in str(refusal.value)
    assert condition.read_bytes() == before and sorted(condition.parent.parent.rglob("*")) == files


def _link(path, make):
    link = path.with_name("linked.tif")
    make(path, link)
    return link


def test_a_preview_that_is_an_input_or_the_output_is_refused(condition, tmp_path):
    result = quillet_geo.connectivity(str(condition), **OPTIONS)
    for target, text in ((condition, "is the input `condition`"), (tmp_path / "map.tif", "is also `output`")):
        preview = tmp_path / f"{target.stem}.png"  # a PNG by its name, the other file by its link
        preview.symlink_to(target)
        with pytest.raises(RunRefused, match=text):
            quillet_geo.to_raster(result, tmp_path / "map.tif", also_writes={"preview": preview}, **RUN)


def _full_disk(path):
    return OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), str(path))


def _fail_manifest(monkeypatch):
    import quillet_geo.journal as journal

    write = journal.write_atomically
    monkeypatch.setattr(journal, "write_atomically", lambda path, content: (
        (_ for _ in ()).throw(_full_disk(path)) if path.name == "manifest.json" else write(path, content)))


def _fail_third_tile(monkeypatch):
    save, calls = np.savez_compressed, []

    def failing(file, **arrays):
        calls.append(1)
        if len(calls) == 3:
            raise _full_disk(file.name)
        save(file, **arrays)

    monkeypatch.setattr(np, "savez_compressed", failing)


def _fail_writing_the_output(monkeypatch):
    writer = rasterio.io.DatasetWriter.write
    monkeypatch.setattr(rasterio.io.DatasetWriter, "write", lambda self, *a, **k: (
        (_ for _ in ()).throw(rasterio.errors.RasterioIOError("Write failed")) if k.get("window") and
        k["window"].col_off else writer(self, *a, **k)))


def _write_garbage_silently(monkeypatch):
    # What GDAL does on some full disks: no exception, but blocks that do not read back.
    writer = rasterio.io.DatasetWriter.write
    monkeypatch.setattr(rasterio.io.DatasetWriter, "write", lambda self, values, *a, **k: writer(
        self, np.zeros_like(values) if k.get("window") and k["window"].row_off else values, *a, **k))


@pytest.mark.parametrize("fault, text, kept", [
    (_fail_manifest, "cannot write '{folder}/manifest.json': No space left on device", None),
    (_fail_third_tile, "cannot write '{folder}/part-", 2),
    (_fail_writing_the_output, "cannot write '{output}': Write failed", 9),
    (_write_garbage_silently, "cannot write '{output}': tile (1, 0) does not read back as written", 9),
])
def test_a_failed_write_keeps_the_old_output_and_the_tiles(condition, tmp_path, expected, monkeypatch, fault, text,
                                                            kept):
    output = tmp_path / "map.tif"
    output.write_bytes(b"the old map")
    with monkeypatch.context() as patch:
        fault(patch)
        with pytest.raises(RunFailed) as failure:
            run(condition, output, overwrite=True)
    message = str(failure.value)
    assert text.format(folder=run_folder(output), output=output) in message and "\n" not in message
    assert output.read_bytes() == b"the old map"
    assert failure.value.kept == kept
    if kept is None:
        assert not run_folder(output).exists()
        run(condition, output, overwrite=True)
    else:
        assert len(list(run_folder(output).glob("part-*.npz"))) == kept
        assert sorted(p.name for p in tmp_path.iterdir()) == ["condition.tif", "map.tif", "map.tif.quillet-run"]
        summary = run(condition, output, overwrite=True, resume=True)
        assert summary.resumed_parts == kept
    assert values_of(output).tobytes() == expected.tobytes() and not run_folder(output).exists()


def test_one_run_per_output_and_a_dead_runs_lock_is_taken_over(condition, tmp_path, expected):
    output = tmp_path / "map.tif"
    run_folder(output).mkdir()
    live = RunLock(run_folder(output) / "lock", output)
    live.acquire()
    with pytest.raises(RunRefused, match=rf"a run of '{output}' is live \(pid {os.getpid()} on "):
        run(condition, output)
    assert (run_folder(output) / "lock").exists() and not output.exists()
    live.release()  # as the kernel does when the process holding it dies
    run(condition, output)
    assert values_of(output).tobytes() == expected.tobytes()


def test_an_input_changed_during_the_run_fails_it_and_its_tiles_are_not_reused(condition, tmp_path, monkeypatch):
    import quillet_geo.journal as journal

    output, save = tmp_path / "map.tif", journal.Journal.save

    def save_then_change_the_input(self, index, values):
        save(self, index, values)
        write_raster(tmp_path / "new.tif", landscape((40, 44), seed=9)).replace(condition)

    monkeypatch.setattr(journal.Journal, "save", save_then_change_the_input)
    with pytest.raises(RunFailed, match=f"`condition` .{condition}. changed during the run"):
        run(condition, output)
    monkeypatch.undo()
    assert not output.exists()
    with pytest.raises(RunRefused, match=f"`condition` '{condition}' changed since the interrupted run"):
        run(condition, output, resume=True)


def test_damaged_or_foreign_tiles_are_computed_again(condition, tmp_path, expected, monkeypatch):
    output, other = tmp_path / "map.tif", tmp_path / "other.tif"
    for path, options in ((output, OPTIONS), (other, {**OPTIONS, "max_cost": 20.0})):
        with monkeypatch.context() as patch:
            _fail_writing_the_output(patch)
            with pytest.raises(RunFailed):
                quillet_geo.to_raster(quillet_geo.connectivity(str(condition), **options), path, **RUN)
    tiles = sorted(run_folder(output).glob("part-*.npz"))
    flipped = bytearray(tiles[0].read_bytes())
    flipped[len(flipped) // 2] ^= 0x10
    tiles[0].write_bytes(bytes(flipped))
    tiles[1].write_bytes(tiles[1].read_bytes()[:100])
    tiles[2].write_bytes((run_folder(other) / tiles[2].name).read_bytes())
    with pytest.warns(UserWarning) as warned:
        summary = run(condition, output, resume=True)
    damaged = [str(w.message) for w in warned if "cannot be used" in str(w.message)]
    assert len(damaged) == 3 and summary.resumed_parts == 6
    assert "unreadable" in damaged[1] and "its run is not this run's" in damaged[2]
    assert values_of(output).tobytes() == expected.tobytes()


@pytest.mark.parametrize("options, compression", [(None, "DEFLATE"), ({"compress": "zstd", "BLOCKSIZE": "256"}, "ZSTD")])
def test_the_output_is_a_valid_cloud_optimized_geotiff_with_overviews(tmp_path, options, compression):
    cog_validate = pytest.importorskip("rio_cogeo.cogeo").cog_validate
    shapes = [shapely.Point(300 + 97 * k, 200 + 61 * k).buffer(150 + 10 * k) for k in range(12)]
    like = xr.DataArray(np.zeros((1300, 1500), np.float32), dims=("y", "x")).rio.write_crs(
        "EPSG:3857").rio.write_transform(rasterio.transform.from_origin(0.0, 1300.0, 1.0, 1.0))
    result = quillet_geo.coverage(shapes, like.chunk(512), tile_size=512)
    quillet_geo.to_raster(result, tmp_path / "cover.tif", creation_options=options, **RUN)
    valid, errors, _ = cog_validate(tmp_path / "cover.tif", quiet=True)
    assert valid, errors
    with rasterio.open(tmp_path / "cover.tif") as written:
        assert written.tags(ns="IMAGE_STRUCTURE")["COMPRESSION"] == compression and written.overviews(1)
        assert written.read(1).tobytes() == result.values.tobytes()


@pytest.mark.parametrize("scheduler", ["threads", "processes"])
def test_the_bar_advances_within_a_tile(tmp_path, monkeypatch, scheduler):
    from quillet_geo.progress_bars import RunProgress

    advanced, record = [], RunProgress.part_advanced
    monkeypatch.setattr(RunProgress, "part_advanced", lambda bar, index, units: (
        advanced.append(units), record(bar, index, units)))
    condition = write_raster(tmp_path / "condition.tif", landscape((96, 96)))
    result = quillet_geo.connectivity(str(condition), **{**OPTIONS, "outer_window": 21, "tile_size": 96})
    quillet_geo.to_raster(result, tmp_path / "map.tif", scheduler=scheduler, workers=1, progress=False)
    # A report may fall between the tile's last row and its return, so it can count the whole tile.
    assert all(0 <= units <= 96 * 96 for units in advanced) and any(units < 96 * 96 for units in advanced)


def test_the_map_tells_its_provenance(tmp_path, monkeypatch, expected):
    import json
    import shlex
    import sys

    write_raster(tmp_path / "condition.tif", landscape((40, 44)))
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["quillet", "connectivity", "condition.tif", "map with spaces.tif"])
    quillet_geo.to_raster(quillet_geo.connectivity("condition.tif", **OPTIONS), "map with spaces.tif", **RUN)
    with rasterio.open(tmp_path / "map with spaces.tif") as written:
        tags = written.tags()
        assert written.read(1).tobytes() == expected.tobytes()
    assert tags["condition"] == str(tmp_path / "condition.tif")
    assert json.loads(tags["condition_fingerprint"])["files"][os.path.realpath(tmp_path / "condition.tif")]["size"] > 0
    assert shlex.split(tags["quillet_command_line"]) == sys.argv
    assert (tags["quillet_command"], tags["levels"], tags["search_reach_cells"]) == ("connectivity", "1 2", "6")
