"""Speed of quillet_geo.coverage, the covered fraction of the polygons' union, on three landscapes:

  coastline: one ragged polygon of 200 000 vertices with 100 holes, on 4000 x 4000 cells;
  small:     5 000 small polygons apart from each other (some with a hole), on 2000 x 2000 cells;
  overlap:   10 000 round polygons of 20 to 200 cells across, overlapping everywhere, on 4000 x 4000 cells.

Run it in two environments (an older build in a second venv) one after the other to compare:

    python bench/bench_geo_coverage.py [--repeat 3] [--tile-size 4096] [--only NAME ...]
"""
import argparse
import time

import numpy as np
import shapely
import xarray as xr
from rasterio.transform import from_origin

import quillet_geo


def grid(size):
    values = xr.DataArray(np.zeros((size, size), np.float32), dims=("y", "x"))
    return values.rio.write_crs("EPSG:3857").rio.write_transform(from_origin(0.0, float(size), 1.0, 1.0))


def star(rng, centre, radius, n):
    angles = np.sort(rng.uniform(0.0, 2.0 * np.pi, n))
    radii = radius * rng.uniform(0.6, 1.0, n)
    return centre + np.c_[radii * np.cos(angles), radii * np.sin(angles)]


def coastline(rng, size=4000, n_vertices=200_000, n_holes=100):
    centre = np.array([size / 2, size / 2])
    walk = np.cumsum(rng.normal(size=n_vertices))
    walk -= np.linspace(0.0, walk[-1], n_vertices)
    radius = 0.4 * size + 0.08 * size * walk / np.abs(walk).max()
    angles = np.linspace(0.0, 2.0 * np.pi, n_vertices, endpoint=False)
    exterior = centre + np.c_[radius * np.cos(angles), radius * np.sin(angles)]
    holes = [star(rng, centre + rng.uniform(-0.2, 0.2, 2) * size, 0.01 * size, 40) for _ in range(n_holes)]
    holes = [h for h in holes if not any(shapely.Polygon(h).intersects(shapely.Polygon(o)) for o in holes if o is not h)]
    return [shapely.Polygon(exterior, holes)], size


def small(rng, size=2000, count=5000):
    side = int(np.ceil(np.sqrt(count)))
    step = size / side
    polygons = []
    for k in range(count):
        centre = np.array([(k % side + 0.5) * step, (k // side + 0.5) * step])
        hole = [star(rng, centre, 0.1 * step, 12)] if k % 3 == 0 else []
        polygons.append(shapely.Polygon(star(rng, centre, 0.45 * step, 24), hole))
    return polygons, size


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
