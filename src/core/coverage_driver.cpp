#include "coverage_driver.hpp"

#include "coverage.hpp"

namespace quillet {

namespace {

// Maps a world ring to pixel coordinates with the inverse of the transform.
void to_pixel_ring(const Ring& ring, const TransformCoefficients& t, double det, std::vector<PixelPoint>& out) {
    const auto [a, b, c, d, e, f] = t;
    out.clear();
    out.reserve(ring.size());
    for (const WorldPoint& p : ring) {
        const double dx = p.x - c;
        const double dy = p.y - f;
        out.push_back({(e * dx - b * dy) / det, (a * dy - d * dx) / det});
    }
}

void clamp_to_unit_interval(Grid& grid) {
    float* cells = grid.data();
    for (std::size_t i = 0; i < grid.size(); ++i) {
        if (cells[i] < 0.0f) cells[i] = 0.0f;
        else if (cells[i] > 1.0f) cells[i] = 1.0f;
    }
}

}  // namespace

Grid pixel_coverage_grid(const std::vector<Polygon>& polygons, const TransformCoefficients& transform,
                         std::uint64_t nrows, std::uint64_t ncols, Pool& pool) {
    Grid grid(nrows, ncols);
    const double det = transform[0] * transform[4] - transform[1] * transform[3];
    std::vector<PixelPoint> pixel_ring;
    for (const Polygon& polygon : polygons) {
        to_pixel_ring(polygon.exterior, transform, det, pixel_ring);
        accumulate_ring(grid, pixel_ring, 1.0f, pool);
        for (const Ring& hole : polygon.holes) {
            to_pixel_ring(hole, transform, det, pixel_ring);
            accumulate_ring(grid, pixel_ring, -1.0f, pool);
        }
    }
    clamp_to_unit_interval(grid);
    return grid;
}

}  // namespace quillet
