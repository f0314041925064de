"""Runs on clusters of batch jobs: the checks of their arguments, and runs on a real one-node Slurm started here as
root (skipped, saying why, where it cannot be): the same map as a local run, jobs cancelled mid-run, resumed runs,
refused and failing jobs, stopped runs, and no job left behind."""
import os
import re
import shlex
import signal
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

pytest.importorskip("rasterio")
pytest.importorskip("dask_jobqueue")
import dask  # noqa: E402
import pandas  # noqa: E402
from one_node_slurm import SlurmUnavailable, cancel_every_job, one_node_slurm, squeue  # noqa: E402
from test_cli import ARGS, landscape, quillet_command, same_map, write_raster  # noqa: E402
from test_cli_resume import start as start_command  # noqa: E402
from test_cli_resume import tiles_in, wait_for  # noqa: E402
from test_summarize import continuous, grid, regions_frame  # noqa: E402

import quillet_geo  # noqa: E402
from quillet_geo import ArgumentError, ArgumentTypeError, RunFailed, batch_jobs  # noqa: E402

TILES = 16
# The jobs of the user's dask-jobqueue configuration, as environment variables and as settings of this process;
# a lost job is given up (and replaced) after a second rather than dask's 15. A worker of quillet's stack holds
# about 320 MB before its first tile, and dask pauses a worker past 80% of its job's memory.
JOB_CONFIGURATION = {"jobqueue.slurm.cores": 1, "jobqueue.slurm.memory": "1GB",
                     "jobqueue.slurm.walltime": "00:10:00", "distributed.deploy.lost-worker-timeout": "1s"}


def environment_variable(key):
    return "DASK_" + "__".join(part.upper().replace("-", "_") for part in key.split("."))


@pytest.fixture(scope="module")
def slurm(tmp_path_factory):
    """The one-node cluster, its jobs logging into its folder; its commands' environment."""
    folder = tmp_path_factory.mktemp("slurm")
    settings = {**JOB_CONFIGURATION, "jobqueue.slurm.log-directory": str(folder / "jobs")}
    try:
        with one_node_slurm(folder) as environment, pytest.MonkeyPatch.context() as patch, \
                dask.config.set(settings):
            for name, value in {**environment, **{environment_variable(k): str(v) for k, v in settings.items()}}.items():
                patch.setenv(name, value)
            yield environment
            assert wait_until_no_job(environment)
    except SlurmUnavailable as reason:
        pytest.skip(f"no Slurm cluster here: {reason}")


@pytest.fixture
def start(slurm):
    """Start a command as `test_cli_resume.start` does; a run a failed test leaves is stopped as the batch system
    stops it, and every job cancelled, so that the next test has the node to itself."""
    runs = []
    yield lambda *args: runs.append(start_command(*args)) or runs[-1]
    for run in runs:
        if run.poll() is None:
            run.terminate()
            try:
                run.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                run.kill()
                run.communicate()
    cancel_every_job(slurm)


def wait_until_no_job(environment, timeout=15):
    """Whether every job has left the queue within `timeout` seconds (a cancelled job completes for a moment)."""
    deadline = time.monotonic() + timeout
    while squeue(environment):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


@pytest.fixture(scope="module")
def slow_map(tmp_path_factory):
    """A condition of 16 tiles that take about a quarter of a second each (wide windows), so that a run outlasts a
    lost job's timeout and replacement, and its map from local processes."""
    folder = tmp_path_factory.mktemp("slow-map")
    condition = write_raster(folder / "condition.tif", landscape((192, 192)))
    args = [condition, *ARGS, "--window-size", 9, "--outer-window", 21, "--tile-size", 48, "--quiet"]
    reference = folder / "reference.tif"
    done = quillet_command("connectivity", condition, reference, *args[1:], "--workers", 2)
    assert done.returncode == 0, done.stderr
    return args, reference


def on_slurm(slow_map, output, *options):
    condition, *rest = slow_map[0]
    return ["connectivity", condition, output, *rest, "--cluster", "slurm", "--jobs", 2, *options]


def test_a_job_cancelled_mid_run_is_replaced_and_changes_nothing(slurm, start, slow_map, tmp_path):
    output = tmp_path / "map.tif"
    run = start(*on_slurm(slow_map, output, "--cluster-option", "job-extra-directives=--comment=quillet",
                          "--cluster-option", "job-extra-directives=--nice=1"))
    wait_for(lambda: tiles_in(output), timeout=120)
    jobs = squeue(slurm)
    assert len(jobs) == 2 and squeue(slurm, "%k") == ["quillet"] * 2  # the options reach the jobs
    subprocess.run(["scancel", jobs[0]], check=True)
    wait_for(lambda: set(squeue(slurm)) - set(jobs))
    assert len(tiles_in(output)) < TILES
    _, stderr = run.communicate(timeout=120)
    assert run.returncode == 0 and stderr == "", stderr
    assert same_map(output, slow_map[1])
    assert wait_until_no_job(slurm)


