"""Affine transforms of raster grids, in one place: a transform's six coefficients (a, b, c, d, e, f) map a
pixel-corner position (col, row) to world coordinates x = a·col + b·row + c, y = d·col + e·row + f.

Every layer that moves between cells and the world (a tile's or a level's own transform, the cells a polygon
reaches, a block's bounding box, where a preview draws its cells) goes through these functions, so that all of them
place a cell the same way, and the same way as the native functions do.
"""
import numpy as np


def coefficients(transform):
    """The six coefficients (a, b, c, d, e, f) of an affine transform (an `affine.Affine` or a sequence)."""
    return tuple(transform)[:6]


def world(transform, col, row):
    """The world (x, y) of a pixel-corner position (col, row)."""
    a, b, c, d, e, f = coefficients(transform)
    return a * col + b * row + c, d * col + e * row + f


def pixels(transform, xy):
    """World coordinates (n, 2) as (column, row) pixel coordinates, mapped as the native coverage maps vertices."""
    a, b, c, d, e, f = coefficients(transform)
    dx, dy = xy[:, 0] - c, xy[:, 1] - f
    det = a * e - b * d
    return np.column_stack(((e * dx - b * dy) / det, (a * dy - d * dx) / det))


def level_transforms(transform, levels, offsets):
    """Each level's transform for a block whose first base cell is global cell `offsets` (row, column): a level-L
    cell is an L x L block of base cells, on the lattice of step L from the grid's origin."""
    a, b, c, d, e, f = coefficients(transform)
    result = {}
    for level in levels:
        rows, cols = offsets[0] // level, offsets[1] // level
        result[level] = (a * level, b * level, c + a * level * cols + b * level * rows,
                         d * level, e * level, f + d * level * cols + e * level * rows)
    return result


def block_transform(transform, row, col):
    """The transform of the block of cells whose first cell is (row, col)."""
    return level_transforms(transform, [1], (row, col))[1]


def block_bounds(transform, rows, cols, margin=0):
    """(xmin, ymin, xmax, ymax) of a block of cells (row and column slices), `margin` cells wider on every side."""
    xs, ys = zip(*(world(transform, c, r) for r in (rows.start - margin, rows.stop + margin)
                   for c in (cols.start - margin, cols.stop + margin)))
    return min(xs), min(ys), max(xs), max(ys)


def corner_grid(transform, shape):
    """World coordinates (xs, ys) of every cell corner of a grid of `shape`: where each cell lies, rotation
    included."""
    cols, rows = np.meshgrid(np.arange(shape[1] + 1), np.arange(shape[0] + 1))
    return world(transform, cols, rows)
