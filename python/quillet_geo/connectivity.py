"""Connectivity of georeferenced rasters, tile by tile, equal to one whole-raster native call.

Every argument and every input is checked before a task is built (parameters, CRS, grids, a sample of the values),
and every tile checks the values it reads before it computes, so that a run either gives the map its parameters
define or stops with one line naming the input.
"""
from dataclasses import dataclass

import numpy as np

import quillet

from .connectivity_parameters import DEFAULTS, ConnectivityParameters, connectivity_parameters
from .cpus import tile_threads
from .errors import ArgumentError, DataError
from .jobs import TiledJob, grid_of, job_result, values_of, window_piece
from .parameters import integer
from .progress_bars import part_progress
from .rasters import aligned, check_crs, check_resampling, check_same_grid, open_raster
from .reach import check_bandwidths, search_reach
from .tiles import tile_plan
from .transforms import coefficients, level_transforms
from .values import FINITE, FLAG, FRACTION, check_sample, check_values

LARGEST_SIDE = 2**24 - 1  # cells per side that the native node ids can address

# The rule each input's values follow, in the order a tile receives them.
RULES = {"condition": FRACTION, "sources": FLAG, "protected": FRACTION, "traversal": FRACTION}


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


@dataclass(frozen=True)
class ConnectivityComputation:
    """Computes one tile: one native call over the tile and its halo, cropped to the tile, after checking the
    values it read. `labels` names each input for messages and says whether a common no-data value far from its
    other values is taken for an undeclared one: (argument, where, sentinels) in the order condition, sources,
    protected, traversal, then the transition stacks."""

    transform: tuple
    is_geo: bool
    parameters: ConnectivityParameters
    labels: tuple
    n_threads: int

    def __call__(self, tile, condition, sources, protected, traversal, *transgrids):
        origin = (tile.read_rows.start, tile.read_cols.start)
        try:
            inputs = [None if p is None else values_of(p) for p in (condition, sources, protected, traversal)]
            stacks = [values_of(t) for t in transgrids]
            rules = [*RULES.values(), *[FINITE] * len(stacks)]
            for values, rule, (name, where, sentinels) in zip([*inputs, *stacks], rules, self.labels):
                if values is not None:
                    check_values(values, rule, name, where, origin, sentinels=sentinels)
            condition, sources, protected, traversal = inputs
            with part_progress(tile.index):
                result = quillet.connectivity(
                    condition, _tile_mask(condition, sources, protected, tile, self.parameters.protected_min_fraction),
                    [np.ascontiguousarray(np.moveaxis(s, 0, -1)) for s in stacks] or None,
                    level_transforms(self.transform, self.parameters.levels, origin), offsets=origin,
                    traversal=traversal, pa_to_pa=protected is not None, is_geo=self.is_geo,
                    n_threads=self.n_threads, **self.parameters.native())
        except BaseException as error:
            error.add_note(f"in connectivity tile {tile.index} (rows {tile.rows.start}:{tile.rows.stop}, "
                           f"columns {tile.cols.start}:{tile.cols.stop})")
            raise
        return result[tile.crop]


@dataclass(frozen=True)
class ConnectivityJob(TiledJob):
    """Reads each tile's window plus halo of every input: `readers` in the computation's order (None where
    absent)."""

    readers: tuple = ()

    def pieces(self, tile):
        return tuple(None if r is None else window_piece(r, tile.read_rows, tile.read_cols) for r in self.readers)


def open_inputs(condition, *, sources=None, protected=None, traversal=None, transgrids=(), band=None, align=None,
                nodata=None):
    """The input rasters, opened and checked: CRS, one grid (or warped onto it, with `align`), and a sample of each
    one's values, which must hold data somewhere. Returns (condition, {name: Raster} of the optional single-band
    inputs, [Raster] of the stacks).
    """
    if sources is not None and protected is not None:
        raise ArgumentError("protected", "give sources or protected, not both: with protected, the protected "
                                         "cells are the sources")
    if align is not None:
        check_resampling(align)
    condition = open_raster(condition, "condition", band=band, band_argument="band", nodata=nodata)
    check_crs(condition, measures_distances=True)
    if max(condition.shape) > LARGEST_SIDE:
        raise DataError("condition", f"{condition.where} has {condition.shape[0]} x {condition.shape[1]} cells; at "
                                     f"most {LARGEST_SIDE} per side can be computed; cut it into parts")
    given = {"sources": sources, "protected": protected, "traversal": traversal}
    rasters = {name: open_raster(value, name, nodata=nodata) for name, value in given.items() if value is not None}
    stacks = [open_raster(value, f"transgrids[{k}]", stack=True, nodata=nodata) for k, value in enumerate(transgrids)]
    if align is None:
        for raster in [*rasters.values(), *stacks]:
            check_same_grid(raster, condition)
    else:
        rasters = {name: aligned(r, condition, "mode" if name == "sources" else align) for name, r in rasters.items()}
        stacks = [aligned(s, condition, align) for s in stacks]
    for raster, rule in [(condition, FRACTION), *((r, RULES[n]) for n, r in rasters.items()),
                         *((s, FINITE) for s in stacks)]:
        check_sample(raster, rule, require_data=True)
    return condition, rasters, stacks


