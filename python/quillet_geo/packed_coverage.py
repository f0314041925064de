"""Covered fractions of many regions' blocks of cells from one native call: each region's parts are moved into
pixel coordinates with its block in rows of its own of one grid, and cut to the block where they reach beyond it,
so that nothing reaches another region's rows (and a long coastline costs only its stretch in the block). The
parts of a region never overlap (its polygons are valid), so their summed coverage is that of the region."""
import numpy as np
import shapely

import quillet

from .coverage import rings
from .transforms import pixels
from .vectors import polygonal


def stacks(heights, widths, budget):
    """Groups of the blocks (`heights`, `widths`), in order, each fitting in one grid of at most `budget` cells when
    they are laid one under another (a block larger than that alone)."""
    group, height, width = [], 0, 0
    for k, (rows, cols) in enumerate(zip(heights.tolist(), widths.tolist())):
        if group and (height + rows) * max(width, cols) > budget:
            yield np.array(group)
            group, height, width = [], 0, 0
        group.append(k)
        height, width = height + rows, max(width, cols)
    yield np.array(group)


def block_fractions(parts, firsts, blocks, chosen, transform, n_threads):
    """(k, covered fractions of its block) for each region k of `chosen` (its parts from `firsts[k]` on, its
    block of cells `blocks[k]`: top, bottom, left, right), from one native call on `n_threads` threads."""
    ends = np.append(firsts[1:], len(parts.owners))
    heights, widths = blocks[chosen, 1] - blocks[chosen, 0], blocks[chosen, 3] - blocks[chosen, 2]
    slots = np.cumsum(heights) - heights
    region = np.repeat(np.arange(len(chosen)), ends[chosen] - firsts[chosen])
    polygons = parts.polygons[np.concatenate([np.arange(firsts[k], ends[k]) for k in chosen])]
    shifts = np.column_stack([blocks[chosen, 2], blocks[chosen, 0] - slots])[region]
    shapely.set_coordinates(polygons, pixels(transform, shapely.get_coordinates(polygons)) - np.repeat(
        shifts, shapely.get_num_coordinates(polygons), axis=0))
    limits = np.column_stack([np.zeros(len(chosen)), slots, widths, slots + heights])[region]
    reach = shapely.bounds(polygons)
    for j in np.flatnonzero(((reach[:, :2] < limits[:, :2]) | (reach[:, 2:] > limits[:, 2:])).any(axis=1)):
        polygons[j] = polygonal(shapely.clip_by_rect(polygons[j], *limits[j]))
    grid = quillet.pixel_coverage(rings(polygons), (1.0, 0.0, 0.0, 0.0, 1.0, 0.0),
                                  (int(heights.sum()), int(widths.max())), n_threads=n_threads)
    for k, slot, height, width in zip(chosen.tolist(), slots.tolist(), heights.tolist(), widths.tolist()):
        yield k, grid[slot:slot + height, :width]
