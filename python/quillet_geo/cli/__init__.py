"""The `quillet` command: connectivity and coverage maps from raster and vector files."""
import sys

import click

from .connectivity import connectivity
from .coverage import coverage
from .demo import demo
from .errors import Interrupted


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
def cli():
    """Habitat connectivity and polygon coverage maps from GeoTIFF and vector files."""


cli.add_command(connectivity)
cli.add_command(coverage)
cli.add_command(demo)


def main(args=None):
    """Run the command; every failure ends in one line on stderr and an exit status (2 usage, 1 data, 130 Ctrl-C)."""
    try:
        args = sys.argv[1:] if args is None else list(args)
        status = cli.main(args=args, prog_name="quillet", standalone_mode=False, obj={"args": args})
    except click.UsageError as error:
        click.echo(f"Error: {error.format_message()}", err=True)
        status = error.exit_code
    except click.ClickException as error:
        error.show()
        status = error.exit_code
    except Interrupted as interrupt:
        click.echo(str(interrupt), err=True)
        status = 130
    except (KeyboardInterrupt, click.Abort):
        click.echo("Interrupted.", err=True)
        status = 130
    sys.exit(status or 0)
