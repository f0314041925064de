"""quillet quickstart: a synthetic landscape, its connectivity and a protected area's coverage.

Run after `pip install ".[examples]"`:  python examples/quickstart.py
No data files are needed; with matplotlib installed a map is saved to quickstart.png.
"""
import time

import numpy as np

import quillet

CELL = 100.0  # metres
SIZE = 160  # cells per side


def smooth_noise(rng, size, passes=6):
    """Habitat condition in [0, 1]: random noise smoothed by repeated neighbour averaging."""
    field = rng.random((size, size))
    for _ in range(passes):
        field = (field + np.roll(field, 1, 0) + np.roll(field, -1, 0) + np.roll(field, 1, 1)
                 + np.roll(field, -1, 1)) / 5
    field = (field - field.min()) / (field.max() - field.min())
    return field.astype(np.float32)


def protected_area(centre, radius, n=64):
    """A round protected area with a round clearing in it, as world-coordinate rings."""
    angles = np.linspace(0, 2 * np.pi, n, endpoint=False)
    circle = np.c_[np.cos(angles), np.sin(angles)]
    exterior = centre + radius * circle
    hole = centre + np.array([0.3 * radius, 0.0]) + 0.25 * radius * circle[::-1]
    return [(exterior, [hole])]


def main():
    rng = np.random.default_rng(7)
    condition = smooth_noise(rng, SIZE)
    condition[condition < 0.15] = np.nan  # no habitat data here (water, built-up land)
    mask = np.isnan(condition)

    # North-up transforms: x grows with columns, y shrinks with rows; level L cells are L times larger.
    # A source sees 7 cells of the coarsest level on each side: 7 x 8 x 100 m = 5.6 km, about three times the
    # largest bandwidth (2 km), so the decay has done most of its work within the reach.
    levels, lambdas, outer_window = [1, 2, 4, 8], [0.5, 1.0, 2.0], 7
    transforms = {level: (CELL * level, 0.0, 0.0, 0.0, -CELL * level, SIZE * CELL) for level in levels}

    start = time.perf_counter()
    values = quillet.connectivity(
        condition, mask, None, transforms, levels, lambdas=lambdas, is_geo=False,
        max_cost=10.0, window_size=3, outer_window=outer_window, offsets=(0, 0),
    )
    seconds = time.perf_counter() - start
    sources = int((~mask).sum())
    print(f"connectivity: {SIZE}x{SIZE} raster, {sources} source cells in {seconds:.2f} s "
          f"({1e6 * seconds / max(sources, 1):.1f} us per cell)")
    print(f"  search reach {outer_window * levels[-1] * CELL / 1000:g} km, bandwidths {lambdas} km")
    print(f"  values: min {np.nanmin(values):.4f}  mean {np.nanmean(values):.4f}  max {np.nanmax(values):.4f}"
          " (1: all land within reach is intact habitat; lower as condition falls and paths cost more)")

    world_transform = (CELL, 0.0, 0.0, 0.0, -CELL, SIZE * CELL)
    polygons = protected_area(centre=np.array([8000.0, 8000.0]), radius=5000.0)
    coverage = quillet.pixel_coverage(polygons, world_transform, condition.shape)
    area_km2 = coverage.sum() * CELL * CELL / 1e6
    print(f"pixel_coverage: protected area covers {area_km2:.2f} km2 "
          f"({(coverage == 1).sum()} cells fully, {((coverage > 0) & (coverage < 1)).sum()} partly)")
    inside = coverage > 0.5
    print(f"  mean connectivity inside the protected area {np.nanmean(values[inside]):.4f}, "
          f"outside {np.nanmean(values[~inside]):.4f}")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, axes = plt.subplots(1, 3, figsize=(13, 4.2))
    titles = ["condition", "connectivity", "protected-area coverage"]
    for ax, grid, title in zip(axes, [condition, values, coverage], titles):
        image = ax.imshow(grid, cmap="viridis")
        ax.set_title(title)
        ax.set_axis_off()
        fig.colorbar(image, ax=ax, shrink=0.8)
    fig.tight_layout()
    fig.savefig("quickstart.png", dpi=110)
    print("map saved to quickstart.png")


if __name__ == "__main__":
    main()
