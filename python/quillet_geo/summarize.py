"""Zonal statistics: for every region (a feature of a vector file or GeoDataFrame), statistics of a raster's cells
weighted by the exact fraction of each cell that the region covers (their definitions: `summarize`'s docstring), as
a table in memory or written to a file by the run engine.

Regions are the unit of work. They are put in batches of neighbours (`batches`), and a batch is what the run engine
computes, keeps and resumes: its values are its regions' statistics, a row each (`summary_job`, `summary_computation`).
"""
import geopandas
import numpy as np
import pandas

from .cpus import available_cpus
from .executors import compute_parts
from .parameters import integer
from .progress_lines import progress_reporter, run_progress
from .provenance import provenance
from .run import run_job
from .schedulers import DEFAULT_SCHEDULER
from .statistics import DEFAULT, definitions
from .summary_inputs import summary_job
from .tables import DESCRIBED, table_format, write_table


def summary_table(job, keys, part_values):
    """The table of a summary: a row per region in the regions' order, indexed by `keys`, from its batches' values
    (`part_values(batch)`)."""
    table = np.full((len(keys), len(job.computation.columns)), np.nan)
    for batch in job.parts:
        table[batch.regions] = part_values(batch)
    frame = pandas.DataFrame(table, index=keys, columns=job.computation.columns)
    frame.attrs.update(provenance(job))
    return frame


def summarize(values, regions, *, stats=DEFAULT, by=None, weights=None, band=None, layer=None, where=None,
              assume_crs=None, nodata=None, align=None, tile_size=1024, n_threads=None, progress=False):
    """Statistics of `values` over each region of `regions`, weighted by the exact fraction of every cell the region
    covers, as a pandas DataFrame: a row per region in the regions' order, indexed by the regions' field `by` (or
    by their index), a column per statistic.

    `values`: a DataArray or raster path; every band of it gets its columns (`mean_b2`) unless `band` (1-based)
    picks one. No-data cells have no value; `nodata` is the no-data value of the values and weights where they
    declare none, and a sample of each is checked first (infinities refused, an undeclared -9999 named).

    `regions`: a GeoDataFrame or a vector file path (`layer`, `where` choose what is read), reprojected to the
    raster's CRS (without CRS, `assume_crs` must name it). A region's polygons are made valid (shapely's
    make_valid), so that overlapping parts of one region count once; regions that overlap each other are each
    summarized whole. A region off the raster gets count 0 and NaN statistics.

    `stats`: names in a list, or one comma-separated string (default: {default}).
{definitions}

    `weights` is a raster on the values' grid (such as a protected fraction or a habitat area), or warped onto it as
    it is read with the resampling method `align` ("nearest", "bilinear", "average", ...). A is the cell's area
    on the CRS's ellipsoid on a longitude/latitude grid (exact per row), and the cell's area in the projection on a
    projected grid (metres required); f·A takes the region's share of a cell as f of its area.

    Memory is bounded by windows of `tile_size` cells per side and a block cache of 256 MiB, whatever the regions'
    size, except for the median and quantiles, which keep the value and covered fraction of every covered cell of a
    batch's regions (12 bytes a cell) until the batch is done. The batches run in `n_threads` threads (default: one
    per CPU); `progress` shows a bar.
    The result is the same for every thread count. To write the table to a file with resumable runs, use
    `summarize_to_file`.
    """
    job, keys = summary_job(values, regions, stats=stats, by=by, weights=weights, band=band, layer=layer, where=where,
                            assume_crs=assume_crs, nodata=nodata, align=align, tile_size=tile_size)
    threads = available_cpus() if n_threads is None else integer("n_threads", n_threads, minimum=1)
    workers = max(1, min(threads, len(job.parts)))
    job = job.with_threads(max(1, threads // workers))
    done, bar = {}, run_progress(job, (), progress_reporter(progress))
    try:
        compute_parts(job, range(len(job.parts)), lambda batch, values: done.__setitem__(batch.index, values), bar,
                      scheduler="threads", workers=workers)
    finally:
        bar.close()
    return summary_table(job, keys, lambda batch: done[batch.index])


if summarize.__doc__:  # (not under python -OO)
    summarize.__doc__ = summarize.__doc__.format(default=", ".join(DEFAULT), definitions=definitions("    "))


def summarize_to_file(values, regions, output, *, stats=DEFAULT, by=None, weights=None, band=None, layer=None,
                      where=None, assume_crs=None, nodata=None, align=None, tile_size=1024, overwrite=False,
                      resume=False, scheduler=DEFAULT_SCHEDULER, workers=None, jobs=None, cluster_options=None,
                      progress=None):
    """`summarize` written to the table `output`, with the guarantees of `to_raster`: batches of regions run in
    `workers` threads or local processes (`scheduler` "threads" or "processes"), on a Dask cluster, or on `jobs`
    batch jobs as `to_raster` runs them (`scheduler` "slurm", "pbs", "sge" or "lsf", with `cluster_options`), are
    kept as they finish, and `resume=True` goes on with an interrupted run; `output` is replaced (`overwrite=True`)
    only once the new table is complete and checked. Raises `RunRefused`, `RunFailed` or `Stopped` as `to_raster`
    does; returns a `RunSummary` whose units are regions.

    The extension of `output` chooses the format:
    {formats}.
    """
    chosen = table_format(output)
    job, keys = summary_job(values, regions, stats=stats, by=by, weights=weights, band=band, layer=layer, where=where,
                            assume_crs=assume_crs, nodata=nodata, align=align, tile_size=tile_size)
    geometries = geopandas.GeoSeries(job.geometries, crs=job.template.rio.crs)

    def write(path, partial, part_values):
        # The run's provenance goes into the table; its sidecars (CSV's metadata) are checked against the inputs too.
        write_table(path, partial, summary_table(job, keys, part_values), geometries, provenance(job))

    return run_job(job, output, write, overwrite=overwrite, resume=resume, scheduler=scheduler, workers=workers,
                   jobs=jobs, cluster_options=cluster_options, progress=progress, also_writes=chosen.sidecars(output))


if summarize_to_file.__doc__:
    summarize_to_file.__doc__ = summarize_to_file.__doc__.format(formats=DESCRIBED)
