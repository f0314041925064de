"""The tiles a distributed cluster finishes, for `quillet_geo.progress()`: a plugin on the scheduler counts the
tile tasks it is given and those finished, and the client asks it twice a second. Kept apart so that
`distributed` is imported only when a cluster is in use."""
import contextlib
import threading

from distributed.diagnostics.plugin import SchedulerPlugin

from .task_keys import is_tile_key


class _TileCounter(SchedulerPlugin):
    """On the scheduler: the tile tasks given to it, and those finished."""

    name = "quillet-tiles"

    def __init__(self):
        self.seen, self.done = set(), set()

    def update_graph(self, scheduler, **kwargs):
        self.seen.update(k for k in scheduler.tasks if is_tile_key(k))

    def transition(self, key, start, finish, *args, **kwargs):
        if finish == "memory" and is_tile_key(key):
            self.done.add(key)


def _tile_counts(dask_scheduler):
    counter = dask_scheduler.plugins[_TileCounter.name]
    return len(counter.seen), len(counter.done)


class ClusterTiles:
    """Counts the tiles a distributed cluster finishes, asking its scheduler twice a second."""

    def __init__(self, client, bar):
        self.client, self.bar, self.stop = client, bar, threading.Event()

    def __enter__(self):
        self.client.register_plugin(_TileCounter(), name=_TileCounter.name)
        self.thread = threading.Thread(target=self._follow, daemon=True)
        self.thread.start()

    def _follow(self):
        while not self.stop.wait(0.5):
            self._show()

    def _show(self):
        self.bar.total, self.bar.n = self.client.run_on_scheduler(_tile_counts)
        self.bar.refresh()

    def __exit__(self, *exception):
        self.stop.set()
        self.thread.join()
        with contextlib.suppress(Exception):
            self._show()
            self.client.unregister_scheduler_plugin(_TileCounter.name)
