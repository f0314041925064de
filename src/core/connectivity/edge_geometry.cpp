// Coarse candidates by shifts on the global lattice; great-circle lengths by the
// haversine formula.
#include "connectivity/edge_geometry.hpp"

#include <cmath>

namespace quillet {

namespace {

// Fine neighbours whose coarse cells are link candidates, after the fine cell's own.
constexpr std::array<Step, 8> kCandidateNeighbours = {
    {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {-1, 1}, {1, -1}, {1, 1}}};

constexpr double kEarthRadiusM = 6371000.0;

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
    double metres;
    if (!is_geo) {
        metres = std::hypot(to.x - from.x, to.y - from.y);
    } else {
        const double lat1 = from.y * kRadiansPerDegree, lat2 = to.y * kRadiansPerDegree;
        const double lon1 = from.x * kRadiansPerDegree, lon2 = to.x * kRadiansPerDegree;
        const double s_lat = std::sin((lat2 - lat1) / 2.0);
        const double s_lon = std::sin((lon2 - lon1) / 2.0);
        const double h = s_lat * s_lat + std::cos(lat2) * std::cos(lat1) * (s_lon * s_lon);
        metres = 2.0 * std::atan2(std::sqrt(h), std::sqrt(1.0 - h)) * kEarthRadiusM;
    }
    return static_cast<float>(metres / 1000.0);
}

}  // namespace quillet
