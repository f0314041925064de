// The sweep: edges bucketed by row band (in parallel for large rings), then per
// row each edge piece's area and height added to its cells, and a prefix sum.
#include "coverage/ring_sweep.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <ranges>
#include <utility>

namespace quillet {

namespace {

// Coordinates up to this magnitude keep every difference of two of them finite;
// rings with larger, infinite or NaN coordinates are added by clipping.
constexpr double kLargestSweptCoordinate = 0x1p1000;

bool is_sweepable(std::span<const PixelPoint> ring) {
    if (ring.size() > std::numeric_limits<std::uint32_t>::max()) return false;
    return std::all_of(ring.begin(), ring.end(), [](const PixelPoint& p) {
        return std::fabs(p.col) <= kLargestSweptCoordinate && std::fabs(p.row) <= kLargestSweptCoordinate;
    });
}

struct RowRange {
    std::size_t begin;
    std::size_t end;

    bool empty() const { return begin >= end; }
};

std::uint32_t next_point(std::uint32_t id, std::size_t size) { return id + 1 == size ? 0 : id + 1; }

// The rows [floor(min row), ceil(max row)) whose open band the edge enters, cut to
// `rows`; a horizontal edge on a row line enters none. Rounding is done on the cut,
// non-negative values by conversion, which is cheaper than floor and ceil.
RowRange edge_rows(const PixelPoint& a, const PixelPoint& b, RowRange rows) {
    const double top = std::max(std::min(a.row, b.row), static_cast<double>(rows.begin));
    const double bottom = std::min(std::max(a.row, b.row), static_cast<double>(rows.end));
    if (!(top <= bottom)) return {0, 0};
    const auto first = static_cast<std::size_t>(top);
    auto end = static_cast<std::size_t>(bottom);
    if (static_cast<double>(end) < bottom) ++end;
    return {first, end};
}

// Edges per chunk of the bucketing of a large ring, which runs chunks in parallel.
constexpr std::size_t kEdgesPerChunk = std::size_t{1} << 15;

// Spacing between the counters of successive chunks, so that chunks counting in
// parallel never write to the same cache line.
constexpr std::size_t kCounterPadding = 16;

// Buckets the edges `ids` of `ring` by the bands they enter within `rows`: a
// counting sort over n_chunks consecutive chunks of `ids`, which run_chunks(n,
// body) runs as body(0) ... body(n - 1), possibly in parallel. Every band keeps
// the order of `ids`. `counters` is scratch.
template <class EdgeIds, class RunChunks>
void bucket_edges(std::span<const PixelPoint> ring, const EdgeIds& ids, RowRange rows, BandLayout layout,
                  std::size_t n_chunks, RunChunks run_chunks, std::vector<std::size_t>& counters, EdgeBands& out) {
    out.first_band = layout.band_of(rows.begin);
    const std::size_t n_bands = layout.band_of(rows.end - 1) + 1 - out.first_band;
    const std::size_t stride = n_bands + kCounterPadding;
    // Calls visit(id, i) for every edge of the chunk and every band i it enters.
    const auto for_each_entry = [&](std::size_t chunk, auto&& visit) {
        const std::size_t n = std::ranges::size(ids);
        const auto first = std::ranges::begin(ids);
        for (auto it = first + chunk * n / n_chunks, end = first + (chunk + 1) * n / n_chunks; it != end; ++it) {
            const std::uint32_t id = *it;
            const RowRange span = edge_rows(ring[id], ring[next_point(id, ring.size())], rows);
            if (span.empty()) continue;
            const std::size_t last = layout.band_of(span.end - 1) - out.first_band;
            for (std::size_t i = layout.band_of(span.begin) - out.first_band; i <= last; ++i) visit(id, i);
        }
    };

    counters.assign(n_chunks * stride, 0);
    run_chunks(n_chunks, [&](std::size_t chunk) {
        for_each_entry(chunk, [&](std::uint32_t, std::size_t i) { ++counters[chunk * stride + i]; });
    });
    // Band by band, chunk by chunk, each count becomes the place of its chunk's first edge.
    out.starts.resize(n_bands + 1);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n_bands; ++i) {
        out.starts[i] = total;
        for (std::size_t chunk = 0; chunk < n_chunks; ++chunk) total += std::exchange(counters[chunk * stride + i], total);
    }
    out.starts[n_bands] = total;
    out.edges.resize(total);
    run_chunks(n_chunks, [&](std::size_t chunk) {
        for_each_entry(chunk, [&](std::uint32_t id, std::size_t i) { out.edges[counters[chunk * stride + i]++] = id; });
    });
}

// Runs chunks one after another on the calling thread.
constexpr auto run_in_order = [](std::size_t n, auto&& body) {
    for (std::size_t i = 0; i < n; ++i) body(i);
};

// The sums of the row being swept, over the window's columns [first_col, end_col).
struct RowSweep {
    std::span<CellSums> cells;
    std::span<std::uint64_t> touched;
    std::size_t first_col;
    std::size_t end_col;
    double left;              // first_col as a coordinate
    double right;             // end_col as a coordinate
    double cover_in = 0.0;    // signed height of the pieces left of the window

