"""Timings of pixel_coverage at real-world scale, checked against clipping.

    python bench/bench_coverage.py

Scenarios:
  (a) one synthetic coastline polygon, 200 000 vertices and 100 holes, 4000 x 4000;
  (b) 5 000 small polygons (some with a hole), 2000 x 2000;
  (c) (a) with n_threads 1 and 2, measured alternately on the same inputs.

The reference is the straightforward computation that clips every ring against
every pixel (coverage_by_clipping.cpp, compiled here against src/core). It runs on
a ten-times smaller variant of (a), on (b) itself, and on every 100th row of (a),
giving the largest per-cell difference and the speed ratio against the module on
one thread (for (a), the reference time of the sampled rows times 100).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import quillet

ROOT = Path(__file__).resolve().parents[1]
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)  # world coordinates are pixel coordinates
REPEATS = 3


def star(rng, centre, radius, n):
    angles = np.sort(rng.uniform(0.0, 2.0 * np.pi, n))
    radii = radius * rng.uniform(0.6, 1.0, n)
    return centre + np.c_[radii * np.cos(angles), radii * np.sin(angles)]


def coastline(rng, size, n_vertices, n_holes):
    """A ragged star-shaped polygon filling most of a size x size grid: its radius
    follows a Brownian bridge, so it wiggles on every scale. Holes are small
    stars (lakes) well inside it."""
    centre = np.array([size / 2, size / 2])
    walk = np.cumsum(rng.normal(size=n_vertices))
    walk -= np.linspace(0.0, walk[-1], n_vertices)
    radius = 0.4 * size + 0.08 * size * walk / np.abs(walk).max()
    angles = np.linspace(0.0, 2.0 * np.pi, n_vertices, endpoint=False)
    exterior = centre + np.c_[radius * np.cos(angles), radius * np.sin(angles)]
    holes = []
    for _ in range(n_holes):
        offset = rng.uniform(-0.2 * size, 0.2 * size, 2)
        holes.append(star(rng, centre + offset, rng.uniform(0.002, 0.012) * size, int(rng.integers(50, 500))))
    return [(exterior, holes)]


def small_polygons(rng, size, count):
    polygons = []
    for _ in range(count):
        centre = rng.uniform(0, size, 2)
        radius = rng.uniform(1.0, 20.0)
        exterior = star(rng, centre, radius, int(rng.integers(8, 64)))
        holes = [star(rng, centre, 0.3 * radius, 12)] if rng.random() < 0.1 else []
        polygons.append((exterior, holes))
    return polygons


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def best_time(polygons, shape, n_threads):
    times, grid = [], None
    for _ in range(REPEATS):
        seconds, grid = timed(lambda: quillet.pixel_coverage(polygons, IDENTITY, shape, n_threads=n_threads))
        times.append(seconds)
    return min(times), grid


class ClippingReference:
    """Runs the clipping computation of coverage_by_clipping.cpp in a subprocess."""

    def __init__(self, workdir):
        self.workdir = Path(workdir)
        self.exe = self.workdir / "coverage_by_clipping"
        compiler = os.environ.get("CXX") or shutil.which("c++") or "g++"
        subprocess.run(
            [compiler, "-O3", "-DNDEBUG", "-std=c++20", "-ffp-contract=off", "-fno-fast-math",
             f"-I{ROOT / 'src' / 'core'}", str(ROOT / "bench" / "coverage_by_clipping.cpp"),
             str(ROOT / "src" / "core" / "coverage_clip.cpp"), "-o", str(self.exe)],
            check=True,
        )

    def rows(self, polygons, shape, first_row=0, row_step=1):
        """(seconds, rows first_row, first_row + row_step, ... of the clamped coverage grid)."""
        rings = [(ring, is_hole) for exterior, holes in polygons
                 for ring, is_hole in [(exterior, 0)] + [(h, 1) for h in holes]]
        rings_path, out_path = self.workdir / "rings.bin", self.workdir / "out.bin"
        with open(rings_path, "wb") as f:
            np.array([*shape, first_row, row_step, len(rings)], dtype=np.uint64).tofile(f)
            for ring, is_hole in rings:
                np.array([len(ring), is_hole], dtype=np.uint64).tofile(f)
                np.ascontiguousarray(ring, dtype=np.float64).tofile(f)
        done = subprocess.run([str(self.exe), str(rings_path), str(out_path)], check=True, capture_output=True,
                              text=True)
        grid = np.fromfile(out_path, dtype=np.float32).reshape(-1, shape[1])
        return float(done.stdout), grid


def report(label, fast_seconds, ref_seconds, fast, expected):
    print(f"  {label}: module {fast_seconds * 1e3:7.1f} ms, clipping {ref_seconds * 1e3:9.1f} ms, "
          f"speed ratio {ref_seconds / fast_seconds:6.1f}x, max |difference| {np.abs(fast - expected).max():.2e}")


def main():
    rng = np.random.default_rng(20240611)
    coast = coastline(rng, 4000, 200_000, 100)
    coast_small = coastline(rng, 400, 20_000, 10)
    scattered = small_polygons(rng, 2000, 5000)
    print(f"machine: {os.cpu_count()} CPUs; best of {REPEATS} runs each")

    print("(a) coastline, 200 000 vertices, 100 holes, 4000 x 4000")
    seconds, coast_grid = best_time(coast, (4000, 4000), None)
    print(f"  module, all threads: {seconds * 1e3:8.1f} ms (covered area {coast_grid.sum(dtype=np.float64):.0f} cells)")

    print("(b) 5 000 small polygons, 2000 x 2000")
    seconds, _ = best_time(scattered, (2000, 2000), None)
    print(f"  module, all threads: {seconds * 1e3:8.1f} ms")

    print("(c) (a) with 1 and 2 threads, alternating")
    # A call without polygons costs what every call of this shape costs besides the
    # coverage itself: the pool, the grid and its copy into the result array.
    runs = {(polygons, n): [] for polygons in ("coast", "none") for n in (1, 2)}
    inputs = {"coast": coast, "none": []}
    for _ in range(2 * REPEATS):
        for polygons, n in runs:
            def call(polygons=polygons, n=n):
                return quillet.pixel_coverage(inputs[polygons], IDENTITY, (4000, 4000), n_threads=n)

            runs[polygons, n].append(timed(call)[0])
    best = {key: min(times) for key, times in runs.items()}
    for n in (1, 2):
        print(f"  {n} thread{'s' if n > 1 else ' '}: {best['coast', n] * 1e3:6.1f} ms, of which "
              f"{best['none', n] * 1e3:5.1f} ms for a call without polygons")
    coverage_only = {n: best["coast", n] - best["none", n] for n in (1, 2)}
    print(f"  speed-up {best['coast', 1] / best['coast', 2]:.2f}x for the whole call, "
          f"{coverage_only[1] / coverage_only[2]:.2f}x for the time beyond the call without polygons")

    print("against clipping every pixel (module on 1 thread)")
    with tempfile.TemporaryDirectory() as workdir:
        reference = ClippingReference(workdir)
        for label, polygons, shape in [
            ("(a) at 1/10 scale: 20 000 vertices, 10 holes, 400 x 400", coast_small, (400, 400)),
            ("(b)", scattered, (2000, 2000)),
        ]:
            fast_seconds, fast = best_time(polygons, shape, 1)
            ref_seconds, expected = reference.rows(polygons, shape)
            report(label, fast_seconds, ref_seconds, fast, expected)
        step = 100
        ref_seconds, expected = reference.rows(coast, (4000, 4000), step // 2, step)
        report(f"(a), every {step}th row", best["coast", 1], ref_seconds * step, coast_grid[step // 2::step], expected)
    return 0


if __name__ == "__main__":
    sys.exit(main())
