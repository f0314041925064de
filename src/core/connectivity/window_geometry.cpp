// Cell shares by exact areas: the disc's overlap with a rectangle is summed
// from first-quadrant areas, each a closed form in sqrt and asin.
#include "connectivity/window_geometry.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "common/levels.hpp"

namespace quillet {

namespace {

// Shares at or below this (2^-150) round to zero in single precision.
constexpr double kSmallestStorableShare = 7.006492321624085e-46;

// Conversion to a 32-bit integer that saturates at the bounds and maps NaN to 0.
std::int32_t saturating_i32(double v) {
    constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t highest = std::numeric_limits<std::int32_t>::max();
    if (v != v) return 0;
    if (v <= static_cast<double>(lowest)) return lowest;
    if (v >= static_cast<double>(highest)) return highest;
    return static_cast<std::int32_t>(v);
}

// One axis interval split at 0 and mirrored into the positive half-axis.
struct Piece {
    double lo, hi;
};

std::array<Piece, 2> mirrored_pieces(double lo, double hi) {
    auto mirror = [](double s, double t) { return t > 0 ? Piece{s, t} : Piece{-t, -s}; };
    if (lo < 0 && 0 < hi) return {mirror(lo, 0.0), mirror(0.0, hi)};
    return {mirror(lo, hi), mirror(0.0, 0.0)};
}

CellShare square_share(const ShareFrame& f, double y0, double y1, double x0, double x1) {
    const double area = (x1 - x0) * (y1 - y0);
    const double outer_rows = min_of(y1, f.centre_row + f.reach) - max_of(y0, f.centre_row - f.reach);
    const double inner_rows = min_of(y1, f.centre_row + f.inner_radius) - max_of(y0, f.centre_row - f.inner_radius);
    if (!(f.reach > 0) || !(area > 0) || !(outer_rows > 0)) return {};
    const double outer_cols = min_of(x1, f.centre_col + f.reach) - max_of(x0, f.centre_col - f.reach);
    if (!(outer_cols > 0)) return {};
    const double outer = outer_cols * outer_rows;
    if (!(outer > 0)) return {};
    double inner = 0.0;
    if (f.inner_radius > 0 && inner_rows > 0) {
        const double inner_cols =
            min_of(x1, f.centre_col + f.inner_radius) - max_of(x0, f.centre_col - f.inner_radius);
        if (inner_cols > 0) inner = inner_cols * inner_rows;
    }
    const double share = max_of(outer - inner, 0.0) / area;
    if (share > 1) return {true, false, 1.0f};
    if (share <= kSmallestStorableShare) return {};
    return {true, false, static_cast<float>(share)};
}

// Whether the outer circle cuts the cell, within a tolerance that grows with the
// reach so that cells the circle only grazes count as cut.
bool outer_circle_cuts(const ShareFrame& f, double y0, double y1, double x0, double x1, double annulus_area) {
    const double r2 = f.reach * f.reach;
    const double eps = (r2 + 1.0) * 1e-12;
    const double dy = (y0 - f.centre_row > 0) ? y0 - f.centre_row : (y1 - f.centre_row < 0 ? f.centre_row - y1 : 0.0);
    const double dx = (x0 - f.centre_col > 0) ? x0 - f.centre_col : (x1 - f.centre_col < 0 ? f.centre_col - x1 : 0.0);
    const double fy = max_of(std::fabs(y0 - f.centre_row), std::fabs(y1 - f.centre_row));
    const double fx = max_of(std::fabs(x0 - f.centre_col), std::fabs(x1 - f.centre_col));
    return f.reach > 0 && annulus_area > 0 && dx * dx + dy * dy <= r2 + eps && !(fx * fx + fy * fy < r2 - eps);
}

CellShare circular_share(const ShareFrame& f, double y0, double y1, double x0, double x1) {
    const double area = (x1 - x0) * (y1 - y0);
    if (!(area > 0)) return {};
    const double outer = rect_circle_overlap_area(y0, y1, x0, x1, f.centre_row, f.centre_col, f.reach);
    if (!(outer > 0)) return {};
    const double inner = f.inner_radius == 0.0
                             ? 0.0
                             : rect_circle_overlap_area(y0, y1, x0, x1, f.centre_row, f.centre_col, f.inner_radius);
    const double annulus = max_of(outer - inner, 0.0);
    const double share = min_of(1.0, annulus / area);
    if (share <= kSmallestStorableShare) return {};
    return {true, outer_circle_cuts(f, y0, y1, x0, x1, annulus), static_cast<float>(share)};
}

}  // namespace

double first_quadrant_circle_area(double x, double y, double r) {
    if (x <= 0 || y <= 0 || r <= 0) return 0.0;
    const double r2 = r * r;
    const double xc = min_of(x, r);
    // Area under the quarter circle from 0 to t.
    auto under = [&](double t) {
        return (t * std::sqrt(max_of(r2 - t * t, 0.0)) + r2 * std::asin(min_of(t / r, 1.0))) * 0.5;
    };
    if (y >= r) return under(xc);
    const double h = std::sqrt(max_of(r2 - y * y, 0.0));
    const double rect = min_of(xc, h) * y;
    if (xc <= h) return rect;
    return rect + (under(xc) - under(min_of(h, r)));
}

double rect_circle_overlap_area(double p0, double p1, double q0, double q1, double cp, double cq, double r) {
    const double area = (q1 - q0) * (p1 - p0);
    if (area <= 0 || r <= 0) return 0.0;
    const double ps = p0 - cp, pe = p1 - cp, qs = q0 - cq, qe = q1 - cq;
    const double near_p = ps > 0 ? ps : (pe < 0 ? -pe : 0.0);
    const double near_q = qs > 0 ? qs : (qe < 0 ? -qe : 0.0);
    const double r2 = r * r;
    // A rectangle that only touches the circle has no overlap.
    if (near_p * near_p + near_q * near_q >= r2) return 0.0;
    const double far_p = max_of(std::fabs(ps), std::fabs(pe));
    const double far_q = max_of(std::fabs(qs), std::fabs(qe));
    if (r2 >= far_p * far_p + far_q * far_q) return area;

    const auto p_pieces = mirrored_pieces(ps, pe);
    const auto q_pieces = mirrored_pieces(qs, qe);
    auto quadrant = [r](double s, double t) { return first_quadrant_circle_area(s, t, r); };
    double sum = 0.0;
    for (const Piece& q : q_pieces) {
        if (!(q.lo < q.hi)) continue;
        for (const Piece& p : p_pieces) {
            if (!(p.lo < p.hi)) continue;
            sum += ((quadrant(q.hi, p.hi) - quadrant(q.lo, p.hi)) - quadrant(q.hi, p.lo)) + quadrant(q.lo, p.lo);
        }
    }
    return std::clamp(sum, 0.0, area);
}

CellShare cell_share(const ShareFrame& f, double y0, double y1, double x0, double x1) {
    switch (f.mode) {
        case WindowMode::circular:
            return circular_share(f, y0, y1, x0, x1);
        case WindowMode::square:
            return square_share(f, y0, y1, x0, x1);
    }
    raise_unknown_window_mode();
}

AxisWindow clip_axis(double centre, double reach, double start, double end, std::int64_t level) {
    const double lo = max_of(centre - reach, start), hi = min_of(centre + reach, end);
    return {lo, hi, floor_div(saturating_i32(std::floor(lo)), level),
            floor_div(static_cast<std::int64_t>(saturating_i32(std::ceil(hi))) - 1, level)};
}

}  // namespace quillet
