"""Progress bars over tiles: one for a run (cells per second, tiles done, time left), and one while lazy results
are computed on Dask, on its local schedulers or on a distributed cluster."""
import contextlib
import queue
import time

from dask.callbacks import Callback
from tqdm import tqdm

import quillet

from .task_keys import is_tile_key


class RunProgress:
    """A bar over the units (cells) of a run's parts (tiles), on standard error; `show` None shows it on a terminal
    only."""

    def __init__(self, label, *, unit, parts, total_parts, total_units, done_parts=0, done_units=0, show=None):
        self.parts, self.total_parts, self.done_parts = parts, total_parts, done_parts
        self.in_flight = {}
        self.started = time.perf_counter()
        # A long memory for the rate: parts finish in bursts, and the time left should not jump with each.
        self.bar = tqdm(desc=label, total=total_units, initial=done_units, unit=unit, unit_scale=True,
                        disable=None if show is None else not show, dynamic_ncols=True, leave=False,
                        smoothing=0.05)
        self._show_parts()

    def _show_parts(self):
        self.bar.set_postfix_str(f"{self.parts} {self.done_parts}/{self.total_parts}", refresh=False)

    def part_advanced(self, index, units):
        """A part in flight has got through `units` (of its own) so far."""
        self.bar.update(units - self.in_flight.get(index, 0))
        self.in_flight[index] = units

    def part_done(self, index, units):
        self.done_parts += 1
        self._show_parts()
        self.bar.update(units - self.in_flight.pop(index, 0))

    def close(self):
        self.bar.close()

    def seconds(self):
        return time.perf_counter() - self.started


_sink = None  # where this process's native calls report how far their tile has got: a queue of (index, fraction)


def report_parts_to(sink):
    """Send the progress of the tiles this process computes to `sink` (a queue), or nowhere (None)."""
    global _sink
    _sink = sink


def passing_on(reports, advanced):
    """A function that hands every report waiting in the queue `reports` to `advanced(index, fraction)`."""
    def pass_on():
        while True:
            try:
                advanced(*reports.get_nowait())
            except queue.Empty:
                return
    return pass_on


@contextlib.contextmanager
def part_progress(index):
    """While the block runs, native calls of this thread report (index, fraction of the tile done) to the sink."""
    if _sink is None:
        yield
        return
    sink = _sink
    quillet._report_progress(lambda done, total: sink.put((index, done / total if total else 0.0)))
    try:
        yield
    finally:
        quillet._report_progress(None)


@contextlib.contextmanager
def progress():
    """A bar over the tiles of the quillet_geo results computed inside the block, on standard error:
    `with quillet_geo.progress(): result.compute()`, on Dask's threads or processes schedulers or on the active
    distributed client, which counts the tiles as its workers finish them."""
    try:
        from distributed import get_client

        client = get_client()
    except (ImportError, ValueError):
        client = None
    with tqdm(total=0, unit="tile", desc="tiles", dynamic_ncols=True) as bar:
        if client is None:
            with _LocalTiles(bar):
                yield
        else:
            from .cluster_progress import ClusterTiles  # distributed is imported only when a cluster is used

            with ClusterTiles(client, bar):
                yield


class _LocalTiles(Callback):
    """Counts tile tasks as Dask's local schedulers start and finish them."""

    def __init__(self, bar):
        super().__init__()
        self.bar = bar

    def _start(self, dsk):
        self.bar.total += sum(map(is_tile_key, dsk))
        self.bar.refresh()

    def _posttask(self, key, result, dsk, state, worker_id):
        if is_tile_key(key):
            self.bar.update(1)


def compute_with_progress(result, enabled):
    """Compute `result`, with a bar over its tiles if `enabled`."""
    if not enabled:
        return result.compute()
    with progress():
        return result.compute()