def test_every_job_cancelled_stops_the_run_and_resume_finishes_it(slurm, start, slow_map, tmp_path):
    output = tmp_path / "map.tif"
    run = start(*on_slurm(slow_map, output))
    wait_for(lambda: tiles_in(output), timeout=120)
    subprocess.run(["scancel", *squeue(slurm)], check=True)
    cancelled = time.monotonic()
    _, stderr = run.communicate(timeout=60)
    assert time.monotonic() - cancelled < 20
    assert run.returncode == 1 and stderr.count("\n") == 1, stderr
    assert stderr.startswith("Error: every Slurm job of the run is gone (cancelled, preempted or past its walltime)")
    kept = len(tiles_in(output))
    assert f"; {kept} of {TILES} tiles are finished and kept in " in stderr and 0 < kept < TILES
    assert wait_until_no_job(slurm)
    resume = shlex.split(stderr.split("to go on once that is mended, run: ")[1])
    assert resume[-1] == "--resume"
    done = quillet_command(*resume[1:])
    assert done.returncode == 0, done.stderr
    assert same_map(output, slow_map[1])


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT])
def test_a_stopped_run_cancels_its_jobs(slurm, start, slow_map, tmp_path, stop):
    output = tmp_path / "map.tif"
    run = start(*on_slurm(slow_map, output))
    wait_for(lambda: tiles_in(output), timeout=120)
    run.send_signal(stop)
    _, stderr = run.communicate(timeout=60)
    assert run.returncode == 128 + stop and stderr.count("\n") == 1, stderr
    assert stderr.rstrip().endswith("--resume")
    assert wait_until_no_job(slurm)


@pytest.mark.parametrize("option, message", [
    ("queue=nowhere", "Error: Slurm refused the run's jobs: sbatch: error: invalid partition specified: nowhere"),
    ("python=/nowhere/python", "Error: every Slurm job of the run ended before its Dask worker connected"),
])
def test_jobs_refused_or_failing_at_once_are_one_line(slurm, slow_map, tmp_path, option, message):
    done = quillet_command(*on_slurm(slow_map, tmp_path / "map.tif", "--cluster-option", option), timeout=60)
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith(message) and done.stderr.rstrip().endswith("--resume")
    assert wait_until_no_job(slurm)


def map_of(path, **where):
    result = quillet_geo.connectivity(grid(landscape((40, 36))), levels=[1, 2, 4], lambdas=[2.0, 20.0], max_cost=10,
                                      tile_size=16)
    quillet_geo.to_raster(result, path, progress=False, **where)


def table_of(path, **where):
    quillet_geo.summarize_to_file(grid(continuous()), regions_frame(), path, by="name", stats="mean,area",
                                  tile_size=16, progress=False, **where)


def same_table(table, other):
    return pandas.read_csv(table).equals(pandas.read_csv(other))


@pytest.mark.parametrize("write, same, suffix", [(map_of, same_map, ".tif"), (table_of, same_table, ".csv")])
def test_the_library_runs_on_slurm_as_locally(slurm, tmp_path, write, same, suffix):
    write(tmp_path / f"local{suffix}", scheduler="threads", workers=2)
    write(tmp_path / f"slurm{suffix}", scheduler="slurm", jobs=2, cluster_options={"processes": 1})
    assert same(tmp_path / f"slurm{suffix}", tmp_path / f"local{suffix}")
    assert wait_until_no_job(slurm)


