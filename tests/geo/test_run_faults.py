"""The run engine against what is around it, in-process: every file of a dataset watched, inputs that are not files,
run folders that are not a run's, a run folder replaced, workers that die, write errors of GDAL, worker counts."""
import contextlib
import json
import os
import shutil
import signal
import zipfile
from dataclasses import dataclass

import numpy as np
import pytest

pytest.importorskip("geopandas")
import geopandas
import rasterio
import rioxarray
import shapely
from test_cli import CELL, CRS, ORIGIN, landscape, write_raster
from test_run import OPTIONS, RUN, _fail_writing_the_output, run, run_folder, values_of

import quillet_geo
from quillet_geo import ArgumentError, DataError, RunFailed, RunRefused


@pytest.fixture
def condition(tmp_path):
    return write_raster(tmp_path / "condition.tif", landscape((40, 44)))


@pytest.fixture
def bounded():
    """Fail a test that would wait forever (a FIFO read) instead of hanging the suite."""
    def expired(signum, frame):
        raise TimeoutError("the run waited without a bound")
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(60)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def shapefile(path, names):
    left, top = ORIGIN
    discs = [shapely.Point(left + CELL * (8 + 12 * k), top - CELL * (10 + 9 * k)).buffer(CELL * 6) for k in range(3)]
    geopandas.GeoDataFrame({"name": names}, geometry=discs, crs=CRS).to_file(path, engine="pyogrio")
    return path


def vrt_of(source, path):
    path.write_text(f'<VRTDataset rasterXSize="44" rasterYSize="40"><SRS>{CRS}</SRS><GeoTransform>{ORIGIN[0]}, '
                    f'{CELL}, 0, {ORIGIN[1]}, 0, {-CELL}</GeoTransform><VRTRasterBand dataType="Float32" band="1">'
                    f'<NoDataValue>nan</NoDataValue><SimpleSource><SourceFilename relativeToVRT="1">{source.name}'
                    '</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand></VRTDataset>')
    return path


def _rewrite_dbf_after_the_run(tmp_path, condition):
    regions = shapefile(tmp_path / "regions.shp", ["a", "b", "c"])
    result = quillet_geo.coverage(str(regions), str(condition), tile_size=16)
    other = shapefile(tmp_path / "other.shp", ["c", "a", "b"])
    return result, lambda: shutil.copyfile(other.with_suffix(".dbf"), regions.with_suffix(".dbf")), regions.with_suffix(
        ".dbf")


def _rewrite_vrt_source_after_the_run(tmp_path, condition):
    result = quillet_geo.connectivity(str(vrt_of(condition, tmp_path / "condition.vrt")), **OPTIONS)
    return result, lambda: write_raster(tmp_path / "new.tif", landscape((40, 44), seed=9)).replace(condition), condition


def _rewrite_lazy_source_after_the_run(tmp_path, condition):
    result = quillet_geo.connectivity(rioxarray.open_rasterio(condition, chunks=16), **OPTIONS)
    return result, lambda: write_raster(tmp_path / "new.tif", landscape((40, 44), seed=9)).replace(condition), condition


@pytest.mark.parametrize("make", [_rewrite_dbf_after_the_run, _rewrite_vrt_source_after_the_run,
                                  _rewrite_lazy_source_after_the_run])
@pytest.mark.parametrize("when", ["during the run", "since the interrupted run"])
def test_every_file_of_a_dataset_is_watched(tmp_path, condition, monkeypatch, make, when):
    import quillet_geo.journal as journal

    result, change, changed = make(tmp_path, condition)
    output = tmp_path / "map.tif"
    if when == "during the run":
        save = journal.Journal.save
        monkeypatch.setattr(journal.Journal, "save", lambda self, index, values: (save(self, index, values), change()))
        with pytest.raises(RunFailed, match="changed during the run") as failure:
            quillet_geo.to_raster(result, output, **RUN)
    else:
        interrupted(result, output)
        change()
        with pytest.raises(RunRefused, match="changed since the interrupted run") as failure:
            quillet_geo.to_raster(result, output, resume=True, **RUN)
    assert str(changed) in str(failure.value) and not output.exists()


