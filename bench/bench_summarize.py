"""Zonal statistics against a peer: quillet_geo.summarize and exactextract's exact_extract (by features and by raster
blocks, the faster compared) on the same files, both single-threaded, then quillet with more threads; the largest
relative difference of every statistic both compute.

  regions36m: a 6 000 x 6 000 float32 raster (no-data holes) and 2 000 Voronoi regions with ragged edges;
  regions: the same with 10 000 x 10 000 cells and 3 000 regions;
  islands: a 4 000 x 4 000 raster and 50 multipolygons of 200 islands each, spread over their zones.

  --country: quillet alone (the command, in a child process) on a 32 768 x 32 768 raster (10^9 cells, compressed)
  and one country of a mainland and 10 000 islands over all of it: its time and peak memory.

exactextract is a peer, not a dependency: run this in an environment that has both (quillet with its `geo` extra,
and `pip install exactextract`):

    python bench/bench_summarize.py [--repeat 2] [--only regions36m regions islands] [--threads 2] [--compress deflate]
        [--folder DIR] [--country]

The inputs are written once into --folder (default: a folder in the temporary directory) and reused; both tools get
the raster files' paths and the regions as a GeoDataFrame read beforehand.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import geopandas
import numpy as np
import rasterio
import shapely
from rasterio.transform import from_origin
from rasterio.windows import Window

import quillet_geo

STATISTICS = ["count", "sum", "mean", "min", "max", "stdev", "weighted_mean"]
STRATEGIES = ("feature-sequential", "raster-sequential")  # exactextract's; the faster one is compared against
CRS = "EPSG:3035"
CELL = 100.0


def field(rng, size):
    """Smooth values with no-data holes: sums of random waves, NaN where one of them is high."""
    rows, cols = np.ogrid[:size, :size]
    values = np.zeros((size, size), np.float32)
    for _ in range(4):
        fx, fy, phase = rng.uniform(2, 40, 2) / size, rng.uniform(0, 2 * np.pi), rng.uniform(0, 2 * np.pi)
        values += np.sin(2 * np.pi * fx[0] * cols + phase) * np.cos(2 * np.pi * fx[1] * rows + fy).astype(np.float32)
    values = 100 + 25 * values
    values[values > 185] = np.nan
    return values


def write_raster(path, values, compress):
    size = values.shape[0]
    with rasterio.open(path, "w", driver="GTiff", height=size, width=size, count=1, dtype="float32", crs=CRS,
                       transform=from_origin(0.0, size * CELL, CELL, CELL), nodata=float("nan"), tiled=True,
                       blockxsize=512, blockysize=512, compress=compress) as target:
        target.write(values, 1)


def ragged(polygon, step):
    """The polygon's boundary with vertices every `step` metres, each moved by a pseudo-random function of where it
    is (so that a ring stays closed)."""
    def move(xy):
        return xy + 0.3 * step * np.sin(xy[:, ::-1] * [0.0123, 0.0171] + xy * [0.0037, 0.0029])

    return shapely.make_valid(shapely.transform(shapely.segmentize(polygon, step), move))


def voronoi_regions(rng, size, count):
    extent = shapely.box(0, 0, size * CELL, size * CELL)
    cells = shapely.get_parts(shapely.voronoi_polygons(shapely.multipoints(rng.uniform(0, size * CELL, (count, 2))),
                                                       extend_to=extent))
    return [ragged(shapely.intersection(cell, extent), 3 * CELL) for cell in cells]


def island_regions(rng, size, count=50, islands=200):
    """`count` multipolygons, each the union of `islands` small ragged stars scattered over its zone."""
    across = 10
    width, height = size * CELL / across, size * CELL / (count // across)
    regions = []
    for k in range(count):
        left, bottom = (k % across) * width, (k // across) * height
        centres = np.c_[rng.uniform(left, left + width, islands), rng.uniform(bottom, bottom + height, islands)]
        stars = shapely.buffer(shapely.points(centres), rng.uniform(1.5, 15, islands) * CELL, quad_segs=6)
        regions.append(shapely.union_all([ragged(s, CELL) for s in stars]))
    return regions


def make_case(folder, name, size, regions, rng, compress):
    raster, weights = folder / f"{name}-{compress}.tif", folder / f"{name}-weights-{compress}.tif"
    vectors = folder / f"{name}.gpkg"
    if not raster.exists():
        write_raster(raster, field(rng, size), compress)
        write_raster(weights, rng.uniform(0, 1, (size, size)).astype(np.float32), compress)
    if not vectors.exists():
        geopandas.GeoDataFrame({"id": np.arange(len(regions))}, geometry=regions, crs=CRS).to_file(vectors)
    return raster, weights, vectors


CASES = {
    "regions36m": lambda rng: (6_000, voronoi_regions(rng, 6_000, 2_000)),
    "regions": lambda rng: (10_000, voronoi_regions(rng, 10_000, 3_000)),
    "islands": lambda rng: (4_000, island_regions(rng, 4_000)),
}


def timed(runs, repeat):
    """The best wall-clock and processor seconds of each run, taking turns so that a busy machine slows all alike;
    and each one's last result."""
    best, results = {}, {}
    for _ in range(repeat):
        for name, run in runs.items():
            wall, processor = time.perf_counter(), time.process_time()
            results[name] = run()
            spent = (time.perf_counter() - wall, time.process_time() - processor)
            best[name] = tuple(map(min, zip(best.get(name, spent), spent)))
    return best, results


