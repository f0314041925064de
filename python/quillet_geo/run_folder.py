"""The run folder beside an output (`OUTPUT.quillet-run`) is quillet's alone: a run takes it only when it is a folder
that quillet made, touches in it only the files a run writes, and stops when it is replaced while the run lives.

A folder of that name is a run's when it holds a run's manifest, or nothing but a run's lock and temporary files (a
run stopped before its manifest was in place). A symbolic link, a file, or a folder of anything else is refused and
left as it is, `overwrite` or not: emptying it could delete what a user keeps there. In a run's folder, an entry that
is not a regular file named as a run names its files (a folder named like a part, a link) is left alone with a
warning, never read, replaced or removed.
"""
import json
import os
import re
import stat
import warnings

from .errors import RunFailed, RunRefused

RUN_FILE = re.compile(r"lock|manifest\.json|part-\d+(?:-\d+)*\.npz|output\.partial.*|.+\.\d+\.tmp")
MANIFEST_FIELDS = {"command": str, "version": str, "parameters": dict, "grid": dict, "inputs": dict}


def run_folder_of(output):
    return output.with_name(output.name + ".quillet-run")


def check_ours(folder):
    """Refuse the run folder's path when something that is not a run's folder is there."""
    if folder.is_symlink():
        raise RunRefused("output", f"'{folder}' is a symbolic link; a run keeps its tiles in a folder of its own "
                                   "there: remove the link, or write to another `output`")
    if not folder.exists():
        return
    if not folder.is_dir():
        raise RunRefused("output", f"'{folder}' is in the way of the run folder and is not a folder: move it away, "
                                   "or write to another `output`")
    names = os.listdir(folder)
    if "manifest.json" in names:
        read_manifest(folder)
    elif any(name != "lock" and not name.endswith(".tmp") for name in names):
        raise RunRefused("output", f"'{folder}' is not a run folder of quillet (it holds no run's manifest), so it "
                                   "is left as it is: move it away, or write to another `output`")


def read_manifest(folder):
    """The recorded manifest of the run in `folder`, None when there is none, or RunRefused when it is not one."""
    path = folder / "manifest.json"
    try:
        manifest = json.loads(path.read_text())
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise RunRefused("output", f"'{path}' cannot be read as a run's manifest ({error}); move '{folder}' away, "
                                   "or write to another `output`") from None
    problem = _manifest_problem(manifest)
    if problem:
        raise RunRefused("output", f"'{path}' is not a run's manifest ({problem}); move '{folder}' away, or write "
                                   "to another `output`")
    return manifest


def _manifest_problem(manifest):
    if not isinstance(manifest, dict):
        return f"it holds a {type(manifest).__name__}, not an object"
    for name, kind in MANIFEST_FIELDS.items():
        if not isinstance(manifest.get(name), kind):
            return f"its {name} is missing or not a{'n' * (kind is dict)} {'object' if kind is dict else 'text'}"
    if not all(isinstance(value, dict) for value in manifest["inputs"].values()):
        return "its inputs are not fingerprints"
    return None


def run_files(folder, *, warn=False):
    """The regular files of `folder` named as a run names its files; with `warn`, a warning line for every other
    entry, which is left alone."""
    files = []
    with os.scandir(folder) as entries:
        for entry in entries:
            if RUN_FILE.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
                files.append(entry)
            elif warn:
                warnings.warn(f"'{entry.path}' in the run folder is not one of the run's files; it is left alone",
                              stacklevel=4)
    return files


def remove_run_folder(folder):
    """Remove the run's files and then the folder, unless it holds entries that are not the run's."""
    for entry in run_files(folder):
        os.unlink(entry.path)
    try:
        os.rmdir(folder)
    except OSError:
        pass


class FolderIdentity:
    """Which folder a run took, so that one put in its place while it runs is noticed before anything is written
    there or removed from it."""

    def __init__(self, folder):
        self.folder = folder
        self.status = os.lstat(folder)

    def in_place(self):
        try:
            now = os.lstat(self.folder)
        except OSError:
            return False
        return stat.S_ISDIR(now.st_mode) and (now.st_dev, now.st_ino) == (self.status.st_dev, self.status.st_ino)

    def check(self):
        if not self.in_place():
            raise RunFailed(f"the run folder '{self.folder}' was replaced or removed while the run went on; the run "
                            "stops without writing there", resumable=False)