def _fifo(path):
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("call", [
    lambda tmp, c: quillet_geo.connectivity(str(_fifo(tmp / "pipe.tif")), **OPTIONS),
    lambda tmp, c: quillet_geo.coverage(str(_fifo(tmp / "pipe.gpkg")), str(c)),
    lambda tmp, c: quillet_geo.coverage(str(shapefile(tmp / "r.shp", ["a", "b", "c"])), str(_fifo(tmp / "p.tif"))),
    lambda tmp, c: quillet_geo.summarize(str(c), str(_fifo(tmp / "pipe.shp"))),
    lambda tmp, c: quillet_geo.summarize(str(c), str(_fifo_sidecar(shapefile(tmp / "r.shp", ["a", "b", "c"])))),
])
def test_an_input_that_is_not_a_file_is_refused_up_front(tmp_path, condition, bounded, call):
    with pytest.raises(DataError, match=r"is a named pipe \(FIFO\), not a file"):
        call(tmp_path, condition)


def _fifo_sidecar(shp):
    shp.with_suffix(".dbf").unlink()
    _fifo(shp.with_suffix(".dbf"))
    return shp


def test_an_input_in_an_archive_is_read_and_watched(tmp_path, condition, expected):
    with zipfile.ZipFile(tmp_path / "inputs.zip", "w") as archive:
        archive.write(condition, "condition.tif")
    result = quillet_geo.connectivity(f"/vsizip/{tmp_path}/inputs.zip/condition.tif", **OPTIONS)
    quillet_geo.to_raster(result, tmp_path / "map.tif", **RUN)
    assert values_of(tmp_path / "map.tif").tobytes() == expected.tobytes()
    with pytest.raises(RunRefused, match="inputs.zip' is a file of the input `condition`"):
        quillet_geo.to_raster(result, tmp_path / "inputs.zip", overwrite=True, **RUN)


@pytest.mark.parametrize("paths, text", [
    (lambda tmp, c: (rioxarray.open_rasterio(c, chunks=16), c, {}), "is the input `condition`"),
    (lambda tmp, c: (str(vrt_of(c, tmp / "c.vrt")), c, {}), "is a file of the input `condition` '{tmp}/c.vrt'"),
    (lambda tmp, c: (str(c), tmp / "map.tif", {"preview": tmp / "map.tif.quillet-run" / "map.png"}),
     "'{tmp}/map.tif.quillet-run/map.png' lies in '{tmp}/map.tif.quillet-run', the run folder"),
])
def test_an_output_that_would_lose_an_input_or_be_removed_is_refused_up_front(tmp_path, condition, paths, text):
    source, output, others = paths(tmp_path, condition)
    before = sorted((p, p.read_bytes()) for p in tmp_path.iterdir())
    with pytest.raises(RunRefused, match=text.format(tmp=tmp_path).replace("(", r"\(")):
        quillet_geo.to_raster(quillet_geo.connectivity(source, **OPTIONS), output, overwrite=True, also_writes=others,
                              **RUN)
    assert sorted((p, p.read_bytes()) for p in tmp_path.iterdir()) == before


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    path = write_raster(tmp_path_factory.mktemp("reference") / "condition.tif", landscape((40, 44)))
    return quillet_geo.connectivity(path, **OPTIONS).values


def _users_folder(folder):
    folder.mkdir()
    (folder / "finished.tif").write_bytes(b"a user's map")


def _link_to_users_folder(folder):
    _users_folder(folder.with_name("mine"))
    folder.symlink_to(folder.with_name("mine"))


def _a_file(folder):
    folder.write_bytes(b"a user's notes")


def _manifest(content):
    def make(folder):
        folder.mkdir()
        (folder / "manifest.json").write_text(content)
    return make


