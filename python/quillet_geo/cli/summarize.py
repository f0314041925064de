"""`quillet summarize`: statistics of a raster over each region of a vector file, as a table, resumable."""
from pathlib import Path

import click

import quillet_geo
from quillet_geo.schedulers import scheduler_of

from .errors import reported
from .options import INPUT_FILE, overwrite_option, quiet_option, run_options
from .running import resume_command, say


@click.command()
@click.argument("values", type=INPUT_FILE)
@click.argument("regions", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--by", metavar="FIELD", help="Field of REGIONS that names each row  [default: the feature's number]")
@click.option("--stats", default="count,sum,mean,min,max,area", show_default=True, metavar="LIST",
              help="Comma-separated statistics: count, sum, mean, min, max, stdev, median, quantile(Q) with Q in "
                   "[0, 1], majority, minority, area, nodata_area (m²), area_mean, weighted_sum, weighted_mean.")
@click.option("--weights", type=INPUT_FILE, metavar="RASTER",
              help="Raster of weights on the grid of VALUES, for weighted_sum and weighted_mean.")
@click.option("--band", type=int, help="Band of VALUES to summarize  [default: every band, a column set each]")
@click.option("--layer", metavar="NAME", help="Layer of REGIONS to read  [default: the first]")
@click.option("--where", metavar="SQL", help="Read only the regions matching this SQL condition.")
@click.option("--assume-crs", metavar="CRS",
              help="CRS of the regions' coordinates when REGIONS does not say (e.g. EPSG:4326).")
@click.option("--tile-size", type=int, default=1024, show_default=True,
              help="Cells per side of the windows a region is read and computed in.")
@run_options
@overwrite_option
@quiet_option
@click.pass_context
def summarize(ctx, values, regions, output, by, stats, weights, band, layer, where, assume_crs, tile_size, workers,
              scheduler, cluster, jobs, cluster_options, resume, overwrite, quiet):
    """Write into OUTPUT (.csv, .gpkg with the regions' geometries, or .parquet) a row per region of REGIONS (any
    vector file that GDAL reads) with statistics of the cells of VALUES (a raster), each cell weighted by the exact
    fraction of it that the region covers. Run `python -c "help(quillet_geo.summarize)"` for the definitions."""
    try:
        summary = quillet_geo.summarize_to_file(
            str(values), str(regions), output, stats=stats, by=by, weights=weights and str(weights), band=band,
            layer=layer, where=where, assume_crs=assume_crs, tile_size=tile_size, overwrite=overwrite,
            resume=resume, scheduler=scheduler_of(scheduler, cluster), workers=workers, jobs=jobs,
            cluster_options=cluster_options, progress=False if quiet else None)
    except (ValueError, TypeError, RuntimeError, KeyboardInterrupt) as error:
        raise reported(error, resume_command(ctx)) from None
    if not quiet:
        resumed = (f" ({summary.resumed_parts} of {summary.parts} batches from the interrupted run)"
                   if summary.resumed_parts else "")
        say(f"summarize: {summary.units:,} regions in {summary.seconds:.1f} s{resumed}, written to {output}")
