// The focal kernel: every unmasked cell of a band of rows is a source whose value
// comes from its windows, its routing graph, two shortest-path searches and the
// accumulation of the reached destinations over the dispersal bandwidths.
#pragma once

#include <cstddef>

#include "common/grid.hpp"
#include "connectivity/row_context.hpp"

namespace quillet {

// Computes the connectivity value of every unmasked cell of rows [first_row,
// end_row) of `output`; other cells keep what they hold (the driver fills NaN).
// The sources of the band are visited column by column: neighbouring sources of
// a column share most window cells, so the edges of each cell are computed once
// for the whole band. A fault is the one that a row by row visit meets first.
void compute_band(const RowContext& ctx, std::size_t first_row, std::size_t end_row, Grid& output);

}  // namespace quillet
