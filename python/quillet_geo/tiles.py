"""The tile plan: which base cells each tile computes, and which it reads as context."""
from dataclasses import dataclass


@dataclass(frozen=True)
class Tile:
    """One tile: the block it computes (`rows`, `cols`) and the larger block it reads (`read_rows`, `read_cols`)."""

    index: tuple[int, int]
    rows: slice
    cols: slice
    read_rows: slice
    read_cols: slice

    @property
    def crop(self):
        """Where the computed block lies inside the block that was read."""
        top, left = self.rows.start - self.read_rows.start, self.cols.start - self.read_cols.start
        return (slice(top, top + self.rows.stop - self.rows.start),
                slice(left, left + self.cols.stop - self.cols.start))


def tile_plan(shape, tile_size, halo=0, align=1):
    """The tiles of a raster of `shape`, row by row: `tile_size` cells from the origin, read with `halo` more on every
    side.

    `tile_size` and `halo` must be multiples of `align` (the coarsest level) so that every read block starts on a
    coarse block boundary of the raster's own grid.
    """
    if tile_size < 1 or tile_size % align:
        raise ValueError(f"tile_size {tile_size} is not a positive multiple of the coarsest level {align}")
    nrows, ncols = shape
    return [
        [
            Tile((i, j), slice(r, min(r + tile_size, nrows)), slice(c, min(c + tile_size, ncols)),
                 slice(max(r - halo, 0), min(r + tile_size + halo, nrows)),
                 slice(max(c - halo, 0), min(c + tile_size + halo, ncols)))
            for j, c in enumerate(range(0, ncols, tile_size))
        ]
        for i, r in enumerate(range(0, nrows, tile_size))
    ]
