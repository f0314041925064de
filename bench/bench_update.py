"""What-if maps: the time of `quillet_geo.update` for a restored block of the condition against a full connectivity
run of the same map, side by side in one run, for blocks of several sizes (the target: at most 0.05x the full run's
time for a 30 x 30 block on a 4096 x 4096 map in 512-cell tiles). Each block is restored (condition 1) in a copy of
the condition; the table says how many tiles each update computed.

    python bench/bench_update.py [--size 4096] [--tile-size 512] [--workers 2] [--blocks 30 300 1000]
"""
import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
import rasterio
from rasterio.transform import from_origin

import quillet_geo

OPTIONS = dict(levels=[1, 2, 4], lambdas=[0.5, 2.0], max_cost=10.0)  # default windows: a reach of 28 cells, 2.8 km


def write_condition(path, values):
    with rasterio.open(path, "w", driver="GTiff", height=values.shape[0], width=values.shape[1], count=1,
                       dtype="float32", crs="EPSG:3035", transform=from_origin(4_000_000, 3_000_000, 100, 100),
                       nodata=float("nan"), tiled=True, blockxsize=512, blockysize=512, compress="deflate") as target:
        target.write(values, 1)
    return path


def landscape(size, seed=7):
    """Patches of habitat of every condition (32-cell blocks, with cell noise), and some no data."""
    rng = np.random.default_rng(seed)
    patches = np.kron(rng.random((size // 32 + 1, size // 32 + 1)), np.ones((32, 32)))[:size, :size]
    values = np.clip(patches + rng.normal(0, 0.1, (size, size)), 0, 1).astype(np.float32)
    values[rng.random((size, size)) < 0.02] = np.nan
    return values


def restored(values, block, tile_size):
    """`values` with a block of `block` cells restored to condition 1: inside one tile away from its edges where it
    fits, else from a third of the way along each axis (on no tile's edge)."""
    changed = values.copy()
    start = tile_size + (tile_size - block) // 2 if block < tile_size // 2 else len(values) // 3
    changed[start:start + block, start:start + block] = 1.0
    return changed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--tile-size", type=int, default=512)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--blocks", type=int, nargs="*", default=[30, 300, 1000])
    arguments = parser.parse_args()
    run = dict(scheduler="processes", workers=arguments.workers, progress=False)
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        values = landscape(arguments.size)
        condition = write_condition(folder / "condition.tif", values)
        start = time.perf_counter()
        result = quillet_geo.connectivity(str(condition), tile_size=arguments.tile_size, **OPTIONS)
        quillet_geo.to_raster(result, folder / "baseline.tif", **run)
        full = time.perf_counter() - start
        tiles = (-(-arguments.size // arguments.tile_size)) ** 2
        print(f"{arguments.size} x {arguments.size}, tiles of {arguments.tile_size}, {arguments.workers} workers")
        print("| change | tiles computed | seconds | x full run |")
        print("|---|---|---|---|")
        print(f"| full run | {tiles} of {tiles} | {full:.1f} | 1 |")
        for block in arguments.blocks:
            changed = write_condition(folder / f"condition-{block}.tif", restored(values, block, arguments.tile_size))
            start = time.perf_counter()
            summary = quillet_geo.update(folder / "baseline.tif", folder / f"update-{block}.tif",
                                         condition=str(changed), **run)
            seconds = time.perf_counter() - start
            print(f"| {block} x {block} | {summary.computed} of {summary.tiles} | {seconds:.1f} | "
                  f"{seconds / full:.3f} |")


if __name__ == "__main__":
    main()
