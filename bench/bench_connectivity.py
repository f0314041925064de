"""Speed of quillet.connectivity: microseconds per source cell per thread.

Standard configuration: levels 1, 2, 4; window 3, outer window 7; circular
windows; bandwidths 2, 20, 200 km; max_cost 10 (land of condition 0 costs ten
times its length to cross, intact habitat its length). Two landscapes of
512 x 512 float32 cells, no-data cells masked (they are not sources):

- realistic: a smooth condition surface whose low part is non-habitat (0), with
  no data only in a few lakes and a coastal strip, on 25 m cells whose origin is
  not a round number (as in real projected rasters);
- salt noise: independent uniform condition values with 10% no-data cells
  scattered at random, on 100 m cells at the origin.

The square-window, geographic and three-layer transgrid variants change one
thing each. The deep configurations reach further, for larger bandwidths:
levels 1 to 8 (window 3, outer 7), levels 1 to 16 and 1 to 32 (window 5,
outer 9), on the realistic landscape (projected and geographic) and on the same
surface with 1 km cells. "Sparse" variants keep 3% of the unmasked cells as
sources, chosen at random, so that sources rarely neighbour one another.

Every configuration runs with 1 and 2 threads; the speed-up is the ratio of the
two wall times. Nodes and edges are those of the graph of a source whose
windows are whole and valid, averaged over the source's places in the coarsest
level's cell.

The tile-like setting (--tile) computes sources as a run does: a tile of the
realistic landscape read with a halo of the levels 1-32 chain's whole reach,
sources only in the tile, so that every window lies inside the raster. The
standard, deep (levels 1-32) and deep geographic configurations run on
one thread, each taking turns with the floor kernel (floor_kernel.cpp: two
textbook heap searches and the kernel sums on a lattice of the graph's nodes),
and are printed as processor µs per source, against the floor and as their
ratio. A tile of 768 keeps a run within about five minutes on two cores.

    python bench/bench_connectivity.py [--size 512] [--repeat 3] [--threads 1 2] [--only NAME ...]
    python bench/bench_connectivity.py --tile 768 [--repeat 2]
"""
import argparse
import time

import numpy as np

import floor_kernel
import quillet
from quillet_geo.connectivity_parameters import window_reach

LEVELS = [1, 2, 4]
DEEP_LEVELS = [1, 2, 4, 8, 16, 32]
LAMBDAS = [2.0, 20.0, 200.0]
MAX_COST = 10.0


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


def projected_transforms(cell=100.0, west=0.0, north=0.0, levels=DEEP_LEVELS):
    return {level: (cell * level, 0.0, west, 0.0, -cell * level, north) for level in levels}


def geographic_transforms(cell_degrees=0.001, west=10.0, north=47.0, levels=DEEP_LEVELS):
    return {level: (cell_degrees * level, 0.0, west, 0.0, -cell_degrees * level, north) for level in levels}


def sparse(arguments, share=0.03, seed=17):
    """The configuration with only `share` of its unmasked cells as sources."""
    rng = np.random.default_rng(seed)
    return dict(arguments, mask=arguments["mask"] | (rng.random(arguments["mask"].shape) >= share))


def deep(arguments, top, window=5, outer=9):
    """The configuration on levels 1, 2, 4, ... `top`."""
    levels = [level for level in DEEP_LEVELS if level <= top]
    return dict(arguments, levels=levels, window_size=window, outer_window=outer)


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
    geographic = dict(standard, is_geo=True, transforms=geographic_transforms())
    kilometre = dict(standard, transforms=projected_transforms(1000.0, west=512000.0, north=6144000.0))
    return {
        "realistic": standard,
        "salt noise": dict(standard, condition=noise, mask=noise_mask, transforms=projected_transforms()),
        "square windows": dict(standard, window_mode="square"),
        "geographic": geographic,
        "transgrid, 3 layers": dict(standard, transgrid_list=layers),
        "sparse": sparse(standard),
        "levels 1-8": deep(standard, 8, 3, 7),
        "levels 1-16": deep(standard, 16),
        "levels 1-32": deep(standard, 32),
        "levels 1-32, geographic": deep(geographic, 32),
        "levels 1-32, sparse": sparse(deep(standard, 32)),
        "1 km": kilometre,
        "1 km, levels 1-8": deep(kilometre, 8, 3, 7),
        "1 km, levels 1-16": deep(kilometre, 16),
        "1 km, levels 1-32": deep(kilometre, 32),
    }


def level_cells(level, width, inner_radius, centre):
    """Selected cells of one level's circular window around a source at `centre`
    (row, column in base cells, its coarsest block at the origin): a boolean grid
    over level cells from `first` on, and which of them the outer circle cuts."""
    reach = width * level
    first = np.floor((np.asarray(centre) - reach) / level).astype(int)
    side = 2 * width + 2
    top = (first[0] + np.arange(side))[:, None] * level
    left = (first[1] + np.arange(side))[None, :] * level

    def near(lo, centre_value):
        return np.maximum(np.maximum(lo - centre_value, centre_value - (lo + level)), 0.0)

    def far(lo, centre_value):
        return np.maximum(np.abs(lo - centre_value), np.abs(lo + level - centre_value))

    near2 = near(top, centre[0]) ** 2 + near(left, centre[1]) ** 2
    far2 = far(top, centre[0]) ** 2 + far(left, centre[1]) ** 2
    selected = (near2 < reach**2) & (far2 > inner_radius**2)
    eps = (reach**2 + 1) * 1e-12
    cut = selected & (near2 <= reach**2 + eps) & ~(far2 < reach**2 - eps)
    return first, selected, cut


