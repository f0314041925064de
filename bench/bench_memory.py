"""Peak memory of one call beyond its inputs, in bytes per raster cell.

Each measurement runs in a fresh child process: it builds the inputs, notes its
resident memory, makes one call and reads the peak resident memory of the
process. connectivity: a 4000 x 4000 condition raster, levels 1, 2, 4 (window 3,
outer 7), and the deep configuration, levels 1 to 32 (window 5, outer 9), with
99% of the cells masked (so that it runs in seconds); pixel_coverage: a 4000 x
4000 raster under a 10 000-vertex polygon with a hole.

    python bench/bench_memory.py [--size 4000]
"""
import argparse
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    import quillet

    def resident_kib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    function, size, deep = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "deep"
    rng = np.random.default_rng(1)
    if function == "connectivity":
        levels = [1, 2, 4, 8, 16, 32] if deep else [1, 2, 4]
        arguments = dict(
            condition=rng.random((size, size), dtype=np.float32), mask=rng.random((size, size)) < 0.99,
            transgrid_list=None, transforms={l: (100.0 * l, 0.0, 0.0, 0.0, -100.0 * l, 0.0) for l in levels},
            levels=levels, lambdas=[2.0, 20.0, 200.0], is_geo=False, max_cost=10.0, window_size=5 if deep else 3,
            outer_window=9 if deep else 7, offsets=(0, 0))
    else:
        angles = np.linspace(0, 2 * np.pi, 10_000, endpoint=False)
        circle = np.column_stack([np.cos(angles), np.sin(angles)])
        arguments = dict(polygons=[(size / 2 * (1 + 0.9 * circle), [size / 2 * (1 + 0.4 * circle)])],
                         transform=(1.0, 0.0, 0.0, 0.0, -1.0, float(size)), shape=(size, size))
    before = resident_kib()
    result = getattr(quillet, function)(**arguments, n_threads=2)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print((peak - before) * 1024 / result.size)
    """
)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4000, help="raster side in cells")
    args = parser.parse_args()
    print(f"{args.size} x {args.size} cells; peak beyond the inputs, result included")
    for label, function, variant in (("connectivity", "connectivity", "standard"),
                                     ("connectivity, levels 1-32", "connectivity", "deep"),
                                     ("pixel_coverage", "pixel_coverage", "")):
        out = subprocess.run([sys.executable, "-c", CHILD, function, str(args.size), variant], capture_output=True,
                             text=True, check=True)
        print(f"{label:<28}{float(out.stdout):8.1f} B per cell")


if __name__ == "__main__":
    main()
