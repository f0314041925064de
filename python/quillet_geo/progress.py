"""A progress bar over tiles while a result is computed."""
from dask.callbacks import Callback
from tqdm import tqdm


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
