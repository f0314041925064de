"""The run engine: a result of quillet_geo written to a GeoTIFF tile by tile, resumably, never losing or corrupting
data. What a run guarantees:

- Paths: the output (and its run folder) is checked against every input before anything is written or deleted.
- One run per output at a time (a lock in the run folder); a lock of a dead run is taken over.
- Finished tiles are kept in the run folder as they arrive, each with a hash of its values and its run's identity;
  after Ctrl-C, SIGTERM, SIGHUP, a kill or a failure, `resume=True` computes only the tiles missing or damaged.
- Inputs are fingerprinted at the start and checked again before the output is assembled; a changed input fails
  the run, and `resume` then refuses its tiles.
- The output appears only complete: assembled under a temporary name, read back, flushed and renamed, so an
  existing output is replaced only then (`overwrite=True`). The run folder goes only after that.
- Every failure is one line: a write names its path, a tile names its tile and input.
"""
import contextlib
import dataclasses
import signal
import threading
import warnings
from dataclasses import dataclass
from importlib.metadata import version
from pathlib import Path

from .cpus import available_cpus
from .errors import ArgumentTypeError, RunFailed, Stopped
from .fingerprints import fingerprint
from .geotiff import assemble
from .jobs import JOB_KEY, tile_shape
from .journal import DamagedTile, Journal, write_error
from .outputs import check_outputs
from .parameters import integer
from .progress import RunProgress


@dataclass(frozen=True)
class RunSummary:
    """What a finished run did: `cells` in `seconds`, of which the cells of `resumed_tiles` (of `tiles`) were kept
    from an interrupted run."""

    cells: int
    seconds: float
    tiles: int
    resumed_tiles: int


