"""Progress bars over tiles: one for a run (cells per second, tiles done, time left) and one while a lazy result
is computed on Dask."""
import time

from dask.callbacks import Callback
from tqdm import tqdm


class RunProgress:
    """A bar over the units (cells) of a run's parts (tiles), on standard error; `show` None shows it on a terminal
    only."""

    def __init__(self, label, *, unit, parts, total_parts, total_units, done_parts=0, done_units=0, show=None):
        self.parts, self.total_parts, self.done_parts = parts, total_parts, done_parts
        self.started = time.perf_counter()
        self.bar = tqdm(desc=label, total=total_units, initial=done_units, unit=unit, unit_scale=True,
                        disable=None if show is None else not show, dynamic_ncols=True, leave=False)
        self._show_parts()

    def _show_parts(self):
        self.bar.set_postfix_str(f"{self.parts} {self.done_parts}/{self.total_parts}", refresh=False)

    def part_done(self, units):
        self.done_parts += 1
        self._show_parts()
        self.bar.update(units)

    def close(self):
        self.bar.close()

    def seconds(self):
        return time.perf_counter() - self.started


class _TileBar(Callback):
    """Advances a tqdm bar, in cells, as each tile task of the graph finishes (threads scheduler)."""

    def __init__(self, bar, cells_per_tile):
        super().__init__()
        self.bar, self.cells_per_tile = bar, cells_per_tile

    def _posttask(self, key, result, dsk, state, worker_id):
        name = key[0] if isinstance(key, tuple) else key
        if str(name).endswith("-tile") or "-tile-" in str(name):
            self.bar.update(self.cells_per_tile)


def compute_with_progress(result, enabled, tiles):
    """Compute `result`: with tqdm over tiles on the threads scheduler, Dask's progress on a distributed client."""
    if not enabled:
        return result.compute()
    try:
        from distributed import get_client, progress

        client = get_client()
    except (ImportError, ValueError):
        with tqdm(total=result.size, unit="cell", unit_scale=True, desc=f"{tiles} tiles") as bar, \
                _TileBar(bar, result.size / max(tiles, 1)):
            return result.compute()
    persisted = client.persist(result)
    progress(persisted)
    return persisted.compute()
