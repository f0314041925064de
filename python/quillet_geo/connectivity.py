"""Connectivity of georeferenced rasters, tile by tile on Dask, equal to one whole-raster native call.

Every argument and every input is checked before a task is built (parameters, CRS, grids, a sample of the values),
and every tile checks the values it reads before it computes, so that a run either gives the map its parameters
define or stops with one line naming the input.
"""
import os

import dask
import dask.array as da
import numpy as np
import xarray as xr

import quillet

from .errors import ArgumentError, DataError
from .parameters import connectivity_parameters, integer
from .progress import compute_with_progress
from .rasters import FileWindow, check_crs, check_same_grid, open_raster
from .tiles import tile_plan
from .values import FINITE, FLAG, FRACTION, check_sample, check_values

LARGEST_SIDE = 2**24 - 1  # cells per side that the native node ids can address

# The rule each input's values follow, in the order a tile receives them.
RULES = {"condition": FRACTION, "sources": FLAG, "protected": FRACTION, "traversal": FRACTION}


def level_transforms(transform, levels, offsets):
    """Each level's affine transform for a block whose first base cell is global cell `offsets`."""
    a, b, c, d, e, f = tuple(transform)[:6]
    result = {}
    for level in levels:
        rows, cols = offsets[0] // level, offsets[1] // level
        result[level] = (a * level, b * level, c + a * level * cols + b * level * rows,
                         d * level, e * level, f + d * level * cols + e * level * rows)
    return result


def _piece(source, rows, cols):
    """What a tile task receives for one input: a file window to read there, or a slice of an array."""
    if isinstance(source, FileWindow):
        return (source, rows, cols)
    return source[..., rows, cols]


def _values(piece):
    if isinstance(piece, tuple):
        source, rows, cols = piece
        return source.read(rows, cols)
    return np.asarray(piece, dtype=np.float32)


def _tile_mask(condition, sources, protected, tile, protected_min_fraction):
    """True where a cell is not a source; context cells are masked too, except where the mask carries protection."""
    if protected is not None:
        return ~(protected >= protected_min_fraction) | np.isnan(condition)
    mask = np.isnan(condition)
    if sources is not None:
        mask |= sources != 1
    context = np.ones_like(mask)
    context[tile.crop] = False
    return mask | context


def compute_tile(tile, condition, sources, protected, traversal, transgrids, *, transform, is_geo, parameters,
                 labels, n_threads):
    """One native call over the tile and its halo, cropped to the tile, after checking the values it read.

    `labels` names each input for messages: (argument, where) in the order condition, sources, protected,
    traversal, then the transition stacks.
    """
    origin = (tile.read_rows.start, tile.read_cols.start)
    try:
        inputs = [None if p is None else _values(p) for p in (condition, sources, protected, traversal)]
        stacks = [_values(t) for t in transgrids]
        rules = [*RULES.values(), *[FINITE] * len(stacks)]
        for values, rule, (name, where) in zip([*inputs, *stacks], rules, labels):
            if values is not None:
                check_values(values, rule, name, where, origin)
        condition, sources, protected, traversal = inputs
        result = quillet.connectivity(
            condition, _tile_mask(condition, sources, protected, tile, parameters.protected_min_fraction),
            [np.ascontiguousarray(np.moveaxis(s, 0, -1)) for s in stacks] or None,
            level_transforms(transform, parameters.levels, origin), offsets=origin, traversal=traversal,
            pa_to_pa=protected is not None, is_geo=is_geo, n_threads=n_threads, **parameters.native())
    except BaseException as error:
        error.add_note(f"in connectivity tile {tile.index} (rows {tile.rows.start}:{tile.rows.stop}, "
                       f"columns {tile.cols.start}:{tile.cols.stop})")
        raise
    return result[tile.crop]