def to_raster(result, path, *, overwrite=False, resume=False, scheduler="processes", workers=None, progress=None,
              also_writes=None):
    """Write `result` (a DataArray from `quillet_geo.connectivity` or `coverage`) to the GeoTIFF `path`, computing
    its tiles in `workers` threads or local processes (`scheduler` "threads" or "processes", default one worker per
    CPU) or on a Dask cluster (a scheduler address or a `distributed.Client`). `resume=True` goes on with an
    interrupted run of the same result; `overwrite=True` replaces an existing `path` (once the new file is complete)
    and starts an interrupted run over. `progress`: a bar on standard error (None: on a terminal only).
    `also_writes` ({argument: path}) names other files the caller writes, checked against the inputs and `path`.

    Raises `RunRefused` (a ValueError) before anything is written when the paths or the run folder are in the way,
    `RunFailed` (a RuntimeError) when the run cannot go on, and `Stopped` (a KeyboardInterrupt) after Ctrl-C,
    SIGTERM or SIGHUP; then the finished tiles are kept for `resume`. Returns a `RunSummary`.
    """
    job = result.encoding.get(JOB_KEY) if hasattr(result, "encoding") else None
    if job is None:
        raise ArgumentTypeError("result", "is not a result of quillet_geo.connectivity or coverage (or has lost it "
                                          "in an operation since); write other arrays with `.rio.to_raster`")
    output = Path(path)
    check_outputs({"output": output, **(also_writes or {})}, job.inputs, overwrite=overwrite)
    local = scheduler in ("threads", "processes")
    workers = integer("workers", workers, minimum=1) if workers is not None else available_cpus() if local else 1
    job = dataclasses.replace(job, kernel=dataclasses.replace(
        job.kernel, n_threads=max(1, available_cpus() // workers) if local else 1))
    manifest = _manifest(job)
    with _signals_stop_the_run():
        journal = Journal.open(output, manifest, resume=resume, overwrite=overwrite)
        remove = False
        try:
            kept = _usable_tiles(job, journal) if resume else set()
            bar = RunProgress(job.name, total_tiles=len(job.tiles), total_cells=_cells(job.tiles),
                              done_tiles=len(kept), done_cells=_cells(t for t in job.tiles if t.index in kept),
                              show=progress)
            try:
                _compute_missing(job, journal, kept, bar, scheduler, workers)
                _check_inputs_unchanged(job, manifest)
                _assemble(output, job, journal)
            finally:
                bar.close()
            remove = True
        except KeyboardInterrupt as interrupt:
            signum = interrupt.signal if isinstance(interrupt, Stopped) else signal.SIGINT
            raise Stopped(signum, len(journal.finished()), len(job.tiles), journal.folder) from None
        except RunFailed as failure:
            if failure.resumable:
                failure.kept = len(journal.finished())
                failure.add_note(f"{failure.kept} of {len(job.tiles)} tiles are finished and kept in "
                                 f"'{journal.folder}'")
            raise
        finally:
            journal.close(remove=remove)
    return RunSummary(_cells(job.tiles), bar.seconds(), len(job.tiles), len(kept))


def _cells(tiles):
    return sum(rows * cols for rows, cols in map(tile_shape, tiles))


def _manifest(job):
    """What fixes the result: software version, parameters, grid and a fingerprint of every input."""
    template = job.template
    return {
        "command": job.name, "version": version("quillet"), "parameters": job.parameters,
        "grid": {"shape": list(job.shape), "transform": list(template.rio.transform())[:6],
                 "crs": template.rio.crs.to_wkt() if template.rio.crs else None},
        "inputs": {label: fingerprint(value) for label, value in job.inputs.items()},
    }


def file_tags(job):
    """The run's parameters and input files as GeoTIFF metadata tags."""
    tags = {"quillet_command": job.name, "quillet_version": version("quillet")}
    for name, value in job.parameters.items():
        if value is not None:
            tags[name] = " ".join(map(str, value)) if isinstance(value, list) else value
    for label, value in job.inputs.items():
        if isinstance(value, str):
            tags[label.replace("[", "_").replace("]", "")] = value
    return tags


def _usable_tiles(job, journal):
    """The kept tiles that can be used; a damaged one is said and forgotten, to be computed again."""
    usable, shapes = set(), {tile.index: tile_shape(tile) for tile in job.tiles}
    for index in sorted(journal.finished()):
        try:
            journal.load(index, shapes[index])
            usable.add(index)
        except (DamagedTile, KeyError) as damage:
            _warn_damaged(journal, index, damage)
    return usable


def _warn_damaged(journal, index, damage):
    warnings.warn(f"tile {index} in '{journal.folder}' cannot be used ({damage}); computing it again", stacklevel=3)
    journal.forget(index)


def _compute_missing(job, journal, kept, bar, scheduler, workers):
    from .executors import tile_results

    todo = [k for k, tile in enumerate(job.tiles) if tile.index not in kept]
    with tile_results(job, todo, scheduler=scheduler, workers=workers) as results:
        for k, values in results:
            journal.save(job.tiles[k].index, values)
            bar.tile_done(values.size)


def _assemble(output, job, journal):
    try:
        assemble(output, journal.partial, job, lambda tile: _finished_tile(job, journal, tile), tags=file_tags(job))
    except OSError as error:
        raise write_error(output, error) from None


def _finished_tile(job, journal, tile):
    """A tile's values from the journal; one damaged since it was kept is computed again here."""
    try:
        return journal.load(tile.index, tile_shape(tile))
    except DamagedTile as damage:
        _warn_damaged(journal, tile.index, damage)
        values = job.compute(tile)
        journal.save(tile.index, values)
        return values


def _check_inputs_unchanged(job, manifest):
    for label, value in job.inputs.items():
        if fingerprint(value) != manifest["inputs"][label]:
            where = f" '{value}'" if isinstance(value, str) else ""
            raise RunFailed(f"`{label}`{where} changed during the run, so its tiles mix old and new data; start "
                            "over with `overwrite`", resumable=False)


@contextlib.contextmanager
def _signals_stop_the_run():
    """Ctrl-C, SIGTERM and SIGHUP (batch schedulers, `timeout`, a closed terminal) stop the run alike; a second
    signal while the stopped run tidies up changes nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    stopped = []

    def stop(signum, frame):
        if not stopped:
            stopped.append(signum)
            raise Stopped(signal.Signals(signum), 0, 0, None)

    previous = {s: signal.signal(s, stop) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
