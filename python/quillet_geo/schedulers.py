"""Where a run's tiles are computed, as the `scheduler` argument of `to_raster` and `summarize_to_file` says, checked
here once with the arguments that go with it:

- "threads" or "processes": `workers` of them on this machine (default, and at most, one per CPU: more would only
  share them);
- "slurm", "pbs", "sge" or "lsf": a cluster of `jobs` batch jobs started for the run on that HPC system, each as
  `cluster_options` and the user's dask-jobqueue configuration say (`batch_clusters`);
- a Dask scheduler's address (tcp://host:8786) or a `distributed.Client`: a cluster the caller started.
"""
import warnings

from .batch_clusters import SYSTEMS, batch_cluster
from .cpus import available_cpus
from .errors import ArgumentError, ArgumentTypeError
from .parameters import integer, shown

LOCAL = ("threads", "processes")
DEFAULT_SCHEDULER = "processes"  # where a run computes its parts unless told otherwise


def placement(scheduler, workers=None, jobs=None, cluster_options=None):
    """(scheduler, workers) as the executors take them: a batch system becomes its checked `BatchCluster`, and
    `workers` counts local workers (1 on a cluster, which has workers of its own)."""
    if isinstance(scheduler, str) and scheduler in SYSTEMS:
        _refuse_workers(workers)
        return batch_cluster(scheduler, jobs, cluster_options), 1
    for argument, value in (("jobs", jobs), ("cluster_options", cluster_options)):
        if value is not None:
            raise ArgumentError(argument, f"applies only to a cluster of batch jobs ({', '.join(SYSTEMS)})")
    if isinstance(scheduler, str) and scheduler in LOCAL:
        return scheduler, _local_workers(workers)
    _refuse_workers(workers)
    if isinstance(scheduler, str):
        if ":" not in scheduler:
            raise ArgumentError("scheduler", f"{shown(scheduler)} is not \"threads\", \"processes\", a batch system "
                                             f"({', '.join(SYSTEMS)}) nor a Dask scheduler's address such as "
                                             "tcp://host:8786")
        return scheduler, 1
    import distributed

    if not isinstance(scheduler, (distributed.Client, distributed.deploy.Cluster)):  # a cluster object: its client
        raise ArgumentTypeError("scheduler", f"expected a name, an address or a distributed.Client, got "
                                             f"{shown(scheduler)}")
    return scheduler, 1


def scheduler_of(scheduler=None, cluster=None):
    """The `scheduler` argument of a run from a caller that takes a Dask scheduler's address (`scheduler`) and a
    batch system (`cluster`) apart, as the command does: at most one of them, local processes without either."""
    if cluster is None:
        return DEFAULT_SCHEDULER if scheduler is None else scheduler
    if scheduler is not None:
        raise ArgumentError("cluster", "cannot be used with `scheduler`: the tiles run either on a Dask cluster "
                                       "that is already running or on batch jobs started for the run")
    if cluster not in SYSTEMS:
        raise ArgumentError("cluster", f"{shown(cluster)} is not one of {', '.join(SYSTEMS)}")
    return cluster


def _local_workers(workers):
    """The threads or processes of a local run: one per CPU, at most."""
    cpus = available_cpus()
    if workers is None:
        return cpus
    workers = integer("workers", workers, minimum=1)
    if workers > cpus:
        warnings.warn(f"workers: {workers} is more than the {cpus} CPUs this process may use; running {cpus}, "
                      "since more would only share them", stacklevel=5)
    return min(workers, cpus)


def _refuse_workers(workers):
    if workers is not None:
        raise ArgumentError("workers", "counts local processes or threads; a cluster's own workers compute the "
                                       "parts (`jobs` sets how many batch jobs a cluster started for the run has)")
