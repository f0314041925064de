"""`quillet connectivity`: multi-scale habitat connectivity of a condition raster, tile by tile, resumable."""
import shlex
from dataclasses import dataclass
from pathlib import Path

import click

from .errors import from_library
from .journal import Journal, fingerprint, run_folder_of
from .options import (INPUT_FILE, NumberListCommand, NumberListOption, check_output_path, default_workers,
                      overwrite_option, preview_option, quiet_option)
from .preview import save_preview
from .resumable import run_resumable


@dataclass(frozen=True)
class ConnectivityJob:
    """Everything a worker needs to build the lazy result and compute any of its tiles."""

    condition: str
    band: int | None
    levels: tuple
    lambdas: tuple
    max_cost: float
    protected_min_fraction: float
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
            self.condition, levels=list(self.levels), lambdas=list(self.lambdas), max_cost=self.max_cost,
            window_size=self.window_size, outer_window=self.outer_window, window_mode=self.window_mode,
            sources=self.sources, protected=self.protected, protected_min_fraction=self.protected_min_fraction,
            traversal=self.traversal, transgrids=list(self.transgrids), band=self.band, tile_size=self.tile_size,
            n_threads=self.n_threads,
        )

    def manifest(self):
        """The arguments that fix the result, and the input files it reads, for the journal and the file's tags."""
        arguments = {
            "--levels": list(self.levels), "--lambdas": list(self.lambdas), "--max-cost": self.max_cost,
            "--window-size": self.window_size, "--outer-window": self.outer_window,
            "--window-mode": self.window_mode, "--band": self.band, "--tile-size": self.tile_size,
        }
        if self.protected:
            arguments["--protected-min-fraction"] = self.protected_min_fraction
        inputs = {"CONDITION": self.condition, "--sources": self.sources, "--protected": self.protected,
                  "--traversal": self.traversal}
        inputs.update({f"--transgrid {n}": path for n, path in enumerate(self.transgrids, 1)})
        return {"command": "connectivity", "arguments": arguments,
                "inputs": {label: fingerprint(path) for label, path in inputs.items() if path is not None}}


@click.command(cls=NumberListCommand)
@click.argument("condition", type=INPUT_FILE)
@click.argument("output", type=click.Path(path_type=Path))
@click.option("--levels", cls=NumberListOption, type=int, required=True, metavar="N ...",
              help="Resolution levels in base cells per level cell, doubling from 1, for example --levels 1 2 4.")
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
@click.option("--tile-size", type=int, default=1024, show_default=True,
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
                 protected, protected_min_fraction, traversal, transgrids, band, tile_size, workers, scheduler, resume,
                 overwrite, preview, quiet):
    """Map the habitat connectivity of CONDITION (a raster of condition values in [0, 1]) into OUTPUT (GeoTIFF).

    The tiles are computed in parallel and kept as they finish; after Ctrl-C or a crash, the same command with
    --resume computes only the tiles still missing.
    """
    if workers and scheduler:
        raise click.UsageError("--workers and --scheduler cannot be used together")
    check_output_path(output, overwrite)
    if preview:
        check_output_path(preview, True, hint="--preview")
    job = ConnectivityJob(
        str(condition), band, levels, lambdas, max_cost, protected_min_fraction, window_size, outer_window,
        window_mode, _text(sources), _text(protected), _text(traversal), tuple(map(str, transgrids)), tile_size,
        default_workers(),
    )
    try:
        result = job.lazy()
    except (ValueError, TypeError) as error:
        raise from_library(error) from None
    _prepare_run_folder(output, resume, overwrite)
    run_resumable(job, result, output, job.manifest(), resume=resume, workers=workers or default_workers(),
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
