"""`quillet summarize`: statistics of a raster over each region of a vector file, as a table, resumable."""
from pathlib import Path

import click

import quillet_geo
from quillet_geo.schedulers import scheduler_of
from quillet_geo.statistics import DEFAULT, SYMBOLS, WEIGHTS, definitions_in_brief, needing
from quillet_geo.tables import DESCRIBED

from .errors import in_command_terms, reported
from .options import INPUT_FILE, align_option, nodata_option, progress_mode, run_options, tile_size_option
from .running import resume_command, say


@click.command(help=f"""Write into OUTPUT ({DESCRIBED}) a row per region of REGIONS (any vector file that GDAL
    reads) with statistics of the cells of VALUES (a raster), each cell weighted by the exact fraction of it that the
    region covers (the statistics are defined under --stats).""")
@click.argument("values", type=INPUT_FILE)
@click.argument("regions", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--by", metavar="FIELD", help="Field of REGIONS that names each row  [default: the feature's number]")
@click.option("--stats", default=",".join(DEFAULT), show_default=True, metavar="LIST",
              help=in_command_terms(f"Comma-separated statistics, with {SYMBOLS}: {definitions_in_brief()}."))
@click.option("--weights", type=INPUT_FILE, metavar="RASTER",
              help=f"Raster of weights on the grid of VALUES, for {' and '.join(needing(WEIGHTS))}.")
@click.option("--band", type=int, help="Band of VALUES to summarize  [default: every band, a column set each]")
@click.option("--layer", metavar="NAME", help="Layer of REGIONS to read  [default: the first]")
@click.option("--where", metavar="SQL", help="Read only the regions matching this SQL condition.")
@click.option("--assume-crs", metavar="CRS",
              help="CRS of the regions' coordinates when REGIONS does not say (e.g. EPSG:4326).")
@nodata_option("No-data value of VALUES and --weights where they declare none.")
@align_option("Warp --weights onto the grid of VALUES as it is read, with this resampling. Without it, weights on "
              "another grid are refused.")
@tile_size_option(quillet_geo.summarize_to_file, "Cells per side of the windows a region is read and computed in.")
@run_options
@click.pass_context
def summarize(ctx, values, regions, output, by, stats, weights, band, layer, where, assume_crs, nodata, align,
              tile_size, workers, scheduler, cluster, jobs, cluster_options, resume, overwrite, quiet):
    try:
        summary = quillet_geo.summarize_to_file(
            str(values), str(regions), output, stats=stats, by=by, weights=weights and str(weights), band=band,
            layer=layer, where=where, assume_crs=assume_crs, nodata=nodata, align=align, tile_size=tile_size,
            overwrite=overwrite, resume=resume, scheduler=scheduler_of(scheduler, cluster), workers=workers, jobs=jobs,
            cluster_options=cluster_options, progress=progress_mode(ctx, quiet))
    except (ValueError, TypeError, RuntimeError, KeyboardInterrupt) as error:
        raise reported(error, resume_command(ctx)) from None
    if not quiet:
        resumed = (f" ({summary.resumed_parts} of {summary.parts} batches from the interrupted run)"
                   if summary.resumed_parts else "")
        say(f"summarize: {summary.units:,} regions in {summary.seconds:.1f} s{resumed}, written to {output}")
