"""Where a run's tiles are computed: in threads of this process, in local worker processes, or on a Dask cluster.

All three compute a tile the same way (`TiledJob.compute`), send the job to each worker once, keep at most twice as
many tiles in flight as there are workers, and hand results over one at a time in the order they finish, so that
the main process holds no more tiles than are in flight. The main thread only waits, and calls back at least every
quarter of a second while it does, so that a stop asked for by a signal is seen at once, at a point where no lock of
the executor is held; stopping kills local worker processes instead of waiting for their tiles (threads finish their
tile on their own). While it waits, it passes on how far the tiles in flight have got, as threads and local processes
report it.
"""
import concurrent.futures
import contextlib
import ctypes
import multiprocessing
import os
import pickle
import queue
import signal
import threading

import dask

from .batch_clusters import BatchCluster
from .errors import RunFailed
from .progress_bars import report_parts_to

_job = None  # the job of a worker process, sent once when the process starts


def _start_worker(main_pid, job, progress):
    """A local worker process: Ctrl-C is the main process's to handle, and the worker dies with the main process
    even when that is killed with SIGKILL (the kernel sends it SIGKILL when its parent ends; checking the parent
    afterwards closes the window in which the main process ended before the request was made)."""
    global _job
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    with contextlib.suppress(OSError, AttributeError):
        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL)
    if os.getppid() != main_pid:
        os._exit(1)
    _job = job
    report_parts_to(progress)


def _compute_in_worker(index):
    return index, _job.compute(_job.tiles[index])


def _compute(job, index):
    return index, job.compute(job.tiles[index])


@contextlib.contextmanager
def tile_results(job, indices, *, scheduler="processes", workers=1, advanced=lambda index, fraction: None,
                 waiting=lambda: None):
    """An iterator of (index into job.tiles, values) for the tiles at `indices`, in the order they finish.

    `scheduler`: "threads", "processes", a Dask cluster (a scheduler address or a `distributed.Client`), or a
    `BatchCluster` to start for these tiles.
    `advanced(tile index, fraction)` hears, while the results are awaited, how far a tile in flight has got (not on
    a cluster). `waiting()` is called before each result and at least every quarter of a second while one is
    awaited; what it raises stops the run.
    """
    if scheduler == "threads":
        with _thread_results(job, list(indices), workers, advanced, waiting) as results:
            yield results
    elif scheduler == "processes":
        with _process_results(job, list(indices), workers, advanced, waiting) as results:
            yield results
    elif isinstance(scheduler, BatchCluster):
        with scheduler.running() as (client, watch), _cluster_results(
                job, list(indices), client, lambda: _both(waiting, watch), slots=scheduler.slots) as results:
            yield results
    else:
        with _cluster_results(job, list(indices), scheduler, waiting) as results:
            yield results


def _both(first, second):
    first()
    second()


def _passing_on(progress, advanced):
    """A function that hands every report waiting in the queue `progress` to `advanced`."""
    def pass_on():
        while True:
            try:
                advanced(*progress.get_nowait())
            except queue.Empty:
                return
    return pass_on


def _bounded(submit, indices, ahead, wait):
    """Submit tiles keeping at most `ahead` in flight; yield (index, future) as each finishes, then forget it."""
    pending, remaining = {}, iter(indices)
    for index in remaining:
        pending[submit(index)] = index
        if len(pending) >= ahead:
            break
    while pending:
        for future in wait(list(pending)):
            yield pending.pop(future), future
            for index in remaining:
                pending[submit(index)] = index
                break


def _first_done(futures, meanwhile):
    """The futures done, once one is; `meanwhile()` runs every quarter of a second until then."""
    while True:
        done = concurrent.futures.wait(futures, timeout=0.25, return_when=concurrent.futures.FIRST_COMPLETED).done
        meanwhile()
        if done:
            return done


@contextlib.contextmanager
def _thread_results(job, indices, workers, advanced, waiting):
    # Daemon threads, so that an interrupted run does not wait for the tiles in flight at exit.
    todo, done, progress = queue.Queue(), queue.Queue(), queue.Queue()
    pass_on = _passing_on(progress, advanced)
    for index in indices:
        todo.put(index)
    stop = threading.Event()

    def work():
        while not stop.is_set():
            try:
                index = todo.get_nowait()
            except queue.Empty:
                return
            try:
                done.put((index, job.compute(job.tiles[index]), None))
            except BaseException as error:  # handed to the main thread, which raises it
                done.put((index, None, error))

    for _ in range(min(workers, len(indices))):
        threading.Thread(target=work, daemon=True).start()

    def next_done():
        while True:
            waiting()
            try:
                return done.get(timeout=0.25)
            except queue.Empty:
                pass_on()

    def results():
        for _ in indices:
            index, values, error = next_done()
            pass_on()
            if error is not None:
                raise error
            yield index, values

    report_parts_to(progress)
    try:
        yield results()
    finally:
        report_parts_to(None)
        stop.set()


@contextlib.contextmanager
def _process_results(job, indices, workers, advanced, waiting):
    # Spawned workers are children of this process (a fork server's would be its children instead), so that they
    # end with it.
    context = multiprocessing.get_context("spawn")
    progress = context.Queue()
    pool = concurrent.futures.ProcessPoolExecutor(min(workers, max(len(indices), 1)), mp_context=context,
                                                  initializer=_start_worker, initargs=(os.getpid(), job, progress))
    pass_on = _passing_on(progress, advanced)

    def meanwhile():
        pass_on()
        waiting()

    def results():
        for index, future in _bounded(lambda index: pool.submit(_compute_in_worker, index), indices, 2 * workers,
                                      lambda futures: _first_done(futures, meanwhile)):
            try:
                yield future.result()
            except concurrent.futures.process.BrokenProcessPool:
                raise RunFailed(f"a worker process died (out of memory, or killed) while computing tile "
                                f"{job.tiles[index].index}") from None

    try:
        yield results()
    except BaseException:
        for process in multiprocessing.active_children():
            process.kill()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    else:
        pool.shutdown()
    finally:
        progress.close()


@contextlib.contextmanager
def _cluster_results(job, indices, cluster, waiting, slots=None):
    """`slots`: the tiles the cluster computes at once (default: as many as its workers have threads now)."""
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
        submit = lambda index: client.submit(_compute, shared, index, pure=False)  # noqa: E731
        try:
            for index, future in _bounded(submit, indices, 2 * slots, wait):
                try:
                    result = future.result()
                except distributed.KilledWorker:
                    raise RunFailed(f"tile {job.tiles[index].index}: {_allowed_failures()} workers died while "
                                    "computing it (out of memory, or their jobs were cancelled or preempted)") from None
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
