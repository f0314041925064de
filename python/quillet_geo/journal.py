"""The run folder beside the output: the run's manifest, its finished parts (tiles, for a map) and its lock, so that
an interrupted run loses only the parts in flight and `resume` goes on where it stopped (run_folder.py says which
folders and files are a run's).

A part's file appears only complete (written under a temporary name, flushed, then renamed) and carries the identity
of its run, the part's index and shape, and a hash of its values: a file damaged since, or left by another run, is
recognised and computed again, never used. The manifest records what fixes the result (the software version, the
parameters, the grid and a fingerprint of every input); `resume` goes on only when all of it is the same.
"""
import hashlib
import json
import os
import shutil
import zipfile
import zlib

import numpy as np

from .atomic import write_atomically
from .errors import RunFailed, RunRefused
from .fingerprints import array_digest, changed_input
from .lock import RunLock
from .run_folder import FolderIdentity, check_ours, read_manifest, remove_run_folder, run_files, run_folder_of

FULL_DISK = 16 * 2**20  # free bytes below which a failed write is put down to a full disk


def write_error(path, error):
    """The one line that reports a failed write, naming the path. GDAL often reports a full disk only as a failed
    write or a file that does not read back, so the free space is looked at too."""
    reason = (error.strerror or str(error)) if isinstance(error, OSError) else str(error)
    try:
        free = shutil.disk_usage(os.path.dirname(os.path.abspath(path))).free
    except OSError:
        free = None
    if free is not None and free < FULL_DISK and "No space left" not in reason:
        reason = f"no space left on the device ({free:,} bytes free; {reason})"
    return RunFailed(f"cannot write '{path}': {reason}")


class DamagedPart(Exception):
    """A part's file that cannot be used; the text says why."""


class Journal:
    """Finished parts of one run, kept in `folder` under its lock with the run's manifest."""

    def __init__(self, folder, manifest, lock, identity):
        self.folder, self.manifest, self.lock, self.identity = folder, manifest, lock, identity
        self.run = hashlib.sha256(json.dumps(manifest, sort_keys=True).encode()).hexdigest()

    @classmethod
    def open(cls, output, manifest, *, resume, overwrite):
        """Take the run folder of `output`: a new run (clearing an interrupted one only with `overwrite`), or the
        interrupted run to go on with (`resume`), refused unless it was made with the same manifest."""
        folder = run_folder_of(output)
        check_ours(folder)
        if resume and not folder.is_dir():
            raise RunRefused("resume", f"no interrupted run of '{output}' to continue (no folder '{folder}')")
        created = not folder.exists()
        try:
            folder.mkdir(exist_ok=True)
            identity = FolderIdentity(folder)
        except OSError as error:
            raise write_error(folder, error) from None
        lock = RunLock(folder / "lock", output)
        try:
            lock.acquire()
            recorded = read_manifest(folder)
            if resume:
                if recorded is None:
                    raise RunRefused("resume", f"'{folder}' holds no readable run; start over with `overwrite`")
                _refuse_differences(recorded, manifest)
            elif recorded is not None and not overwrite:
                raise RunRefused("output", f"'{output}' has an interrupted run in '{folder}'; continue it with "
                                           "`resume`, or start over with `overwrite`")
            for leftover in run_files(folder, warn=True):
                if leftover.name != "lock" and (not resume or leftover.name.endswith(".tmp") or
                                                ".partial" in leftover.name):
                    os.unlink(leftover.path)
            if not resume:
                write_atomically(folder / "manifest.json", json.dumps(manifest, indent=1).encode())
        except BaseException as error:
            lock.release()
            if created:
                shutil.rmtree(folder, ignore_errors=True)
            if isinstance(error, OSError):
                raise write_error(getattr(error, "filename", None) or folder, error) from None
            raise
        return cls(folder, manifest, lock, identity)

    def finished(self):
        """The indices of the parts whose files are present (not yet checked)."""
        try:
            names = [entry.name for entry in run_files(self.folder)]
        except OSError:  # the folder is gone: nothing is kept
            return set()
        return {tuple(map(int, name[5:-4].split("-"))) for name in names if name.startswith("part-")}

    def _part_path(self, index):
        return self.folder / f"part-{'-'.join(map(str, index))}.npz"

    def save(self, index, values):
        meta = {"run": self.run, "index": list(index), "shape": list(values.shape), "sha256": array_digest(values)}
        path = self._part_path(index)
        self.identity.check()
        try:
            write_atomically(path, lambda file: np.savez_compressed(file, values=values, meta=json.dumps(meta)))
        except OSError as error:
            raise write_error(path, error) from None

    def load(self, index, shape, dtype):
        """A finished part's values, or DamagedPart saying why they cannot be used."""
        try:
            with np.load(self._part_path(index)) as archive:
                values, meta = archive["values"], json.loads(str(archive["meta"]))
        except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile, zlib.error) as error:
            raise DamagedPart(f"unreadable ({' '.join(str(error).split()) or type(error).__name__})") from None
        if not isinstance(meta, dict):
            raise DamagedPart("its description is not a part's")
        expected = {"run": self.run, "index": list(index), "shape": list(shape)}
        for key, value in expected.items():
            if meta.get(key) != value:
                raise DamagedPart(f"its {key} is not this run's" if key == "run" else f"it has the wrong {key}")
        if values.dtype != dtype or list(values.shape) != list(shape) or array_digest(values) != meta.get("sha256"):
            raise DamagedPart("its values do not match their hash")
        return values

    def forget(self, index):
        self._part_path(index).unlink(missing_ok=True)

    def partial(self, output):
        """Where `output` is assembled before it is renamed into place."""
        self.identity.check()
        return self.folder / f"output.partial{output.suffix}"

    def close(self, *, remove):
        """Release the run folder: removed when the run is complete (unless another was put in its place), kept
        (with its parts) otherwise."""
        if remove and self.identity.in_place():
            remove_run_folder(self.folder)
        self.lock.release()


def _refuse_differences(recorded, manifest):
    """RunRefused naming the first thing that fixes the result and differs from the interrupted run."""
    if recorded.get("command") != manifest["command"]:
        raise RunRefused("resume", f"the interrupted run is a {recorded.get('command')} run")
    if recorded.get("version") != manifest["version"]:
        raise RunRefused("resume", f"the interrupted run was made by quillet {recorded.get('version')}, this is "
                                   f"{manifest['version']}; start over with `overwrite`")
    before, now = recorded.get("parameters", {}), manifest["parameters"]
    for name in sorted(set(before) | set(now)):
        if before.get(name) != now.get(name):
            raise RunRefused("resume", f"`{name}` differs from the interrupted run ({_as_text(before.get(name))} "
                                       f"there, {_as_text(now.get(name))} here); run with the same arguments, or "
                                       "start over with `overwrite`")
    before, now = recorded.get("inputs", {}), manifest["inputs"]
    for label in sorted(set(before) | set(now)):
        if label not in now or label not in before or before[label].get("path") != now[label].get("path"):
            raise RunRefused("resume", f"`{label}` is not the input of the interrupted run")
        if before[label] != now[label]:
            raise RunRefused("resume", f"{changed_input(label, before[label], now[label])} changed since the "
                                       "interrupted run; start over with `overwrite`")
    if recorded.get("grid") != manifest["grid"]:
        raise RunRefused("resume", "the grid differs from the interrupted run's; start over with `overwrite`")


def _as_text(value):
    if isinstance(value, list):
        return " ".join(map(str, value)) or "none"
    return "none" if value is None else str(value)
