"""Where a job's parts (a map's tiles, a summary's batches) are computed: in threads of this process, in local worker
processes (worker_processes.py), or on a Dask cluster; and the one loop that computes the missing parts of a job, for
the run engine and for in-process summaries alike.

All of them compute a part the same way (`job.compute`, the members of `job_protocol.Job`), send the job to each
worker once, keep at most twice as many parts in flight as there are workers, and hand results over one at a time in
the order they finish, so that the main process holds no more parts than are in flight. The main thread only waits,
and calls back at least every quarter of a second while it does, so that a stop asked for by a signal is seen at
once, at a point where no lock of the executor is held; stopping kills local worker processes instead of waiting for
their parts (threads finish their part on their own). While it waits, it passes on how far the parts in flight have
got, as threads and local processes report it.
"""
import concurrent.futures
import contextlib
import pickle
import queue
import threading

import dask

from .batch_clusters import BatchCluster
from .errors import RunFailed, portable
from .progress_bars import passing_on, report_parts_to
from .schedulers import DEFAULT_SCHEDULER
from .worker_processes import process_results


def compute_parts(job, positions, keep, bar, *, scheduler, workers, waiting=lambda: None):
    """Compute the parts of `job` at `positions` (into `job.parts`) with `workers` of `scheduler`, handing each
    finished part and its values to `keep(part, values)` and telling `bar` (a `RunProgress`) how far they got."""
    sizes = {part.index: job.size(part) for part in job.parts}

    def advanced(index, fraction):
        bar.part_advanced(index, int(fraction * sizes[index]))

    with part_results(job, positions, scheduler=scheduler, workers=workers, advanced=advanced,
                      waiting=waiting) as results:
        for position, values in results:
            part = job.parts[position]
            keep(part, values)
            bar.part_done(part.index, sizes[part.index])


@contextlib.contextmanager
def part_results(job, positions, *, scheduler=DEFAULT_SCHEDULER, workers=1, advanced=lambda index, fraction: None,
                 waiting=lambda: None):
    """An iterator of (position in job.parts, values) for the parts at `positions`, in the order they finish.

    `scheduler`: "threads", "processes", a Dask cluster (a scheduler address or a `distributed.Client`), or a
    `BatchCluster` to start for these parts.
    `advanced(part index, fraction)` hears, while the results are awaited, how far a part in flight has got (not on
    a cluster). `waiting()` is called before each result and at least every quarter of a second while one is
    awaited; what it raises stops the run.
    """
    if scheduler == "threads":
        with _thread_results(job, list(positions), workers, advanced, waiting) as results:
            yield results
    elif scheduler == "processes":
        with process_results(job, list(positions), workers, advanced, waiting) as results:
            yield results
    elif isinstance(scheduler, BatchCluster):
        with scheduler.running() as (client, watch), _cluster_results(
                job, list(positions), client, lambda: _both(waiting, watch), slots=scheduler.slots) as results:
            yield results
    else:
        with _cluster_results(job, list(positions), scheduler, waiting) as results:
            yield results


def _both(first, second):
    first()
    second()


@contextlib.contextmanager
def _thread_results(job, positions, workers, advanced, waiting):
    # Daemon threads, so that an interrupted run does not wait for the parts in flight at exit.
    todo, done, progress = queue.Queue(), queue.Queue(), queue.Queue()
    pass_on = passing_on(progress, advanced)
    for position in positions:
        todo.put(position)
    stop = threading.Event()

    def work():
        while not stop.is_set():
            try:
                position = todo.get_nowait()
            except queue.Empty:
                return
            try:
                done.put((position, job.compute(job.parts[position]), None))
            except BaseException as error:  # handed to the main thread, which raises it
                done.put((position, None, error))

    for _ in range(min(workers, len(positions))):
        threading.Thread(target=work, daemon=True).start()

    def next_done():
        while True:
            waiting()
            try:
                return done.get(timeout=0.25)
            except queue.Empty:
                pass_on()

    def results():
        for _ in positions:
            position, values, error = next_done()
            pass_on()
            if error is not None:
                raise error
            yield position, values

    report_parts_to(progress)
    try:
        yield results()
    finally:
        report_parts_to(None)
        stop.set()


def _compute_on_cluster(job, position):
    try:
        return position, job.compute(job.parts[position])
    except Exception as error:
        failure = portable(error)
    raise failure  # raised outside the handler, so that it is not chained to what it was made from


def _bounded(submit, positions, ahead, wait):
    """Submit parts keeping at most `ahead` in flight; yield (position, future) as each finishes, then forget it."""
    pending, remaining = {}, iter(positions)
    for position in remaining:
        pending[submit(position)] = position
        if len(pending) >= ahead:
            break
    while pending:
        for future in wait(list(pending)):
            yield pending.pop(future), future
            for position in remaining:
                pending[submit(position)] = position
                break


@contextlib.contextmanager
def _cluster_results(job, positions, cluster, waiting, slots=None):
    """`slots`: the parts the cluster computes at once (default: as many as its workers have threads now)."""
    import distributed

    client, own = cluster, False
    if not isinstance(cluster, distributed.Client):
        try:
            client, own = distributed.Client(cluster, timeout=10), True
        except (OSError, ValueError) as error:
            raise RunFailed(f"no Dask scheduler answers at {cluster} ({_first_line(error)})") from None
    slots = slots or max(1, sum(client.nthreads().values()))
    # The job as a task's result rather than scattered data: the scheduler computes it again if every worker that
    # held it is lost, and submitting it needs no worker yet (batch jobs may still be queued).
    shared = client.submit(pickle.loads, pickle.dumps(job), pure=False)

    def wait(futures):
        while True:
            waiting()
            with contextlib.suppress(TimeoutError):
                return distributed.wait(futures, timeout=0.25, return_when="FIRST_COMPLETED").done

    def results():
        submit = lambda position: client.submit(_compute_on_cluster, shared, position, pure=False)  # noqa: E731
        try:
            for position, future in _bounded(submit, positions, 2 * slots, wait):
                try:
                    result = future.result()
                except distributed.KilledWorker:
                    raise RunFailed(f"{job.part_names[0]} {job.parts[position].index}: {_allowed_failures()} workers "
                                    "died while computing it (out of memory, or their jobs were cancelled or "
                                    "preempted)") from None
                future.release()
                yield result
        except (OSError, concurrent.futures.CancelledError, distributed.comm.CommClosedError) as error:
            raise RunFailed(f"the Dask cluster was lost ({type(error).__name__})") from None

    try:
        yield results()
    finally:
        if own:
            with contextlib.suppress(Exception):
                client.close(timeout=5)


def _allowed_failures():
    return dask.config.get("distributed.scheduler.allowed-failures") + 1


def _first_line(error):
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
