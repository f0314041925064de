"""Connectivity of georeferenced rasters, tile by tile on Dask, equal to one whole-raster native call."""
import os

import dask
import dask.array as da
import numpy as np
import xarray as xr

import quillet

from .progress import compute_with_progress
from .rasters import FileWindow, check_same_grid, nodata_as_nan, open_raster, reader
from .tiles import tile_plan, window_reach


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


def _tile_mask(condition, sources, protected, tile):
    """True where a cell is not a source; context cells are masked too, except where the mask carries protection."""
    if protected is not None:
        return ~(protected > 0) | np.isnan(condition)
    mask = np.isnan(condition)
    if sources is not None:
        mask |= ~(sources > 0)
    context = np.ones_like(mask)
    context[tile.crop] = False
    return mask | context


def compute_tile(tile, condition, sources, protected, traversal, transgrids, *, transform, options, n_threads):
    """One native call over the tile and its halo, cropped to the tile."""
    try:
        condition = _values(condition)
        sources, protected, traversal = (None if p is None else _values(p) for p in (sources, protected, traversal))
        stacks = [np.ascontiguousarray(np.moveaxis(_values(t), 0, -1)) for t in transgrids]
        offsets = (tile.read_rows.start, tile.read_cols.start)
        result = quillet.connectivity(
            condition, _tile_mask(condition, sources, protected, tile), stacks or None,
            level_transforms(transform, options["levels"], offsets), offsets=offsets, traversal=traversal,
            pa_to_pa=protected is not None, n_threads=n_threads, **options)
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


def connectivity(condition, *, levels, lambdas, max_cost, window_size=3, outer_window=7, window_mode="circular",
                 sources=None, protected=None, traversal=None, transgrids=(), tile_size=1024, n_threads=None,
                 progress=False):
    """Connectivity of every cell of `condition` (a DataArray or a raster path) as a float32 DataArray.

    The raster is cut into `tile_size` tiles from its origin; each tile is read with a halo of the coarsest
    window's reach and computed by one native call placed at its global offsets, so the values equal one
    whole-raster call. Lazy (dask-backed, one chunk per tile) when `condition` is dask-backed or a path.
    """
    if sources is not None and protected is not None:
        raise ValueError("sources and protected: give one or the other, not both")
    levels = sorted(int(level) for level in levels)
    condition = open_raster(condition, "condition", tile_size)
    inputs = {"sources": sources, "protected": protected, "traversal": traversal}
    rasters = {name: open_raster(value, name, tile_size) for name, value in inputs.items() if value is not None}
    stacks = [open_raster(value, f"transgrids[{k}]", tile_size, bands=True) for k, value in enumerate(transgrids)]
    for name, array in [*rasters.items(), *((f"transgrids[{k}]", s) for k, s in enumerate(stacks))]:
        check_same_grid(array, name, condition)
    lazy = isinstance(condition.data, da.Array)
    readers = {name: reader(array) if name == "condition" or array.attrs.get("quillet_path") else
               nodata_as_nan(array).data for name, array in {"condition": condition, **rasters}.items()}
    if not isinstance(readers["condition"], FileWindow):
        readers["condition"] = nodata_as_nan(condition).data
    stack_readers = [nodata_as_nan(s).data for s in stacks]

    plan = tile_plan(condition.shape, tile_size, window_reach(levels, window_size, outer_window), levels[-1])
    threads = n_threads if n_threads is not None else tile_threads(sum(map(len, plan)))
    options = dict(levels=levels, lambdas=list(lambdas), is_geo=bool(condition.rio.crs and condition.rio.crs.is_geographic),
                   max_cost=max_cost, window_size=window_size, outer_window=outer_window, window_mode=window_mode)
    task = dask.delayed(compute_tile, pure=True)
    blocks = []
    for row in plan:
        blocks.append([])
        for tile in row:
            pieces = [None if readers.get(name) is None else _piece(readers[name], tile.read_rows, tile.read_cols)
                      for name in ("condition", "sources", "protected", "traversal")]
            stack_pieces = [_piece(s, tile.read_rows, tile.read_cols) for s in stack_readers]
            value = task(tile, *pieces, stack_pieces, transform=condition.rio.transform(), options=options,
                         n_threads=threads, dask_key_name=f"connectivity-tile-{dask.base.tokenize(tile, pieces, stack_pieces, options)}")
            shape = (tile.rows.stop - tile.rows.start, tile.cols.stop - tile.cols.start)
            blocks[-1].append(da.from_delayed(value, shape, np.float32))
    result = _like(condition, da.block(blocks), "connectivity")
    if lazy:
        return result
    return compute_with_progress(result, progress, sum(map(len, plan)))


def _like(template, data, name):
    """`data` as a DataArray with the template's dims, coordinates, CRS and transform, NaN as nodata."""
    coords = {k: v for k, v in template.coords.items() if set(v.dims) <= set(template.dims)}
    result = xr.DataArray(data, dims=template.dims, coords=coords, name=name)
    result = result.rio.write_crs(template.rio.crs) if template.rio.crs else result
    return result.rio.write_transform(template.rio.transform()).rio.write_nodata(np.nan, encoded=True)
