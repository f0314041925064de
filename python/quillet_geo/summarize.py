"""Zonal statistics: for every region (a feature of a vector file or GeoDataFrame), statistics of a raster's cells
weighted by the exact fraction of each cell that the region covers (their definitions: `summarize`'s docstring).

Regions are the unit of work. They are put in batches of neighbours (in the order of a Hilbert curve through their
centres), and a batch is what the run engine computes, keeps and resumes: its values are its regions' statistics, a
row each. A batch walks the raster's windows (`tile_size` cells per side, from its origin) that its regions' parts
reach, so that memory is bounded by a window whatever a region's size. Each window's values are read once for all
the batch's regions there, and their covered fractions come from one native call: each region's parts there are cut
to its block of cells and laid in rows of their own of one grid. The parts of a region never overlap (a region's
polygons are made valid first), so their summed coverage is that of the region; different regions are independent,
overlapping or not.
"""
import os
import threading
import warnings
from dataclasses import dataclass, field, replace

import geopandas
import numpy as np
import pandas
import rasterio
import rasterio.errors
import shapely
import xarray as xr
from rasterio.enums import MaskFlags
from rasterio.windows import Window

import quillet

from .areas import cell_areas
from .coverage import rings
from .cpus import available_cpus
from .errors import ArgumentError, ArgumentTypeError
from .executors import tile_results
from .jobs import grid_of, read_window
from .parameters import LARGEST_TILE, integer
from .progress_bars import RunProgress
from .rasters import FileWindow, check_crs, check_same_grid, is_path, open_raster
from .run import run_job
from .statistics import AREAS, DEFAULT, HIGH, LOW, WEIGHT, BatchStatistics, columns, parse_statistics
from .tables import check_table_path, write_table
from .values import FINITE, check_values
from .vectors import polygonal, read_polygons, read_vector_file

BATCH_CELLS = 2**22  # bounding-box cells of a batch's regions from which the next region starts a new batch
BATCH_REGIONS = 1000
READ_CACHE = 256 * 2**20  # bytes of GDAL's block cache while batches read: enough for the blocks neighbours share
_held = threading.local()  # the raster files each thread holds open


@dataclass(frozen=True)
class Batch:
    """Regions computed together: `regions` are their positions in the regions' order."""

    index: tuple
    regions: np.ndarray


class HeldFileWindow(FileWindow):
    """A raster file read window by window through a dataset that each thread holds open, so that GDAL's block cache
    (`READ_CACHE`) serves again the blocks that the windows of neighbouring batches share instead of decompressing
    them again."""

    def read(self, rows, cols):
        datasets = vars(_held).setdefault("datasets", {})
        window = Window(cols.start, rows.start, cols.stop - cols.start, rows.stop - rows.start)
        try:
            with rasterio.Env(GDAL_CACHEMAX=READ_CACHE):
                if self.path not in datasets:
                    datasets[self.path] = rasterio.open(self.path)
                return _without_nodata(datasets[self.path], self.band, window)
        except rasterio.errors.RasterioError:
            datasets.pop(self.path, None)
            return super().read(rows, cols)  # opens the file afresh, and says what is wrong if it fails again


def _without_nodata(dataset, band, window):
    """A window of a band (None: every band) as float32, NaN where it has no data. Where no-data is only a value
    (the usual case), it is replaced in place rather than through a mask."""
    bands = dataset.indexes if band is None else [band]
    if any(dataset.mask_flag_enums[k - 1] not in ([MaskFlags.nodata], [MaskFlags.all_valid]) for k in bands):
        return np.ma.filled(dataset.read(band, window=window, masked=True).astype(np.float32), np.nan)
    values = dataset.read(band, window=window, out_dtype=np.float32)
    for plane, k in zip(values.reshape(len(bands), *values.shape[-2:]), bands):
        nodata = dataset.nodatavals[k - 1]
        if nodata is not None and not np.isnan(nodata):
            plane[plane == np.float32(nodata)] = np.nan
    return values


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


def pixels(transform, xy):
    """World coordinates (n, 2) as (column, row) pixel coordinates under an affine transform, mapped as the native
    coverage maps vertices."""
    a, b, c, d, e, f = transform
    dx, dy = xy[:, 0] - c, xy[:, 1] - f
    det = a * e - b * d
    return np.column_stack(((e * dx - b * dy) / det, (a * dy - d * dx) / det))


