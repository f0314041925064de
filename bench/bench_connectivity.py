"""Speed of quillet.connectivity: microseconds per source cell per thread.

Standard configuration: levels 1, 2, 4; window 3, outer window 7; circular
windows; bandwidths 2, 20, 200 km; projected 100 m cells; a 512 x 512 float32
condition raster with 10% NaN cells (masked, so they are not sources). The
square-window, geographic and three-layer transgrid variants change one thing
each. Every configuration runs with 1 and 2 threads; the speed-up is the ratio
of the two wall times.

    python bench/bench_connectivity.py [--size 512] [--repeat 3] [--threads 1 2]
"""
import argparse
import time

import numpy as np

import quillet

LEVELS = [1, 2, 4]
LAMBDAS = [2.0, 20.0, 200.0]
MAX_COST = 0.1


def landscape(size, seed=11):
    """Condition in [0, 1] with 10% of the cells NaN, and the matching mask."""
    rng = np.random.default_rng(seed)
    condition = rng.random((size, size), dtype=np.float32)
    condition[rng.random((size, size)) < 0.1] = np.nan
    return condition, np.isnan(condition)


def projected_transforms(cell=100.0):
    return {level: (cell * level, 0.0, 0.0, 0.0, -cell * level, 0.0) for level in LEVELS}


def geographic_transforms(cell_degrees=0.001, west=10.0, north=47.0):
    return {level: (cell_degrees * level, 0.0, west, 0.0, -cell_degrees * level, north) for level in LEVELS}


def configurations(size):
    condition, mask = landscape(size)
    standard = dict(
        condition=condition, mask=mask, transgrid_list=None, transforms=projected_transforms(), levels=LEVELS,
        lambdas=LAMBDAS, is_geo=False, max_cost=MAX_COST, window_size=3, outer_window=7, offsets=(0, 0),
        window_mode="circular",
    )
    rng = np.random.default_rng(5)
    layers = [rng.random((size, size, 4), dtype=np.float32) for _ in range(3)]
    return {
        "standard (circular)": standard,
        "square windows": dict(standard, window_mode="square"),
        "geographic": dict(standard, is_geo=True, transforms=geographic_transforms()),
        "transgrid, 3 layers": dict(standard, transgrid_list=layers),
    }


def best_seconds(arguments, threads, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        quillet.connectivity(**arguments, n_threads=threads)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=512, help="raster side in cells")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the fastest counts")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="thread counts to measure")
    args = parser.parse_args()

    print(f"{args.size} x {args.size} cells, best of {args.repeat}")
    header = "".join(f"{f'us/cell/thread ({t})':>24}" for t in args.threads)
    print(f"{'configuration':<22}{'sources':>9}{header}{'speed-up':>10}")
    for name, arguments in configurations(args.size).items():
        sources = int((~arguments["mask"]).sum())
        seconds = [best_seconds(arguments, t, args.repeat) for t in args.threads]
        per_cell = "".join(f"{1e6 * s * t / sources:>24.2f}" for s, t in zip(seconds, args.threads))
        speedup = seconds[0] / seconds[-1]
        print(f"{name:<22}{sources:>9}{per_cell}{speedup:>10.2f}")


if __name__ == "__main__":
    main()
