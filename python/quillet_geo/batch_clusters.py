"""Dask clusters of batch jobs on HPC systems (Slurm, PBS, SGE, LSF), started for one run through dask-jobqueue: the
systems, their options and the checks of them, and starting and ending a run's cluster.

What a job is (cores, memory, walltime, queue, account, ...) comes from the user's dask-jobqueue configuration
(~/.config/dask/jobqueue.yaml), which `cluster_options` override for the run. Each job starts Dask workers that
connect back to a scheduler in the run's own process; `batch_jobs` watches the jobs while the tiles are computed.
Whatever way the run ends, every job it submitted is cancelled.
"""
import contextlib
import importlib
import inspect
import math
import subprocess
from dataclasses import dataclass, field

import dask

from .batch_jobs import JobWatch, first_line, submitted
from .errors import ArgumentError, ArgumentTypeError, RunFailed
from .parameters import integer, shown

# Each system: its dask-jobqueue class and the name messages give it.
SYSTEMS = {"slurm": ("SLURMCluster", "Slurm"), "pbs": ("PBSCluster", "PBS"), "sge": ("SGECluster", "SGE"),
           "lsf": ("LSFCluster", "LSF")}

# The options that are not text, by what dask-jobqueue takes; a list option is given once per value.
COUNTS = {"cores", "processes", "job_cpu", "ncpus", "mem"}
NUMBERS = {"death_timeout"}
FLAGS = {"nanny", "use_stdin"}
LISTS = {"job_extra_directives", "job_script_prologue", "worker_extra_args", "job_directives_skip"}
FLAG_TEXTS = {"true": True, "yes": True, "1": True, "false": False, "no": False, "0": False}
# Set by the run itself (`jobs` sets the number of jobs), or old names of other options.
RESERVED = {"scheduler": "the run's own", "name": "the run's own", "security": "not available here",
            "protocol": "not available here", "n_workers": "set by `jobs`"}
RENAMED = {"extra": "worker_extra_args", "job_extra": "job_extra_directives", "env_extra": "job_script_prologue",
           "header_skip": "job_directives_skip"}
CLOSE_TIMEOUT = 20  # seconds the cluster has to retire its workers before its jobs are cancelled regardless


@dataclass(frozen=True)
class BatchCluster:
    """`jobs` batch jobs on `system` to start for a run, each of `cores` cores, with the checked keyword arguments of
    the system's dask-jobqueue class (`options`)."""

    system: str
    jobs: int
    cores: int
    options: dict = field(repr=False)

    @property
    def name(self):
        return SYSTEMS[self.system][1]

    @property
    def slots(self):
        """Tiles computed at once when every job runs."""
        return self.jobs * self.cores

    @contextlib.contextmanager
    def running(self):
        """(a `distributed.Client` of the cluster, `watch`) once the jobs are submitted; `watch()`, called while the
        tiles are awaited, replaces lost jobs and raises `RunFailed` once every job is gone. On the way out, however
        it is taken, every job of the run is cancelled."""
        import distributed

        cluster_class = getattr(_jobqueue(), SYSTEMS[self.system][0])
        try:
            cluster = cluster_class(**self.options)
        except (ValueError, TypeError, OSError) as error:
            raise RunFailed(f"the {self.name} cluster could not start: {first_line(error)}") from None
        watch = JobWatch(cluster, self.system, self.name)
        try:
            submitted(cluster, self.name, self.jobs)
            with distributed.Client(cluster) as client:
                yield client, watch
        finally:
            _close(cluster, watch)


def batch_cluster(system, jobs, cluster_options):
    """The checked `BatchCluster` of `jobs` (default 1) jobs on `system` with `cluster_options` ({option: value},
    dask-jobqueue's keyword arguments, values as text or as Python values; '-' may stand for '_')."""
    jobqueue = _jobqueue()
    jobs = 1 if jobs is None else integer("jobs", jobs, minimum=1)
    if cluster_options is not None and not isinstance(cluster_options, dict):
        raise ArgumentTypeError("cluster_options", f"expected a dict of option: value, got {shown(cluster_options)}")
    cluster_class = getattr(jobqueue, SYSTEMS[system][0])
    known = _option_names(cluster_class.job_cls, jobqueue.core.Job)
    options = {}
    for key, value in (cluster_options or {}).items():
        name = str(key).replace("-", "_")
        _check_option_name(name, system, known)
        options[name] = _option_value(name, value)
    config = options.get("config_name", cluster_class.job_cls.config_name)
    cores, memory = (options.get(name, dask.config.get(f"jobqueue.{config}.{name}", None))
                     for name in ("cores", "memory"))
    if cores is None or memory is None:
        raise ArgumentError("cluster_options", f"each job's cores and memory are set neither here nor in "
                                               f"dask-jobqueue's configuration of {config} (~/.config/dask/"
                                               "jobqueue.yaml): give both, for example cores=4 and memory=16GB")
    _check_memory(memory)
    return BatchCluster(system, jobs, _count("cores", cores), {**options, **_run_settings(config)})


