// The body of one pixel_coverage call: the coverage fraction of every pixel.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/grid.hpp"
#include "common/pool.hpp"

namespace quillet {

// A vertex in world coordinates.
struct WorldPoint {
    double x;
    double y;
};

using Ring = std::vector<WorldPoint>;

struct Polygon {
    Ring exterior;
    std::vector<Ring> holes;
};

// (a, b, c, d, e, f): x = a*col + b*row + c, y = d*col + e*row + f.
using TransformCoefficients = std::array<double, 6>;

// The fraction of each pixel of an nrows x ncols grid covered by `polygons`:
// exteriors add, holes subtract, in input order, and the sum is clamped to [0, 1].
Grid pixel_coverage_grid(const std::vector<Polygon>& polygons, const TransformCoefficients& transform,
                         std::uint64_t nrows, std::uint64_t ncols, Pool& pool);

}  // namespace quillet