    void touch(std::size_t k) { touched[k / 64] |= std::uint64_t{1} << (k % 64); }
};

// Adds a piece lying in column k between cell-local columns u0 and u1 (in [0, 1])
// with signed height dy: the cell gets the area between the piece and its right
// side, the cells further right the whole height.
void add_segment(RowSweep& s, std::size_t k, double u0, double u1, double dy) {
    CellSums& cell = s.cells[k];
    cell.area += dy * (1.0 - 0.5 * (u0 + u1));
    cell.carry += dy;
    s.touch(k);
}

// Marks the cells crossed by a horizontal edge inside the band: it adds no area,
// but the cells' winding number changes across it.
void mark_horizontal(RowSweep& s, double x0, double x1) {
    const double lo = std::max(std::min(x0, x1), s.left);
    const double hi = std::min(std::max(x0, x1), s.right);
    if (!(lo < hi)) return;
    const auto end = static_cast<std::size_t>(std::ceil(hi));
    for (auto k = static_cast<std::size_t>(std::floor(lo)); k < end; ++k) s.touch(k);
}

void add_vertical_piece(RowSweep& s, double x, double dy) {
    if (x < s.left) {
        s.cover_in += dy;
    } else if (x < s.right) {
        const double k = std::floor(x);
        add_segment(s, static_cast<std::size_t>(k), x - k, x - k, dy);
    }
}

// Adds the piece a -> b of an edge, rows local to the band (in [0, 1]), walking the
// columns it crosses from left to right.
void add_piece(RowSweep& s, PixelPoint a, PixelPoint b) {
    if (a.col == b.col) {
        add_vertical_piece(s, a.col, b.row - a.row);
        return;
    }
    const bool rightward = a.col < b.col;
    const PixelPoint& l = rightward ? a : b;
    const PixelPoint& r = rightward ? b : a;
    const double direction = rightward ? 1.0 : -1.0;   // heights are taken from a to b
    if (r.col <= s.left) {
        s.cover_in += b.row - a.row;
        return;
    }
    if (l.col >= s.right) return;
    const auto row_at = [&](double x) { return l.row + (r.row - l.row) * ((x - l.col) / (r.col - l.col)); };

    double x = l.col;
    double y = l.row;
    if (x < s.left) {
        y = row_at(s.left);
        s.cover_in += direction * (y - l.row);
        x = s.left;
    }
    for (auto k = static_cast<std::size_t>(std::floor(x));; ++k) {
        const double col = static_cast<double>(k);
        const double boundary = col + 1.0;
        if (r.col <= boundary) {
            add_segment(s, k, x - col, r.col - col, direction * (r.row - y));
            return;
        }
        const double y_next = row_at(boundary);
        add_segment(s, k, x - col, 1.0, direction * (y_next - y));
        if (k + 1 >= s.end_col) return;
        x = boundary;
        y = y_next;
    }
}

// Adds the part of edge p0 -> p1 inside the band of rows [top, top + 1].
void add_edge(RowSweep& s, const PixelPoint& p0, const PixelPoint& p1, double top) {
    const double y0 = p0.row - top;
    const double y1 = p1.row - top;
    if (y0 == y1) {
        if (y0 > 0.0 && y0 < 1.0) mark_horizontal(s, p0.col, p1.col);
        return;
    }
    const auto clip_end = [&](const PixelPoint& p, double y) {
        if (y >= 0.0 && y <= 1.0) return PixelPoint{p.col, y};
        const double line = y < 0.0 ? 0.0 : 1.0;
        return PixelPoint{p0.col + (p1.col - p0.col) * ((line - y0) / (y1 - y0)), line};
    };
    add_piece(s, clip_end(p0, y0), clip_end(p1, y1));
}

// Calls visit(k) for every touched column k in increasing order, clearing the bits.
template <class Visit>
void for_each_touched(RowSweep& s, Visit visit) {
    for (std::size_t w = s.first_col / 64; w * 64 < s.end_col; ++w) {
        for (std::uint64_t bits = std::exchange(s.touched[w], 0); bits != 0; bits &= bits - 1) {
            visit(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
        }
    }
}

// Adds every cell's area to the grid row and clears the sums. No edge enters the
// cells between touched ones, so their winding number is constant: the running
// cover is rounded to it and added to the whole run at once.
void emit_row(RowSweep& s, std::span<float> grid_row, float sign) {
    double cover = s.cover_in;
    std::size_t next = s.first_col;
    const auto emit_run = [&](std::size_t end) {
        if (next >= end) return;
        cover = std::round(cover);
        const float contribution = cell_contribution(cover, sign);
        if (contribution != 0.0f) {
            for (float& cell : grid_row.subspan(next, end - next)) cell += contribution;
        }
    };
    for_each_touched(s, [&](std::size_t k) {
        emit_run(k);
        CellSums& cell = s.cells[k];
        add_cell_area(grid_row[k], cover + cell.area, sign);
        cover += cell.carry;
        cell = CellSums{};
        next = k + 1;
    });
    emit_run(s.end_col);
}

void sweep_row(const PreparedRing& ring, std::span<const std::uint32_t> edges, std::size_t row,
               std::span<float> grid_row, SweepScratch& scratch) {
    const CellWindow& w = ring.window;
    RowSweep s{scratch.cells, scratch.touched, w.col_begin, w.col_end, static_cast<double>(w.col_begin),
               static_cast<double>(w.col_end)};
    const double top = static_cast<double>(row);
    for (const std::uint32_t id : edges) add_edge(s, ring.points[id], ring.points[next_point(id, ring.points.size())], top);
    emit_row(s, grid_row, ring.sign);
}

}  // namespace

std::span<const std::uint32_t> EdgeBands::band(std::size_t band) const {
    if (band < first_band || band - first_band + 1 >= starts.size()) return {};
    const std::size_t i = band - first_band;
    return std::span<const std::uint32_t>(edges).subspan(starts[i], starts[i + 1] - starts[i]);
}

PreparedRing prepare_ring(std::vector<PixelPoint> points, float sign, std::size_t nrows, std::size_t ncols,
                          BandLayout layout, Pool& pool) {
    PreparedRing ring;
    ring.window = ring_window(points, nrows, ncols);
    ring.sign = sign;
    ring.layout = layout;
    ring.swept = is_sweepable(points);
    ring.points = std::move(points);
    if (ring.swept && !ring.window.empty()) {
        const auto all_edges = std::views::iota(std::uint32_t{0}, static_cast<std::uint32_t>(ring.points.size()));
        const auto run_on_pool = [&pool](std::size_t n, auto&& body) {
            pool.parallel_for(0, n, 1, [&](std::size_t lo, std::size_t hi) {
                for (std::size_t i = lo; i < hi; ++i) body(i);
            });
        };
        std::vector<std::size_t> counters;
        bucket_edges(ring.points, all_edges, {ring.window.row_begin, ring.window.row_end}, layout,
                     (ring.points.size() + kEdgesPerChunk - 1) / kEdgesPerChunk, run_on_pool, counters, ring.bands);
    }
    return ring;
}

void add_ring_band(const PreparedRing& ring, std::size_t band, Grid& grid, SweepScratch& scratch,
                   const CancelFlag& cancel) {
    const CellWindow& w = ring.window;
    if (w.empty()) return;
    const RowRange rows{std::max(ring.layout.first_row(band), w.row_begin),
                        std::min(ring.layout.first_row(band + 1), w.row_end)};
    if (rows.empty()) return;
    if (!ring.swept) {
        for (std::size_t r = rows.begin; r < rows.end; ++r) {
            cancel.check();
            add_row_by_clipping(grid.row(r), r, ring.points, w, ring.sign, scratch.clip);
        }
        return;
    }
    bucket_edges(ring.points, ring.bands.band(band), rows, BandLayout{0}, 1, run_in_order, scratch.counters,
                 scratch.rows);
    for (std::size_t r = rows.begin; r < rows.end; ++r) {
        cancel.check();
        sweep_row(ring, scratch.rows.band(r), r, grid.row(r), scratch);
    }
}

}  // namespace quillet
