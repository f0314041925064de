"""Computing tiles away from the main thread: in local worker processes, or on an existing Dask cluster.

The main process only waits for finished tiles, so Ctrl-C reaches it at once even while a native call runs for a
long time in a worker; stopping kills the local workers instead of waiting for the tiles in flight.
"""
import concurrent.futures
import contextlib
import ctypes
import functools
import multiprocessing
import os
import signal

import numpy as np

import quillet

from .errors import DataError


@functools.lru_cache(maxsize=2)
def _lazy_result(job):
    return job.lazy()


def compute_tile(job, index):
    """One tile's final values; a native internal fault comes back as a RuntimeError saying so."""
    try:
        return index, np.asarray(_lazy_result(job).data.blocks[index].compute(scheduler="sync"))
    except quillet.PanicException as fault:
        raise RuntimeError(f"internal fault in tile {index}: {fault}") from None


def _worker_setup(main_pid):
    """Ctrl-C is the main process's to handle; a worker dies with the main process,
    even when that is killed with SIGKILL (the kernel sends the worker SIGKILL when
    its parent, the main process, ends; checking the parent afterwards closes the
    window in which the main process ended before the request was made)."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    with contextlib.suppress(OSError, AttributeError):
        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL)
    if os.getppid() != main_pid:
        os._exit(1)


@contextlib.contextmanager
def tile_results(job, indices, *, workers, scheduler=None):
    """An iterator of (index, values) for the given tiles, in the order they finish."""
    if scheduler is None:
        with _local_results(job, indices, workers) as results:
            yield results
    else:
        with _cluster_results(job, indices, scheduler) as results:
            yield results


@contextlib.contextmanager
def _local_results(job, indices, workers):
    # Spawned workers are children of this process (a fork server's would be its
    # children instead), so that they end with it.
    context = multiprocessing.get_context("spawn")
    pool = concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=_worker_setup,
                                                  initargs=(os.getpid(),))
    futures = [pool.submit(compute_tile, job, index) for index in indices]
    try:
        yield _finished(concurrent.futures.as_completed(futures))
    except BaseException:
        for process in multiprocessing.active_children():
            process.kill()
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()


def _finished(futures):
    try:
        for future in futures:
            yield future.result()
    except concurrent.futures.process.BrokenProcessPool:
        raise DataError("a worker process died (out of memory?); the finished tiles are kept") from None


@contextlib.contextmanager
def _cluster_results(job, indices, address):
    import distributed

    try:
        client = distributed.Client(address, timeout=10)
    except (OSError, ValueError) as error:
        raise DataError(f"--scheduler {address}: no Dask scheduler answers there ({error})") from None
    futures = [client.submit(compute_tile, job, index, pure=False) for index in indices]
    try:
        yield (future.result() for future in distributed.as_completed(futures))
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        client.close()
