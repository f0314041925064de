"""What identifies an input's content cheaply, so that a run notices an input that changed under it or since it was
interrupted: for a dataset on disk the size, modification time and a hash of the header and of bytes sampled evenly
over each file it is read from (input_files.py says which: a shapefile's sidecars, a VRT's sources...); for data in
memory a hash of all of it; for a Dask array its token, and the files it was opened from."""
import hashlib
import os
import stat

import dask.array as da
import numpy as np
import shapely
import xarray as xr

from .input_files import aux_xml_content, dataset_files, is_aux_xml, is_path

SAMPLES, SAMPLE_BYTES = 16, 64 * 1024


def fingerprint(value):
    """A JSON-able description of `value`'s content: equal fingerprints, same content (as far as sampled)."""
    if is_path(value):
        return _dataset(os.fspath(value))
    source = value.encoding.get("source") if isinstance(value, xr.DataArray) else None
    if isinstance(value, xr.DataArray):
        value = value.data
    if isinstance(value, da.Array):
        return {"dask": value.name, **({"source": _dataset(os.fspath(source))} if is_path(source) else {})}
    array = np.asarray(value)
    if array.dtype == object:
        return {"sha256": hashlib.sha256(b"".join(shapely.to_wkb(array))).hexdigest()}
    return {"sha256": array_digest(array), "shape": list(array.shape)}


def changed_input(label, before, now):
    """How messages name an input whose fingerprint changed from `before` to `now`: its argument and file, and the
    file of its dataset that changed where that is another (a shapefile's .dbf, a VRT's source)."""
    named = now.get("path") or now.get("source", {}).get("path")
    before, now = before.get("source", before), now.get("source", now)
    files, other = before.get("files", {}), now.get("files", {})
    changed = next((path for path in dict.fromkeys([named, *other, *files]) if files.get(path) != other.get(path)),
                   None)
    return f"`{label}`" + (f" '{named}'" if named else "") + (
        f" (its file '{changed}')" if changed and changed != named else "")


def array_digest(values):
    """The SHA-256 of an array's values (its bytes in row-major order), as hex: the hash a run keeps of each part and
    checks the written file against."""
    return hashlib.sha256(np.ascontiguousarray(values).view(np.uint8)).hexdigest()


def _dataset(path):
    local = not path.startswith("/vsi")
    return {"path": os.path.realpath(path) if local else path,
            "files": {file: _file(file) for file in dataset_files(path)}}


def _file(path):
    try:
        status = os.stat(path)
    except OSError:
        return {"missing": True}
    if not stat.S_ISREG(status.st_mode):  # a folder, or what check_input_file refuses: nothing to read
        return {"mode": status.st_mode}
    if is_aux_xml(path):  # small, and rewritten by readers that cache statistics in it: what counts of it
        return {"sha256": hashlib.sha256(aux_xml_content(path)).hexdigest()}
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        digest.update(file.read(SAMPLE_BYTES))
        for k in range(SAMPLES):
            file.seek(k * max(status.st_size - SAMPLE_BYTES, 0) // max(SAMPLES - 1, 1))
            digest.update(file.read(SAMPLE_BYTES))
    return {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "sampled_sha256": digest.hexdigest()}
