"""Options shared by the subcommands, and the parsing of number lists such as `--levels 1 2 4`."""
import os
import tempfile
from pathlib import Path

import click

INPUT_FILE = click.Path(exists=True, dir_okay=False, readable=True, path_type=Path)


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def expand_number_lists(args, names):
    """Rewrite `--levels 1 2 4` as `--levels 1 --levels 2 --levels 4`, so that click reads it as a repeated option."""
    expanded = []
    option, took_value = None, False
    for arg in args:
        if option and _is_number(arg):
            expanded += [option, arg]
            took_value = True
            continue
        if option and not took_value:
            expanded.append(option)
        option, took_value = (arg, False) if arg in names else (None, False)
        if option is None:
            expanded.append(arg)
        if arg == "--":
            names = ()
    if option and not took_value:
        expanded.append(option)
    return expanded


class NumberListCommand(click.Command):
    """A command whose `multiple=True` options marked `number_list` also take several numbers after one flag."""

    def parse_args(self, ctx, args):
        names = {opt for param in self.params if getattr(param, "number_list", False) for opt in param.opts}
        return super().parse_args(ctx, expand_number_lists(args, names))


class NumberListOption(click.Option):
    number_list = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, multiple=True, **kwargs)


def check_output_path(path, overwrite, hint="OUTPUT"):
    """Refuse an output whose folder is missing or not writable, or an existing file without --overwrite."""
    folder = path.absolute().parent
    if not folder.is_dir():
        raise click.BadParameter(f"folder '{folder}' does not exist", param_hint=hint)
    try:
        tempfile.TemporaryFile(dir=folder).close()
    except OSError:
        raise click.BadParameter(f"folder '{folder}' is not writable", param_hint=hint) from None
    if path.is_dir():
        raise click.BadParameter(f"'{path}' is a folder", param_hint=hint)
    if path.exists() and not overwrite:
        raise click.UsageError(f"{hint} '{path}' exists; add --overwrite to replace it")


def default_workers():
    return len(os.sched_getaffinity(0))


overwrite_option = click.option("--overwrite", is_flag=True, help="Replace OUTPUT if it exists.")
quiet_option = click.option("--quiet", is_flag=True, help="No progress bar and no summary line.")
preview_option = click.option(
    "--preview", type=click.Path(dir_okay=False, path_type=Path), metavar="PNG",
    help="Also save a downsampled map of the result, with a colour bar and a title, as this PNG file.",
)
