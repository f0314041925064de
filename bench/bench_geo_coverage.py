"""Speed of quillet_geo.coverage, the covered fraction of the polygons' union, on three landscapes:

  coastline: one ragged polygon of 200 000 vertices with 100 holes, on 4000 x 4000 cells, and
  small:     5 000 small polygons (some with a hole, some overlapping), on 2000 x 2000 cells,
             both made as bench/bench_coverage.py makes them for the native function;
  overlap:   10 000 round polygons of 20 to 200 cells across, overlapping everywhere, on 4000 x 4000 cells.

Run it in two environments (an older build in a second venv) one after the other to compare:

    python bench/bench_geo_coverage.py [--repeat 3] [--tile-size 4096] [--only NAME ...]
"""
import argparse
import sys
import time
from pathlib import Path

import numpy as np
import shapely
import xarray as xr
from rasterio.transform import from_origin

import quillet_geo

sys.path.insert(0, str(Path(__file__).parent))
import bench_coverage as native_cases  # noqa: E402


def grid(size):
    values = xr.DataArray(np.zeros((size, size), np.float32), dims=("y", "x"))
    return values.rio.write_crs("EPSG:3857").rio.write_transform(from_origin(0.0, float(size), 1.0, 1.0))


def as_shapely(rings):
    return [shapely.Polygon(exterior, holes) for exterior, holes in rings]


def coastline(rng, size=4000):
    return as_shapely(native_cases.coastline(rng, size, 200_000, 100)), size


def small(rng, size=2000):
    return as_shapely(native_cases.small_polygons(rng, size, 5000)), size


def overlap(rng, size=4000, count=10_000):
    centres = rng.uniform(0, size, (count, 2))
    radii = rng.uniform(10, 100, count)
    return list(shapely.buffer(shapely.points(centres), radii, quad_segs=8)), size


CASES = {"coastline": coastline, "small": small, "overlap": overlap}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tile-size", type=int, default=4096)
    parser.add_argument("--only", nargs="*", choices=CASES, default=list(CASES))
    arguments = parser.parse_args()
    for name in arguments.only:
        polygons, size = CASES[name](np.random.default_rng(7))
        like = grid(size)
        times = []
        for _ in range(arguments.repeat):
            start = time.perf_counter()
            result = quillet_geo.coverage(polygons, like, tile_size=arguments.tile_size)
            times.append(time.perf_counter() - start)
        print(f"{name}: best {min(times):.2f} s of {arguments.repeat}, covered cells {float(result.sum()):.1f}")


if __name__ == "__main__":
    main()
