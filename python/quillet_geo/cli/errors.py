"""What the command reports: data errors (status 1), usage errors (status 2, click's own) and interruption; and the
library's refusals told in the command's own names."""
import click

from ..errors import ArgumentError, ArgumentTypeError

# The command's name for each argument of the library.
OPTION_NAMES = {
    "condition": "CONDITION", "geometries": "POLYGONS", "like": "--like", "levels": "--levels",
    "lambdas": "--lambdas", "max_cost": "--max-cost", "window_size": "--window-size",
    "outer_window": "--outer-window", "window_mode": "--window-mode", "tile_size": "--tile-size",
    "sources": "--sources", "protected": "--protected", "traversal": "--traversal", "band": "--band",
    "protected_min_fraction": "--protected-min-fraction", "layer": "--layer", "where": "--where",
    "assume_crs": "--assume-crs",
}


class DataError(click.ClickException):
    """An input file's content is wrong: exit status 1, one line."""

    exit_code = 1


class Interrupted(Exception):
    """Ctrl-C ended the run; the text says what was kept and how to go on."""


def option_name(argument):
    return OPTION_NAMES.get(argument) or ("--transgrid" if argument.startswith("transgrids[") else argument)


def one_line(error):
    """An exception's text and notes (such as which tile failed) on one line."""
    parts = [str(error).strip()] + [note.strip() for note in getattr(error, "__notes__", ())]
    return "; ".join(" ".join(part.split()) for part in parts if part)


def from_library(error):
    """The click exception that reports one of the library's refusals under the command's option names: a wrong
    argument is a usage error (status 2), anything else about the inputs a data error (status 1)."""
    if isinstance(error, (ArgumentError, ArgumentTypeError)):
        return click.BadParameter(error.problem, param_hint=f"'{option_name(error.argument)}'")
    argument = getattr(error, "argument", None)
    if argument is None:
        return DataError(one_line(error))
    notes = "".join(f"; {' '.join(note.split())}" for note in getattr(error, "__notes__", ()))
    return DataError(f"{option_name(argument)} {error.problem}{notes}")
