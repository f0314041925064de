"""Output paths checked before anything is written or deleted: each in a writable folder, not a folder itself, not
replacing a file unless asked to, and never an input (the same file, through links too) nor another output; the run
folder beside an output holds no input either, since it is removed at the end."""
import os
import tempfile
from pathlib import Path

from .errors import RunRefused
from .journal import run_folder_of
from .rasters import is_path


def check_outputs(outputs, inputs, *, overwrite):
    """Refuse, naming the output's argument, any of `outputs` ({argument: path}) that would lose data; `inputs`
    maps each input's argument to its value (only paths matter)."""
    paths = {argument: Path(path) for argument, path in outputs.items() if path is not None}
    files = {label: Path(os.fspath(value)) for label, value in inputs.items() if is_path(value)}
    for argument, path in paths.items():
        for label, input_path in files.items():
            if _same_file(path, input_path):
                raise RunRefused(argument, f"'{path}' is the input `{label}`; write to another file")
            if argument == "output" and _inside(input_path, run_folder_of(path)):
                raise RunRefused(argument, f"the input `{label}` '{input_path}' lies in '{run_folder_of(path)}', "
                                           "the run folder that the run removes when it ends")
    seen = {}
    for argument, path in paths.items():
        for other, other_path in seen.items():
            if _same_file(path, other_path):
                raise RunRefused(argument, f"'{path}' is also `{other}`; write them to different files")
        seen[argument] = path
    for argument, path in paths.items():
        _check_writable(argument, path, overwrite)


def _check_writable(argument, path, overwrite):
    folder = path.absolute().parent
    if not folder.is_dir():
        raise RunRefused(argument, f"folder '{folder}' does not exist")
    try:
        tempfile.TemporaryFile(dir=folder).close()
    except OSError:
        raise RunRefused(argument, f"folder '{folder}' is not writable") from None
    if path.is_dir():
        raise RunRefused(argument, f"'{path}' is a folder")
    if path.exists() and not overwrite:
        raise RunRefused(argument, f"'{path}' exists; add `overwrite` to replace it")


def _same_file(first, second):
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


def _inside(path, folder):
    return Path(os.path.realpath(path)).is_relative_to(os.path.realpath(folder))
