"""What identifies an input's content cheaply, so that a run notices an input that changed under it or since it was
interrupted: for a file its size, its modification time and a hash of its first bytes (the header) and of bytes
sampled evenly over it; for data in memory a hash of all of it; for a Dask array its token."""
import hashlib
import os
from pathlib import Path

import dask.array as da
import numpy as np
import shapely
import xarray as xr

SAMPLES, SAMPLE_BYTES = 16, 64 * 1024


def fingerprint(value):
    """A JSON-able description of `value`'s content: equal fingerprints, same content (as far as sampled)."""
    if isinstance(value, (str, os.PathLike)):
        return _file(os.fspath(value))
    if isinstance(value, xr.DataArray):
        value = value.data
    if isinstance(value, da.Array):
        return {"dask": value.name}
    array = np.asarray(value)
    if array.dtype == object:
        return {"sha256": hashlib.sha256(b"".join(shapely.to_wkb(array))).hexdigest()}
    return {"sha256": array_digest(array), "shape": list(array.shape)}


def array_digest(values):
    """The SHA-256 of an array's values (its bytes in row-major order), as hex: the hash a run keeps of each part and
    checks the written file against."""
    return hashlib.sha256(np.ascontiguousarray(values).view(np.uint8)).hexdigest()


def _file(path):
    try:
        status = os.stat(path)
    except OSError:  # not a local file (a GDAL virtual path): its name is all there is to go by
        return {"path": path}
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        digest.update(file.read(SAMPLE_BYTES))
        for k in range(SAMPLES):
            file.seek(k * max(status.st_size - SAMPLE_BYTES, 0) // max(SAMPLES - 1, 1))
            digest.update(file.read(SAMPLE_BYTES))
    return {"path": str(Path(path).resolve()), "size": status.st_size, "mtime_ns": status.st_mtime_ns,
            "sampled_sha256": digest.hexdigest()}