def graph_size(levels, window, outer):
    """Nodes and edges of the graph of a source whose circular windows are whole
    and valid, averaged over the source's places in its coarsest level cell."""
    coarsest = levels[-1]
    nodes = edges = 0
    for row in range(coarsest):
        for col in range(coarsest):
            centre = (row + 0.5, col + 0.5)
            windows = {}
            for level in levels:
                width = max(outer, window) if level == coarsest else window
                windows[level] = level_cells(level, width, window * level * 0.5 if level > 1 else 0.0, centre)
            for level, (first, selected, cut) in windows.items():
                nodes += selected.sum()
                padded = np.pad(selected, 1)
                for dr in (-1, 0, 1):
                    for dc in (-1, 0, 1):
                        if dr or dc:
                            edges += (selected & padded[1 + dr:1 + dr + selected.shape[0],
                                                        1 + dc:1 + dc + selected.shape[1]]).sum()
                if level == coarsest:
                    continue
                coarse_first, coarse_selected, _ = windows[2 * level]
                for r, c in zip(*np.nonzero(cut)):
                    g = first + (r, c)
                    for cr in {(g[0] - 1) // 2, (g[0] + 1) // 2}:
                        for cc in {(g[1] - 1) // 2, (g[1] + 1) // 2}:
                            i, j = cr - coarse_first[0], cc - coarse_first[1]
                            inside = 0 <= i < coarse_selected.shape[0] and 0 <= j < coarse_selected.shape[1]
                            edges += bool(inside and coarse_selected[i, j])
    places = coarsest * coarsest
    return nodes / places, edges / places


def best_seconds(arguments, threads, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        quillet.connectivity(**arguments, n_threads=threads)
        best = min(best, time.perf_counter() - start)
    return best


# The tile-like setting: sources in a tile as a run computes it, read with a halo of the deepest chain's whole
# reach, so that every source's windows lie inside the raster; each configuration against the floor kernel at
# its own graph's size, the two taking turns.

TILE_CONFIGURATIONS = {"standard": "realistic", "deep": "levels 1-32", "deep, geographic": "levels 1-32, geographic"}


def tile_configurations(tile):
    """The standard and deep configurations on the realistic landscape of a `tile`-cell tile and its halo,
    sources only in the tile (and not in water)."""
    halo = window_reach(DEEP_LEVELS, 5, 9)
    every = configurations(tile + 2 * halo)
    in_tile = np.zeros_like(every["realistic"]["mask"])
    in_tile[halo:halo + tile, halo:halo + tile] = True
    return {name: dict(every[source], mask=every[source]["mask"] | ~in_tile)
            for name, source in TILE_CONFIGURATIONS.items()}


def processor_seconds(arguments):
    """Processor seconds of one call on one thread: on a shared machine, waiting for a processor does not count."""
    start = time.process_time()
    quillet.connectivity(**arguments, n_threads=1)
    return time.process_time() - start


def tile_comparison(tile, turns):
    """Prints, per configuration, one thread's processor µs per source and the floor kernel's per search pair,
    each the lowest of `turns` runs taken in turn, and their ratio."""
    floor_kernel.build()
    print(f"tile of {tile} x {tile} cells and its halo, max_cost {MAX_COST:g}, one thread, processor time, "
          f"best of {turns}")
    print(f"{'configuration':<20}{'sources':>9}{'nodes':>7}{'edges':>7}{'lattice':>9}"
          f"{'us/source':>11}{'floor us':>10}{'ratio':>7}")
    for name, arguments in tile_configurations(tile).items():
        sources = int((~arguments["mask"]).sum())
        nodes, edges = graph_size(arguments["levels"], arguments["window_size"], arguments["outer_window"])
        side = floor_kernel.lattice_side(nodes)
        floor = ours = float("inf")
        for _ in range(turns):
            floor = min(floor, floor_kernel.microseconds_per_pair(side))
            ours = min(ours, 1e6 * processor_seconds(arguments) / sources)
        print(f"{name:<20}{sources:>9}{nodes:>7.0f}{edges:>7.0f}{f'{side}x{side}':>9}"
              f"{ours:>11.2f}{floor:>10.2f}{ours / floor:>7.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=512, help="raster side in cells")
    parser.add_argument("--repeat", type=int, help="runs per measurement; the fastest counts (3, with --tile 2)")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="thread counts to measure")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="configurations to run (default: all)")
    parser.add_argument("--tile", type=int, metavar="CELLS",
                        help="measure the tile-like setting against the floor kernel instead, on a tile this wide")
    args = parser.parse_args()
    if args.tile:
        tile_comparison(args.tile, args.repeat or 2)
        return
    args.repeat = args.repeat or 3

    print(f"{args.size} x {args.size} cells, best of {args.repeat}")
    header = "".join(f"{f'us/cell/thread ({t})':>24}" for t in args.threads)
    print(f"{'configuration':<26}{'sources':>9}{'nodes':>7}{'edges':>7}{header}{'speed-up':>10}")
    for name, arguments in configurations(args.size).items():
        if args.only and name not in args.only:
            continue
        sources = int((~arguments["mask"]).sum())
        nodes, edges = graph_size(arguments["levels"], arguments["window_size"], arguments["outer_window"])
        seconds = [best_seconds(arguments, t, args.repeat) for t in args.threads]
        per_cell = "".join(f"{1e6 * s * t / sources:>24.2f}" for s, t in zip(seconds, args.threads))
        speedup = seconds[0] / seconds[-1]
        print(f"{name:<26}{sources:>9}{nodes:>7.0f}{edges:>7.0f}{per_cell}{speedup:>10.2f}")


if __name__ == "__main__":
    main()
