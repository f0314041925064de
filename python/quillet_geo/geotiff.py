"""The output file: a cloud-optimized GeoTIFF (float32, NaN no-data, tiled, DEFLATE with the floating-point
predictor, internal overviews, every block in the order a reader streams them), assembled from the finished tiles
under a temporary name, checked, flushed and renamed into place, so that the path holds either its old content or
the complete new file.

The tiles are first written into a plain tiled GeoTIFF, from which GDAL's COG driver makes the final file with its
overviews (a COG cannot be written tile by tile). GDAL reports some write errors (a full disk on the last blocks)
only as it closes a file, and not always as an exception; so the final file is opened again and every tile read back
and compared with the hash of its values before it is renamed. GDAL's block cache is kept small throughout, so that
assembling holds about one tile at a time.
"""
import os

import numpy as np
import rasterio
import rasterio.shutil
from rasterio._err import CPLE_BaseError
from rasterio.windows import Window

from .atomic import put_in_place
from .cpus import available_cpus
from .errors import ArgumentError
from .fingerprints import array_digest
from .jobs import tile_shape

WRITE_CACHE = 64 * 2**20  # bytes of GDAL's block cache while assembling
COG_OPTIONS = {"COMPRESS": "DEFLATE", "PREDICTOR": "3", "BLOCKSIZE": "512", "OVERVIEWS": "AUTO",
               "OVERVIEW_RESAMPLING": "AVERAGE", "BIGTIFF": "IF_SAFER"}


def _one_of(*choices):
    return lambda value: value.upper() in choices, f"one of {', '.join(choices)}"


def _whole(low, high, step=1):
    def check(value):
        return value.isdigit() and low <= int(value) <= high and int(value) % step == 0
    return check, f"a whole number from {low} to {high}" + (f", a multiple of {step}" if step > 1 else "")


# The COG creation options a caller may set, each with its check. Lossy compressions are left out: they would not
# keep the values (and the written file would not read back as computed). GDAL's own checks of some of these values
# abort the process, so they are checked here first.
ALLOWED_OPTIONS = {
    "COMPRESS": _one_of("NONE", "DEFLATE", "LZW", "ZSTD", "LZMA", "PACKBITS", "LERC", "LERC_DEFLATE", "LERC_ZSTD"),
    "LEVEL": _whole(1, 22),
    "PREDICTOR": _one_of("YES", "NO", "STANDARD", "FLOATING_POINT", "1", "2", "3"),
    "BLOCKSIZE": _whole(16, 4096, 16),
    "OVERVIEWS": _one_of("AUTO", "NONE"),
    "OVERVIEW_COUNT": _whole(0, 30),
    "OVERVIEW_RESAMPLING": _one_of("NEAREST", "AVERAGE", "BILINEAR", "CUBIC", "CUBICSPLINE", "LANCZOS", "MODE", "RMS"),
    "BIGTIFF": _one_of("YES", "NO", "IF_NEEDED", "IF_SAFER"),
    "SPARSE_OK": _one_of("TRUE", "FALSE", "YES", "NO"),
    "STATISTICS": _one_of("AUTO", "YES", "NO"),
}


def creation_options(given):
    """The COG creation options: ours, overridden by `given` ({KEY: VALUE}, as `--co KEY=VALUE` gives them), each
    checked before a run rather than found wrong at its end."""
    options = dict(COG_OPTIONS)
    for key, value in (given or {}).items():
        key, value = str(key).upper(), str(value)
        if key not in ALLOWED_OPTIONS:
            raise ArgumentError("creation_options", f"{key} is not an option that can be set here (the lossless "
                                                    f"ones of GDAL's COG driver: {', '.join(ALLOWED_OPTIONS)})")
        check, expected = ALLOWED_OPTIONS[key]
        if not check(value):
            raise ArgumentError("creation_options", f"{key}={value}: the value must be {expected}")
        options[key] = value
    return options


def block_size(tile_size):
    """GeoTIFF blocks that divide the computed tiles, so that every write fills whole blocks."""
    return next((size for size in (512, 256, 128, 64, 32, 16) if tile_size % size == 0), 256)


def window_of(tile):
    return Window(tile.cols.start, tile.rows.start, *tile_shape(tile)[::-1])


def assemble(path, temporary, job, tile_values, *, tags, options=COG_OPTIONS):
    """Write `job`'s tiles (their values from `tile_values(tile)`) into a COG at `temporary`, check it, then
    rename it to `path`. Raises OSError (naming the file that failed) when any of it fails; `path` is then
    untouched."""
    tiles_file = f"{temporary}.tiles.tif"
    try:
        with rasterio.Env(GDAL_CACHEMAX=WRITE_CACHE, GDAL_NUM_THREADS=str(available_cpus())):
            digests = _write_tiles(tiles_file, job, tile_values, tags)
            rasterio.shutil.copy(tiles_file, temporary, driver="COG", **options)
            _check_written(temporary, job, digests)
        put_in_place(temporary, path)
    except (rasterio.errors.RasterioError, CPLE_BaseError) as error:  # GDAL's own errors reach Python as both
        raise OSError(0, str(error).strip().splitlines()[0], os.fspath(temporary)) from None
    finally:
        for leftover in (tiles_file, temporary):
            if os.path.exists(leftover):
                os.unlink(leftover)


def _write_tiles(path, job, tile_values, tags):
    """The tiles in a plain tiled GeoTIFF, lightly compressed (it lives only until the COG is made); returns the
    hash of each tile's values."""
    template, block = job.template, block_size(job.parameters.get("tile_size") or 256)
    profile = dict(driver="GTiff", dtype="float32", count=1, height=job.shape[0], width=job.shape[1],
                   crs=template.rio.crs, transform=template.rio.transform(), nodata=float("nan"), tiled=True,
                   blockxsize=block, blockysize=block, compress="deflate", zlevel=1, bigtiff="if_safer")
    digests = {}
    with rasterio.open(path, "w", **profile) as target:
        target.update_tags(**tags)
        target.set_band_description(1, job.name)
        for tile in job.tiles:
            values = np.asarray(tile_values(tile), dtype=np.float32)
            digests[tile.index] = array_digest(values)
            target.write(values, 1, window=window_of(tile))
    return digests


def _check_written(path, job, digests):
    with rasterio.open(path) as written:
        for tile in job.tiles:
            if array_digest(written.read(1, window=window_of(tile))) != digests[tile.index]:
                raise OSError(0, f"tile {tile.index} does not read back as written", os.fspath(path))

