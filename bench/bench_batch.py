"""Runs on batch jobs against local processes, on a one-node Slurm cluster of this machine that this script starts
and stops as the tests do (as root, from Debian's slurm-wlm and munge): tiles per second with 1 and 2 single-core
jobs against 1 and 2 local processes (the single local process pinned to one CPU), and what the cluster costs: its
start-up (a run of two tiny tiles, one for each worker: starting the workers, or submitting the jobs and starting
theirs, and closing the cluster) and per tile (a tile's trip through the scheduler and back, from a run of 256 tiny
tiles), against a local process.

    python bench/bench_batch.py [--tiles-per-side 6] [--tile-size 64] [--repeat 3]
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
WORK = dict(levels=[1, 2, 4], lambdas=[2.0, 20.0], max_cost=10.0, outer_window=15)  # 1/2 s a 64-cell tile
ONE_WORKER = ("1 local process (1 CPU)", "1 single-core Slurm job")  # the places whose cost per tile is measured
NO_WORK = dict(levels=[1], lambdas=[2.0], max_cost=10.0, window_size=1, outer_window=1)


def write_condition(path, rows, cols=None):
    cols = rows if cols is None else cols
    values = np.random.default_rng(5).uniform(0, 1, (rows, cols)).astype(np.float32)
    with rasterio.open(path, "w", driver="GTiff", width=cols, height=rows, count=1, dtype="float32",
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


def run_seconds(condition, output, tile_size, parameters, context, arguments):
    """The time of one run writing the map of `condition` with `arguments`' scheduler, within `context`."""
    result = quillet_geo.connectivity(str(condition), tile_size=tile_size, **parameters)
    with context():
        start = time.perf_counter()
        quillet_geo.to_raster(result, output, overwrite=True, progress=False, **arguments)
        return time.perf_counter() - start


def places(jobs_folder):
    options = {**SINGLE_CORE, "log_directory": str(jobs_folder)}
    return {
        "1 local process (1 CPU)": (one_cpu, dict(scheduler="processes", workers=1)),
        "2 local processes": (contextlib.nullcontext, dict(scheduler="processes", workers=2)),
        "1 single-core Slurm job": (contextlib.nullcontext, dict(scheduler="slurm", jobs=1, cluster_options=options)),
        "2 single-core Slurm jobs": (contextlib.nullcontext, dict(scheduler="slurm", jobs=2, cluster_options=options)),
    }


def best_times(folder, where, runs, repeat):
    """{(place, run): the least of `repeat` times}, the places and runs taken in turn so that the load of the
    machine falls on all alike."""
    times = {}
    for _ in range(repeat):
        for place, (context, arguments) in where.items():
            for run, (condition, tile_size, parameters) in runs.items():
                if run != "many tiny tiles" or place in ONE_WORKER:
                    took = run_seconds(condition, folder / "map.tif", tile_size, parameters, context, arguments)
                    times[place, run] = min(took, times.get((place, run), took))
    return times


def report(times, where, tiles, tile_size, repeat):
    print(f"{tiles} tiles of {tile_size} x {tile_size} cells (levels 1 2 4, outer window 15), best of {repeat}; "
          "start-up: a run of two tiny tiles")
    for place in where:
        work, start_up = times[place, "work"], times[place, "two tiny tiles"]
        print(f"  {place:26} {work:6.1f} s, of which start-up {start_up:4.1f} s: "
              f"{tiles / (work - start_up):5.2f} tiles/s computing")
    local, slurm = ONE_WORKER
    per_tile = [(times[p, "many tiny tiles"] - times[p, "two tiny tiles"]) / 254 for p in (local, slurm)]
    print(f"cluster overhead: start-up {times[slurm, 'two tiny tiles'] - times[local, 'two tiny tiles']:.1f} s more "
          f"than a local process, {(per_tile[1] - per_tile[0]) * 1000:.1f} ms more per tile "
          f"({per_tile[1] * 1000:.1f} ms against {per_tile[0] * 1000:.1f} ms, from 256 tiny tiles)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tiles-per-side", type=int, default=6)
    parser.add_argument("--tile-size", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=3)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        (folder / "slurm").mkdir()
        size = arguments.tiles_per_side * arguments.tile_size
        runs = {"work": (write_condition(folder / "condition.tif", size), arguments.tile_size, WORK),
                "two tiny tiles": (write_condition(folder / "tiny-2.tif", 16, 32), 16, NO_WORK),
                "many tiny tiles": (write_condition(folder / "tiny-256.tif", 256), 16, NO_WORK)}
        with one_node_slurm(folder / "slurm") as environment:
            os.environ.update(environment)
            where = places(folder / "jobs")
            times = best_times(folder, where, runs, arguments.repeat)
        report(times, where, arguments.tiles_per_side**2, arguments.tile_size, arguments.repeat)


if __name__ == "__main__":
    main()
