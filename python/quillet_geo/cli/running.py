"""Running a subcommand's result into OUTPUT: the library's run engine with the command's options, its refusals
and failures as one line in the command's names, the summary line, and the preview."""
import os
import shlex
import sys

import click

from .. import to_raster
from ..schedulers import scheduler_of
from .errors import DataFailure, reported
from .options import progress_mode
from .preview import save_preview


def build(make):
    """The library's result of `make()`, its refusals of the arguments reported in the command's names."""
    try:
        return make()
    except (ValueError, TypeError) as error:
        raise reported(error) from None


def run_to_file(ctx, result, output, *, overwrite, resume, workers, scheduler, cluster, jobs, cluster_options,
                creation_options, preview, quiet, drawing, announce=None):
    """Write `result` to OUTPUT and its preview (drawn with `save_preview`'s arguments `drawing`), then say what
    was done; `announce` is said once the run has passed its checks. Nothing is said when `quiet`."""
    try:
        summary = to_raster(result, output, overwrite=overwrite, resume=resume,
                            scheduler=scheduler_of(scheduler, cluster), workers=workers, jobs=jobs,
                            cluster_options=cluster_options, progress=progress_mode(ctx, quiet),
                            creation_options=creation_options, also_writes={"preview": preview},
                            started=lambda: say(announce) if announce and not quiet else None)
    except (ValueError, TypeError, RuntimeError, KeyboardInterrupt) as error:
        raise reported(error, resume_command(ctx)) from None
    if preview:
        save_preview(output, preview, **drawing)
    if not quiet:
        resumed = (f" ({summary.resumed_parts} of {summary.parts} tiles from the interrupted run)"
                   if summary.resumed_parts else "")
        say(f"{result.name}: {summary.units:,} cells in {summary.seconds:.1f} s{resumed}, written to {output}")


def say(text):
    """A line on standard output; a closed one (`| head`) or a full one is reported as one line, not left to a
    traceback."""
    try:
        click.echo(text)
    except OSError as error:
        # What is still buffered for it would fail again as the interpreter exits.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise DataFailure("the standard output was closed" if isinstance(error, BrokenPipeError) else
                          f"cannot write to the standard output: {error.strerror or error}") from None


def resume_command(ctx):
    args = ctx.find_root().obj["args"]
    return shlex.join(["quillet", *args] + ([] if "--resume" in args else ["--resume"]))
