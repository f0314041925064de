"""Progress over tiles: a bar with cells per second and the time left, on a terminal only, and a summary line."""
import time

import click
from tqdm import tqdm


class TileProgress:
    def __init__(self, label, *, total_tiles, total_cells, done_tiles=0, done_cells=0, quiet=False):
        self.total_tiles, self.done_tiles = total_tiles, done_tiles
        self.started = time.perf_counter()
        self.bar = tqdm(
            desc=label, total=total_cells, initial=done_cells, unit="cell", unit_scale=True,
            disable=True if quiet else None, dynamic_ncols=True, leave=False,
        )
        self._show_tiles()

    def _show_tiles(self):
        self.bar.set_postfix_str(f"tiles {self.done_tiles}/{self.total_tiles}", refresh=False)

    def tile_done(self, cells):
        self.done_tiles += 1
        self._show_tiles()
        self.bar.update(cells)

    def close(self):
        self.bar.close()

    def seconds(self):
        return time.perf_counter() - self.started


def print_summary(command, cells, seconds, output, quiet, note=""):
    if not quiet:
        click.echo(f"{command}: {cells:,} cells in {seconds:.1f} s{note}, written to {output}")
