"""The output file: a tiled, DEFLATE-compressed float32 GeoTIFF with NaN no-data, written tile by tile under a
temporary name and renamed to OUTPUT only once complete."""
import os

import numpy as np
import rasterio
from rasterio.windows import Window


def tile_windows(chunks):
    """The tiles of a dask array's 2-D chunks, row by row: ((i, j), Window)."""
    row_starts, col_starts = (np.cumsum((0,) + sizes[:-1]) for sizes in chunks)
    for i, (row, height) in enumerate(zip(row_starts, chunks[0])):
        for j, (col, width) in enumerate(zip(col_starts, chunks[1])):
            yield (i, j), Window(int(col), int(row), width, height)


def _block_size(tile_size):
    """GeoTIFF tiles that divide the computed tiles, so that every write fills whole blocks."""
    return next((size for size in (512, 256, 128, 64, 32, 16) if tile_size % size == 0), 256)


def write_geotiff(path, tiles, *, crs, transform, shape, tile_size, tags, description):
    """Write (Window, values) pairs into a new GeoTIFF at `path`; nothing is left at `path` if this fails."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.partial")
    block = _block_size(tile_size)
    profile = dict(
        driver="GTiff", dtype="float32", count=1, height=shape[0], width=shape[1], crs=crs, transform=transform,
        nodata=float("nan"), tiled=True, blockxsize=block, blockysize=block, compress="deflate", bigtiff="if_safer",
    )
    try:
        with rasterio.open(temporary, "w", **profile) as target:
            target.update_tags(**tags)
            target.set_band_description(1, description)
            for window, values in tiles:
                target.write(np.asarray(values, dtype=np.float32), 1, window=window)
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)