@pytest.mark.parametrize("make, text", [
    (_users_folder, "is not a run folder of quillet"),
    (_link_to_users_folder, "is a symbolic link"),
    (_a_file, "is in the way of the run folder and is not a folder"),
    (_manifest("[]"), r"is not a run's manifest \(it holds a list, not an object\)"),
    (_manifest("{}"), r"is not a run's manifest \(its command is missing or not a text\)"),
    (_manifest(json.dumps({"command": "connectivity", "version": "0", "parameters": [], "grid": {}, "inputs": {}})),
     r"its parameters is missing or not an object"),
    (_manifest("{"), "cannot be read as a run's manifest"),
])
@pytest.mark.parametrize("flags", [{"overwrite": True}, {"resume": True}])
def test_a_run_folder_that_is_not_a_runs_is_refused_and_left_alone(tmp_path, condition, make, text, flags):
    output = tmp_path / "map.tif"
    make(run_folder(output))
    before = sorted((p, p.is_symlink(), p.is_file() and p.read_bytes()) for p in tmp_path.rglob("*"))
    with pytest.raises(RunRefused, match=text) as refusal:
        run(condition, output, **flags)
    assert "\n" not in str(refusal.value)
    assert sorted((p, p.is_symlink(), p.is_file() and p.read_bytes()) for p in tmp_path.rglob("*")) == before


def interrupted(result, output):
    """A run of `result` into `output` that failed as it assembled the map, its tiles kept."""
    with pytest.MonkeyPatch.context() as patch:
        _fail_writing_the_output(patch)
        with pytest.raises(RunFailed):
            quillet_geo.to_raster(result, output, **RUN)
    return run_folder(output)


def test_entries_that_are_not_the_runs_are_left_alone(tmp_path, condition, expected):
    output = tmp_path / "map.tif"
    folder = interrupted(quillet_geo.connectivity(str(condition), **OPTIONS), output)
    (folder / "part-0-0.npz").unlink()
    (folder / "part-0-0.npz").mkdir()
    (folder / "notes").symlink_to(condition)
    with pytest.warns(UserWarning, match="is not one of the run's files; it is left alone"):
        with pytest.raises(RunFailed, match=f"cannot write '{folder}/part-0-0.npz': Is a directory"):
            run(condition, output, resume=True)
    (folder / "part-0-0.npz").rmdir()
    with pytest.warns(UserWarning, match=f"'{folder}/notes' in the run folder is not one of the run's files"):
        run(condition, output, resume=True)
    assert values_of(output).tobytes() == expected.tobytes()
    assert sorted(p.name for p in folder.iterdir()) == ["notes"] and condition.exists()


@pytest.mark.parametrize("replace", [
    lambda folder: (os.rename(folder, folder.with_name("moved")), folder.write_bytes(b"a file")),
    lambda folder: (os.rename(folder, folder.with_name("moved")), folder.mkdir(), (folder / "mine").write_text("x")),
])
def test_a_run_folder_replaced_while_the_run_goes_on_stops_it(tmp_path, condition, monkeypatch, replace):
    import quillet_geo.journal as journal

    output, save, saved = tmp_path / "map.tif", journal.Journal.save, []

    def save_then_replace(self, index, values):
        save(self, index, values)
        saved.append(index)
        if len(saved) == 1:
            replace(self.folder)

    monkeypatch.setattr(journal.Journal, "save", save_then_replace)
    with pytest.raises(RunFailed, match="the run folder '.*' was replaced or removed while the run went on") as failed:
        run(condition, output)
    assert "\n" not in str(failed.value) and not output.exists()
    folder = run_folder(output)
    assert folder.is_file() or sorted(p.name for p in folder.iterdir()) == ["mine"]


@dataclass(frozen=True)
class DiesAt:
    """A computation whose worker process is killed when it reaches one tile."""

    computation: object
    index: tuple
    n_threads: int = 1

    def __call__(self, tile, *pieces):
        if tile.index == self.index:
            os.kill(os.getpid(), signal.SIGKILL)
        return self.computation(tile, *pieces)


