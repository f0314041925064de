"""`quillet connectivity`: multi-scale habitat connectivity of a condition raster, tile by tile, resumable."""
from pathlib import Path

import click

import quillet_geo
from quillet_geo.connectivity_parameters import DEFAULTS, LARGEST_WINDOW, LEAST_MAX_COST, WINDOW_MODES

from .options import (
    INPUT_FILE,
    NumberListCommand,
    NumberListOption,
    align_option,
    map_options,
    nodata_option,
    run_options,
    tile_size_option,
)
from .running import build, run_to_file

OUTER = DEFAULTS["outer_window"]


@click.command(cls=NumberListCommand)
@click.argument("condition", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--levels", cls=NumberListOption, type=int, required=True, metavar="N ...",
              help="Resolution levels in base cells per level cell, doubling from 1, for example --levels 1 2 4. "
                   "With --outer-window they set the search reach: --outer-window cells of the coarsest level on each "
                   f"side of a source, {OUTER} x 4 = {OUTER * 4} cells for --levels 1 2 4 (printed in metres before "
                   "the run starts).")
@click.option("--lambdas", cls=NumberListOption, type=float, required=True,
              metavar="KM ...", help="Distance-decay bandwidths in kilometres, for example --lambdas 0.5 1 2 with "
                                     "--levels 1 2 4 8 on 100 m cells (a 5.6 km reach); a warning names those that "
                                     "decay within one cell or barely decay within the reach.")
@click.option("--max-cost", type=float, required=True,
              help="Cost of crossing a fully degraded cell (traversal value 0) relative to intact habitat (value 1), "
                   f"at least {LEAST_MAX_COST}: 10 makes degraded land ten times as costly to cross per metre.")
@click.option("--window-size", type=int, default=DEFAULTS["window_size"], show_default=True,
              help=f"Odd window width on the finer levels (at most {LARGEST_WINDOW}).")
@click.option("--outer-window", type=int, default=OUTER, show_default=True,
              help="Odd window width on the coarsest level, at least --window-size; sets the search reach.")
@click.option("--window-mode", type=click.Choice(WINDOW_MODES), default=DEFAULTS["window_mode"], show_default=True,
              help="Shape of the focal windows.")
@click.option("--sources", type=INPUT_FILE, metavar="FILE",
              help="Raster, 1 where a value is wanted and 0 elsewhere; the other cells are not computed.")
@click.option("--protected", type=INPUT_FILE, metavar="FILE",
              help="Raster of protected fractions in [0, 1] (or 0/1): protected cells become the sources and the "
                   "destinations that count.")
@click.option("--protected-min-fraction", type=float, default=DEFAULTS["protected_min_fraction"], show_default=True,
              help="Protected fraction in (0, 1] from which a cell counts as protected (the default is the majority "
                   "rule).")
@click.option("--traversal", type=INPUT_FILE, metavar="FILE",
              help="Raster of traversal values in [0, 1] (1 = easy passage) used for path costs instead of CONDITION.")
@click.option("--transgrid", "transgrids", type=INPUT_FILE, multiple=True, metavar="FILE",
              help="Multi-band raster of transition values; repeat the option for several.")
@click.option("--band", type=int, help="Band of CONDITION to use (needed when it has several).")
@align_option("Warp the other rasters onto CONDITION's grid as they are read, with this resampling for values and "
              "fractions, --sources with mode; a raster that does not overlap CONDITION is refused. Without it, a "
              "raster on another grid is refused.")
@nodata_option("No-data value of the input rasters (CONDITION and the others) that declare none, such as -9999; a "
               "raster's own declared value stands.")
@tile_size_option(quillet_geo.connectivity, "Cells per side of a computed tile.")
@run_options
@map_options
@click.pass_context
def connectivity(ctx, condition, output, levels, lambdas, max_cost, window_size, outer_window, window_mode, sources,
                 protected, protected_min_fraction, traversal, transgrids, band, align, nodata, tile_size, workers,
                 scheduler, cluster, jobs, cluster_options, resume, overwrite, quiet, creation_options, preview):
    """Map the habitat connectivity of CONDITION (a raster of condition values in [0, 1]) into OUTPUT (GeoTIFF).

    The tiles are computed in parallel and kept as they finish; after Ctrl-C or a crash, the same command with
    --resume computes only the tiles still missing.
    """
    result = build(lambda: quillet_geo.connectivity(
        str(condition), levels=list(levels), lambdas=list(lambdas), max_cost=max_cost, window_size=window_size,
        outer_window=outer_window, window_mode=window_mode, sources=_text(sources), protected=_text(protected),
        protected_min_fraction=protected_min_fraction, traversal=_text(traversal),
        transgrids=[str(path) for path in transgrids], band=band, align=align, nodata=nodata, tile_size=tile_size))
    reach = result.attrs["search_reach"]
    title = "\n".join([f"Connectivity of {condition.name}{_selection(sources, protected, protected_min_fraction)}",
                       f"levels {' '.join(map(str, levels))} · lambdas {' '.join(f'{x:g}' for x in lambdas)} km · "
                       f"max cost {max_cost:g} · search reach {reach}"])
    run_to_file(ctx, result, output, overwrite=overwrite, resume=resume, workers=workers, scheduler=scheduler,
                cluster=cluster, jobs=jobs, cluster_options=cluster_options, creation_options=creation_options,
                preview=preview, quiet=quiet, announce=f"search reach: {reach}",
                drawing=dict(title=title, label="connectivity",
                             condition=condition, band=band))


def _selection(sources, protected, protected_min_fraction):
    """Which cells have a value, where not every cell with data has one."""
    if protected is not None:
        return f", protected cells of {protected.name} (fraction ≥ {protected_min_fraction:g})"
    return f", cells of {sources.name}" if sources is not None else ""


def _text(path):
    return None if path is None else str(path)
