"""The output file: a tiled, DEFLATE-compressed float32 GeoTIFF with NaN no-data, assembled tile by tile under a
temporary name, then checked, flushed and renamed into place, so that the path holds either its old content or the
complete new file.

GDAL reports some write errors (a full disk on the last blocks) only as it closes the file, and not always as an
exception; so the file is opened again and every tile read back and compared with the hash of its values before it
is renamed. GDAL's block cache is kept small while writing and reading back, so that assembling holds about one
tile at a time.
"""
import hashlib
import os

import numpy as np
import rasterio
from rasterio.windows import Window

from .jobs import tile_shape

WRITE_CACHE = 64 * 2**20  # bytes of GDAL's block cache while assembling


def block_size(tile_size):
    """GeoTIFF blocks that divide the computed tiles, so that every write fills whole blocks."""
    return next((size for size in (512, 256, 128, 64, 32, 16) if tile_size % size == 0), 256)


def window_of(tile):
    return Window(tile.cols.start, tile.rows.start, *tile_shape(tile)[::-1])


def assemble(path, temporary, job, tile_values, *, tags):
    """Write `job`'s tiles (their values from `tile_values(tile)`) into `temporary`, check it, then rename it to
    `path`. Raises OSError (naming the file that failed) when any of it fails; `path` is then untouched."""
    template = job.template
    block = block_size(job.parameters.get("tile_size") or 256)
    profile = dict(driver="GTiff", dtype="float32", count=1, height=job.shape[0], width=job.shape[1],
                   crs=template.rio.crs, transform=template.rio.transform(), nodata=float("nan"), tiled=True,
                   blockxsize=block, blockysize=block, compress="deflate", bigtiff="if_safer")
    digests = {}
    try:
        with rasterio.Env(GDAL_CACHEMAX=WRITE_CACHE):
            with rasterio.open(temporary, "w", **profile) as target:
                target.update_tags(**tags)
                target.set_band_description(1, job.name)
                for tile in job.tiles:
                    values = np.asarray(tile_values(tile), dtype=np.float32)
                    digests[tile.index] = _digest(values)
                    target.write(values, 1, window=window_of(tile))
            _check_written(temporary, job, digests)
        _flush(temporary)
        os.replace(temporary, path)
        _flush(os.path.dirname(os.path.abspath(path)))
    except rasterio.errors.RasterioError as error:
        raise OSError(0, str(error).strip().splitlines()[0], os.fspath(temporary)) from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _check_written(path, job, digests):
    with rasterio.open(path) as written:
        for tile in job.tiles:
            if _digest(written.read(1, window=window_of(tile))) != digests[tile.index]:
                raise OSError(0, f"tile {tile.index} does not read back as written", os.fspath(path))


def _digest(values):
    return hashlib.sha256(np.ascontiguousarray(values, dtype=np.float32).view(np.uint8)).hexdigest()


def _flush(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
