#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "coverage/ring_sweep.hpp"
#include "coverage/driver.hpp"

using namespace quillet;

namespace {

using Points = std::vector<PixelPoint>;
using Rng = std::mt19937_64;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kRows = 12;
constexpr std::size_t kCols = 13;

double uniform(Rng& rng, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }

// Adds the ring with the sweep, split into bands of 2^band_shift rows.
void sweep(Grid& grid, const Points& ring, float sign, unsigned band_shift) {
    static const std::unique_ptr<Pool> pool = Pool::create(1).unwrap();
    const BandLayout layout{band_shift};
    const PreparedRing prepared = prepare_ring(ring, sign, grid.nrows(), grid.ncols(), layout, *pool);
    SweepScratch scratch(grid.ncols());
    for (std::size_t band = 0; layout.first_row(band) < grid.nrows(); ++band) add_ring_band(prepared, band, grid, scratch);
}

Grid swept(const Points& ring, float sign = 1.0f, unsigned band_shift = 4) {
    Grid grid(kRows, kCols);
    sweep(grid, ring, sign, band_shift);
    return grid;
}

Grid clipped(const Points& ring, float sign = 1.0f) {
    Grid grid(kRows, kCols);
    accumulate_ring_by_clipping(grid, ring, sign);
    return grid;
}

bool same_bits(const Grid& a, const Grid& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

double max_difference(const Grid& a, const Grid& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(double(a.data()[i]) - b.data()[i]));
    return worst;
}

// --- Ring generators -------------------------------------------------------------

Points star(Rng& rng, std::size_t n, PixelPoint centre, double r_min, double r_max) {
    std::vector<double> angles(n);
    for (double& a : angles) a = uniform(rng, 0.0, 2.0 * std::numbers::pi);
    std::sort(angles.begin(), angles.end());
    Points ring;
    for (double a : angles) {
        const double r = uniform(rng, r_min, r_max);
        ring.push_back({centre.col + r * std::cos(a), centre.row + r * std::sin(a)});
    }
    return ring;
}

Points scattered(Rng& rng, std::size_t n, double lo, double hi) {
    Points ring;
    for (std::size_t i = 0; i < n; ++i) ring.push_back({uniform(rng, lo, hi), uniform(rng, lo, hi)});
    return ring;
}

Points grid_star(Rng& rng) {
    return star(rng, 3 + rng() % 40, {uniform(rng, 0, kCols), uniform(rng, 0, kRows)}, 0.5, 8.0);
}

// Thin spikes: a vertex far out and straight back next to it.
Points with_spikes(Rng& rng) {
    Points ring = grid_star(rng);
    for (std::size_t i = 0; i < ring.size(); i += 4) {
        const PixelPoint tip{ring[i].col + uniform(rng, -9, 9), ring[i].row + uniform(rng, -9, 9)};
        ring.insert(ring.begin() + i + 1, {tip, {ring[i].col + 1e-9, ring[i].row}});
    }
    return ring;
}

// Repeated points and points in the middle of an edge.
Points with_collinear_and_repeated(Rng& rng) {
    Points ring = scattered(rng, 3 + rng() % 12, -1, 14);
    Points out;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const PixelPoint& next = ring[(i + 1) % ring.size()];
        out.push_back(ring[i]);
        if (i % 2 == 0) out.push_back(ring[i]);
        out.push_back({(ring[i].col + next.col) / 2, (ring[i].row + next.row) / 2});
    }
    return out;
}

// Integer vertices: every edge runs along or between pixel lines.
Points on_pixel_lines(Rng& rng) {
    Points ring;
    for (std::size_t i = 0, n = 3 + rng() % 8; i < n; ++i) {
        ring.push_back({double(rng() % 16) - 1.0, double(rng() % 15) - 1.0});
        if (rng() % 2) ring.push_back({ring.back().col, double(rng() % 15) - 1.0});  // vertical
    }
    return ring;
}

