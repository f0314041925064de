"""Options shared by the subcommands, each defined once here with its defaults and choices read from the library,
and the parsing of number lists such as `--levels 1 2 4`."""
import inspect
from pathlib import Path

import click

from ..batch_clusters import SYSTEMS
from ..progress_lines import PROGRESS_MODES
from ..rasters import RESAMPLING

INPUT_FILE = click.Path(exists=True, dir_okay=False, readable=True, path_type=Path)


def default_of(function, argument):
    """The library's default for `function`'s `argument`, which the command's option takes as its own."""
    return inspect.signature(function).parameters[argument].default


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


def _record_progress(ctx, param, value):
    ctx.meta["quillet.progress"] = value


# Read by `progress_mode` rather than passed to each subcommand's function.
progress_option = click.option(
    "--progress", type=click.Choice(PROGRESS_MODES), expose_value=False, callback=_record_progress,
    help="How the run shows its progress on standard error: auto (a bar on a terminal), bar, none, or json (a JSON "
         "line for the start, each update and the end, for programs that follow the run)  [default: auto, or none "
         "with --quiet]")


def progress_mode(ctx, quiet):
    """The library's progress mode for a run: --progress if given, else none with --quiet and auto without."""
    return ctx.meta.get("quillet.progress") or ("none" if quiet else "auto")


def _key_values(param, values):
    """(KEY, VALUE) of each KEY=VALUE given to a repeatable option."""
    for value in values:
        key, equals, setting = value.partition("=")
        if not equals or not key:
            raise click.BadParameter(f"{value!r} is not KEY=VALUE", param=param)
        yield key, setting


def _creation_options(ctx, param, values):
    return dict(_key_values(param, values))


def _cluster_options(ctx, param, values):
    """{KEY: VALUE}, or {KEY: [VALUE, ...]} for a key given several times (the library says which keys take lists);
    None without any."""
    options = {}
    for key, setting in _key_values(param, values):
        options.setdefault(key, []).append(setting)
    return {key: settings[0] if len(settings) == 1 else settings for key, settings in options.items()} or None


def _options(command, options):
    for option in reversed(options):
        command = option(command)
    return command


def run_options(command):
    """The options of every subcommand that writes a file: where its parts run, going on with an interrupted run or
    starting it over, and how its progress is shown."""
    return _options(command, [
        click.option("--workers", type=int,
                     help="Local worker processes computing tiles at once  [default: one per CPU]"),
        click.option("--scheduler", metavar="ADDRESS",
                     help="Run the tiles on this Dask cluster (for example tcp://host:8786); the input files must "
                          "be on a filesystem that its workers share."),
        click.option("--cluster", metavar="SYSTEM",
                     help=f"Run the tiles on batch jobs submitted for the run to this HPC system "
                          f"({', '.join(SYSTEMS)}) through dask-jobqueue, as its configuration and --cluster-option "
                          "say; inputs, OUTPUT and the run folder must be on a filesystem that the jobs share."),
        click.option("--jobs", type=int, help="Batch jobs of the --cluster  [default: 1]"),
        click.option("--cluster-option", "cluster_options", multiple=True, metavar="KEY=VALUE",
                     callback=_cluster_options,
                     help="An option of each --cluster job (repeat for several), over dask-jobqueue's configuration: "
                          "cores=4, memory=16GB, walltime=04:00:00, queue=..., account=..., "
                          "job-extra-directives=... (repeatable), ..."),
        click.option("--resume", is_flag=True, help="Continue the interrupted run of OUTPUT with the same arguments."),
        click.option("--overwrite", is_flag=True,
                     help="Replace OUTPUT if it exists (once the new file is complete), and start an interrupted run "
                          "of OUTPUT over."),
        click.option("--quiet", is_flag=True, help="No progress bar and no summary line."),
        progress_option,
    ])


def map_options(command):
    """The options of the subcommands that write a map: its GeoTIFF's creation options, and a preview."""
    return _options(command, [
        click.option(
            "--co", "creation_options", multiple=True, metavar="KEY=VALUE", callback=_creation_options,
            help="A creation option of GDAL's COG driver for OUTPUT (repeat for several), e.g. --co COMPRESS=ZSTD; "
                 "lossless compressions only.  [default: COMPRESS=DEFLATE PREDICTOR=3 BLOCKSIZE=512 OVERVIEWS=AUTO]"),
        click.option(
            "--preview", type=click.Path(dir_okay=False, path_type=Path), metavar="PNG",
            help="Also save a downsampled map of the result, with a colour bar and a title, as this PNG file."),
    ])


def tile_size_option(function, help):
    """--tile-size, with the default of `function`'s `tile_size`."""
    return click.option("--tile-size", type=int, default=default_of(function, "tile_size"), show_default=True,
                        help=help)


def align_option(help):
    """--align METHOD: `help` says which rasters are warped onto which grid; the methods are listed after it."""
    return click.option("--align", type=click.Choice(RESAMPLING), metavar="METHOD",
                        help=f"{help} Methods: {', '.join(RESAMPLING)}.")


def nodata_option(help):
    """--nodata V: `help` says which rasters it applies to."""
    return click.option("--nodata", type=float, metavar="V", help=help)
