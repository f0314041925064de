// Clipping by Sutherland-Hodgman against one half-plane at a time: a ring to a
// row's strip, the strip to each cell of the row.
#include "coverage/ring_clip.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillet {

namespace {

// Half the smallest positive float subnormal: areas at or below it round to 0.0f.
constexpr double kSmallestStorableArea = 7.006492321624085e-46;

double coordinate(const PixelPoint& p, Axis axis) { return axis == Axis::col ? p.col : p.row; }

// Converts an integer-valued bound to an index in [0, limit]: NaN, infinities and
// values <= 0 give 0.
std::size_t to_index(double v, std::size_t limit) {
    if (!std::isfinite(v) || v <= 0) return 0;
    if (v >= 18446744073709551616.0) return limit;
    return std::min(static_cast<std::size_t>(v), limit);
}

struct Extent {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();

    void add(double v) {
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
};

// Shoelace area of a closed polygon, summed in point order with the closing term last.
double shoelace_area(std::span<const PixelPoint> q) {
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < q.size(); ++i) sum += q[i].col * q[i + 1].row - q[i].row * q[i + 1].col;
    sum += q.back().col * q.front().row - q.back().row * q.front().col;
    return 0.5 * sum;
}

}  // namespace

CellWindow ring_window(std::span<const PixelPoint> ring, std::size_t nrows, std::size_t ncols) {
    if (ring.size() < 3) return {};
    Extent cols, rows;
    for (const PixelPoint& p : ring) {
        cols.add(p.col);
        rows.add(p.row);
    }
    return {to_index(std::floor(rows.lo), nrows), to_index(std::ceil(rows.hi), nrows),
            to_index(std::floor(cols.lo), ncols), to_index(std::ceil(cols.hi), ncols)};
}

float cell_contribution(double area, float sign) {
    if (!(std::fabs(area) > kSmallestStorableArea)) return 0.0f;
    return std::fabs(static_cast<float>(area)) * sign;
}

void clip_half(std::span<const PixelPoint> in, Axis axis, bool keep_greater, double bound,
               std::vector<PixelPoint>& out) {
    out.clear();
    if (in.empty()) return;
    out.reserve(in.size() + 2);
    auto inside = [&](const PixelPoint& p) {
        const double v = coordinate(p, axis);
        return keep_greater ? v >= bound : v <= bound;
    };
    auto crossing = [&](const PixelPoint& p, const PixelPoint& c) {
        const double s = (bound - coordinate(p, axis)) / (coordinate(c, axis) - coordinate(p, axis));
        return PixelPoint{(c.col - p.col) * s + p.col, (c.row - p.row) * s + p.row};
    };
    PixelPoint prev = in.back();
    bool prev_in = inside(prev);
    for (const PixelPoint& cur : in) {
        const bool cur_in = inside(cur);
        if (cur_in) {
            if (!prev_in) out.push_back(crossing(prev, cur));
            out.push_back(cur);
        } else if (prev_in) {
            out.push_back(crossing(prev, cur));
        }
        prev = cur;
        prev_in = cur_in;
    }
}

void add_row_by_clipping(std::span<float> grid_row, std::size_t row, std::span<const PixelPoint> ring,
                         const CellWindow& window, float sign, ClipScratch& s) {
    const double top = static_cast<double>(row);
    clip_half(ring, Axis::row, true, top, s.half);
    clip_half(s.half, Axis::row, false, top + 1.0, s.strip);
    if (s.strip.size() < 3) return;

    Extent cols;
    for (const PixelPoint& p : s.strip) cols.add(p.col);
    const std::size_t ncols = grid_row.size();
    const std::size_t k_lo = std::max(to_index(std::floor(cols.lo), ncols), window.col_begin);
    const std::size_t k_hi = std::min(to_index(std::ceil(cols.hi), ncols), window.col_end);

    for (std::size_t k = k_lo; k < k_hi; ++k) {
        const double left = static_cast<double>(k);
        clip_half(s.strip, Axis::col, true, left, s.piece_half);
        clip_half(s.piece_half, Axis::col, false, left + 1.0, s.piece);
        if (s.piece.size() < 3) continue;
        add_cell_area(grid_row[k], shoelace_area(s.piece), sign);
    }
}

void accumulate_ring_by_clipping(Grid& grid, std::span<const PixelPoint> ring, float sign) {
    const CellWindow window = ring_window(ring, grid.nrows(), grid.ncols());
    if (window.empty()) return;
    ClipScratch scratch;
    for (std::size_t r = window.row_begin; r < window.row_end; ++r) {
        add_row_by_clipping(grid.row(r), r, ring, window, sign, scratch);
    }
}

}  // namespace quillet