def connectivity(condition, *, levels, lambdas, max_cost, window_size=DEFAULTS["window_size"],
                 outer_window=DEFAULTS["outer_window"], window_mode=DEFAULTS["window_mode"], sources=None,
                 protected=None, protected_min_fraction=DEFAULTS["protected_min_fraction"], traversal=None,
                 transgrids=(), band=None, align=None, nodata=None, tile_size=DEFAULTS["tile_size"], n_threads=None,
                 progress=False):
    """Connectivity of every cell of `condition` as a float32 DataArray on its grid (NaN where not computed).

    `condition`: a DataArray or a raster path of habitat condition in [0, 1] (no-data cells are never sources);
    `band` (1-based) picks one band of a multi-band raster. It needs a CRS: distances are measured in metres on a
    projected grid, or on a sphere of radius 6371 km on a longitude/latitude grid.

    `levels`: base cells per level cell, doubling from 1 (e.g. [1, 2, 4]); `window_size` and `outer_window`: odd
    window widths on the finer levels and on the coarsest (the search reach is `outer_window` coarsest cells on
    each side; the result's attrs tell it in cells and metres, per axis on a longitude/latitude grid). `lambdas`:
    distance-decay bandwidths in km; a warning line names those that decay within one cell, or barely decay within
    the reach (`quillet_geo.reach` says when). `max_cost` (≥ 1): the cost of crossing a cell of traversal value 0
    relative to one of value 1; the path weight is w = (1 - max_cost)·t + max_cost, so 10 makes fully degraded
    land ten times as costly to cross as intact habitat, and 1 makes every cell cost its length.

    The value of a source is the mean over `lambdas` of R(λ) = Σ a·q·p·exp(-c/λ) / Σ a·exp(-s/λ), summed over the
    destinations its windows reach: a is a destination's area in the windows, q its condition, p its protected
    fraction (1 without `protected`), c the cost of its least-cost path and s the length of its shortest path, in
    km. It is the habitat within reach, each part counted as easily as it is reached, against the same land counted
    as if all of it were intact habitat: in [0, 1] (up to the rounding told below), 1 where all land within reach is
    intact habitat, lower as condition falls and as degraded land makes the paths costlier, 0 where no land within
    reach has condition (or, with `protected`, is protected). With `transgrids`, destinations count by their
    similarity to the source under a Gaussian decay instead, against the first stack's similarity, and the value is
    not bounded by 1.

    On fine grids the value can pass 1 slightly: s adds up edge lengths each rounded to a hundredth of a kilometre,
    while c adds up the exact costs. On 28.5 m cells a straight step counts 28.5 m in c and 30 m in s, a diagonal
    step 40.3 m and 40 m, so on a uniform landscape of condition 1 each destination counts exp((s - c)/λ), a little
    above or below 1: its values lie between 0.9984 and 1.0071 with levels 1 to 8 and lambdas 0.5 1 2. The
    smaller the bandwidth against the rounding, the larger the departure (up to 1.04 with lambdas 0.1).

    `sources`: 0/1 or boolean raster, 1 where a value is wanted. `protected`: protected fraction in [0, 1] (or 0/1);
    a cell with a fraction of at least `protected_min_fraction` (by default the majority rule) counts as
    protected: protected cells are the sources, and only protected land counts as a destination. `traversal`:
    values in [0, 1] used for the path weight instead of the condition. `transgrids`: rasters with a `band`
    dimension whose values weigh destinations by their similarity to the source. Every raster must hold data
    somewhere and lie on the condition's grid (the same CRS and shape, transforms equal within 1e-6 of a cell),
    unless `align` names a resampling method ("bilinear", "average", "nearest", "cubic", "mode", ...): then the
    others are warped onto it as each tile reads them, `sources` (categorical) with "mode", the others (fractions
    and values) with `align`; a 0/1 protected raster averaged then counts from `protected_min_fraction`, the
    majority rule. A raster that does not overlap the condition is refused. `nodata`: the no-data value of the
    rasters that declare none (such as -9999); a raster's own declared value stands.

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
                                             transgrids=transgrids, band=band, align=align, nodata=nodata)
    ordered = [condition, *(rasters.get(name) for name in list(RULES)[1:]), *stacks]
    tiles = tuple(t for row in tile_plan(condition.shape, parameters.tile_size, parameters.reach(),
                                         parameters.coarsest) for t in row)
    computation = ConnectivityComputation(
        transform=coefficients(condition.array.rio.transform()), is_geo=bool(condition.array.rio.crs.is_geographic),
        parameters=parameters, labels=tuple((name, r.where, not r.has_nodata_value) if r else (name, None, True)
                                            for name, r in zip([*RULES, *(s.name for s in stacks)], ordered)),
        n_threads=n_threads or tile_threads(len(tiles)))
    recorded = {**parameters.recorded(), "band": band, "align": align}
    if nodata is not None:
        recorded["nodata"] = float(nodata)
    if protected is not None:
        recorded["protected_min_fraction"] = parameters.protected_min_fraction
    reach = search_reach(condition, parameters)
    check_bandwidths(parameters, reach, transgrids=bool(stacks))
    job = ConnectivityJob(
        name="connectivity", template=grid_of(condition.array), tiles=tiles, computation=computation,
        parameters=recorded, notes=reach.notes(), inputs={r.name: r.path or r.array for r in ordered if r is not None},
        readers=tuple(None if r is None else r.reader() for r in ordered))
    return job_result(job, progress)
