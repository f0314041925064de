"""What the command reports, always one line: usage errors (status 2), data and run failures (status 1), and runs
stopped by a signal (128 + its number); the library's messages told in the command's own names."""
import re

import click

from ..errors import ArgumentError, ArgumentTypeError, DataError, RunFailed, RunRefused, Stopped

# The command's name for each argument of the library.
OPTION_NAMES = {
    "condition": "CONDITION", "geometries": "POLYGONS", "like": "--like", "output": "OUTPUT", "levels": "--levels",
    "lambdas": "--lambdas", "max_cost": "--max-cost", "window_size": "--window-size",
    "outer_window": "--outer-window", "window_mode": "--window-mode", "tile_size": "--tile-size",
    "sources": "--sources", "protected": "--protected", "traversal": "--traversal", "band": "--band",
    "protected_min_fraction": "--protected-min-fraction", "layer": "--layer", "where": "--where",
    "assume_crs": "--assume-crs", "resume": "--resume", "overwrite": "--overwrite", "preview": "--preview",
    "workers": "--workers", "scheduler": "--scheduler", "cluster": "--cluster", "jobs": "--jobs",
    "cluster_options": "--cluster-option", "creation_options": "--co", "align": "--align", "values": "VALUES",
    "regions": "REGIONS", "by": "--by", "stats": "--stats", "weights": "--weights",
}


class DataFailure(click.ClickException):
    """An input's content is wrong, or the run could not go on: exit status 1, one line."""

    exit_code = 1


class Halted(click.ClickException):
    """A run stopped by a signal: the text says what was kept and how to go on; exit status 128 + the signal."""

    def __init__(self, message, signum):
        super().__init__(message)
        self.exit_code = 128 + signum

    def show(self, file=None):
        click.echo(self.format_message(), err=True)


def option_name(argument):
    return OPTION_NAMES.get(argument) or ("--transgrid" if argument.startswith("transgrids[") else argument)


def in_command_terms(text):
    """The library's text with the arguments it names between backquotes replaced by the command's names."""
    return re.sub(r"`(\w+)`", lambda m: option_name(m[1]) if m[1] in OPTION_NAMES else m[0], text)


def one_line(error):
    """An exception's text and notes (such as which tile failed) on one line."""
    parts = [str(error).strip()] + [note.strip() for note in getattr(error, "__notes__", ())]
    return in_command_terms("; ".join(" ".join(part.split()) for part in parts if part))


def reported(error, resume_command=None):
    """The click exception that reports `error` (one of the library's, or any failure of a tile) as one line in the
    command's names; `resume_command` is shown where the finished tiles can be gone on with."""
    if isinstance(error, Stopped):
        name = "Interrupted" if error.signal.name == "SIGINT" else f"Stopped by {error.signal.name}"
        return Halted(f"{name}: {error.kept} of {error.total} {error.parts} are finished and kept in "
                      f"'{error.folder}'; to go on, run: {resume_command}", error.signal)
    if isinstance(error, RunRefused):
        return click.UsageError(in_command_terms(f"{option_name(error.argument)}: {error.problem}"))
    if isinstance(error, (ArgumentError, ArgumentTypeError)):
        return click.BadParameter(in_command_terms(error.problem), param_hint=f"'{option_name(error.argument)}'")
    if isinstance(error, DataError):
        notes = "".join(f"; {' '.join(note.split())}" for note in getattr(error, "__notes__", ()))
        return DataFailure(in_command_terms(f"{option_name(error.argument)} {error.problem}{notes}"))
    text = one_line(error)
    if isinstance(error, RunFailed) and getattr(error, "kept", None) is not None:
        text += f"; to go on once that is mended, run: {resume_command}"
    return DataFailure(text)
