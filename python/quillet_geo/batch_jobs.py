"""The batch jobs of a run's cluster while its tiles are computed: submitted so that a refusal is one line, watched
for loss, replaced, and the run stopped once none is left.

A job that vanishes (cancelled, preempted, past its walltime) takes only its tiles in flight with it: the scheduler
hands them to the other workers, and once the cluster has given the lost job up (dask's lost-worker timeout, 15 s)
it is replaced, as long as another worker is still connected. Jobs that have not started yet are waited for, as
long as the batch system still lists them. When no worker is connected and none of the run's jobs is queued or
running any more, the run fails (its finished tiles kept for `resume`): the batch system is asked every few seconds
while no worker is connected, and where it cannot be asked the run fails once no worker has been connected for the
lost-worker timeout. A run whose every worker has stayed paused at its memory limit for a minute (dask pauses a
worker past 80% of its job's memory, and one whose job is too small for the tiles never resumes; dask's setting
quillet.paused-worker-timeout says how long) fails too.
"""
import getpass
import re
import subprocess
import time
import warnings

import dask

from .errors import RunFailed

STATUS_INTERVAL = 5.0  # seconds between questions to the batch system (or the scheduler, on paused workers)

# How each system lists the user's jobs still queued or running: a job id at the start of each line.
STATUS_COMMANDS = {
    "slurm": ["squeue", "--noheader", "--format=%i", "--user={user}"],
    "pbs": ["qselect", "-u", "{user}"],
    "sge": ["qstat", "-u", "{user}"],
    "lsf": ["bjobs", "-noheader", "-o", "jobid", "-u", "{user}"],
}
JOB_ID = re.compile(r"\s*(\d+)")


def submitted(cluster, name, jobs=0):
    """Submit the cluster's missing jobs (up to `jobs` in all) now, in this thread, so that a refusal of the batch
    system is raised here as one line rather than logged by the cluster's event loop (as `scale` would have it)."""
    while len(cluster.worker_spec) < jobs:
        cluster.worker_spec.update(cluster.new_worker_spec())
    try:
        try:
            cluster.sync(cluster._correct_state)
        finally:
            _mark_refused(cluster)
    except FileNotFoundError as error:
        raise RunFailed(f"cannot submit {name} jobs: {error.filename} is not on this machine's PATH (start the run "
                        "where jobs are submitted, such as a login node)") from None
    except (RuntimeError, ValueError, OSError) as error:
        raise RunFailed(f"{name} refused the run's jobs: {first_line(error)}") from None


def _mark_refused(cluster):
    """Jobs whose submission failed have failed, so that the cluster closes without waiting for them."""
    from distributed.core import Status

    for job in list(cluster.workers.values()):
        if job.job_id is None:
            job.status = Status.failed


def first_line(error):
    """The line of an error that says what is wrong: for a command that failed, the first line it wrote to its
    standard error."""
    text = str(error)
    if "stderr:" in text:
        text = text.split("stderr:", 1)[1]
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def live_jobs(system):
    """The ids of the user's jobs still queued or running, or None when the batch system cannot be asked."""
    command = [part.format(user=getpass.getuser()) for part in STATUS_COMMANDS[system]]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=20)
    except (OSError, subprocess.SubprocessError):
        return None
    if done.returncode:
        return None
    return {match[1] for line in done.stdout.splitlines() if (match := JOB_ID.match(line))}


class JobWatch:
    """Called while the tiles are awaited (at least every quarter of a second): replaces lost jobs, and raises
    `RunFailed` once every job of the run is gone."""

    def __init__(self, cluster, system, name):
        self.cluster, self.system, self.name = cluster, system, name
        self.connected_once, self.alone_since = False, time.monotonic()
        self.next_status, self.refused, self.ever = 0.0, False, set()
        self.paused_since = None

    def submitted_jobs(self):
        """The ids of every job the run has submitted."""
        self.ever |= self._current_jobs()
        return set(self.ever)

    def __call__(self):
        self.submitted_jobs()
        now = time.monotonic()
        if self.cluster.scheduler_info["workers"]:
            self.connected_once, self.alone_since = True, None
            self._replace_lost()
            if now >= self.next_status:
                self.next_status = now + STATUS_INTERVAL
                self._check_not_all_paused(now)
            return
        if self.alone_since is None:
            self.alone_since = self.next_status = now
        if now < self.next_status:
            return
        self.next_status = now + STATUS_INTERVAL
        live = live_jobs(self.system)
        if live is None:
            timeout = dask.utils.parse_timedelta(dask.config.get("distributed.deploy.lost-worker-timeout"))
            if self.connected_once and now - self.alone_since > timeout:
                raise self._gone()
            return
        if not self._current_jobs() & live:
            raise self._gone()

    def _check_not_all_paused(self, now):
        """Raise `RunFailed` once every connected worker has been paused at its memory limit for longer than the
        setting quillet.paused-worker-timeout (a minute unless set)."""
        workers = self.cluster.sync(self.cluster.scheduler_comm.identity)["workers"].values()
        if not workers or any(worker["status"] != "paused" for worker in workers):
            self.paused_since = None
        elif self.paused_since is None:
            self.paused_since = now
        elif now - self.paused_since > dask.utils.parse_timedelta(dask.config.get("quillet.paused-worker-timeout",
                                                                                  "60s")):
            limit = dask.utils.format_bytes(min(worker["memory_limit"] for worker in workers))
            raise RunFailed(f"every {self.name} worker of the run has stayed paused at its memory limit ({limit}): "
                            "give each job more memory (the cluster option memory)")

    def _current_jobs(self):
        """The ids of the cluster's jobs (a job whose submission was refused has none)."""
        return {job.job_id for job in list(self.cluster.workers.values())} - {None}

    def _replace_lost(self):
        """Submit a job for each that the cluster has given up, unless the batch system refused a replacement
        before (it stays refused: the remaining jobs go on)."""
        if self.refused or len(self.cluster.workers) >= len(self.cluster.worker_spec):
            return
        try:
            submitted(self.cluster, self.name)
        except RunFailed as refusal:
            self.refused = True
            warnings.warn(f"a lost {self.name} job could not be replaced: {refusal}", stacklevel=2)

    def _gone(self):
        if self.connected_once:
            return RunFailed(f"every {self.name} job of the run is gone (cancelled, preempted or past its walltime), "
                             "so no worker is left to compute the tiles")
        return RunFailed(f"every {self.name} job of the run ended before its Dask worker connected; the jobs' output "
                         "says why (often: this Python environment is not on the compute nodes)")
