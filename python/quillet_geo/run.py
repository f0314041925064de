"""The run engine: a result of quillet_geo written to a GeoTIFF tile by tile, resumably, never losing or corrupting
data. What a run guarantees:

- Paths: the output, its run folder and every other output are checked against every file of every input before
  anything is written or deleted; a run folder that is not a run's is refused and left alone (run_folder.py).
- One run per output at a time (a lock in the run folder); a lock of a dead run is taken over.
- Finished tiles are kept in the run folder as they arrive, each with a hash of its values and its run's identity;
  after Ctrl-C, SIGTERM, SIGHUP, a kill or a failure, `resume=True` computes only the tiles missing or damaged.
- Inputs are fingerprinted at the start, every file they are read from (input_files.py), and checked again before
  the output is assembled; a changed input fails the run, and `resume` then refuses its tiles.
- The output appears only complete: assembled under a temporary name, read back, flushed and renamed, so an
  existing output is replaced only then (`overwrite=True`). The run folder goes only after that.
- Every failure is one line: a write names its path, a tile names its tile and input; no wait is without a bound.
"""
import signal
import time
import warnings
from dataclasses import dataclass
from importlib.metadata import version
from pathlib import Path

from .cpus import available_cpus
from .errors import ArgumentTypeError, RunFailed, Stopped
from .executors import compute_parts
from .fingerprints import changed_input, fingerprint
from .formats import check_map_outputs
from .geotiff import assemble
from .geotiff import creation_options as creation_options_checked
from .jobs import JOB_KEY
from .journal import DamagedPart, Journal, write_error
from .outputs import check_outputs
from .progress_lines import progress_reporter, run_progress
from .provenance import provenance
from .schedulers import DEFAULT_SCHEDULER, LOCAL, placement
from .stop_signals import StopSignals
from .transforms import coefficients


@dataclass(frozen=True)
class RunSummary:
    """What a finished run did: `units` (cells, for a map) in `seconds`, in `parts` (tiles), of which
    `resumed_parts` were kept from an interrupted run."""

    units: int
    seconds: float
    parts: int
    resumed_parts: int


def to_raster(result, path, *, overwrite=False, resume=False, scheduler=DEFAULT_SCHEDULER, workers=None, jobs=None,
              cluster_options=None, progress=None, creation_options=None, also_writes=None, started=None):
    """Write `result` (a DataArray from `quillet_geo.connectivity` or `coverage`) to the GeoTIFF `path`, computing
    its tiles in `workers` threads or local processes (`scheduler` "threads" or "processes", default and at most one
    worker per CPU), on a Dask cluster (a scheduler address or a `distributed.Client`, whose workers are its own:
    `workers` is then refused), or on `jobs` batch jobs (default 1) started for the run on an HPC system
    (`scheduler` "slurm", "pbs", "sge" or "lsf"; `cluster_options`: keyword arguments of dask-jobqueue's cluster,
    such as {"cores": 4, "memory": "16GB", "walltime": "04:00:00"}, over the user's dask-jobqueue configuration).
    `resume=True` goes on with an interrupted run of the same result; `overwrite=True` replaces an existing `path`
    (once the new file is complete) and starts an interrupted run over. `progress`:
    "auto" or None (a bar on standard error on a terminal only), "bar" or True, "none" or False, or "json" (JSON
    lines on standard error, described in `progress_lines`).
    `also_writes` ({argument: path}) names other files the caller writes, checked against the inputs and `path`.
    The file is a cloud-optimized GeoTIFF (DEFLATE with the floating-point predictor, internal overviews);
    `creation_options` ({KEY: VALUE}) change GDAL's COG creation options (lossless compressions only).
    `started()`, if given, is called once the run has passed every check and is about to compute.

    Raises `RunRefused` (a ValueError) before anything is written when the paths or the run folder are in the way,
    `RunFailed` (a RuntimeError) when the run cannot go on, and `Stopped` (a KeyboardInterrupt) after Ctrl-C,
    SIGTERM or SIGHUP; then the finished tiles are kept for `resume`. Returns a `RunSummary`.
    """
    check_map_outputs({"output": path, **(also_writes or {})})
    job = job_of(result)
    options = creation_options_checked(creation_options)

    def write(output, partial, part_values):
        assemble(output, partial, job, part_values, tags=map_tags(job), options=options)

    return run_job(job, path, write, overwrite=overwrite, resume=resume, scheduler=scheduler, workers=workers,
                   jobs=jobs, cluster_options=cluster_options, progress=progress, also_writes=also_writes,
                   started=started)


