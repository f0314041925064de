#include "coverage.hpp"

#include <cmath>
#include <cstdint>
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

// Scratch buffers of one row task, reused for every cell of the row.
struct RowScratch {
    std::vector<PixelPoint> half;
    std::vector<PixelPoint> strip;
    std::vector<PixelPoint> piece_half;
    std::vector<PixelPoint> piece;
};

void accumulate_row(std::span<float> grid_row, std::size_t r, std::span<const PixelPoint> ring, std::size_t c0,
                    std::size_t c1, float sign, RowScratch& s) {
    const double top = static_cast<double>(r);
    clip_half(ring, Axis::row, true, top, s.half);
    clip_half(s.half, Axis::row, false, top + 1.0, s.strip);
    if (s.strip.size() < 3) return;

    Extent cols;
    for (const PixelPoint& p : s.strip) cols.add(p.col);
    const std::size_t ncols = grid_row.size();
    const std::size_t k_lo = std::max(to_index(std::floor(cols.lo), ncols), c0);
    const std::size_t k_hi = std::min(to_index(std::ceil(cols.hi), ncols), c1);

    for (std::size_t k = k_lo; k < k_hi; ++k) {
        const double left = static_cast<double>(k);
        clip_half(s.strip, Axis::col, true, left, s.piece_half);
        clip_half(s.piece_half, Axis::col, false, left + 1.0, s.piece);
        if (s.piece.size() < 3) continue;
        const double area = shoelace_area(s.piece);
        if (std::fabs(area) > kSmallestStorableArea) {
            const float contribution = std::fabs(static_cast<float>(area)) * sign;
            grid_row[k] += contribution;
        }
    }
}

}  // namespace

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

void accumulate_ring(Grid& grid, std::span<const PixelPoint> ring, float sign, Pool& pool) {
    if (ring.size() < 3) return;
    Extent cols, rows;
    for (const PixelPoint& p : ring) {
        cols.add(p.col);
        rows.add(p.row);
    }
    const std::size_t c0 = to_index(std::floor(cols.lo), grid.ncols());
    const std::size_t c1 = to_index(std::ceil(cols.hi), grid.ncols());
    const std::size_t r0 = to_index(std::floor(rows.lo), grid.nrows());
    const std::size_t r1 = to_index(std::ceil(rows.hi), grid.nrows());
    if (c0 >= c1 || r0 >= r1) return;

    pool.parallel_for(r0, r1, 1, [&](std::size_t lo, std::size_t hi) {
        RowScratch scratch;
        for (std::size_t r = lo; r < hi; ++r) accumulate_row(grid.row(r), r, ring, c0, c1, sign, scratch);
    });
}

}  // namespace quillet
