"""What computes one batch of regions: its regions' statistics from the values (and weights) they cover.

A batch walks the raster's windows that its regions' parts reach, so that memory is bounded by a window whatever a
region's size. Each window's values are read once for all the batch's regions there, and their covered fractions
come from one native call (`packed_coverage`); different regions are independent, overlapping or not.
"""
from dataclasses import dataclass

import numpy as np

from .jobs import read_window
from .packed_coverage import block_fractions, stacks
from .region_parts import windows_reached
from .region_sums import RegionSums
from .statistics import columns
from .values import FINITE, check_values


@dataclass(frozen=True)
class SummaryComputation:
    """Computes one batch: the statistics of its regions from the values (and weights) they cover. `labels` names
    the values and the weights for messages ((argument, where) each); `areas` gives cell areas when a statistic
    needs them."""

    transform: tuple
    shape: tuple
    tile_size: int
    statistics: tuple
    bands: int
    areas: object
    labels: tuple
    n_threads: int

    @property
    def columns(self):
        return columns(self.statistics, self.bands)

    def __call__(self, batch, geometries, values, weights):
        try:
            regions = RegionSums(self.statistics, self.bands, len(geometries))
            for rows, cols, parts in windows_reached(geometries, self.transform, self.shape, self.tile_size):
                self._window(rows, cols, parts, regions, values, weights)
            return regions.rows()
        except BaseException as error:
            error.add_note(f"in summary batch {batch.index[0]} ({len(batch.regions)} regions)")
            raise

    def _window(self, rows, cols, parts, regions, values, weights):
        """Feed each region with parts in the window its covered cells there, the window's values read once."""
        firsts = np.flatnonzero(np.diff(parts.owners, prepend=-1))  # each region's first part
        blocks = np.column_stack([np.maximum(np.minimum.reduceat(parts.top, firsts), rows.start),
                                  np.minimum(np.maximum.reduceat(parts.bottom, firsts), rows.stop),
                                  np.maximum(np.minimum.reduceat(parts.left, firsts), cols.start),
                                  np.minimum(np.maximum.reduceat(parts.right, firsts), cols.stop)])
        top, left = int(blocks[:, 0].min()), int(blocks[:, 2].min())
        read = (slice(top, blocks[:, 1].max()), slice(left, blocks[:, 3].max()))
        data = read_window(values, *read).reshape(self.bands, *(s.stop - s.start for s in read))
        weight = None if weights is None else read_window(weights, *read)
        areas = None if self.areas is None else self.areas.of_rows(read[0])
        owners, bounds = parts.owners[firsts].tolist(), blocks.tolist()
        for chosen in stacks(blocks[:, 1] - blocks[:, 0], blocks[:, 3] - blocks[:, 2], self.tile_size ** 2):
            for k, fractions in block_fractions(parts, firsts, blocks, chosen, self.transform, self.n_threads):
                covered = fractions > 0
                first_row, last_row, first_col, last_col = bounds[k]
                local = (slice(first_row - top, last_row - top), slice(first_col - left, last_col - left))
                cells = _gathered(data, local, covered)
                if not cells.shape[1]:
                    continue
                infinite = regions.add(owners[k], cells, fractions[covered],
                                       None if weight is None else weight[local][covered],
                                       None if areas is None else np.broadcast_to(areas[local[0], None],
                                                                                  covered.shape)[covered])
                if infinite:
                    self._check((data[(slice(None), *local)], None if weight is None else weight[local]),
                                (first_row, first_col))

    def _check(self, blocks, origin):
        """Refuse the infinite values or weights of `blocks` (read from `origin`), naming the first. The extremes and
        sums of the regions' covered cells show them, so that blocks need no other pass to be checked."""
        for block, (name, where) in zip(blocks, self.labels):
            if block is not None:
                check_values(block, FINITE, name, where, origin)


def _gathered(data, local, covered):
    """The values (bands, n) of the cells of block `local` (row and column slices) of `data` where `covered`, one
    band after another."""
    if len(data) == 1:
        return data[0][local][covered][None]
    return np.stack([band[local][covered] for band in data])