@dataclass(frozen=True)
class SummaryKernel:
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
            regions = BatchStatistics(self.statistics, self.bands, len(geometries))
            for rows, cols, parts in self._windows(geometries):
                self._window(rows, cols, parts, regions, values, weights)
            return regions.rows()
        except BaseException as error:
            error.add_note(f"in summary batch {batch.index[0]} ({len(batch.regions)} regions)")
            raise

    def _windows(self, geometries):
        """(rows, columns, parts) of every window that parts reach, row by row, the parts in region order."""
        polygons, owners = shapely.get_parts(geometries, return_index=True)
        polygons, owners = polygons[~shapely.is_empty(polygons)], owners[~shapely.is_empty(polygons)]
        parts = Parts(polygons, owners, *cells_reached(shapely.bounds(polygons), self.transform, self.shape))
        parts = parts[(parts.top < parts.bottom) & (parts.left < parts.right)]
        size = self.tile_size
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
            yield (slice(i, min(i + size, self.shape[0])), slice(j, min(j + size, self.shape[1])),
                   parts[part[start:end]])

    def _window(self, rows, cols, parts, regions, values, weights):
        """Feed each region with parts in the window its covered cells there, the window's values read once."""
        firsts = np.flatnonzero(np.diff(parts.owners, prepend=-1))  # each region's first part
        blocks = np.column_stack([np.maximum(np.minimum.reduceat(parts.top, firsts), rows.start),
                                  np.minimum(np.maximum.reduceat(parts.bottom, firsts), rows.stop),
                                  np.maximum(np.minimum.reduceat(parts.left, firsts), cols.start),
                                  np.minimum(np.maximum.reduceat(parts.right, firsts), cols.stop)])
        top, left = blocks[:, 0].min(), blocks[:, 2].min()
        read = (slice(top, blocks[:, 1].max()), slice(left, blocks[:, 3].max()))
        data = read_window(values, *read).reshape(self.bands, *(s.stop - s.start for s in read))
        weight = None if weights is None else read_window(weights, *read)
        areas = None if self.areas is None else self.areas.of_rows(read[0])
        for chosen in _stacks(blocks[:, 1] - blocks[:, 0], blocks[:, 3] - blocks[:, 2], self.tile_size ** 2):
            for k, fractions in self._coverage(parts, firsts, blocks, chosen):
                covered = fractions > 0
                if not covered.any():
                    continue
                local = (slice(blocks[k, 0] - top, blocks[k, 1] - top), slice(blocks[k, 2] - left, blocks[k, 3] - left))
                group = regions.add(parts.owners[firsts[k]], np.stack([band[local][covered] for band in data]),
                                    fractions[covered], None if weight is None else weight[local][covered],
                                    None if areas is None else np.broadcast_to(areas[local[0], None],
                                                                               covered.shape)[covered])
                if np.isinf(group[[LOW, HIGH, WEIGHT]]).any():
                    self._check((data[(slice(None), *local)], None if weight is None else weight[local]),
                                (blocks[k, 0], blocks[k, 2]))

    def _coverage(self, parts, firsts, blocks, chosen):
        """(k, covered fractions of its block) for each region k of `chosen` (its parts from `firsts[k]` on, its
        block of cells `blocks[k]`: top, bottom, left, right), from one native call: the regions' parts are moved
        into pixel coordinates with each region's block in rows of its own of one grid, and cut to the block where
        they reach beyond it, so that nothing reaches another region's rows (and a long coastline costs only its
        stretch in the block)."""
        ends = np.append(firsts[1:], len(parts.owners))
        heights, widths = blocks[chosen, 1] - blocks[chosen, 0], blocks[chosen, 3] - blocks[chosen, 2]
        slots = np.cumsum(heights) - heights
        region = np.repeat(np.arange(len(chosen)), ends[chosen] - firsts[chosen])
        polygons = parts.polygons[np.concatenate([np.arange(firsts[k], ends[k]) for k in chosen])]
        shifts = np.column_stack([blocks[chosen, 2], blocks[chosen, 0] - slots])[region]
        shapely.set_coordinates(polygons, pixels(self.transform, shapely.get_coordinates(polygons)) - np.repeat(
            shifts, shapely.get_num_coordinates(polygons), axis=0))
        limits = np.column_stack([np.zeros(len(chosen)), slots, widths, slots + heights])[region]
        reach = shapely.bounds(polygons)
        for j in np.flatnonzero(((reach[:, :2] < limits[:, :2]) | (reach[:, 2:] > limits[:, 2:])).any(axis=1)):
            polygons[j] = polygonal(shapely.clip_by_rect(polygons[j], *limits[j]))
        grid = quillet.pixel_coverage(rings(polygons), (1.0, 0.0, 0.0, 0.0, 1.0, 0.0),
                                      (int(heights.sum()), int(widths.max())), n_threads=self.n_threads)
        for k, slot, height, width in zip(chosen.tolist(), slots.tolist(), heights.tolist(), widths.tolist()):
            yield k, grid[slot:slot + height, :width]

    def _check(self, blocks, origin):
        """Refuse the infinite values or weights of `blocks` (read from `origin`), naming the first. The extremes and
        sums of the regions' covered cells show them, so that blocks need no other pass to be checked."""
        for block, (name, where) in zip(blocks, self.labels):
            if block is not None:
                check_values(block, FINITE, name, where, origin)


