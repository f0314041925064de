// Coarse candidates by shifts on the global lattice; planar lengths by a square
// root wherever it provably rounds as the careful hypot would; great-circle
// lengths by the haversine formula.
#include "connectivity/edge_geometry.hpp"

#include <cmath>

namespace quillet {

namespace {

// Fine neighbours whose coarse cells are link candidates, after the fine cell's own.
constexpr std::array<Step, 8> kCandidateNeighbours = {
    {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {-1, 1}, {1, -1}, {1, 1}}};

constexpr double kEarthRadiusM = 6371000.0;

// Kilometres between two points dx, dy metres apart, rounded to single precision
// exactly as float(hypot(dx, dy) / 1000) rounds. hypot is slow: it guards
// against overflow and keeps its error below one unit in the last place of a
// double. The plain square root of dx² + dy², times the double nearest 0.001,
// is then within 8 * 2^-53 (relatively) of the quotient taken from hypot, so
// where every double within 2^-49 of it rounds to one float, that float is the
// one hypot gives.
// Elsewhere hypot decides: near a float's rounding boundary, at zero, and where
// the squares overflow. (Squares that underflow lose accuracy only for lengths
// that round to a float 0 either way.)
float planar_length_km(double dx, double dy) {
    constexpr double kMargin = 0x1p-49;
    const double km = std::sqrt(dx * dx + dy * dy) * 0.001;
    const auto low = static_cast<float>(km * (1.0 - kMargin));
    const auto high = static_cast<float>(km * (1.0 + kMargin));
    if (low == high && std::isnormal(km)) return low;
    return static_cast<float>(std::hypot(dx, dy) / 1000.0);
}

}  // namespace

Candidates coarse_candidates(std::int64_t global_row, std::int64_t global_col, std::int64_t coarse_origin_row,
                             std::int64_t coarse_origin_col) {
    Candidates c;
    auto add = [&](std::int64_t r, std::int64_t k) {
        for (std::size_t i = 0; i < c.count; ++i) {
            if (c.row[i] == r && c.col[i] == k) return;
        }
        c.row[c.count] = r;
        c.col[c.count] = k;
        ++c.count;
    };
    // An arithmetic shift is the floor division by 2, negative values included.
    add((global_row >> 1) - coarse_origin_row, (global_col >> 1) - coarse_origin_col);
    for (const Step& o : kCandidateNeighbours) {
        add(((global_row + o[0]) >> 1) - coarse_origin_row, ((global_col + o[1]) >> 1) - coarse_origin_col);
    }
    return c;
}

float edge_length_km(Point from, Point to, bool is_geo) {
    if (!is_geo) return planar_length_km(to.x - from.x, to.y - from.y);
    const double lat1 = from.y * kRadiansPerDegree, lat2 = to.y * kRadiansPerDegree;
    const double lon1 = from.x * kRadiansPerDegree, lon2 = to.x * kRadiansPerDegree;
    const double s_lat = std::sin((lat2 - lat1) / 2.0);
    const double s_lon = std::sin((lon2 - lon1) / 2.0);
    const double h = s_lat * s_lat + std::cos(lat2) * std::cos(lat1) * (s_lon * s_lon);
    const double metres = 2.0 * std::atan2(std::sqrt(h), std::sqrt(1.0 - h)) * kEarthRadiusM;
    return static_cast<float>(metres / 1000.0);
}

}  // namespace quillet
