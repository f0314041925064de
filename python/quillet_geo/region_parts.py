"""The polygons of a batch's regions as a batch's computation walks them: each part with its region and the block of
cells its bounds reach, and the raster's windows (`tile_size` cells per side, from its origin) that the parts
reach, each with the parts that reach it."""
from dataclasses import dataclass

import numpy as np
import shapely

from .transforms import pixels


@dataclass(frozen=True)
class Parts:
    """Polygons of a batch's regions: each with its region (`owners`, a position in the batch) and the cells its
    bounds reach, cut to the raster (`top`, `bottom`, `left`, `right`: end rows and columns excluded)."""

    polygons: np.ndarray
    owners: np.ndarray
    top: np.ndarray
    bottom: np.ndarray
    left: np.ndarray
    right: np.ndarray

    def __getitem__(self, which):
        return Parts(*(getattr(self, name)[which] for name in self.__dataclass_fields__))


def cells_reached(bounds, transform, shape):
    """(top, bottom, left, right) of the cells that world bounding boxes (n, 4) reach, cut to a raster of `shape`;
    an empty range where a box misses it. Corners map to cells as the native coverage maps vertices."""
    corners = np.stack([bounds[:, [0, 1]], bounds[:, [0, 3]], bounds[:, [2, 1]], bounds[:, [2, 3]]], axis=1)
    cols, rows = np.moveaxis(pixels(transform, corners.reshape(-1, 2)).reshape(-1, 4, 2), -1, 0)
    top, bottom = (np.clip(v, 0, shape[0]).astype(np.int64) for v in (np.floor(rows.min(1)), np.ceil(rows.max(1))))
    left, right = (np.clip(v, 0, shape[1]).astype(np.int64) for v in (np.floor(cols.min(1)), np.ceil(cols.max(1))))
    return top, bottom, left, right


def windows_reached(geometries, transform, shape, size):
    """(rows, columns, parts) of every window that the geometries' parts reach, row by row, the parts in region
    order (a region is its position in `geometries`)."""
    polygons, owners = shapely.get_parts(geometries, return_index=True)
    polygons, owners = polygons[~shapely.is_empty(polygons)], owners[~shapely.is_empty(polygons)]
    parts = Parts(polygons, owners, *cells_reached(shapely.bounds(polygons), transform, shape))
    parts = parts[(parts.top < parts.bottom) & (parts.left < parts.right)]
    first_row, first_col = parts.top // size, parts.left // size
    across = (parts.right - 1) // size - first_col + 1
    counts = ((parts.bottom - 1) // size - first_row + 1) * across
    part = np.repeat(np.arange(len(counts)), counts)
    step = np.arange(len(part)) - np.repeat(np.cumsum(counts) - counts, counts)
    window_row, window_col = first_row[part] + step // across[part], first_col[part] + step % across[part]
    order = np.lexsort((parts.owners[part], window_col, window_row))
    part, window_row, window_col = part[order], window_row[order], window_col[order]
    starts = np.flatnonzero(np.diff(window_row, prepend=-1) | np.diff(window_col, prepend=-1))
    for start, end in zip(starts, [*starts[1:], len(part)]):
        i, j = window_row[start] * size, window_col[start] * size
        yield (slice(i, min(i + size, shape[0])), slice(j, min(j + size, shape[1])), parts[part[start:end]])