def _stacks(heights, widths, budget):
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


@dataclass(frozen=True)
class SummaryJob:
    """A summary as the run engine runs it (the part protocol of `jobs.TiledJob`): its parts, `tiles`, are batches
    of regions, and a part's values are its regions' statistics, a row each. `geometries` are the regions' valid
    polygonal geometries in the raster's CRS; `readers` give the values and the weights (None without)."""

    unit, dtype, parts = "region", np.float64, ("batch", "batches")

    name: str
    template: xr.DataArray
    tiles: tuple
    kernel: SummaryKernel
    parameters: dict
    inputs: dict = field(repr=False)
    geometries: np.ndarray = field(repr=False)
    readers: tuple = field(repr=False)

    @property
    def shape(self):
        return self.template.shape

    def size(self, batch):
        return len(batch.regions)

    def shape_of(self, batch):
        return (len(batch.regions), len(self.kernel.columns))

    def compute(self, batch):
        return self.kernel(batch, self.geometries[batch.regions], *self.readers)


def batches(geometries, transform, shape):
    """The regions in batches of neighbours: in the order of a Hilbert curve through their centres (those without
    polygons last), a new batch starting where the bounding-box cells of a batch would exceed `BATCH_CELLS` or its
    regions `BATCH_REGIONS`, so that a region larger than that is a batch of its own."""
    present = np.flatnonzero(~shapely.is_empty(geometries))
    bounds = shapely.bounds(geometries[present])
    top, bottom, left, right = cells_reached(bounds, transform, shape)
    order = np.argsort(_hilbert(shapely.points((bounds[:, 0] + bounds[:, 2]) / 2, (bounds[:, 1] + bounds[:, 3]) / 2)),
                       kind="stable")
    positions = np.concatenate([present[order], np.flatnonzero(shapely.is_empty(geometries))])
    costs = np.concatenate([np.maximum((bottom - top) * (right - left), 1)[order],
                            np.ones(len(positions) - len(present), np.int64)])
    groups, start, load = [], 0, 0
    for k, cost in enumerate(costs.tolist()):
        if k > start and (load + cost > BATCH_CELLS or k - start == BATCH_REGIONS):
            groups.append(positions[start:k])
            start, load = k, 0
        load += cost
    groups.append(positions[start:])
    return tuple(Batch((k,), group) for k, group in enumerate(groups))


def _hilbert(points):
    """Each point's place along a Hilbert curve through the points' bounding box."""
    if len(points) < 2:
        return np.zeros(len(points))
    return geopandas.GeoSeries(points).hilbert_distance().to_numpy()


def _regions_frame(regions, layer, where):
    """The regions' features as a GeoDataFrame, and the file they were read from (None for a frame)."""
    if is_path(regions):
        return read_vector_file(regions, "regions", layer=layer, where=where), os.fspath(regions)
    if isinstance(regions, geopandas.GeoSeries):
        return geopandas.GeoDataFrame(geometry=regions), None
    if isinstance(regions, geopandas.GeoDataFrame):
        return regions, None
    raise ArgumentTypeError("regions", f"expected a GeoDataFrame or a vector file path, got {type(regions).__name__}")


