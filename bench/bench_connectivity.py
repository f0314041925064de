"""Speed of quillet.connectivity: microseconds per source cell per thread.

Standard configuration: levels 1, 2, 4; window 3, outer window 7; circular
windows; bandwidths 2, 20, 200 km; max_cost 0.1. Two landscapes of 512 x 512
float32 cells, no-data cells masked (they are not sources):

- realistic: a smooth condition surface whose low part is non-habitat (0), with
  no data only in a few lakes and a coastal strip, on 25 m cells whose origin is
  not a round number (as in real projected rasters);
- salt noise: independent uniform condition values with 10% no-data cells
  scattered at random, on 100 m cells at the origin.

The square-window, geographic and three-layer transgrid variants change one
thing each. Every configuration runs with 1 and 2 threads; the speed-up is the
ratio of the two wall times.

    python bench/bench_connectivity.py [--size 512] [--repeat 3] [--threads 1 2] [--only NAME ...]
"""
import argparse
import time

import numpy as np

import quillet

LEVELS = [1, 2, 4]
LAMBDAS = [2.0, 20.0, 200.0]
MAX_COST = 0.1


def salt_noise(size, seed=11):
    """Condition in [0, 1] with 10% of the cells NaN, and the matching mask."""
    rng = np.random.default_rng(seed)
    condition = rng.random((size, size), dtype=np.float32)
    condition[rng.random((size, size)) < 0.1] = np.nan
    return condition, np.isnan(condition)


def smooth_surface(size, rng, correlation):
    """Gaussian-filtered white noise scaled to [0, 1]; `correlation` in cells."""
    spectrum = np.fft.rfft2(rng.standard_normal((size, size)))
    fy = np.fft.fftfreq(size)[:, None]
    fx = np.fft.rfftfreq(size)[None, :]
    spectrum *= np.exp(-2.0 * (np.pi * correlation) ** 2 * (fx**2 + fy**2))
    surface = np.fft.irfft2(spectrum, s=(size, size))
    surface -= surface.min()
    return surface / surface.max()


def realistic(size, seed=3):
    """A smooth condition surface, 0 where it is low (non-habitat), NaN in four
    round lakes and a coastal strip along the west edge; and the matching mask."""
    rng = np.random.default_rng(seed)
    condition = smooth_surface(size, rng, size / 12).astype(np.float32)
    condition[condition < 0.35] = 0.0
    rows, cols = np.mgrid[0:size, 0:size]
    for _ in range(4):
        r, c, radius = rng.uniform(0, size), rng.uniform(0, size), rng.uniform(size / 60, size / 25)
        condition[(rows - r) ** 2 + (cols - c) ** 2 < radius**2] = np.nan
    coast = size * 0.04 * (1 + 0.5 * np.sin(9 * np.arange(size) / size))
    condition[cols < coast[:, None]] = np.nan
    return condition, np.isnan(condition)


def projected_transforms(cell=100.0, west=0.0, north=0.0):
    return {level: (cell * level, 0.0, west, 0.0, -cell * level, north) for level in LEVELS}


def geographic_transforms(cell_degrees=0.001, west=10.0, north=47.0):
    return {level: (cell_degrees * level, 0.0, west, 0.0, -cell_degrees * level, north) for level in LEVELS}


def configurations(size):
    condition, mask = realistic(size)
    standard = dict(
        condition=condition, mask=mask, transgrid_list=None,
        transforms=projected_transforms(25.0, west=483217.31, north=5761043.77), levels=LEVELS, lambdas=LAMBDAS,
        is_geo=False, max_cost=MAX_COST, window_size=3, outer_window=7, offsets=(0, 0), window_mode="circular",
    )
    noise, noise_mask = salt_noise(size)
    rng = np.random.default_rng(5)
    layers = [rng.random((size, size, 4), dtype=np.float32) for _ in range(3)]
    return {
        "realistic": standard,
        "salt noise": dict(standard, condition=noise, mask=noise_mask, transforms=projected_transforms()),
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
    parser.add_argument("--only", nargs="+", metavar="NAME", help="configurations to run (default: all)")
    args = parser.parse_args()

    print(f"{args.size} x {args.size} cells, best of {args.repeat}")
    header = "".join(f"{f'us/cell/thread ({t})':>24}" for t in args.threads)
    print(f"{'configuration':<22}{'sources':>9}{header}{'speed-up':>10}")
    for name, arguments in configurations(args.size).items():
        if args.only and name not in args.only:
            continue
        sources = int((~arguments["mask"]).sum())
        seconds = [best_seconds(arguments, t, args.repeat) for t in args.threads]
        per_cell = "".join(f"{1e6 * s * t / sources:>24.2f}" for s, t in zip(seconds, args.threads))
        speedup = seconds[0] / seconds[-1]
        print(f"{name:<22}{sources:>9}{per_cell}{speedup:>10.2f}")


if __name__ == "__main__":
    main()
