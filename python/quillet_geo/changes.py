"""Where new inputs differ from the old ones, and which tiles that reaches: a tile must be computed again exactly when
the block it reads (the tile and its halo) holds a changed cell of any replaced input; every other tile keeps its
values, since a tile's values depend on nothing but what it reads.

The inputs are compared in blocks of whole tiles, as their tiles read them (no-data as NaN, warped where the map's
were), so that memory stays at one block per input whatever the raster's size. A cell has changed unless it holds
the same bits in both or no data in both. What each block found is kept only as much as the tiles' read blocks need:
the read blocks' edges cut the raster into rectangles, and one flag per rectangle tells whether it holds a change.
"""
from dataclasses import dataclass

import numpy as np

from .jobs import read_window
from .transforms import world

BLOCK_SIDE = 2048  # cells per side of a block compared at once (whole tiles, at least one)


@dataclass(frozen=True)
class Change:
    """`cells` changed, within `rows` and `cols` (slices, None when nothing changed); `tiles` are those whose read
    block holds one, in the plan's order."""

    cells: int
    rows: slice | None
    cols: slice | None
    tiles: tuple

    def bounds(self, transform):
        """(left, bottom, right, top) of the changed cells' box in the map's CRS."""
        corners = [world(transform, c, r) for r in (self.rows.start, self.rows.stop)
                   for c in (self.cols.start, self.cols.stop)]
        xs, ys = [x for x, _ in corners], [y for _, y in corners]
        return min(xs), min(ys), max(xs), max(ys)


def find_change(tiles, shape, tile_size, pairs):
    """The `Change` between each (old, new) reader of `pairs` (what `jobs.read_window` reads) over the tiles of a
    plan of `tile_size` covering a raster of `shape`."""
    row_edges, col_edges = (_edges(tiles, axis, size) for axis, size in zip(("rows", "cols"), shape))
    flags = np.zeros((len(row_edges) - 1, len(col_edges) - 1), dtype=bool)
    side = tile_size * max(1, BLOCK_SIDE // tile_size)  # whole tiles, so that a block's edges are tiles' edges
    cells, rows, cols = 0, [], []
    for top in range(0, shape[0], side):
        for left in range(0, shape[1], side):
            block = (slice(top, min(top + side, shape[0])), slice(left, min(left + side, shape[1])))
            changed = _changed(pairs, *block)
            if not changed.any():
                continue
            cells += int(changed.sum())
            rows += _span(changed.any(axis=1), top)
            cols += _span(changed.any(axis=0), left)
            _flag(flags, changed, block, row_edges, col_edges)
    reached = tuple(t for t in tiles if flags[_cut(row_edges, t.read_rows), _cut(col_edges, t.read_cols)].any())
    if not cells:
        return Change(0, None, None, ())
    return Change(cells, slice(min(rows), max(rows)), slice(min(cols), max(cols)), reached)


def differs(old, new):
    """True where two float32 arrays differ: not the same bits, and not no data (NaN) in both."""
    same = old.view(np.uint32) == new.view(np.uint32)
    return ~(same | (np.isnan(old) & np.isnan(new)))


def _changed(pairs, rows, cols):
    changed = np.zeros((rows.stop - rows.start, cols.stop - cols.start), dtype=bool)
    for old, new in pairs:
        changed |= differs(read_window(old, rows, cols), read_window(new, rows, cols))
    return changed


def _edges(tiles, axis, size):
    """The sorted positions along `axis` ("rows" or "cols") where a tile or a read block starts or ends."""
    edges = {0, size}
    for tile in tiles:
        for span in (getattr(tile, axis), getattr(tile, f"read_{axis}")):
            edges.update((span.start, span.stop))
    return np.array(sorted(edges))


def _span(any_along, start):
    """[first, last + 1] of the positions where `any_along` holds, offset by `start`."""
    hits = np.flatnonzero(any_along)
    return [start + int(hits[0]), start + int(hits[-1]) + 1]


def _flag(flags, changed, block, row_edges, col_edges):
    """Mark the rectangles between edges that hold a changed cell of `changed` (the values of `block`)."""
    (rows, cols), cuts = block, []
    for span, edges in ((rows, row_edges), (cols, col_edges)):
        first, last = np.searchsorted(edges, (span.start, span.stop))
        cuts.append((first, last, edges[first:last] - span.start))
    (r0, r1, row_cuts), (c0, c1, col_cuts) = cuts
    reduced = np.logical_or.reduceat(np.logical_or.reduceat(changed, row_cuts, axis=0), col_cuts, axis=1)
    flags[r0:r1, c0:c1] |= reduced


def _cut(edges, span):
    """The rectangles' positions along one axis that a span (starting and ending on edges) covers."""
    first, last = np.searchsorted(edges, (span.start, span.stop))
    return slice(first, last)