def _keys(frame, by):
    """The table's index: the column `by` of the regions, or their own index."""
    if by is None:
        return frame.index.rename(frame.index.name or "region")
    if by not in frame.columns or by == frame.geometry.name:
        fields = ", ".join(str(c) for c in frame.columns if c != frame.geometry.name) or "none"
        raise ArgumentError("by", f"{by!r} is not a field of the regions (their fields: {fields})")
    return pandas.Index(frame[by].to_numpy(), name=by)


def summary_job(values, regions, *, stats=DEFAULT, by=None, weights=None, band=None, layer=None, where=None,
                assume_crs=None, tile_size=1024):
    """The checked `SummaryJob` of `summarize`'s arguments, and the index of its table."""
    statistics = parse_statistics(stats, weighted=weights is not None)
    tile_size = integer("tile_size", tile_size, minimum=1, maximum=LARGEST_TILE)
    raster = open_raster(values, "values", band=band, band_argument="band", stack=band is None)
    needs_areas = any(s.name in AREAS for s in statistics)
    check_crs(raster, measures_distances=needs_areas)
    weight = None if weights is None else open_raster(weights, "weights")
    if weight is not None:
        check_same_grid(weight, raster)
    frame, source = _regions_frame(regions, layer, where)
    keys = _keys(frame, by)
    geometries = read_polygons(frame, raster.array.rio.crs, name="regions", assume_crs=assume_crs,
                               read_from=source).to_numpy()
    transform = tuple(raster.array.rio.transform())[:6]
    tiles = batches(geometries, transform, raster.shape)
    if not _any_reaches(geometries, transform, raster.shape):
        warnings.warn(f"regions: none of the {len(geometries)} regions reaches the raster (bounds "
                      f"{tuple(round(v, 6) for v in raster.array.rio.bounds())}); their counts are 0", stacklevel=3)
    kernel = SummaryKernel(
        transform=transform, shape=raster.shape, tile_size=tile_size, statistics=statistics,
        bands=raster.array.sizes.get("band", 1) if raster.array.ndim == 3 else 1,
        areas=cell_areas(raster) if needs_areas else None,
        labels=(("values", raster.where), ("weights", weight.where if weight else None)), n_threads=1)
    job = SummaryJob(
        name="summarize", template=grid_of(raster.array), tiles=tiles, kernel=kernel,
        parameters={"stats": [s.label for s in statistics], "by": by, "band": band, "layer": layer, "where": where,
                    "assume_crs": assume_crs, "tile_size": tile_size},
        inputs={"values": raster.path or raster.array, "regions": source or geometries,
                **({"weights": weight.path or weight.array} if weight else {})},
        geometries=geometries, readers=(_reader(raster), weight and _reader(weight)))
    return job, keys


def _reader(raster):
    """What a batch reads a raster's windows from. No sample is checked up front: any finite value is a value, and
    the values and weights that regions cover are checked as they are summarized."""
    if raster.path is None:
        return raster.reader()
    return HeldFileWindow(raster.path, raster.band, raster.name)


def _any_reaches(geometries, transform, shape):
    present = geometries[~shapely.is_empty(geometries)]
    top, bottom, left, right = cells_reached(shapely.bounds(present), transform, shape)
    return bool(((top < bottom) & (left < right)).any())


def summary_table(job, keys, part_values):
    """The table of a summary: a row per region in the regions' order, indexed by `keys`, from its batches' values
    (`part_values(batch)`)."""
    table = np.full((len(keys), len(job.kernel.columns)), np.nan)
    for batch in job.tiles:
        table[batch.regions] = part_values(batch)
    return pandas.DataFrame(table, index=keys, columns=job.kernel.columns)


