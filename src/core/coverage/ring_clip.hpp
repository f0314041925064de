// Exact area of a ring's interior inside every pixel, by clipping the ring against
// each pixel square and taking the shoelace area of the piece. This is the
// straightforward computation: it handles rings with non-finite vertices, and it is
// the reference that the faster sweep of ring_sweep.hpp is checked against. The
// ring in pixel coordinates, the cells it can reach and what a piece of its area
// adds to a cell are defined here and shared by the sweep.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/grid.hpp"

namespace quillet {

// A point in pixel coordinates: integer values are pixel corners, and pixel
// (r, k) is the square col in [k, k+1], row in [r, r+1].
struct PixelPoint {
    double col;
    double row;
};

enum class Axis { col, row };

// The cells a ring can reach: rows [row_begin, row_end) x columns [col_begin, col_end).
struct CellWindow {
    std::size_t row_begin = 0;
    std::size_t row_end = 0;
    std::size_t col_begin = 0;
    std::size_t col_end = 0;

    bool empty() const { return row_begin >= row_end || col_begin >= col_end; }
};

// The ring's bounding box in cells, cut to the grid. Coordinates that are NaN never
// enter the box; an infinite maximum (or fewer than 3 points) gives an empty window.
CellWindow ring_window(std::span<const PixelPoint> ring, std::size_t nrows, std::size_t ncols);

// What a piece of signed area `area` adds to its cell: sign * |area| rounded to
// float, or 0 when the area rounds to 0.0f or is NaN (such pieces add nothing).
float cell_contribution(double area, float sign);

// Adds the piece's contribution to the cell unless it is 0.
inline void add_cell_area(float& cell, double area, float sign) {
    const float contribution = cell_contribution(area, sign);
    if (contribution != 0.0f) cell += contribution;
}

// Clips the closed polygon `in` against the half-plane coordinate >= bound
// (keep_greater) or coordinate <= bound, writing the result to `out` (cleared
// first). Points on the line are inside; a NaN coordinate is outside.
void clip_half(std::span<const PixelPoint> in, Axis axis, bool keep_greater, double bound,
               std::vector<PixelPoint>& out);

// Buffers reused by the clipping of one row after another.
struct ClipScratch {
    std::vector<PixelPoint> half;
    std::vector<PixelPoint> strip;
    std::vector<PixelPoint> piece_half;
    std::vector<PixelPoint> piece;
};

// Adds sign * |area of the ring inside the cell| to every cell of row `row` within
// the columns of `window` (the ring's own window).
void add_row_by_clipping(std::span<float> grid_row, std::size_t row, std::span<const PixelPoint> ring,
                         const CellWindow& window, float sign, ClipScratch& scratch);

// Adds the ring to the whole grid by clipping, row after row on the calling thread.
void accumulate_ring_by_clipping(Grid& grid, std::span<const PixelPoint> ring, float sign);

}  // namespace quillet