// Axis-parallel edges, half of the coordinates on pixel lines: horizontal edges
// inside a row band change the winding number of the cells they cross.
Points rectilinear(Rng& rng) {
    const auto coordinate = [&](double hi) { return rng() % 2 ? std::floor(uniform(rng, -1, hi)) : uniform(rng, -1, hi); };
    std::vector<double> xs(2 + rng() % 6), ys(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = coordinate(kCols + 1), ys[i] = coordinate(kRows + 1);
    Points ring;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        ring.push_back({xs[i], ys[i]});
        ring.push_back({xs[(i + 1) % xs.size()], ys[i]});
    }
    return ring;
}

Points far_larger_than_grid(Rng& rng) {
    if (rng() % 2) return star(rng, 3 + rng() % 30, {uniform(rng, -50, 50), uniform(rng, -50, 50)}, 1e3, 1e5);
    return scattered(rng, 3 + rng() % 10, -1e4, 1e4);
}

Points inside_one_cell(Rng& rng) {
    const PixelPoint centre{std::floor(uniform(rng, 0, kCols)) + 0.5, std::floor(uniform(rng, 0, kRows)) + 0.5};
    return star(rng, 3 + rng() % 20, centre, 1e-3, uniform(rng, 1e-3, 0.5));
}

// A ring with one vertex replaced by a NaN or infinite coordinate.
Points non_finite(Rng& rng) {
    Points ring = rng() % 2 ? grid_star(rng) : scattered(rng, 3 + rng() % 8, -1, 14);
    const double values[] = {kNaN, kInf, -kInf};
    PixelPoint& p = ring[rng() % ring.size()];
    (rng() % 2 ? p.col : p.row) = values[rng() % 3];
    return ring;
}

struct Family {
    const char* name;
    std::function<Points(Rng&)> make;
};

const std::vector<Family>& finite_families() {
    static const std::vector<Family> families = {
        {"star", grid_star},
        {"self-intersecting", [](Rng& rng) { return scattered(rng, 3 + rng() % 12, -1, 14); }},
        {"spikes", with_spikes},
        {"collinear and repeated", with_collinear_and_repeated},
        {"on pixel lines", on_pixel_lines},
        {"rectilinear", rectilinear},
        {"far larger than the grid", far_larger_than_grid},
        {"inside one cell", inside_one_cell},
    };
    return families;
}

// --- An independent view of which cells have constant winding -------------------

// Whether segment a-b meets the closed square of cell (r, k) (Liang-Barsky).
bool segment_meets_cell(PixelPoint a, PixelPoint b, std::size_t r, std::size_t k) {
    double t0 = 0.0, t1 = 1.0;
    const double d[2] = {b.col - a.col, b.row - a.row};
    const double p[2] = {a.col, a.row};
    const double lo[2] = {double(k), double(r)};
    for (int axis = 0; axis < 2; ++axis) {
        if (d[axis] == 0.0) {
            if (p[axis] < lo[axis] || p[axis] > lo[axis] + 1.0) return false;
            continue;
        }
        double ta = (lo[axis] - p[axis]) / d[axis], tb = (lo[axis] + 1.0 - p[axis]) / d[axis];
        if (ta > tb) std::swap(ta, tb);
        t0 = std::max(t0, ta);
        t1 = std::min(t1, tb);
    }
    return t0 <= t1;
}

int winding_number(const Points& ring, PixelPoint q) {
    int w = 0;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const PixelPoint& a = ring[i];
        const PixelPoint& b = ring[(i + 1) % ring.size()];
        const double side = (b.col - a.col) * (q.row - a.row) - (q.col - a.col) * (b.row - a.row);
        if (a.row <= q.row && b.row > q.row && side > 0) ++w;
        if (a.row > q.row && b.row <= q.row && side < 0) --w;
    }
    return w;
}

// Cells that no edge reaches hold exactly sign * |winding number|: no residue of
// the running sums, 1 for covered cells and 0 for empty ones.
void check_untouched_cells_are_exact(const Points& ring, const Grid& grid, float sign, const std::string& what) {
    for (std::size_t r = 0; r < kRows; ++r) {
        for (std::size_t k = 0; k < kCols; ++k) {
            bool reached = false;
            for (std::size_t i = 0; i < ring.size() && !reached; ++i) {
                reached = segment_meets_cell(ring[i], ring[(i + 1) % ring.size()], r, k);
            }
            if (reached) continue;
            const float expected = sign * float(std::abs(winding_number(ring, {k + 0.5, r + 0.5})));
            if (grid(r, k) != expected) {
                check::fail(__FILE__, __LINE__, what + ": cell " + std::to_string(r) + "," + std::to_string(k) +
                                                    " holds " + std::to_string(grid(r, k)));
            }
        }
    }
}

}  // namespace

