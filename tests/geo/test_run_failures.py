"""The run engine when what is around it fails, in-process: run folders that are not a run's or are replaced while
the run goes on, workers that die or cannot read an input, worker counts, GDAL's write errors, damaged tiles."""
import contextlib
import json
import os
import signal
from dataclasses import dataclass

import numpy as np
import pytest

pytest.importorskip("geopandas")
import rasterio
from test_run import (  # noqa: F401 (fixtures)
    OPTIONS,
    bounded_fixture,
    condition_fixture,
    expected_fixture,
    interrupted,
    run,
    run_folder,
    values_of,
)

import quillet_geo
from quillet_geo import ArgumentError, DataError, RunFailed, RunRefused


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
    with pytest.raises(ArgumentError, match="workers: counts local processes or threads; a cluster's own workers"):
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
