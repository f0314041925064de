"""`quillet connectivity`: multi-scale habitat connectivity of a condition raster, tile by tile, resumable."""
import shlex
from dataclasses import dataclass
from pathlib import Path

import click

from .journal import Journal, fingerprint, run_folder_of
from .options import (INPUT_FILE, NumberListCommand, NumberListOption, check_output_path, default_workers,
                      overwrite_option, preview_option, quiet_option)
from .preview import save_preview
from .rasters import check_same_grid, read_grid
from .resumable import run_resumable


@dataclass(frozen=True)
class ConnectivityJob:
    """Everything a worker needs to build the lazy result and compute any of its tiles."""

    condition: str
    band: int | None
    levels: tuple
    lambdas: tuple
    max_cost: float
    window_size: int
    outer_window: int
    window_mode: str
    sources: str | None
    protected: str | None
    traversal: str | None
    transgrids: tuple
    tile_size: int
    n_threads: int

    def lazy(self):
        import quillet_geo

        return quillet_geo.connectivity(
            self._condition(), levels=list(self.levels), lambdas=list(self.lambdas), max_cost=self.max_cost,
            window_size=self.window_size, outer_window=self.outer_window, window_mode=self.window_mode,
            sources=self.sources, protected=self.protected, traversal=self.traversal,
            transgrids=list(self.transgrids), tile_size=self.tile_size, n_threads=self.n_threads,
        )

    def _condition(self):
        if self.band is None:
            return self.condition
        import rioxarray

        bands = rioxarray.open_rasterio(self.condition, chunks=self.tile_size, masked=True)
        return bands.sel(band=self.band, drop=True)

    def manifest(self):
        """The arguments that fix the result, and the input files it reads, for the journal and the file's tags."""
        arguments = {
            "--levels": list(self.levels), "--lambdas": list(self.lambdas), "--max-cost": self.max_cost,
            "--window-size": self.window_size, "--outer-window": self.outer_window,
            "--window-mode": self.window_mode, "--band": self.band, "--tile-size": self.tile_size,
        }
        inputs = {"CONDITION": self.condition, "--sources": self.sources, "--protected": self.protected,
                  "--traversal": self.traversal}
        inputs.update({f"--transgrid {n}": path for n, path in enumerate(self.transgrids, 1)})
        return {"command": "connectivity", "arguments": arguments,
                "inputs": {label: fingerprint(path) for label, path in inputs.items() if path is not None}}


def _check_levels(ctx, param, levels):
    for level in levels:
        if level & (level - 1):
            raise click.BadParameter(f"{level} is not a power of two")
    return levels


def _check_odd(ctx, param, width):
    if width % 2 == 0:
        raise click.BadParameter(f"{width} is not odd")
    return width


@click.command(cls=NumberListCommand)
@click.argument("condition", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--levels", cls=NumberListOption, type=click.IntRange(min=1), required=True, metavar="N ...",
              callback=_check_levels,
              help="Resolution levels, in base cells per level cell (powers of two), for example --levels 1 2 4.")
@click.option("--lambdas", cls=NumberListOption, type=click.FloatRange(min=0, min_open=True), required=True,
              metavar="KM ...", help="Distance-decay bandwidths in kilometres, for example --lambdas 2 20 200.")
@click.option("--max-cost", type=click.FloatRange(0, 1), required=True,
              help="Relative cost of crossing a fully degraded cell (traversal value 0), between 0 and 1.")
@click.option("--window-size", type=click.IntRange(min=1), default=3, show_default=True, callback=_check_odd,
              help="Odd window width on the finer levels.")
@click.option("--outer-window", type=click.IntRange(min=1), default=7, show_default=True, callback=_check_odd,
              help="Odd window width on the coarsest level; sets the search reach.")
@click.option("--window-mode", type=click.Choice(["circular", "square"]), default="circular", show_default=True,
              help="Shape of the focal windows.")
@click.option("--sources", type=INPUT_FILE, metavar="FILE",
              help="Raster, non-zero where a value is wanted; the other cells are not computed.")
@click.option("--protected", type=INPUT_FILE, metavar="FILE",
              help="Raster, non-zero on protected cells: they become the sources and the destinations that count.")
