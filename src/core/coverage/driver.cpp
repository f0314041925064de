// A coverage call: rings mapped to pixel coordinates and prepared in parallel,
// then bands of rows swept in parallel, each adding its rings in input order.
#include "coverage/driver.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <span>

#include "coverage/ring_sweep.hpp"

namespace quillet {

namespace {

// At least this many bands per worker, so that a worker finishing early finds more
// to take.
constexpr std::size_t kBandsPerWorker = 16;

// The largest power-of-two band height that gives every worker kBandsPerWorker bands.
unsigned band_shift(std::size_t nrows, std::size_t workers) {
    const std::size_t rows = std::max<std::size_t>(1, nrows / (kBandsPerWorker * workers));
    return static_cast<unsigned>(std::bit_width(rows) - 1);
}

struct SignedRing {
    const Ring* ring;
    float sign;
};

// Every ring in the order its contribution is added: each exterior (+1) followed by
// its holes (-1), polygon after polygon.
std::vector<SignedRing> rings_in_order(const std::vector<Polygon>& polygons) {
    std::vector<SignedRing> rings;
    for (const Polygon& polygon : polygons) {
        rings.push_back({&polygon.exterior, 1.0f});
        for (const Ring& hole : polygon.holes) rings.push_back({&hole, -1.0f});
    }
    return rings;
}

// Points mapped per task: large rings are mapped in parallel.
constexpr std::size_t kPointsPerTask = std::size_t{1} << 15;

// Maps a world ring to pixel coordinates with the inverse of the transform.
std::vector<PixelPoint> to_pixel_ring(const Ring& ring, const Affine& t, double det, Pool& pool) {
    const auto [a, b, c, d, e, f] = t;
    std::vector<PixelPoint> out(ring.size());
    pool.parallel_for(0, ring.size(), kPointsPerTask, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            const double dx = ring[i].x - c;
            const double dy = ring[i].y - f;
            out[i] = {(e * dx - b * dy) / det, (a * dy - d * dx) / det};
        }
    });
    return out;
}

// Writes every page of `cells` (which must hold zeros) once. The first access to a
// fresh page then allocates it; were it a read, the page would be mapped to the
// shared zero page and the write after it would need a TLB flush on every CPU that
// runs the pool, which costs more than the sweep itself on large grids.
void touch_pages(std::span<float> cells) {
    constexpr std::size_t kCellsPerPage = 4096 / sizeof(float);
    for (std::size_t i = 0; i < cells.size(); i += kCellsPerPage) cells[i] = 0.0f;
    cells.back() = 0.0f;
}

// Clamps to [0, 1], keeping NaN; written without branches so that it vectorises.
void clamp_to_unit_interval(std::span<float> cells) {
    for (float& cell : cells) cell = std::min(std::max(cell, 0.0f), 1.0f);
}

// For each band, the indices of the rings whose windows reach it, in ring order.
struct RingsByBand {
    std::vector<std::size_t> starts;    // band b's rings: indices[starts[b], starts[b + 1])
    std::vector<std::size_t> indices;

    std::span<const std::size_t> of_band(std::size_t band) const {
        return std::span<const std::size_t>(indices).subspan(starts[band], starts[band + 1] - starts[band]);
    }
};

// A counting sort of the rings by the bands their windows reach.
RingsByBand rings_by_band(const std::vector<PreparedRing>& rings, BandLayout layout, std::size_t n_bands) {
    const auto for_each_entry = [&](auto&& visit) {
        for (std::size_t i = 0; i < rings.size(); ++i) {
            const CellWindow& w = rings[i].window;
            if (w.empty()) continue;
            for (std::size_t band = layout.band_of(w.row_begin); band <= layout.band_of(w.row_end - 1); ++band) {
                visit(i, band);
            }
        }
    };
    RingsByBand out{std::vector<std::size_t>(n_bands + 1, 0), {}};
    for_each_entry([&](std::size_t, std::size_t band) { ++out.starts[band + 1]; });
    std::partial_sum(out.starts.begin(), out.starts.end(), out.starts.begin());
    out.indices.resize(out.starts.back());
    std::vector<std::size_t> next(out.starts.begin(), out.starts.end() - 1);
    for_each_entry([&](std::size_t i, std::size_t band) { out.indices[next[band]++] = i; });
    return out;
}

// The cells of rows [first_row, end_row) that the rings can reach: the smallest
// window holding the parts of their windows within those rows.
CellWindow reach_within(const std::vector<PreparedRing>& rings, std::span<const std::size_t> indices,
                        std::size_t first_row, std::size_t end_row) {
    CellWindow reach{end_row, first_row, std::numeric_limits<std::size_t>::max(), 0};
    for (const std::size_t i : indices) {
        const CellWindow& w = rings[i].window;
        reach = {std::min(reach.row_begin, std::max(w.row_begin, first_row)),
                 std::max(reach.row_end, std::min(w.row_end, end_row)), std::min(reach.col_begin, w.col_begin),
                 std::max(reach.col_end, w.col_end)};
    }
    return reach;
}

template <class Fn>
void for_each_row_span(Grid& grid, const CellWindow& window, Fn fn) {
    for (std::size_t r = window.row_begin; r < window.row_end; ++r) {
        fn(grid.row(r).subspan(window.col_begin, window.col_end - window.col_begin));
    }
}

// Adds the rings that reach one band to its rows, in ring order, and clamps them.
// Cells no ring reaches are left alone: they hold 0 and need no clamping.
void add_band(const std::vector<PreparedRing>& rings, std::span<const std::size_t> indices, std::size_t band,
              BandLayout layout, Grid& grid, SweepScratch& scratch, const CancelFlag& cancel) {
    const std::size_t end_row = std::min(grid.nrows(), layout.first_row(band + 1));
    const CellWindow reach = reach_within(rings, indices, layout.first_row(band), end_row);
    if (reach.empty()) return;
    for_each_row_span(grid, reach, touch_pages);
    for (const std::size_t i : indices) add_ring_band(rings[i], band, grid, scratch, cancel);
    for_each_row_span(grid, reach, clamp_to_unit_interval);
}

}  // namespace

Grid pixel_coverage_grid(const std::vector<Polygon>& polygons, const Affine& transform,
                         std::uint64_t nrows, std::uint64_t ncols, Pool& pool) {
    Grid grid(nrows, ncols);
    if (grid.size() == 0) return grid;

    const std::vector<SignedRing> rings = rings_in_order(polygons);
    const BandLayout layout{band_shift(grid.nrows(), pool.size())};
    const double det = transform.a * transform.e - transform.b * transform.d;
    std::vector<PreparedRing> prepared(rings.size());
    pool.parallel_for(0, rings.size(), 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            prepared[i] = prepare_ring(to_pixel_ring(*rings[i].ring, transform, det, pool), rings[i].sign, grid.nrows(),
                                       grid.ncols(), layout, pool);
        }
    });

    // Bands are independent: each cell receives its additions in ring order whatever
    // the pool size, so the result is the same for every thread count.
    const std::size_t n_bands = layout.band_of(grid.nrows() - 1) + 1;
    const RingsByBand bands = rings_by_band(prepared, layout, n_bands);
    pool.parallel_for(0, n_bands, 1, [&](std::size_t lo, std::size_t hi) {
        SweepScratch scratch(grid.ncols());
        for (std::size_t band = lo; band < hi; ++band) {
            add_band(prepared, bands.of_band(band), band, layout, grid, scratch, pool.cancel_flag());
        }
    });
    return grid;
}

}  // namespace quillet
