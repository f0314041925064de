"""The `quillet` command: connectivity and coverage maps from raster and vector files."""
import sys
import warnings

import click

from .connectivity import connectivity
from .coverage import coverage
from .demo import demo


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
def cli():
    """Habitat connectivity and polygon coverage maps from GeoTIFF and vector files."""


cli.add_command(connectivity)
cli.add_command(coverage)
cli.add_command(demo)


def _warning_line(message, category, *args, **kwargs):
    click.echo(f"Warning: {message}", err=True)


def main(args=None):
    """Run the command; every failure ends in one line on stderr and an exit status (2 usage, 1 data or run,
    128 + the signal that stopped a run)."""
    args = sys.argv[1:] if args is None else list(args)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the libraries' deprecation notices are not for the command's users
        warnings.simplefilter("always", UserWarning)
        warnings.showwarning = _warning_line
        try:
            status = cli.main(args=args, prog_name="quillet", standalone_mode=False, obj={"args": args})
            sys.stdout.flush()
        except click.UsageError as error:
            click.echo(f"Error: {error.format_message()}", err=True)
            status = error.exit_code
        except click.ClickException as error:
            error.show()
            status = error.exit_code
        except (KeyboardInterrupt, click.Abort):
            click.echo("Interrupted.", err=True)
            status = 130
        except BrokenPipeError:
            sys.stdout = None  # nothing more can reach it, not even at exit
            click.echo("Error: the standard output was closed", err=True)
            status = 1
    sys.exit(status or 0)
