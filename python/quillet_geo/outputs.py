"""Output paths checked before anything is written or deleted: each in a writable folder, not a folder itself, not
replacing a file unless asked to, and never a file an input is read from (the same file, through links too; a
shapefile's sidecar, a VRT's source, the file a lazy array was opened from) nor another output; the run folder beside
the output holds no input and no other output either, since it is removed at the end."""
import os
import tempfile
from pathlib import Path

from .errors import RunRefused
from .input_files import dataset_files, input_paths
from .run_folder import run_folder_of


def check_outputs(outputs, inputs, *, overwrite):
    """Refuse, naming the output's argument, any of `outputs` ({argument: path}, the run's own "output" among them)
    that would lose data; `inputs` maps each input's argument to its value (only files matter)."""
    paths = {argument: Path(path) for argument, path in outputs.items() if path is not None}
    folder = run_folder_of(paths["output"])
    for label, input_path in input_paths(inputs).items():
        for file in dict.fromkeys([input_path, *dataset_files(input_path)]):
            _check_against_input(paths, label, input_path, file, folder)
    seen = {}
    for argument, path in paths.items():
        for other, other_path in seen.items():
            if _same_file(path, other_path):
                raise RunRefused(argument, f"'{path}' is also `{other}`; write them to different files")
        if argument != "output" and _inside(path, folder):
            raise RunRefused(argument, f"'{path}' lies in '{folder}', the run folder that the run removes when it "
                                       "ends; write it elsewhere")
        seen[argument] = path
    for argument, path in paths.items():
        _check_writable(argument, path, overwrite)


def _check_against_input(paths, label, input_path, file, folder):
    """Refuse an output that is `file`, one of the files the input `label` ('input_path') is read from, and a run
    folder that holds it."""
    for argument, path in paths.items():
        if _same_file(path, file):
            whose = (f"the input `{label}`" if _same_file(file, input_path) else
                     f"a file of the input `{label}` '{input_path}'")
            raise RunRefused(argument, f"'{path}' is {whose}; write to another file")
    if _inside(file, folder):
        raise RunRefused("output", f"the input `{label}` '{file}' lies in '{folder}', the run folder that the run "
                                   "removes when it ends")


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