def test_a_worker_that_dies_fails_the_run_naming_its_tile(condition, tmp_path, bounded):
    from dataclasses import replace

    result = quillet_geo.connectivity(str(condition), **OPTIONS)
    job = result.encoding["quillet_job"]
    result.encoding["quillet_job"] = replace(job, computation=DiesAt(job.computation, (1, 1)))
    with pytest.raises(RunFailed, match=r"a worker process died \(out of memory, or killed\) while computing tile "
                                        r"\(1, 1\)") as failure:
        quillet_geo.to_raster(result, tmp_path / "map.tif", scheduler="processes", workers=2, progress=False)
    assert 0 < failure.value.kept < 9


@pytest.mark.parametrize("where", ["processes", "cluster"])
def test_a_workers_error_travels_back_as_itself(condition, tmp_path, bounded, where):
    distributed = pytest.importorskip("distributed")  # its exception pickling chains GDAL's errors, which do not unpickle
    result = quillet_geo.connectivity(str(condition), **OPTIONS)
    condition.unlink()  # the workers cannot read it
    with contextlib.ExitStack() as stack:
        scheduler = where if where == "processes" else stack.enter_context(distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None)).scheduler_address
        with pytest.raises(DataError, match=f"condition: '{condition}' cannot be read at rows"):
            quillet_geo.to_raster(result, tmp_path / "map.tif", scheduler=scheduler, progress=False)


def test_workers_beyond_the_cpus_are_capped_and_refused_with_a_cluster(condition, tmp_path, expected):
    result = quillet_geo.connectivity(str(condition), **OPTIONS)
    with pytest.warns(UserWarning, match=r"workers: 1000 is more than the \d+ CPUs this process may use; running"):
        quillet_geo.to_raster(result, tmp_path / "map.tif", scheduler="threads", workers=1000, progress=False)
    assert values_of(tmp_path / "map.tif").tobytes() == expected.tobytes()
    with pytest.raises(ArgumentError, match="workers: cannot be given with a cluster `scheduler`"):
        quillet_geo.to_raster(result, tmp_path / "other.tif", scheduler="tcp://127.0.0.1:1", workers=2)
    assert not run_folder(tmp_path / "other.tif").exists()


def test_gdal_errors_while_assembling_are_one_line_naming_the_output(condition, tmp_path, monkeypatch):
    from rasterio._err import CPLE_AppDefinedError

    output = tmp_path / "map.tif"
    output.write_bytes(b"the old map")

    def full(*args, **kwargs):
        raise CPLE_AppDefinedError(1, 1, "FillEmptyTiles() failed because panByteCounts == NULL")

    monkeypatch.setattr(rasterio.shutil, "copy", full)
    with pytest.raises(RunFailed, match=f"cannot write '{output}': FillEmptyTiles") as failure:
        run(condition, output, overwrite=True)
    assert "\n" not in str(failure.value) and output.read_bytes() == b"the old map" and failure.value.kept == 9


def test_a_caller_failing_as_the_run_starts_leaves_no_run_folder(condition, tmp_path):
    def fails():
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError):
        run(condition, tmp_path / "map.tif", started=fails)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["condition.tif"]


def test_a_tile_whose_description_is_damaged_is_computed_again(condition, tmp_path, expected):
    output = tmp_path / "map.tif"
    part = interrupted(quillet_geo.connectivity(str(condition), **OPTIONS), output) / "part-0-0.npz"
    np.savez_compressed(part, values=np.zeros((16, 16), np.float32), meta=json.dumps([1, 2]))
    with pytest.warns(UserWarning, match=r"tile \(0, 0\) .* cannot be used \(its description is not a part's\)"):
        run(condition, output, resume=True)
    assert values_of(output).tobytes() == expected.tobytes()
