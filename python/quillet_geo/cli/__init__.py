"""The `quillet` command: connectivity and coverage maps from raster and vector files, and statistics by region."""
import contextlib
import gc
import logging
import os
import sys
import warnings

import click

from .. import __version__
from .connectivity import connectivity
from .coverage import coverage
from .demo import demo
from .describe import add_describe_option
from .errors import in_command_terms
from .qgis import qgis
from .summarize import summarize
from .update import update


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(__version__, prog_name="quillet", message="%(prog)s %(version)s")
def cli():
    """Habitat connectivity and polygon coverage maps from GeoTIFF and vector files, and statistics by region."""


cli.add_command(connectivity)
cli.add_command(coverage)
cli.add_command(demo)
cli.add_command(summarize)
cli.add_command(update)
cli.add_command(qgis)
for offered in (connectivity, coverage, summarize, update):  # the commands other programs may offer (the QGIS plugin)
    add_describe_option(offered)


@contextlib.contextmanager
def _c_libraries_silenced():
    """GDAL and libtiff print some failures straight to the process's standard error, in their own terms; the
    command reports every failure in one line of its own, so their copies go to /dev/null (in the worker processes
    too, which inherit it), while what Python writes still reaches the terminal."""
    try:
        real = sys.stderr.fileno() == 2
    except (AttributeError, OSError, ValueError):  # a captured or replaced stderr: nothing of it to protect
        real = False
    if not real:
        yield
        return
    sys.stderr.flush()
    terminal = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    original, sys.stderr = sys.stderr, open(terminal, "w", buffering=1, encoding=sys.stderr.encoding,
                                            errors="backslashreplace")
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(terminal, 2)
        sys.stderr.close()
        sys.stderr = original


def _warning_line(message, category, *args, **kwargs):
    click.echo(f"Warning: {in_command_terms(str(message))}", err=True)


def main(args=None):
    """Run the command; every failure ends in one line on stderr and an exit status (2 usage, 1 data or run,
    128 + the signal that stopped a run)."""
    args = sys.argv[1:] if args is None else list(args)
    logging.getLogger().addHandler(logging.NullHandler())
    with warnings.catch_warnings(), _c_libraries_silenced():
        warnings.simplefilter("ignore")  # the libraries' deprecation notices are not for the command's users
        warnings.simplefilter("always", UserWarning)
        warnings.showwarning = _warning_line
        try:
            status = cli.main(args=args, prog_name="quillet", standalone_mode=False, obj={"args": args})
        except click.UsageError as error:
            click.echo(f"Error: {error.format_message()}", err=True)
            status = error.exit_code
        except click.ClickException as error:
            error.show()
            status = error.exit_code
        except (KeyboardInterrupt, click.Abort):
            click.echo("Interrupted.", err=True)
            status = 130
    # The interpreter's last garbage collection walks every object of the libraries imported, most of a second
    # after the run has ended (and after Ctrl-C: a follower waits for the exit); nothing left needs it.
    gc.freeze()
    sys.exit(status or 0)
