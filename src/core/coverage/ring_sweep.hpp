// Exact area of a ring's interior inside every pixel by a row sweep.
//
// For each grid row, every edge piece inside the row's band adds, by Green's
// theorem, the signed area between itself and the cells' right sides to the cells
// it crosses, and its full signed height to every cell further right. A prefix sum
// along the row then gives each cell the signed area of the ring inside it, so a
// cell that no edge enters costs O(1). Its winding number is constant, so its area
// is an integer and is rounded to one: that keeps cancellation residue out of
// wholly covered and wholly empty cells.
//
// The cost of a ring is O(V + cells of its bounding box + edge-cell crossings),
// against O(rows * V + cells * strip vertices) for clipping (ring_clip.hpp),
// which rings with non-finite vertices still take to keep their exact semantics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "coverage/ring_clip.hpp"
#include "common/grid.hpp"
#include "common/pool.hpp"

namespace quillet {

// Row bands of 2^shift rows: band b holds rows [b << shift, (b + 1) << shift), so
// the band of a row is a shift away.
struct BandLayout {
    unsigned shift = 0;

    std::size_t band_of(std::size_t row) const { return row >> shift; }
    std::size_t first_row(std::size_t band) const { return band << shift; }
};

// Edge ids of a ring grouped by the row bands they cross; bands first_band,
// first_band + 1, ... are held. Edge i joins point i to point i + 1, the last edge
// closing the ring.
struct EdgeBands {
    std::size_t first_band = 0;
    std::vector<std::size_t> starts;    // band first_band + i holds edges[starts[i], starts[i + 1])
    std::vector<std::uint32_t> edges;   // ascending within each band

    // The edges of band `band`; empty for a band that is not held.
    std::span<const std::uint32_t> band(std::size_t band) const;
};

// A ring in pixel coordinates with what its bands need: its window and, unless it
// is left to clipping, its edges bucketed by band.
struct PreparedRing {
    std::vector<PixelPoint> points;
    float sign = 1.0f;
    CellWindow window;
    BandLayout layout;
    bool swept = false;   // false: the rows are added by clipping
    EdgeBands bands;
};

// Prepares a ring of pixel points for an nrows x ncols grid split into bands by
// `layout`. The edges of a large ring are bucketed in parallel on `pool`.
PreparedRing prepare_ring(std::vector<PixelPoint> points, float sign, std::size_t nrows, std::size_t ncols,
                          BandLayout layout, Pool& pool);

// Sums of one cell within the row being swept.
struct CellSums {
    double area = 0.0;    // signed area of the edge pieces inside the cell up to its right side
    double carry = 0.0;   // signed height of those pieces, carried to every cell further right
};

// Buffers of one task, reused from ring to ring and row to row.
struct SweepScratch {
    explicit SweepScratch(std::size_t ncols) : cells(ncols), touched((ncols + 63) / 64) {}

    EdgeBands rows;                       // the current ring's edges of the band, by row
    std::vector<std::size_t> counters;    // for bucketing them
    std::vector<CellSums> cells;          // one per grid column; all zero between rows
    std::vector<std::uint64_t> touched;   // a bit per grid column: an edge enters the cell
    ClipScratch clip;
};

// Adds sign * |area of the ring inside the cell| to every cell of the rows of band
// `band` (of the ring's layout) that the ring reaches; at most one addition per
// cell. The result does not depend on how the rows are split into bands. `cancel`
// is checked before every row.
void add_ring_band(const PreparedRing& ring, std::size_t band, Grid& grid, SweepScratch& scratch,
                   const CancelFlag& cancel = kNeverCancelled);

}  // namespace quillet
