// The affine transform from pixel positions to world coordinates, the one form
// in which both functions take a raster's georeferencing, and the centre of a
// cell under it.
#pragma once

namespace quillet {

// x = a*col + b*row + c, y = d*col + e*row + f, with integer (col, row) at pixel
// corners; longitude/latitude in degrees for geographic rasters.
struct Affine {
    double a, b, c, d, e, f;
};

// Degrees to radians, for the angles of geographic coordinates.
inline constexpr double kRadiansPerDegree = 0.017453292519943295;

// A position in world coordinates.
struct Point {
    double x, y;
};

// Centre (x, y) of cell (row, col) under `t`.
inline Point cell_centre(const Affine& t, double row, double col) {
    const double x = t.a * (col + 0.5) + t.b * (row + 0.5) + t.c;
    const double y = t.d * (col + 0.5) + t.e * (row + 0.5) + t.f;
    return {x, y};
}

}  // namespace quillet