def tile_threads(n_tiles):
    """Native threads per tile, so that the tiles running at once times their threads make the cores."""
    cores = os.cpu_count() or 1
    try:
        from distributed import get_client

        slots = sum(get_client().nthreads().values())
    except (ImportError, ValueError):
        slots = cores
    return max(1, cores // max(1, min(n_tiles, slots)))


def open_inputs(condition, *, sources=None, protected=None, traversal=None, transgrids=(), band=None):
    """The input rasters, opened and checked: CRS, one grid, and a sample of each one's values.

    Returns (condition, {name: Raster} of the optional single-band inputs, [Raster] of the stacks).
    """
    if sources is not None and protected is not None:
        raise ArgumentError("protected", "give sources or protected, not both: with protected, the protected "
                                         "cells are the sources")
    condition = open_raster(condition, "condition", band=band, band_argument="band")
    check_crs(condition, measures_distances=True)
    if max(condition.shape) > LARGEST_SIDE:
        raise DataError("condition", f"{condition.where} has {condition.shape[0]} x {condition.shape[1]} cells; at "
                                     f"most {LARGEST_SIDE} per side can be computed; cut it into parts")
    given = {"sources": sources, "protected": protected, "traversal": traversal}
    rasters = {name: open_raster(value, name) for name, value in given.items() if value is not None}
    stacks = [open_raster(value, f"transgrids[{k}]", stack=True) for k, value in enumerate(transgrids)]
    for raster in [*rasters.values(), *stacks]:
        check_same_grid(raster, condition)
    for raster, rule in [(condition, FRACTION), *((r, RULES[n]) for n, r in rasters.items()),
                         *((s, FINITE) for s in stacks)]:
        check_sample(raster, rule)
    return condition, rasters, stacks


def connectivity(condition, *, levels, lambdas, max_cost, window_size=3, outer_window=7, window_mode="circular",
                 sources=None, protected=None, protected_min_fraction=0.5, traversal=None, transgrids=(), band=None,
                 tile_size=1024, n_threads=None, progress=False):
    """Connectivity of every cell of `condition` as a float32 DataArray on its grid (NaN where not computed).

    `condition`: a DataArray or a raster path of habitat condition in [0, 1] (no-data cells are never sources);
    `band` (1-based) picks one band of a multi-band raster. It needs a CRS: distances are measured in metres on a
    projected grid, or on the ellipsoid on a longitude/latitude grid.

    `levels`: base cells per level cell, doubling from 1 (e.g. [1, 2, 4]); `window_size` and `outer_window`: odd
    window widths on the finer levels and on the coarsest (the search reach is `outer_window` coarsest cells on
    each side). `lambdas`: distance-decay bandwidths in km. `max_cost` (≥ 1): the cost of crossing a cell of
    traversal value 0 relative to one of value 1; the path weight is w = (1 - max_cost)·t + max_cost, so 10 makes
    fully degraded land ten times as costly to cross as intact habitat, and 1 makes every cell cost its length.

    `sources`: 0/1 or boolean raster, 1 where a value is wanted. `protected`: protected fraction in [0, 1] (or 0/1);
    a cell with a fraction of at least `protected_min_fraction` (0.5 by default, the majority rule) counts as
    protected: protected cells are the sources, and only protected land counts as a destination. `traversal`:
    values in [0, 1] used for the path weight instead of the condition. `transgrids`: rasters with a `band`
    dimension whose values weigh destinations by their similarity to the source. Every raster must lie on the
    condition's grid (the same CRS and shape, transforms equal within 1e-6 of a cell).

    The raster is cut into `tile_size` tiles from its origin; each tile is read with a halo of the coarsest
    window's reach and computed by one native call placed at its global offsets, so the values equal one
    whole-raster call. Lazy (dask-backed, one chunk per tile) when `condition` is dask-backed or a path.
    """
    parameters = connectivity_parameters(levels=levels, lambdas=lambdas, max_cost=max_cost, window_size=window_size,
                                         outer_window=outer_window, window_mode=window_mode, tile_size=tile_size,
                                         protected_min_fraction=protected_min_fraction)
    if n_threads is not None:
        n_threads = integer("n_threads", n_threads, minimum=1)
    condition, rasters, stacks = open_inputs(condition, sources=sources, protected=protected, traversal=traversal,
                                             transgrids=transgrids, band=band)
    readers = {name: raster.reader() for name, raster in {"condition": condition, **rasters}.items()}
    stack_readers = [s.reader() for s in stacks]
    labels = [(name, raster.where if raster else None)
              for name, raster in (("condition", condition), *((n, rasters.get(n)) for n in list(RULES)[1:]))]
    labels += [(s.name, s.where) for s in stacks]

    plan = tile_plan(condition.shape, parameters.tile_size, parameters.reach(), parameters.coarsest)
    threads = n_threads if n_threads is not None else tile_threads(sum(map(len, plan)))
    task = dask.delayed(compute_tile, pure=True)
    options = dict(transform=condition.array.rio.transform(), is_geo=bool(condition.array.rio.crs.is_geographic),
                   parameters=parameters, labels=labels, n_threads=threads)
    blocks = []
    for row in plan:
        blocks.append([])
        for tile in row:
            pieces = [None if readers.get(name) is None else _piece(readers[name], tile.read_rows, tile.read_cols)
                      for name in RULES]
            stack_pieces = [_piece(s, tile.read_rows, tile.read_cols) for s in stack_readers]
            key = f"connectivity-tile-{dask.base.tokenize(tile, pieces, stack_pieces, options)}"
            value = task(tile, *pieces, stack_pieces, **options, dask_key_name=key)
            shape = (tile.rows.stop - tile.rows.start, tile.cols.stop - tile.cols.start)
            blocks[-1].append(da.from_delayed(value, shape, np.float32))
    result = like(condition.array, da.block(blocks), "connectivity")
    if condition.path is not None or isinstance(condition.array.data, da.Array):
        return result
    return compute_with_progress(result, progress, sum(map(len, plan)))


def like(template, data, name):
    """`data` as a DataArray with the template's dims, coordinates, CRS and transform, NaN as nodata."""
    coords = {k: v for k, v in template.coords.items() if set(v.dims) <= set(template.dims)}
    result = xr.DataArray(data, dims=template.dims, coords=coords, name=name)
    result = result.rio.write_crs(template.rio.crs) if template.rio.crs else result
    return result.rio.write_transform(template.rio.transform()).rio.write_nodata(np.nan, encoded=True)
