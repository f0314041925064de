"""`quillet update`: a connectivity map for changed inputs, from a map made before, computing only the tiles that the
change reaches."""
from pathlib import Path

import click

import quillet_geo
from quillet_geo.schedulers import scheduler_of

from .errors import reported
from .options import INPUT_FILE, progress_mode, run_options
from .running import resume_command, say

MAP_FILE = click.Path(dir_okay=False, path_type=Path)


def _replacing(name, what):
    return click.option(f"--{name}", type=INPUT_FILE, metavar="FILE",
                        help=f"New {what}, on BASELINE's grid, in place of the one BASELINE was made from.")


@click.command()
@click.argument("baseline", type=INPUT_FILE)
@click.argument("output", type=MAP_FILE)
@_replacing("condition", "condition raster")
@_replacing("sources", "sources raster")
@_replacing("protected", "protected fractions raster")
@_replacing("traversal", "traversal raster")
@click.option("--difference", type=MAP_FILE, metavar="FILE",
              help="Also write OUTPUT minus BASELINE to this GeoTIFF (no data where either has none).")
@run_options
@click.pass_context
def update(ctx, baseline, output, condition, sources, protected, traversal, difference, workers, scheduler, cluster,
           jobs, cluster_options, resume, overwrite, quiet):
    """Write into OUTPUT (GeoTIFF) the connectivity map that `quillet connectivity` gives with the arguments and
    inputs of BASELINE (a map it wrote), the inputs given here in place of its own: the tiles whose block (with its
    halo) holds a changed cell are computed, the others taken from BASELINE. When no cell changed, nothing is
    written.
    """
    try:
        summary = quillet_geo.update(
            str(baseline), output, condition=_text(condition), sources=_text(sources), protected=_text(protected),
            traversal=_text(traversal), difference=difference, overwrite=overwrite, resume=resume,
            scheduler=scheduler_of(scheduler, cluster), workers=workers, jobs=jobs, cluster_options=cluster_options,
            progress=progress_mode(ctx, quiet))
    except (ValueError, TypeError, RuntimeError, KeyboardInterrupt) as error:
        raise reported(error, resume_command(ctx)) from None
    if quiet:
        return
    if not summary.changed_cells:
        say(f"update: no cell of the inputs given differs from those of {baseline}; nothing written")
        return
    left, bottom, right, top = summary.changed_bounds
    resumed = f", {summary.resumed} of them from the interrupted run" if summary.resumed else ""
    also = f" and {difference}" if difference else ""
    say(f"update: {summary.computed} of {summary.tiles} tiles computed in {summary.seconds:.1f} s{resumed} for "
        f"{summary.changed_cells:,} changed cells within ({left:.10g}, {bottom:.10g}, {right:.10g}, {top:.10g}) in "
        f"{summary.crs}; written to {output}{also}")


def _text(path):
    return None if path is None else str(path)
