// Exact area of a ring's interior inside every pixel of a grid, by clipping the
// ring against each pixel square and taking the shoelace area of the piece.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "grid.hpp"
#include "pool.hpp"

namespace quillet {

// A point in pixel coordinates: integer values are pixel corners, and pixel
// (r, k) is the square col in [k, k+1], row in [r, r+1].
struct PixelPoint {
    double col;
    double row;
};

enum class Axis { col, row };

// Clips the closed polygon `in` against the half-plane coordinate >= bound
// (keep_greater) or coordinate <= bound, writing the result to `out` (cleared
// first). Points on the line are inside; a NaN coordinate is outside.
void clip_half(std::span<const PixelPoint> in, Axis axis, bool keep_greater, double bound,
               std::vector<PixelPoint>& out);

// Adds sign * |area of the ring inside the cell| to every cell of `grid` that the
// ring's interior reaches. Rows are processed in parallel on `pool`; every cell
// receives at most one addition, so the result does not depend on the pool size.
void accumulate_ring(Grid& grid, std::span<const PixelPoint> ring, float sign, Pool& pool);

}  // namespace quillet