TEST(sweep_matches_clipping_on_random_rings) {
    Rng rng(7);
    for (const Family& family : finite_families()) {
        double worst = 0.0;
        for (int i = 0; i < 300; ++i) {
            Points ring = family.make(rng);
            if (i % 4 >= 2) std::reverse(ring.begin(), ring.end());   // either orientation
            const float sign = i % 2 ? -1.0f : 1.0f;
            const Grid fast = swept(ring, sign, i % 5);
            worst = std::max(worst, max_difference(fast, clipped(ring, sign)));
            check_untouched_cells_are_exact(ring, fast, sign, family.name);
        }
        if (!(worst <= 1e-6)) check::fail(__FILE__, __LINE__, std::string(family.name) + ": " + std::to_string(worst));
    }
}

TEST(sweep_does_not_depend_on_the_band_height) {
    Rng rng(13);
    for (const Family& family : finite_families()) {
        for (int i = 0; i < 50; ++i) {
            const Points ring = family.make(rng);
            const Grid whole = swept(ring);
            for (unsigned band_shift : {0, 1, 2}) CHECK(same_bits(whole, swept(ring, 1.0f, band_shift)));
        }
    }
}

TEST(rings_with_non_finite_vertices_are_added_exactly_as_by_clipping) {
    Rng rng(17);
    for (int i = 0; i < 300; ++i) {
        const Points ring = non_finite(rng);
        CHECK(same_bits(swept(ring, 1.0f, i % 4), clipped(ring)));
    }
}

TEST(driver_is_bit_identical_for_every_pool_size_and_matches_clipping) {
    Rng rng(19);
    std::vector<Polygon> polygons;
    const auto world = [](const Points& ring) {
        Ring out;
        for (const PixelPoint& p : ring) out.push_back({p.col, p.row});
        return out;
    };
    for (int i = 0; i < 60; ++i) {
        const Family& family = finite_families()[i % finite_families().size()];
        Polygon polygon{world(family.make(rng)), {}};
        for (int h = 0; h < i % 3; ++h) polygon.holes.push_back(world(i % 10 == 0 ? non_finite(rng) : grid_star(rng)));
        polygons.push_back(std::move(polygon));
    }
    // Large enough for its edges to be bucketed in several parallel chunks.
    polygons.push_back({world(star(rng, 100'000, {6.5, 6.0}, 2.0, 7.0)), {world(grid_star(rng))}});

    Grid expected(kRows, kCols);
    const auto pixel = [](const Ring& ring) {
        Points out;
        // The identity's inverse, which turns an infinite coordinate into NaN in the other one.
        for (const Point& p : ring) out.push_back({p.x - 0.0 * p.y, p.y - 0.0 * p.x});
        return out;
    };
    for (const Polygon& polygon : polygons) {
        accumulate_ring_by_clipping(expected, pixel(polygon.exterior), 1.0f);
        for (const Ring& hole : polygon.holes) accumulate_ring_by_clipping(expected, pixel(hole), -1.0f);
    }
    for (std::size_t i = 0; i < expected.size(); ++i) expected.data()[i] = std::clamp(expected.data()[i], 0.0f, 1.0f);

    const Affine identity{1, 0, 0, 0, 1, 0};
    std::vector<Grid> runs;
    for (std::size_t workers : {1, 2, 3}) {
        auto pool = Pool::create(workers).unwrap();
        pool->run([&] { runs.push_back(pixel_coverage_grid(polygons, identity, kRows, kCols, *pool)); });
    }
    CHECK(max_difference(runs[0], expected) <= 1e-6);
    for (const Grid& run : runs) CHECK(same_bits(run, runs[0]));
}