@pytest.mark.parametrize("where, error, text", [
    (dict(scheduler="slurmm"), ArgumentError, "scheduler: 'slurmm' is not \"threads\", \"processes\", a batch system"),
    (dict(scheduler=3), ArgumentTypeError, "scheduler: expected a name, an address or a distributed.Client"),
    (dict(scheduler="threads", jobs=2), ArgumentError, "jobs: applies only to a cluster of batch jobs"),
    (dict(scheduler="tcp://host:8786", workers=2), ArgumentError, "workers: counts local processes or threads"),
    (dict(scheduler="slurm", workers=2), ArgumentError, "workers: counts local processes or threads"),
    (dict(scheduler="pbs", jobs=0), ArgumentError, "jobs: 0 is not at least 1"),
    (dict(scheduler="slurm", cluster_options={"cpus": 2}), ArgumentError,
     "cluster_options: Slurm jobs have no option 'cpus'; they have account, config_name, cores,"),
    (dict(scheduler="lsf", cluster_options={"job_cpu": 2}), ArgumentError, "LSF jobs have no option 'job_cpu'"),
    (dict(scheduler="slurm", cluster_options={"n-workers": 2}), ArgumentError, "'n_workers' is set by `jobs`"),
    (dict(scheduler="slurm", cluster_options={"env_extra": "x"}), ArgumentError,
     "'env_extra' is the old name of 'job_script_prologue'"),
    (dict(scheduler="slurm", cluster_options={"cores": "two"}), ArgumentError,
     "'cores' is a whole number of at least 1, not 'two'"),
    (dict(scheduler="slurm", cluster_options={"cores": ["1", "2"]}), ArgumentError, "'cores' is given 2 times"),
    (dict(scheduler="slurm", cluster_options={"memory": "lots"}), ArgumentError,
     "'memory' is an amount such as 16GB, not 'lots'"),
    (dict(scheduler="slurm", cluster_options={"nanny": "perhaps"}), ArgumentError, "'nanny' is true or false"),
    (dict(scheduler="slurm", cluster_options={"job_extra_directives": 3}), ArgumentTypeError,
     "'job_extra_directives' takes text or a list of texts, got 3"),
    (dict(scheduler="slurm", cluster_options=[("cores", 1)]), ArgumentTypeError, "expected a dict of option: value"),
])
def test_bad_cluster_arguments_are_refused_before_anything_is_written(tmp_path, where, error, text):
    result = quillet_geo.connectivity(grid(landscape((20, 20))), levels=[1, 2], lambdas=[2.0], max_cost=10)
    with dask.config.set({"jobqueue.slurm.cores": 1, "jobqueue.slurm.memory": "1GB"}), \
            pytest.raises(error, match=re.escape(text)):
        quillet_geo.to_raster(result, tmp_path / "map.tif", **where)
    assert not list(tmp_path.iterdir())


def test_jobs_without_cores_or_memory_are_refused(tmp_path):
    result = quillet_geo.connectivity(grid(landscape((20, 20))), levels=[1, 2], lambdas=[2.0], max_cost=10)
    with dask.config.set({"jobqueue.pbs.cores": None, "jobqueue.pbs.memory": None}), \
            pytest.raises(ArgumentError, match="each job's cores and memory are set neither here nor in dask-jobqueue"):
        quillet_geo.to_raster(result, tmp_path / "map.tif", scheduler="pbs", cluster_options={"cores": 2})


def test_without_dask_jobqueue_a_batch_system_says_what_to_install(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "dask_jobqueue", None)
    result = quillet_geo.connectivity(grid(landscape((20, 20))), levels=[1, 2], lambdas=[2.0], max_cost=10)
    with pytest.raises(RunFailed, match=r"need dask-jobqueue, which is not installed here: pip install 'quillet\[hpc\]'"):
        quillet_geo.to_raster(result, tmp_path / "map.tif", scheduler="slurm")


@pytest.mark.parametrize("options, status, text", [
    (["--scheduler", "tcp://host:8786"], 2, "Error: Invalid value for '--cluster': cannot be used with --scheduler"),
    (["--cluster-option", "cores"], 2, "Error: Invalid value for '--cluster-option': 'cores' is not KEY=VALUE"),
    ([], 1, "Error: cannot submit Slurm jobs: sbatch is not on this machine's PATH"),
])
def test_the_command_reports_cluster_problems_in_one_line(tmp_path, options, status, text):
    condition = write_raster(tmp_path / "condition.tif", landscape((20, 20)))
    done = subprocess.run([sys.executable, "-m", "quillet_geo.cli", "connectivity", condition, tmp_path / "map.tif",
                           *ARGS, "--cluster", "slurm", "--cluster-option", "memory=1GB", "--cluster-option",
                           "cores=1", *options], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PATH": "/nowhere"})
    assert done.returncode == status and done.stderr.count("\n") == 1 and done.stderr.startswith(text), done.stderr


class ClusterOfWorkers:
    """What a `JobWatch` asks of a cluster, for workers of the given statuses as its scheduler sees them."""

    def __init__(self, statuses):
        self.scheduler_info = {"workers": {f"tcp://worker-{i}": {"status": status, "memory_limit": 400 * 2**20}
                                           for i, status in enumerate(statuses)}}
        self.workers, self.worker_spec = {}, {}
        self.scheduler_comm = SimpleNamespace(identity=lambda: self.scheduler_info)

    def sync(self, call):
        return call()


@pytest.mark.parametrize("statuses, fails", [(["paused", "paused"], True), (["paused", "running"], False)])
def test_workers_all_paused_at_their_memory_limit_fail_the_run(monkeypatch, statuses, fails):
    watch = batch_jobs.JobWatch(ClusterOfWorkers(statuses), "slurm", "Slurm")
    seconds = iter(range(0, 10**6, 10))
    monkeypatch.setattr(batch_jobs.time, "monotonic", lambda: next(seconds))
    with dask.config.set({"quillet.paused-worker-timeout": "60s"}):
        try:
            for _ in range(10):
                watch()
        except RunFailed as failure:
            assert fails and str(failure) == ("every Slurm worker of the run has stayed paused at its memory limit "
                                              "(400.00 MiB): give each job more memory (the cluster option memory)")
        else:
            assert not fails