@click.option("--traversal", type=INPUT_FILE, metavar="FILE",
              help="Raster of traversal values in [0, 1] (1 = easy passage) used for path costs instead of CONDITION.")
@click.option("--transgrid", "transgrids", type=INPUT_FILE, multiple=True, metavar="FILE",
              help="Multi-band raster of transition values; repeat the option for several.")
@click.option("--band", type=click.IntRange(min=1), help="Band of CONDITION to use (needed when it has several).")
@click.option("--tile-size", type=click.IntRange(min=1), default=1024, show_default=True,
              help="Cells per side of a computed tile.")
@click.option("--workers", type=click.IntRange(min=1),
              help="Local worker processes computing tiles at once  [default: one per CPU]")
@click.option("--scheduler", metavar="ADDRESS",
              help="Run the tiles on this Dask cluster (for example tcp://host:8786); the input files must be on a "
                   "filesystem that its workers share.")
@click.option("--resume", is_flag=True, help="Continue the interrupted run of OUTPUT with the same arguments.")
@overwrite_option
@preview_option
@quiet_option
@click.pass_context
def connectivity(ctx, condition, output, levels, lambdas, max_cost, window_size, outer_window, window_mode, sources,
                 protected, traversal, transgrids, band, tile_size, workers, scheduler, resume, overwrite, preview,
                 quiet):
    """Map the habitat connectivity of CONDITION (a raster of condition values in [0, 1]) into OUTPUT (GeoTIFF).

    The tiles are computed in parallel and kept as they finish; after Ctrl-C or a crash, the same command with
    --resume computes only the tiles still missing.
    """
    if sources and protected:
        raise click.UsageError("--sources and --protected cannot be used together")
    if outer_window < window_size:
        raise click.BadParameter(f"{outer_window} is smaller than --window-size {window_size}",
                                 param_hint="--outer-window")
    if tile_size % max(levels):
        raise click.BadParameter(f"{tile_size} is not a multiple of the coarsest level {max(levels)}",
                                 param_hint="--tile-size")
    if workers and scheduler:
        raise click.UsageError("--workers and --scheduler cannot be used together")
    check_output_path(output, overwrite)
    if preview:
        check_output_path(preview, True, hint="--preview")
    grid = read_grid(condition, "CONDITION", band=band)
    for label, path in (("--sources", sources), ("--protected", protected), ("--traversal", traversal)):
        if path:
            check_same_grid(read_grid(path, label), grid, label, path, "CONDITION")
    for path in transgrids:
        check_same_grid(read_grid(path, "--transgrid", multiband=True), grid, "--transgrid", path, "CONDITION")
    _prepare_run_folder(output, resume, overwrite)
    job = ConnectivityJob(
        str(condition), band, levels, lambdas, max_cost, window_size, outer_window, window_mode,
        _text(sources), _text(protected), _text(traversal), tuple(map(str, transgrids)), tile_size,
        default_workers(),
    )
    run_resumable(job, output, job.manifest(), resume=resume, workers=workers or default_workers(),
                  scheduler=scheduler, quiet=quiet, resume_command=_resume_command(ctx))
    if preview:
        subtitle = (f"levels {' '.join(map(str, levels))} · lambdas {' '.join(f'{x:g}' for x in lambdas)} km · "
                    f"max cost {max_cost:g}")
        save_preview(output, preview, f"Connectivity of {condition.name}\n{subtitle}", "connectivity")


def _text(path):
    return None if path is None else str(path)


def _prepare_run_folder(output, resume, overwrite):
    """Refuse to lose an interrupted run by accident; with --overwrite, an old run and OUTPUT go before starting."""
    folder = run_folder_of(output)
    if resume and not folder.is_dir():
        raise click.UsageError(f"--resume: no interrupted run of '{output}' to continue (no folder '{folder}')")
    if folder.exists() and not resume:
        if not overwrite:
            raise click.UsageError(f"'{output}' has an interrupted run in '{folder}'; continue it with --resume, "
                                   "or start over with --overwrite")
        Journal(folder).remove()
    output.unlink(missing_ok=True)


def _resume_command(ctx):
    args = ctx.find_root().obj["args"]
    return shlex.join(["quillet", *args] + ([] if "--resume" in args else ["--resume"]))