def largest_differences(ours, theirs):
    """The largest relative difference per statistic (absolute where both are near zero); NaN where both are."""
    result = {}
    for name in STATISTICS:
        a, b = ours[name].to_numpy(np.float64), theirs[name].to_numpy(np.float64)
        both = np.isnan(a) & np.isnan(b)
        scale = np.maximum(np.maximum(np.abs(a), np.abs(b)), 1e-12)
        difference = np.where(both, 0.0, np.abs(a - b) / scale)
        result[name] = float(np.nanmax(np.where(np.isnan(a) != np.isnan(b), np.inf, difference)))
    return result


def country(folder, size=2**15, islands=10_000):
    """A 10^9-cell raster written strip by strip, and a country of a mainland and many islands over all of it; the
    command's time and the peak memory of its processes."""
    rng = np.random.default_rng(5)
    raster, vectors, output = folder / "country.tif", folder / "country.gpkg", folder / "country.csv"
    if not raster.exists():
        with rasterio.open(raster, "w", driver="GTiff", height=size, width=size, count=1, dtype="float32", crs=CRS,
                           transform=from_origin(0.0, size * CELL, CELL, CELL), nodata=float("nan"), tiled=True,
                           blockxsize=512, blockysize=512, compress="deflate") as target:
            cols = np.arange(size)
            for top in range(0, size, 512):
                rows = np.arange(top, top + 512)[:, None]
                strip = np.round(100 + 50 * np.sin(rows / 700) * np.cos(cols / 900), 1).astype(np.float32)
                target.write(strip, 1, window=Window(0, top, size, 512))
    if not vectors.exists():
        centre = size * CELL / 2
        angles = np.linspace(0, 2 * np.pi, 20_000, endpoint=False)
        mainland = shapely.Polygon(np.c_[centre + 0.3 * size * CELL * np.cos(angles) * (1 + 0.1 * np.sin(9 * angles)),
                                         centre + 0.3 * size * CELL * np.sin(angles)])
        stars = shapely.buffer(shapely.points(rng.uniform(0, size * CELL, (islands, 2))),
                               rng.uniform(2, 40, islands) * CELL, quad_segs=4)
        land = shapely.union_all([mainland, *stars])
        geopandas.GeoDataFrame({"name": ["country"]}, geometry=[land], crs=CRS).to_file(vectors)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "quillet_geo.cli", "summarize", str(raster), str(vectors), str(output),
                    "--stats", "count,mean,stdev,area", "--workers", "1", "--overwrite", "--quiet"], check=True)
    seconds, peak = time.perf_counter() - start, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 2**20
    polygons = shapely.get_num_geometries(geopandas.read_file(vectors).geometry.iloc[0])
    print(f"country: {size} x {size} cells, one region of {polygons} polygons: {seconds:.1f} s, peak memory of a "
          f"process {peak:.2f} GiB")


def main():
    from exactextract import exact_extract

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--only", nargs="*", choices=CASES, default=list(CASES))
    parser.add_argument("--compress", choices=["none", "deflate"], default="none",
                        help="compression of the rasters; decompressing them costs both tools alike")
    parser.add_argument("--folder", type=Path, default=Path(tempfile.gettempdir()) / "quillet-bench-summarize")
    parser.add_argument("--country", action="store_true", help="measure the country case instead")
    arguments = parser.parse_args()
    arguments.folder.mkdir(exist_ok=True)
    if arguments.country:
        country(arguments.folder)
        return
    for name in arguments.only:
        rng = np.random.default_rng(11)
        size, regions = CASES[name](rng)
        raster, weights, vectors = make_case(arguments.folder, name, size, regions, rng, arguments.compress)
        frame = geopandas.read_file(vectors)

        def ours(threads, raster=raster, frame=frame, weights=weights):
            return quillet_geo.summarize(str(raster), frame, stats=STATISTICS, weights=str(weights), by="id",
                                         n_threads=threads)

        def theirs(strategy, raster=raster, frame=frame, weights=weights):
            return exact_extract(str(raster), frame, STATISTICS, weights=str(weights), include_cols=["id"],
                                 output="pandas", strategy=strategy)

        best, results = timed({
            **{f"exactextract {strategy}": (lambda strategy=strategy: theirs(strategy)) for strategy in STRATEGIES},
            "quillet": lambda: ours(1), "threads": lambda: ours(arguments.threads)}, arguments.repeat)
        fastest = min(STRATEGIES, key=lambda strategy: best[f"exactextract {strategy}"][0])
        their_table, table = results[f"exactextract {fastest}"], results["quillet"]
        assert (their_table["id"].astype(int).to_numpy() == table.index.to_numpy()).all()  # both in the regions' order
        (their_wall, their_cpu), (wall, cpu) = best[f"exactextract {fastest}"], best["quillet"]
        many, many_cpu = best["threads"]
        print(f"{name}: {size} x {size} cells ({arguments.compress}), {len(regions)} regions, "
              f"{int(shapely.get_num_geometries(regions).sum())} polygons")
        print("  exactextract " + ", ".join(f"{strategy} {best[f'exactextract {strategy}'][0]:.2f} s "
                                            f"({best[f'exactextract {strategy}'][1]:.2f} s of processor)"
                                            for strategy in STRATEGIES))
        print(f"  quillet on 1 thread {wall:.2f} s ({cpu:.2f} s of processor): {wall / their_wall:.2f}x of "
              f"exactextract's best ({fastest}), {cpu / their_cpu:.2f}x of its processor time")
        print(f"  quillet on {arguments.threads} threads {many:.2f} s ({many_cpu:.2f} s of processor), "
              f"{wall / many:.2f}x faster than on 1")
        print("  largest relative difference: " + ", ".join(f"{k} {v:.1e}" for k, v in
                                                           largest_differences(table, their_table).items()))


if __name__ == "__main__":
    main()