def summarize(values, regions, *, stats=DEFAULT, by=None, weights=None, band=None, layer=None, where=None,
              assume_crs=None, tile_size=1024, n_threads=None, progress=False):
    """Statistics of `values` over each region of `regions`, weighted by the exact fraction of every cell the region
    covers, as a pandas DataFrame: a row per region in the regions' order, indexed by the regions' field `by` (or
    by their index), a column per statistic.

    `values`: a DataArray or raster path; every band of it gets its columns (`mean_b2`) unless `band` (1-based)
    picks one. No-data cells have no value. `regions`: a GeoDataFrame or a vector file path (`layer`, `where` choose
    what is read), reprojected to the raster's CRS (without CRS, `assume_crs` must name it). A region's polygons
    are made valid (shapely's make_valid), so that overlapping parts of one region count once; regions that overlap
    each other are each summarized whole. A region off the raster gets count 0 and NaN statistics.

    `stats`: names in a list, or one comma-separated string. The definitions, with f the fraction of a cell that
    the region covers, v the cell's value, w its weight from `weights` and A its area in m²:

    - count: Σ f over the cells with a value;  sum: Σ f·v;  mean: sum / count.
    - min, max: over the cells with a value that the region covers at all.
    - stdev: population standard deviation weighted by f, √(Σ f·(v − mean)² / count).
    - median, quantile(q) (q in [0, 1]): the least value v such that the cells with values up to v have
      Σ f ≥ q·count (the weighted inverted distribution function; median: q = 0.5).
    - majority, minority: the value whose cells have the greatest (least) Σ f, for categorical rasters; ties go to
      the lesser value.
    - area: Σ f·A over every covered cell, with a value or not;  nodata_area: the same over no-data cells.
    - area_mean: Σ f·A·v / Σ f·A over the cells with a value, the mean by covered area (the one to use on a
      longitude/latitude grid, whose cells shrink towards the poles).
    - weighted_sum: Σ f·w·v and weighted_mean: weighted_sum / Σ f·w, over the cells with a value and a weight;
      `weights` is a raster on the values' grid (such as a protected fraction or a habitat area).

    A is the cell's area on the CRS's ellipsoid on a longitude/latitude grid (exact per row), and the cell's area in
    the projection on a projected grid (metres required); f·A takes the region's share of a cell as f of its area.

    Memory is bounded by windows of `tile_size` cells per side and a block cache of 256 MiB, whatever the regions'
    size, except for the median and quantiles, which keep the value and covered fraction of every covered cell of a
    batch's regions (12 bytes a cell) until the batch is done. The batches run in `n_threads` threads (default: one
    per CPU); `progress` shows a bar.
    The result is the same for every thread count. To write the table to a file with resumable runs, use
    `summarize_to_file`.
    """
    job, keys = summary_job(values, regions, stats=stats, by=by, weights=weights, band=band, layer=layer, where=where,
                            assume_crs=assume_crs, tile_size=tile_size)
    threads = available_cpus() if n_threads is None else integer("n_threads", n_threads, minimum=1)
    workers = max(1, min(threads, len(job.tiles)))
    job = replace(job, kernel=replace(job.kernel, n_threads=max(1, threads // workers)))
    done = {}
    bar = RunProgress(job.name, unit=job.unit, parts=job.parts[1], total_parts=len(job.tiles), total_units=len(keys),
                      show=progress)
    try:
        with tile_results(job, range(len(job.tiles)), scheduler="threads", workers=workers) as results:
            for k, values in results:
                done[job.tiles[k].index] = values
                bar.part_done(job.tiles[k].index, job.size(job.tiles[k]))
    finally:
        bar.close()
    return summary_table(job, keys, lambda batch: done[batch.index])


def summarize_to_file(values, regions, output, *, stats=DEFAULT, by=None, weights=None, band=None, layer=None,
                      where=None, assume_crs=None, tile_size=1024, overwrite=False, resume=False,
                      scheduler="processes", workers=None, jobs=None, cluster_options=None, progress=None):
    """`summarize` written to the table `output` (.csv, .gpkg with the regions' geometries in the raster's CRS, or
    .parquet), with the guarantees of `to_raster`: batches of regions run in `workers` threads or local processes
    (`scheduler` "threads" or "processes"), on a Dask cluster, or on `jobs` batch jobs as `to_raster` runs them
    (`scheduler` "slurm", "pbs", "sge" or "lsf", with `cluster_options`), are kept as they finish, and `resume=True`
    goes on with an interrupted run; `output` is replaced (`overwrite=True`) only once the new table is complete and
    checked. Raises `RunRefused`, `RunFailed` or `Stopped` as `to_raster` does; returns a `RunSummary` whose units
    are regions."""
    check_table_path(output)
    job, keys = summary_job(values, regions, stats=stats, by=by, weights=weights, band=band, layer=layer, where=where,
                            assume_crs=assume_crs, tile_size=tile_size)
    geometries = geopandas.GeoSeries(job.geometries, crs=job.template.rio.crs)

    def write(path, partial, part_values):
        write_table(path, partial, summary_table(job, keys, part_values), geometries)

    return run_job(job, output, write, overwrite=overwrite, resume=resume, scheduler=scheduler, workers=workers,
                   jobs=jobs, cluster_options=cluster_options, progress=progress)
