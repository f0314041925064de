"""`quillet connectivity`: multi-scale habitat connectivity of a condition raster, tile by tile, resumable."""
from pathlib import Path

import click

import quillet_geo
from quillet_geo.rasters import RESAMPLING

from .options import (
    INPUT_FILE,
    NumberListCommand,
    NumberListOption,
    creation_options_option,
    overwrite_option,
    preview_option,
    quiet_option,
    run_options,
)
from .running import build, run_to_file


@click.command(cls=NumberListCommand)
@click.argument("condition", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--levels", cls=NumberListOption, type=int, required=True, metavar="N ...",
              help="Resolution levels in base cells per level cell, doubling from 1, for example --levels 1 2 4. "
                   "With --outer-window they set the search reach: --outer-window cells of the coarsest level on each "
                   "side of a source, 7 x 4 = 28 cells for --levels 1 2 4 (printed in metres before the run "
                   "starts).")
@click.option("--lambdas", cls=NumberListOption, type=float, required=True,
              metavar="KM ...", help="Distance-decay bandwidths in kilometres, for example --lambdas 2 20 200.")
@click.option("--max-cost", type=float, required=True,
              help="Cost of crossing a fully degraded cell (traversal value 0) relative to intact habitat (value 1), "
                   "at least 1: 10 makes degraded land ten times as costly to cross per metre.")
@click.option("--window-size", type=int, default=3, show_default=True,
              help="Odd window width on the finer levels.")
@click.option("--outer-window", type=int, default=7, show_default=True,
              help="Odd window width on the coarsest level, at least --window-size; sets the search reach.")
@click.option("--window-mode", type=click.Choice(["circular", "square"]), default="circular", show_default=True,
              help="Shape of the focal windows.")
@click.option("--sources", type=INPUT_FILE, metavar="FILE",
              help="Raster, 1 where a value is wanted and 0 elsewhere; the other cells are not computed.")
@click.option("--protected", type=INPUT_FILE, metavar="FILE",
              help="Raster of protected fractions in [0, 1] (or 0/1): protected cells become the sources and the "
                   "destinations that count.")
@click.option("--protected-min-fraction", type=float, default=0.5, show_default=True,
              help="Protected fraction from which a cell counts as protected (0.5: the majority rule).")
@click.option("--traversal", type=INPUT_FILE, metavar="FILE",
              help="Raster of traversal values in [0, 1] (1 = easy passage) used for path costs instead of CONDITION.")
@click.option("--transgrid", "transgrids", type=INPUT_FILE, multiple=True, metavar="FILE",
              help="Multi-band raster of transition values; repeat the option for several.")
@click.option("--band", type=int, help="Band of CONDITION to use (needed when it has several).")
@click.option("--align", type=click.Choice(RESAMPLING), metavar="METHOD",
              help="Warp the other rasters onto CONDITION's grid as they are read, with this resampling for values "
                   f"and fractions ({', '.join(RESAMPLING)}); --sources with mode. Without it, a raster on another "
                   "grid is refused.")
@click.option("--tile-size", type=int, default=1024, show_default=True,
              help="Cells per side of a computed tile.")
@run_options
@creation_options_option
@overwrite_option
@preview_option
@quiet_option
@click.pass_context
def connectivity(ctx, condition, output, levels, lambdas, max_cost, window_size, outer_window, window_mode, sources,
                 protected, protected_min_fraction, traversal, transgrids, band, align, tile_size, workers, scheduler,
                 cluster, jobs, cluster_options, resume, creation_options, overwrite, preview, quiet):
    """Map the habitat connectivity of CONDITION (a raster of condition values in [0, 1]) into OUTPUT (GeoTIFF).

    The tiles are computed in parallel and kept as they finish; after Ctrl-C or a crash, the same command with
    --resume computes only the tiles still missing.
    """
    result = build(lambda: quillet_geo.connectivity(
        str(condition), levels=list(levels), lambdas=list(lambdas), max_cost=max_cost, window_size=window_size,
        outer_window=outer_window, window_mode=window_mode, sources=_text(sources), protected=_text(protected),
        protected_min_fraction=protected_min_fraction, traversal=_text(traversal),
        transgrids=[str(path) for path in transgrids], band=band, align=align, tile_size=tile_size))
    reach = search_reach(result)
    subtitle = (f"levels {' '.join(map(str, levels))} · lambdas {' '.join(f'{x:g}' for x in lambdas)} km · "
                f"max cost {max_cost:g} · reach {reach}")
    run_to_file(ctx, result, output, overwrite=overwrite, resume=resume, workers=workers, scheduler=scheduler,
                cluster=cluster, jobs=jobs, cluster_options=cluster_options,
                creation_options=creation_options,
                preview=preview, quiet=quiet, announce=f"search reach: {reach}",
                drawing=dict(title=f"Connectivity of {condition.name}\n{subtitle}", label="connectivity",
                             condition=condition, band=band))


def search_reach(result):
    """How far a source's windows reach, in cells and in metres (on a longitude/latitude grid, at its centre)."""
    metres = float(result.attrs["search_reach_m"])
    distance = f"{metres:.0f} m" if metres < 1000 else f"{metres / 1000:.3g} km"
    where = " at the raster's centre" if result.rio.crs.is_geographic else ""
    return f"{result.attrs['search_reach_cells']} cells, {distance}{where}"


def _text(path):
    return None if path is None else str(path)
