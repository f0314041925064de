"""Runs on batch jobs against local processes, on a one-node Slurm cluster of this machine that this script starts
and stops as the tests do (as root, from Debian's slurm-wlm and munge): tiles per second with 1 and 2 single-core
jobs against 1 and 2 local processes (the single local process pinned to one CPU), and what the cluster costs: its
start-up (from submitting the jobs to the first tiles computed) and per tile (a tile's trip through the scheduler
and back), each measured as the difference from local processes.

    python bench/bench_batch.py [--tiles-per-side 6] [--tile-size 48] [--repeat 3]
"""
import argparse
import contextlib
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import rasterio
from rasterio.transform import from_origin

import quillet_geo

sys.path.insert(0, str(Path(__file__).parents[1] / "tests" / "geo"))
from one_node_slurm import one_node_slurm  # noqa: E402

SINGLE_CORE = {"cores": 1, "processes": 1, "memory": "1GB", "walltime": "01:00:00"}
WORK = dict(levels=[1, 2, 4], lambdas=[2.0, 20.0], max_cost=10.0, outer_window=15)  # about 0.5 s a 48-cell tile
NO_WORK = dict(levels=[1], lambdas=[2.0], max_cost=10.0, window_size=1, outer_window=1)


def write_condition(path, size):
    values = np.random.default_rng(5).uniform(0, 1, (size, size)).astype(np.float32)
    with rasterio.open(path, "w", driver="GTiff", width=size, height=size, count=1, dtype="float32",
                       crs="EPSG:3857", transform=from_origin(0.0, 0.0, 64.0, 64.0)) as dataset:
        dataset.write(values, 1)
    return path


@contextlib.contextmanager
def one_cpu():
    """This process and the workers it starts on one CPU, so that one local process computes on one core."""
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    try:
        yield
    finally:
        os.sched_setaffinity(0, cpus)


def seconds(condition, output, tile_size, parameters, repeat, **where):
    """The least time of `repeat` runs writing the map of `condition` with `where`'s scheduler."""
    result = quillet_geo.connectivity(str(condition), tile_size=tile_size, **parameters)
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        quillet_geo.to_raster(result, output, overwrite=True, progress=False, **where)
        times.append(time.perf_counter() - start)
    return min(times)


def places(jobs_folder):
    options = {**SINGLE_CORE, "log_directory": str(jobs_folder)}
    return {
        "1 local process (1 CPU)": (one_cpu, dict(scheduler="processes", workers=1)),
        "2 local processes": (contextlib.nullcontext, dict(scheduler="processes", workers=2)),
        "1 single-core Slurm job": (contextlib.nullcontext, dict(scheduler="slurm", jobs=1, cluster_options=options)),
        "2 single-core Slurm jobs": (contextlib.nullcontext, dict(scheduler="slurm", jobs=2, cluster_options=options)),
    }


def throughput(folder, where, tiles_per_side, tile_size, repeat):
    condition = write_condition(folder / "condition.tif", tiles_per_side * tile_size)
    tiles = tiles_per_side**2
    print(f"{tiles} tiles of {tile_size} x {tile_size} cells (levels 1 2 4, outer window 15), best of {repeat}:")
    for name, (context, arguments) in where.items():
        with context():
            took = seconds(condition, folder / "map.tif", tile_size, WORK, repeat, **arguments)
        print(f"  {name:26} {took:6.1f} s  {tiles / took:5.2f} tiles/s")


def overheads(folder, where, repeat):
    """Start-up: one tiny tile's run; per tile: 256 tiny tiles' run less that, a tile; both less local's."""
    one, many = (write_condition(folder / f"tiny-{n}.tif", 16 * n) for n in (1, 16))
    local_context, local = where["1 local process (1 CPU)"]
    _, slurm = where["1 single-core Slurm job"]
    with local_context():
        local_one, local_many = (seconds(c, folder / "map.tif", 16, NO_WORK, repeat, **local) for c in (one, many))
    slurm_one, slurm_many = (seconds(c, folder / "map.tif", 16, NO_WORK, repeat, **slurm) for c in (one, many))
    per_tile = ((slurm_many - slurm_one) - (local_many - local_one)) / 255
    print(f"cluster overhead on one job: start-up {slurm_one - local_one:.1f} s ({slurm_one:.1f} s against "
          f"{local_one:.1f} s for a run of one tiny tile), {per_tile * 1000:.1f} ms per tile (256 tiny tiles: "
          f"{slurm_many:.1f} s against {local_many:.1f} s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tiles-per-side", type=int, default=6)
    parser.add_argument("--tile-size", type=int, default=48)
    parser.add_argument("--repeat", type=int, default=3)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        (folder / "slurm").mkdir()
        with one_node_slurm(folder / "slurm") as environment:
            os.environ.update(environment)
            where = places(folder / "jobs")
            throughput(folder, where, arguments.tiles_per_side, arguments.tile_size, arguments.repeat)
            overheads(folder, where, arguments.repeat)


if __name__ == "__main__":
    main()
