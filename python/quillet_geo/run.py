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
import time
import warnings
from dataclasses import dataclass
from importlib.metadata import version
from pathlib import Path

from .cpus import available_cpus
from .errors import ArgumentTypeError, RunFailed, Stopped
from .fingerprints import fingerprint
from .geotiff import assemble
from .geotiff import creation_options as creation_options_checked
from .jobs import JOB_KEY
from .journal import DamagedPart, Journal, write_error
from .outputs import check_outputs
from .progress_bars import RunProgress
from .schedulers import LOCAL, placement


@dataclass(frozen=True)
class RunSummary:
    """What a finished run did: `units` (cells, for a map) in `seconds`, in `parts` (tiles), of which
    `resumed_parts` were kept from an interrupted run."""

    units: int
    seconds: float
    parts: int
    resumed_parts: int


def to_raster(result, path, *, overwrite=False, resume=False, scheduler="processes", workers=None, jobs=None,
              cluster_options=None, progress=None, creation_options=None, also_writes=None, started=None):
    """Write `result` (a DataArray from `quillet_geo.connectivity` or `coverage`) to the GeoTIFF `path`, computing
    its tiles in `workers` threads or local processes (`scheduler` "threads" or "processes", default one worker per
    CPU), on a Dask cluster (a scheduler address or a `distributed.Client`), or on `jobs` batch jobs (default 1)
    started for the run on an HPC system (`scheduler` "slurm", "pbs", "sge" or "lsf"; `cluster_options`: keyword
    arguments of dask-jobqueue's cluster, such as {"cores": 4, "memory": "16GB", "walltime": "04:00:00"}, over the
    user's dask-jobqueue configuration). `resume=True` goes on with an interrupted run of the same result;
    `overwrite=True` replaces an existing `path` (once the new file is complete) and starts an interrupted run over.
    `progress`: a bar on standard error (None: on a terminal only).
    `also_writes` ({argument: path}) names other files the caller writes, checked against the inputs and `path`.
    The file is a cloud-optimized GeoTIFF (DEFLATE with the floating-point predictor, internal overviews);
    `creation_options` ({KEY: VALUE}) change GDAL's COG creation options (lossless compressions only).
    `started()`, if given, is called once the run has passed every check and is about to compute.

    Raises `RunRefused` (a ValueError) before anything is written when the paths or the run folder are in the way,
    `RunFailed` (a RuntimeError) when the run cannot go on, and `Stopped` (a KeyboardInterrupt) after Ctrl-C,
    SIGTERM or SIGHUP; then the finished tiles are kept for `resume`. Returns a `RunSummary`.
    """
    job = job_of(result)
    options = creation_options_checked(creation_options)

    def write(output, partial, part_values):
        tags = {**job.tags(), "quillet_date": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
        assemble(output, partial, job, part_values, tags=tags, options=options)

    return run_job(job, path, write, overwrite=overwrite, resume=resume, scheduler=scheduler, workers=workers,
                   jobs=jobs, cluster_options=cluster_options, progress=progress, also_writes=also_writes,
                   started=started)


def job_of(result):
    """The job a result of `quillet_geo.connectivity` or `coverage` keeps for the run engine."""
    job = result.encoding.get(JOB_KEY) if hasattr(result, "encoding") else None
    if job is None:
        raise ArgumentTypeError("result", "is not a result of quillet_geo.connectivity or coverage (or has lost it "
                                          "in an operation since); write other arrays with `.rio.to_raster`")
    return job


def run_job(job, path, write, *, overwrite=False, resume=False, scheduler="processes", workers=None, jobs=None,
            cluster_options=None, progress=None, also_writes=None, started=None):
    """Run `job`'s parts into the file `path` with the guarantees above; `write(path, partial, part_values)` makes
    the file from the finished parts (`part_values(part)` gives one's values), assembling it at `partial` in the run
    folder and renaming it into place, and raises OSError when any of that fails."""
    output = Path(path)
    check_outputs({"output": output, **(also_writes or {})}, job.inputs, overwrite=overwrite)
    scheduler, workers = placement(scheduler, workers, jobs, cluster_options)
    local = scheduler in LOCAL
    job = dataclasses.replace(job, kernel=dataclasses.replace(
        job.kernel, n_threads=max(1, available_cpus() // workers) if local else 1))
    manifest = _manifest(job)
    total, plural = len(job.tiles), job.parts[1]
    with _StopSignals() as signals:
        journal = Journal.open(output, manifest, resume=resume, overwrite=overwrite)
        remove = False
        try:
            if started:
                started()
            kept = _usable_parts(job, journal) if resume else set()
            bar = RunProgress(job.name, unit=job.unit, parts=plural, total_parts=total,
                              total_units=_units(job, job.tiles), done_parts=len(kept),
                              done_units=_units(job, (t for t in job.tiles if t.index in kept)), show=progress)
            try:
                _compute_missing(job, journal, kept, bar, scheduler, workers, signals)
                _check_inputs_unchanged(job, manifest)
                try:
                    write(output, journal.partial(output), lambda part: _finished_part(job, journal, part))
                except OSError as error:
                    raise write_error(output, error) from None
            finally:
                bar.close()
            remove = True
        except KeyboardInterrupt as interrupt:
            signum = interrupt.signal if isinstance(interrupt, Stopped) else signal.SIGINT
            raise Stopped(signum, len(journal.finished()), total, journal.folder, plural) from None
        except RunFailed as failure:
            if failure.resumable:
                failure.kept = len(journal.finished())
                failure.add_note(f"{failure.kept} of {total} {plural} are finished and kept in '{journal.folder}'")
            raise
        finally:
            journal.close(remove=remove)
    return RunSummary(_units(job, job.tiles), bar.seconds(), total, len(kept))


def _units(job, parts):
    return sum(job.size(part) for part in parts)


def _manifest(job):
    """What fixes the result: software version, parameters, grid and a fingerprint of every input."""
    template = job.template
    return {
        "command": job.name, "version": version("quillet"), "parameters": job.parameters,
        "grid": {"shape": list(job.shape), "transform": list(template.rio.transform())[:6],
                 "crs": template.rio.crs.to_wkt() if template.rio.crs else None},
        "inputs": {label: fingerprint(value) for label, value in job.inputs.items()},
    }


def _usable_parts(job, journal):
    """The kept parts that can be used; a damaged one is said and forgotten, to be computed again."""
    usable, parts = set(), {part.index: part for part in job.tiles}
    for index in sorted(journal.finished()):
        try:
            journal.load(index, job.shape_of(parts[index]), job.dtype)
            usable.add(index)
        except (DamagedPart, KeyError) as damage:
            _warn_damaged(job, journal, index, damage)
    return usable


def _warn_damaged(job, journal, index, damage):
    warnings.warn(f"{job.parts[0]} {index} in '{journal.folder}' cannot be used ({damage}); computing it again",
                  stacklevel=3)
    journal.forget(index)


def _compute_missing(job, journal, kept, bar, scheduler, workers, signals):
    from .executors import tile_results

    todo = [k for k, part in enumerate(job.tiles) if part.index not in kept]
    sizes = {part.index: job.size(part) for part in job.tiles}

    def advanced(index, fraction):
        bar.part_advanced(index, int(fraction * sizes[index]))

    with signals.deferred(), tile_results(job, todo, scheduler=scheduler, workers=workers, advanced=advanced,
                                          waiting=signals.check) as results:
        for k, values in results:
            journal.save(job.tiles[k].index, values)
            bar.part_done(job.tiles[k].index, sizes[job.tiles[k].index])


def _finished_part(job, journal, part):
    """A part's values from the journal; one damaged since it was kept is computed again here."""
    try:
        return journal.load(part.index, job.shape_of(part), job.dtype)
    except DamagedPart as damage:
        _warn_damaged(job, journal, part.index, damage)
        values = job.compute(part)
        journal.save(part.index, values)
        return values


def _check_inputs_unchanged(job, manifest):
    for label, value in job.inputs.items():
        if fingerprint(value) != manifest["inputs"][label]:
            where = f" '{value}'" if isinstance(value, str) else ""
            raise RunFailed(f"`{label}`{where} changed during the run, so its tiles mix old and new data; start "
                            "over with `overwrite`", resumable=False)


class _StopSignals:
    """Ctrl-C, SIGTERM and SIGHUP (batch schedulers, `timeout`, a closed terminal) stop the run alike, by raising
    `Stopped` in the main thread. While the tiles are computed and saved (`deferred`) the signal is only noted, and
    `check` raises it where the run waits for results: it never breaks a file being saved nor leaves a lock of the
    executors held. A second signal while the stopped run tidies up changes nothing."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self):
        self.received, self.deferring, self.previous = None, False, {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self.previous = {s: signal.signal(s, self._stop) for s in self.SIGNALS}
        return self

    def __exit__(self, *exception):
        for s, handler in self.previous.items():
            signal.signal(s, handler)

    def _stop(self, signum, frame):
        if self.received is None:
            self.received = signal.Signals(signum)
            if not self.deferring:
                raise Stopped(self.received, 0, 0, None)

    @contextlib.contextmanager
    def deferred(self):
        self.deferring = True
        try:
            yield
        finally:
            self.deferring = False
        self.check()

    def check(self):
        if self.received is not None:
            raise Stopped(self.received, 0, 0, None)
