"""Tiled connectivity: a large GeoTIFF streamed to GeoTIFF, and tiled against one whole call.

    python bench/bench_tiles.py [--size 20000] [--tile-size 1024]

First, it writes a size x size condition GeoTIFF in which few cells are sources (a sparse grid of habitat
patches), streams it through quillet_geo.connectivity to a tiled GeoTIFF and reports peak resident
memory and throughput. Then it times a 1024 x 1024 raster as tiles against one whole native call and
reports the time per source of each.
"""
import argparse
import resource
import tempfile
import time
from pathlib import Path

import numpy as np
import rasterio
import xarray as xr
from rasterio.transform import from_origin
from rasterio.windows import Window

import quillet
import quillet_geo
from quillet_geo.transforms import level_transforms

OPTIONS = dict(levels=[1, 2, 4], lambdas=[2.0, 20.0, 200.0], max_cost=10.0, window_size=3, outer_window=7)
TRANSFORM = from_origin(0.0, 0.0, 64.0, 64.0)


def sparse_condition(rows, cols, seed):
    """Condition in [0, 1] with NaN (no habitat) except in one cell of every 8 x 8 block."""
    rng = np.random.default_rng(seed)
    values = np.full((rows, cols), np.nan, np.float32)
    values[::8, ::8] = rng.uniform(0.2, 1.0, values[::8, ::8].shape)
    return values


def write_condition(path, size, band_rows=1024):
    profile = dict(driver="GTiff", width=size, height=size, count=1, dtype="float32", crs="EPSG:3857",
                   transform=TRANSFORM, tiled=True, blockxsize=512, blockysize=512, nodata=np.nan)
    with rasterio.open(path, "w", **profile) as dataset:
        for top in range(0, size, band_rows):
            rows = min(band_rows, size - top)
            dataset.write(sparse_condition(rows, size, top), 1, window=Window(0, top, size, rows))


def stream(size, tile_size):
    with tempfile.TemporaryDirectory() as folder:
        source, target = Path(folder) / "condition.tif", Path(folder) / "connectivity.tif"
        write_condition(source, size)
        start = time.perf_counter()
        result = quillet_geo.connectivity(str(source), tile_size=tile_size, **OPTIONS)
        result.rio.to_raster(target, tiled=True, compress="DEFLATE", lock=True)
        seconds = time.perf_counter() - start
    sources = (size // 8 + (size % 8 > 0)) ** 2
    peak_gb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    print(f"stream {size} x {size}, tiles {tile_size}: {seconds:.1f} s, {size * size / seconds / 1e6:.1f} M cells/s, "
          f"{sources / seconds:.0f} sources/s, peak RSS {peak_gb:.2f} GB")


def tiled_against_whole(tile_size, size=1024):
    rng = np.random.default_rng(3)
    condition = rng.uniform(0.2, 1.0, (size, size)).astype(np.float32)
    condition[rng.random(condition.shape) < 0.97] = np.nan
    sources = int(np.isfinite(condition).sum())
    start = time.perf_counter()
    quillet.connectivity(condition, np.isnan(condition), None, level_transforms(TRANSFORM, OPTIONS["levels"], (0, 0)),
                         is_geo=False, offsets=(0, 0), **OPTIONS)
    whole = time.perf_counter() - start
    array = xr.DataArray(condition, dims=("y", "x")).rio.write_crs("EPSG:3857").rio.write_transform(TRANSFORM)
    start = time.perf_counter()
    quillet_geo.connectivity(array, tile_size=tile_size, **OPTIONS)
    tiled = time.perf_counter() - start
    print(f"{size} x {size}, {sources} sources: whole {1e6 * whole / sources:.1f} us/source, tiles of {tile_size} "
          f"{1e6 * tiled / sources:.1f} us/source, ratio {tiled / whole:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=20000)
    parser.add_argument("--tile-size", type=int, default=1024)
    arguments = parser.parse_args()
    tiled_against_whole(256)
    stream(arguments.size, arguments.tile_size)


if __name__ == "__main__":
    main()
