"""Where zonal statistics spend their time: the processor seconds of each stage of quillet_geo.summarize on one
thread, on a case of bench_summarize.py (its files, written by that bench, are reused), by timing the functions
that a batch's computation calls. Processor time, so that a machine shared with other work does not shift it:

  setup         checking the inputs, making the regions valid, putting them in batches;
  reading       the values' and weights' windows (GDAL);
  coverage      the native pixel_coverage calls, the parts' rings for them, and moving and clipping the parts;
  accumulation  RegionSums.add: each region's covered cells in a window reduced to its sums (numpy);
  gathering     the covered cells' values, fractions and weights picked out of each window;
  other         the statistics from the sums, the table, the batches' thread.

    python bench/profile_summarize.py [--case regions36m] [--repeat 3] [--folder DIR]
"""
import argparse
import collections
import importlib
import tempfile
import time
import types
from pathlib import Path

import geopandas

import quillet
import quillet_geo
from bench_summarize import CASES, STATISTICS
from quillet_geo import packed_coverage, summary_computation
from quillet_geo.region_sums import RegionSums

spent, calls = collections.Counter(), collections.Counter()


def timed(name, function):
    def measured(*args, **kwargs):
        start = time.process_time()
        try:
            return function(*args, **kwargs)
        finally:
            spent[name] += time.process_time() - start
            calls[name] += 1
    return measured


def timed_steps(name, generator):
    """`generator` with the time spent producing each item counted, not the time its caller spends on it."""
    def measured(*args, **kwargs):
        steps = generator(*args, **kwargs)
        while True:
            start = time.process_time()
            item = next(steps, steps)
            spent[name] += time.process_time() - start
            if item is steps:
                return
            calls[name] += 1
            yield item
    return measured


def time_the_stages():
    summarize_module = importlib.import_module("quillet_geo.summarize")
    summarize_module.summary_job = timed("setup", summarize_module.summary_job)
    summary_computation.read_window = timed("reading", summary_computation.read_window)
    summary_computation.block_fractions = timed_steps("coverage", summary_computation.block_fractions)
    summary_computation._gathered = timed("gathering values", summary_computation._gathered)
    packed_coverage.rings = timed("rings", packed_coverage.rings)
    packed_coverage.quillet = types.SimpleNamespace(pixel_coverage=timed("native", quillet.pixel_coverage))
    computation = summary_computation.SummaryComputation
    computation._window = timed("windows", computation._window)
    RegionSums.add = timed("accumulation", RegionSums.add)


def stages(total, runs):
    """Seconds per run of each stage, every one without the stages it calls."""
    per_run = {name: seconds / runs for name, seconds in spent.items()}
    native, rings = per_run["native"], per_run["rings"]
    return {
        "setup": per_run["setup"],
        "reading": per_run["reading"],
        "coverage: native pixel_coverage": native,
        "coverage: rings of the parts": rings,
        "coverage: moving, clipping parts": per_run["coverage"] - native - rings,
        "accumulation (RegionSums.add)": per_run["accumulation"],
        "gathering covered cells": per_run["windows"] - per_run["reading"] - per_run["coverage"]
        - per_run["accumulation"],
        "other": total - per_run["setup"] - per_run["windows"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", default="regions36m", choices=CASES, help="its files written by bench_summarize.py")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--folder", type=Path, default=Path(tempfile.gettempdir()) / "quillet-bench-summarize")
    arguments = parser.parse_args()
    raster, weights = (arguments.folder / f"{arguments.case}{kind}-none.tif" for kind in ("", "-weights"))
    frame = geopandas.read_file(arguments.folder / f"{arguments.case}.gpkg")
    quillet_geo.summarize(str(raster), frame, stats=STATISTICS, weights=str(weights), by="id", n_threads=1)
    time_the_stages()
    start = time.process_time()
    for _ in range(arguments.repeat):
        quillet_geo.summarize(str(raster), frame, stats=STATISTICS, weights=str(weights), by="id", n_threads=1)
    total = (time.process_time() - start) / arguments.repeat
    print(f"{arguments.case}: {len(frame)} regions, one thread, {total:.3f} processor seconds per run "
          f"(mean of {arguments.repeat})")
    for name, seconds in stages(total, arguments.repeat).items():
        print(f"  {name:<34}{seconds:7.3f} s {100 * seconds / total:5.1f}%")
    adds, windows = calls["accumulation"] // arguments.repeat, calls["windows"] // arguments.repeat
    print(f"  {adds} regions' cells in {windows} windows accumulated, "
          f"{1e6 * spent['accumulation'] / calls['accumulation']:.0f} µs each; {calls['native'] // arguments.repeat} "
          f"native coverage calls, {1e3 * spent['native'] / calls['native']:.2f} ms each")


if __name__ == "__main__":
    main()