def _jobqueue():
    try:
        return importlib.import_module("dask_jobqueue")
    except ImportError:
        raise RunFailed("clusters of batch jobs need dask-jobqueue, which is not installed here: pip install "
                        "'quillet[hpc]'", resumable=False) from None


def _option_names(job_class, base):
    """The keyword arguments a system's jobs take, apart from those the run sets itself."""
    names = set(inspect.signature(job_class.__init__).parameters) | set(inspect.signature(base.__init__).parameters)
    return names - {"self", "base_class_kwargs"} - set(RESERVED) - set(RENAMED)


def _check_option_name(name, system, known):
    if name in RESERVED:
        raise ArgumentError("cluster_options", f"'{name}' is {RESERVED[name]}, not an option")
    if name in RENAMED:
        raise ArgumentError("cluster_options", f"'{name}' is the old name of '{RENAMED[name]}'")
    if name not in known:
        raise ArgumentError("cluster_options", f"{SYSTEMS[system][1]} jobs have no option '{name}'; they have "
                                               f"{', '.join(sorted(known))}")


def _option_value(name, value):
    """An option's value as dask-jobqueue takes it, from text (as the command gives it) or a Python value."""
    if name in LISTS:
        values = [value] if isinstance(value, str) else value
        if not isinstance(values, (list, tuple)) or not all(isinstance(v, str) for v in values):
            raise ArgumentTypeError("cluster_options", f"'{name}' takes text or a list of texts, got {shown(value)}")
        return list(values)
    if isinstance(value, (list, tuple)):
        raise ArgumentError("cluster_options", f"'{name}' is given {len(value)} times; it takes one value")
    if name in COUNTS:
        return _count(name, value)
    if name in NUMBERS:
        return _number(name, value)
    if name in FLAGS:
        if isinstance(value, bool):
            return value
        if isinstance(value, str) and value.lower() in FLAG_TEXTS:
            return FLAG_TEXTS[value.lower()]
        raise ArgumentError("cluster_options", f"'{name}' is true or false, not {shown(value)}")
    if not isinstance(value, str) or not value:
        raise ArgumentError("cluster_options", f"'{name}' takes text, not {shown(value)}")
    return value


def _count(name, value):
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ArgumentError("cluster_options", f"'{name}' is a whole number of at least 1, not {shown(value)}")
    return value


def _number(name, value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if isinstance(value, bool) or not number > 0 or math.isinf(number):
        raise ArgumentError("cluster_options", f"'{name}' is a number of seconds above 0, not {shown(value)}")
    return number


def _check_memory(memory):
    try:
        dask.utils.parse_bytes(memory)
    except (TypeError, ValueError):
        raise ArgumentError("cluster_options", f"'memory' is an amount such as 16GB, not {shown(memory)}") from None


def _run_settings(config):
    """What every run's cluster sets: its scheduler's web server on a free port unless the configuration says
    which (dask's fixed one clashes between runs), and logs of errors only (the run reports what matters in its own
    words)."""
    scheduler_options = {"dashboard_address": ":0",
                         **(dask.config.get(f"jobqueue.{config}.scheduler-options", None) or {})}
    return {"scheduler_options": scheduler_options, "silence_logs": "error"}


def _close(cluster, watch):
    """Close the cluster, then cancel every job the run submitted that may still be queued or running (the cluster
    cancels its current jobs itself, unless it fails to close in time)."""
    with contextlib.suppress(Exception):
        cluster.close(timeout=CLOSE_TIMEOUT)
    jobs = watch.submitted_jobs()
    if jobs:
        with contextlib.suppress(OSError, subprocess.SubprocessError):
            subprocess.run([cluster.job_cls.cancel_command, *sorted(jobs)], capture_output=True, timeout=60)
