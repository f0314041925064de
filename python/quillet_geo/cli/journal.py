"""The run folder beside OUTPUT: the run's manifest and its finished tiles, so that `--resume` can go on.

A tile file appears only complete (written under a temporary name, then renamed), so the tile files present
are exactly the finished tiles, whatever killed the run.
"""
import json
import os
import re
import shutil
from pathlib import Path

import click
import numpy as np

TILE_NAME = re.compile(r"tile-(\d+)-(\d+)\.npz")


def run_folder_of(output):
    return output.with_name(output.name + ".quillet-run")


def fingerprint(path):
    """What identifies an input file's content cheaply: its absolute path, size and modification time."""
    status = os.stat(path)
    return {"path": str(Path(path).resolve()), "size": status.st_size, "mtime_ns": status.st_mtime_ns}


def _write_atomically(path, write):
    temporary = path.with_name(f"{path.name}.{os.getpid()}.tmp")
    with open(temporary, "wb") as file:
        write(file)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)


class Journal:
    """Finished tiles of one run, kept in `folder` with the manifest (arguments and input fingerprints)."""

    def __init__(self, folder):
        self.folder = folder

    @classmethod
    def start(cls, folder, manifest):
        folder.mkdir()
        _write_atomically(folder / "manifest.json", lambda file: file.write(json.dumps(manifest, indent=1).encode()))
        return cls(folder)

    @classmethod
    def resume(cls, folder, manifest):
        """Reopen an interrupted run, refusing it when the arguments or the input files are not the same."""
        try:
            recorded = json.loads((folder / "manifest.json").read_text())
        except (OSError, ValueError):
            raise click.UsageError(f"--resume: '{folder}' holds no readable run; start over with --overwrite") from None
        _refuse_differences(recorded, manifest)
        for leftover in folder.glob("*.tmp"):
            leftover.unlink()
        return cls(folder)

    def finished(self):
        return {tuple(int(n) for n in match.groups()) for match in map(TILE_NAME.fullmatch, os.listdir(self.folder))
                if match}

    def _tile_path(self, index):
        return self.folder / f"tile-{index[0]}-{index[1]}.npz"

    def save(self, index, values):
        _write_atomically(self._tile_path(index), lambda file: np.savez_compressed(file, values=values))

    def load(self, index):
        with np.load(self._tile_path(index)) as archive:
            return archive["values"]

    def remove(self):
        shutil.rmtree(self.folder)


def _refuse_differences(recorded, manifest):
    if recorded.get("command") != manifest["command"]:
        raise click.UsageError(f"--resume: the interrupted run was 'quillet {recorded.get('command')}'")
    for name, value in manifest["arguments"].items():
        before = recorded["arguments"].get(name)
        if before != value:
            raise click.UsageError(
                f"--resume: {name} differs from the interrupted run ({_shown(before)} there, {_shown(value)} here); "
                "run with the same arguments, or start over with --overwrite"
            )
    for label, now in manifest["inputs"].items():
        before = recorded["inputs"].get(label)
        if before is None or before["path"] != now["path"]:
            raise click.UsageError(f"--resume: {label} is not the file of the interrupted run")
        if before != now:
            raise click.UsageError(
                f"--resume: {label} '{now['path']}' changed since the interrupted run; start over with --overwrite"
            )
    missing = set(recorded["inputs"]) - set(manifest["inputs"])
    if missing:
        raise click.UsageError(f"--resume: the interrupted run also had {', '.join(sorted(missing))}")


def _shown(value):
    if isinstance(value, list):
        return " ".join(map(str, value)) or "none"
    return "none" if value is None else str(value)
