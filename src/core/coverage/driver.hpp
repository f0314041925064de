// The body of one pixel_coverage call: the coverage fraction of every pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "common/affine.hpp"
#include "common/grid.hpp"
#include "common/pool.hpp"

namespace quillet {

// The vertices of a ring in world coordinates.
using Ring = std::vector<Point>;

struct Polygon {
    Ring exterior;
    std::vector<Ring> holes;
};

// The fraction of each pixel of an nrows x ncols grid covered by `polygons`:
// exteriors add, holes subtract, in input order, and the sum is clamped to [0, 1].
Grid pixel_coverage_grid(const std::vector<Polygon>& polygons, const Affine& transform,
                         std::uint64_t nrows, std::uint64_t ncols, Pool& pool);

}  // namespace quillet
