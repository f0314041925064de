"""An independent exact coverage computation for the tests.

The area of a ring's interior inside pixel (r, k) is obtained from Green's
theorem: the signed integral over the ring's edges of clamp(y - r, 0, 1) dx,
restricted to x in [k, k + 1]. Each clamped edge is piecewise linear in x with
break points where it meets the pixel's row lines, so splitting there and
integrating each piece with the trapezoid rule is exact. It never clips a
polygon, so it shares no code path with the module's clipping.
"""
import numpy as np


def _edge_integral(x0, y0, x1, y1, k, r):
    """Integral of clamp(y(x) - r, 0, 1) dx along the edge, for x within [k, k+1]."""
    if x0 == x1:
        return 0.0
    sign = 1.0 if x1 > x0 else -1.0
    if x1 < x0:
        x0, y0, x1, y1 = x1, y1, x0, y0
    lo, hi = max(x0, k), min(x1, k + 1)
    if lo >= hi:
        return 0.0
    slope = (y1 - y0) / (x1 - x0)

    def y_at(x):
        return y0 + slope * (x - x0)

    breaks = [lo, hi]
    if slope != 0:
        for line in (r, r + 1):
            x = x0 + (line - y0) / slope
            if lo < x < hi:
                breaks.append(x)
    breaks.sort()
    total = 0.0
    for a, b in zip(breaks[:-1], breaks[1:]):
        fa = min(max(y_at(a) - r, 0.0), 1.0)
        fb = min(max(y_at(b) - r, 0.0), 1.0)
        total += 0.5 * (fa + fb) * (b - a)
    return sign * total


def ring_cell_areas(ring, nrows, ncols):
    """|winding-weighted area| of the ring (pixel coordinates) inside each pixel."""
    areas = np.zeros((nrows, ncols))
    points = [tuple(p) for p in ring]
    edges = list(zip(points, points[1:] + points[:1]))
    for r in range(nrows):
        for k in range(ncols):
            areas[r, k] = abs(sum(_edge_integral(x0, y0, x1, y1, k, r) for (x0, y0), (x1, y1) in edges))
    return areas


def coverage(polygons, nrows, ncols):
    """Coverage of polygons given in pixel coordinates (identity transform)."""
    total = np.zeros((nrows, ncols))
    for exterior, holes in polygons:
        total += ring_cell_areas(exterior, nrows, ncols)
        for hole in holes:
            total -= ring_cell_areas(hole, nrows, ncols)
    return np.clip(total, 0.0, 1.0)