def map_tags(job):
    """The tags of a map that `job` computes: its provenance and the date it was written."""
    return {**provenance(job), "quillet_date": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}


def job_of(result):
    """The job a result of `quillet_geo.connectivity` or `coverage` keeps for the run engine."""
    job = result.encoding.get(JOB_KEY) if hasattr(result, "encoding") else None
    if job is None:
        raise ArgumentTypeError("result", "is not a result of quillet_geo.connectivity or coverage (or has lost it "
                                          "in an operation since); write other arrays with `.rio.to_raster`")
    return job


def run_job(job, path, write, *, overwrite=False, resume=False, scheduler=DEFAULT_SCHEDULER, workers=None, jobs=None,
            cluster_options=None, progress=None, also_writes=None, started=None):
    """Run `job`'s parts into the file `path` with the guarantees above; `write(path, partial, part_values)` makes
    the file from the finished parts (`part_values(part)` gives one's values), assembling it at `partial` in the run
    folder and renaming it into place, and raises OSError when any of that fails."""
    output = Path(path)
    reporter = progress_reporter(progress)
    check_outputs({"output": output, **(also_writes or {})}, job.inputs, overwrite=overwrite)
    scheduler, workers = placement(scheduler, workers, jobs, cluster_options)
    local = scheduler in LOCAL
    manifest = _manifest(job)
    total, plural = len(job.parts), job.part_names[1]
    with StopSignals() as signals:
        journal = Journal.open(output, manifest, resume=resume, overwrite=overwrite)
        remove = False
        try:
            if started:
                try:
                    started()
                except Exception:
                    remove = not resume  # a new run whose caller fails at once leaves no run folder behind
                    raise
            kept = _usable_parts(job, journal) if resume else set()
            bar = run_progress(job, kept, reporter)
            try:
                todo = [k for k, part in enumerate(job.parts) if part.index not in kept]
                if local:  # fewer parts than workers: the CPUs are shared among the parts there are
                    workers = max(1, min(workers, len(todo)))
                job = job.with_threads(max(1, available_cpus() // workers) if local else 1)
                with signals.deferred():
                    compute_parts(job, todo, lambda part, values: journal.save(part.index, values), bar,
                                  scheduler=scheduler, workers=workers, waiting=signals.check)
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
    return RunSummary(sum(map(job.size, job.parts)), bar.seconds(), total, len(kept))


def _manifest(job):
    """What fixes the result: software version, parameters, grid and a fingerprint of every input."""
    template = job.template
    return {
        "command": job.name, "version": version("quillet"), "parameters": job.parameters,
        "grid": {"shape": list(template.shape), "transform": list(coefficients(template.rio.transform())),
                 "crs": template.rio.crs.to_wkt() if template.rio.crs else None},
        "inputs": {label: fingerprint(value) for label, value in job.inputs.items()},
    }


def _usable_parts(job, journal):
    """The kept parts that can be used; a damaged one is said and forgotten, to be computed again."""
    usable, parts = set(), {part.index: part for part in job.parts}
    for index in sorted(journal.finished()):
        try:
            journal.load(index, job.shape_of(parts[index]), job.dtype)
            usable.add(index)
        except (DamagedPart, KeyError) as damage:
            _warn_damaged(job, journal, index, damage)
    return usable


def _warn_damaged(job, journal, index, damage):
    warnings.warn(f"{job.part_names[0]} {index} in '{journal.folder}' cannot be used ({damage}); computing it again",
                  stacklevel=3)
    journal.forget(index)


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
        now = fingerprint(value)
        if now != manifest["inputs"][label]:
            raise RunFailed(f"{changed_input(label, manifest['inputs'][label], now)} changed during the run, so its "
                            f"{job.part_names[1]} mix old and new data; start over with `overwrite`",
                            resumable=False)
