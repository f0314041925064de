// Window geometry: how much of a level cell a focal window covers (its share),
// whether the window's outer circle cuts the cell, and the level cells a window
// spans along one axis. Coordinates are in base cells on the global lattice, a
// source's centre at half a cell; both window templates and windows clipped by
// the raster's edge are measured by these functions, so that the two agree to
// the bit.
#pragma once

#include <cstdint>

#include "connectivity/window_mode.hpp"

namespace quillet {

// Minimum and maximum that ignore a NaN operand in favour of the other.
inline double min_of(double a, double b) { return (a < b || b != b) ? a : b; }
inline double max_of(double a, double b) { return (a > b || b != b) ? a : b; }

// Area of the intersection of the rectangle [p0, p1] x [q0, q1] with the closed
// disc of radius r centred at (cp, cq).
double rect_circle_overlap_area(double p0, double p1, double q0, double q1, double cp, double cq, double r);

// Area of {(s, t): 0 <= s <= x, 0 <= t <= y, s^2 + t^2 <= r^2}.
double first_quadrant_circle_area(double x, double y, double r);

// The source position and window extents against which cell shares are measured.
struct ShareFrame {
    double centre_row, centre_col;
    double reach, inner_radius;
    WindowMode mode;
};

// What a window makes of one cell: whether it selects it, whether the outer
// circle cuts it (circular mode), and the share of the cell it covers.
struct CellShare {
    bool selected = false;
    bool boundary = false;
    float share = 0.0f;
};

// The window share of the clipped cell rectangle [y0, y1] x [x0, x1].
CellShare cell_share(const ShareFrame& f, double y0, double y1, double x0, double x1);

// The extent [lo, hi] of a window on one axis clipped to the raster [start,
// end), and its first and last level cells; empty when hi <= lo.
struct AxisWindow {
    double lo, hi;
    std::int64_t first, last;
};

AxisWindow clip_axis(double centre, double reach, double start, double end, std::int64_t level);

}  // namespace quillet
