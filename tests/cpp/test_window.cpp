#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "check.hpp"
#include "connectivity/focal_window.hpp"
#include "connectivity/window_geometry.hpp"

using namespace quillet;

namespace {

constexpr double kPi = std::numbers::pi;

std::int64_t floor_div_test(std::int64_t a, std::int64_t b) { return (a >= 0) ? a / b : -((-a + b - 1) / b); }

// Constant condition 1 on levels laid out on the global lattice independently
// of the production overview code: each level cell weighs the number of base
// cells of its block inside the raster.
struct Landscape {
    LevelMap condition, weights;
    std::vector<LevelMap3> transgrids;
    BoolGrid mask;
    RowContext ctx{};
    WindowPlan plan;
    WindowScratch scratch;

    Landscape(std::vector<LevelKey> levels, std::size_t nrows, std::size_t ncols, std::int32_t ro, std::int32_t co,
              WindowMode mode, std::int32_t window_size = 3, std::int32_t outer_window = 7)
        : mask(nrows, ncols) {
        for (const LevelKey L : levels) {
            auto level_of = [&](std::int64_t offset, std::size_t i) {
                return floor_div_test(offset + i, L) - floor_div_test(offset, L);
            };
            Grid count(level_of(ro, nrows - 1) + 1, level_of(co, ncols - 1) + 1);
            for (std::size_t r = 0; r < nrows; ++r) {
                for (std::size_t c = 0; c < ncols; ++c) count(level_of(ro, r), level_of(co, c)) += 1.0f;
            }
            condition[L] = Grid::filled(count.nrows(), count.ncols(), 1.0f);
            weights[L] = std::move(count);
        }
        ctx.ncols = ncols;
        ctx.mask = &mask;
        ctx.transgrid_levels = &transgrids;
        ctx.level_keys = levels;
        ctx.window_size = window_size;
        ctx.outer_window = outer_window;
        ctx.row_offset = static_cast<std::uint64_t>(ro);
        ctx.col_offset = static_cast<std::uint64_t>(co);
        ctx.condition_levels = &condition;
        ctx.cell_weights = &weights;
        ctx.window_mode = mode;
    }

    const std::vector<FocalWindow>& windows(std::size_t row, std::size_t col) {
        plan_windows(ctx, plan);
        source_profile(ctx, row, col, scratch.profile);
        build_windows(plan, row, col, scratch);
        return scratch.windows;
    }
};

void check_near(double got, double expected, double tolerance, const std::string& what) {
    if (!(std::fabs(got - expected) <= tolerance)) {
        check::fail(__FILE__, __LINE__, what + ": " + std::to_string(got) + " vs " + std::to_string(expected));
    }
}

double overlap(double a0, double a1, double b0, double b1) {
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

// Distances from (cy, cx) to the nearest and farthest point of a rectangle, in
// the Euclidean or (square) the maximum norm.
std::pair<double, double> near_far(double y0, double y1, double x0, double x1, double cy, double cx, bool square) {
    const double ny = std::max({0.0, y0 - cy, cy - y1}), nx = std::max({0.0, x0 - cx, cx - x1});
    const double fy = std::max(std::fabs(y0 - cy), std::fabs(y1 - cy));
    const double fx = std::max(std::fabs(x0 - cx), std::fabs(x1 - cx));
    if (square) return {std::max(ny, nx), std::max(fy, fx)};
    return {std::hypot(ny, nx), std::hypot(fy, fx)};
}

// Area of the rectangle [y0, y1] x [x0, x1] inside the window region around
// (cy, cx): the disc or square of reach `outer` without that of reach `inner`.
// Rectangles wholly inside or outside are settled by their nearest and farthest
// points, the others by the midpoint rule over the region's exact row widths.
double region_area(double y0, double y1, double x0, double x1, double cy, double cx, double outer, double inner,
                   WindowMode mode) {
    const bool square = mode == WindowMode::square;
    const auto [near, far] = near_far(y0, y1, x0, x1, cy, cx, square);
    if (near >= outer || far <= inner) return 0.0;
    if (far <= outer && near >= inner) return (y1 - y0) * (x1 - x0);
    const int steps = 4000;
    const double h = (y1 - y0) / steps;
    double area = 0.0;
    for (int i = 0; i < steps; ++i) {
        const double dy = std::fabs(y0 + (i + 0.5) * h - cy);
        // Length of [x0, x1] inside the region of one reach in this row.
        auto inside = [&](double reach) {
            if (dy >= reach) return 0.0;
            const double half = square ? reach : std::sqrt(reach * reach - dy * dy);
            return overlap(x0, x1, cx - half, cx + half);
        };
        area += (inside(outer) - inside(inner)) * h;
    }
    return area;
}

// Checks every level's window of source (row, col) cell by cell: weights
// against the integrated overlap of the window region with the cell's part of
// the raster, boundary flags against where the outer circle runs, order.
void check_windows_against_integration(Landscape& land, std::size_t row, std::size_t col) {
    const auto& windows = land.windows(row, col);
    const double top = static_cast<double>(land.ctx.row_offset), left = static_cast<double>(land.ctx.col_offset);
    const double bottom = top + land.mask.nrows(), right = left + land.mask.ncols();
    const double cy = top + row + 0.5, cx = left + col + 0.5;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const LevelKey L = land.ctx.level_keys[i];
        const double outer = (L == land.ctx.coarsest_level() ? land.ctx.outer_window : land.ctx.window_size) * L;
        const double inner = L == 1 ? 0.0 : land.ctx.window_size * L * 0.5;
        const Grid& grid = land.condition.at(L);
        auto rect = [&](std::size_t r, std::size_t c) {
            const double gr = floor_div_test(land.ctx.row_offset, L) + r;
            const double gc = floor_div_test(land.ctx.col_offset, L) + c;
            return std::array<double, 4>{std::max(top, gr * L), std::min(bottom, (gr + 1) * L), std::max(left, gc * L),
                                         std::min(right, (gc + 1) * L)};
        };
        std::vector<double> expected(grid.size());
        for (std::size_t r = 0; r < grid.nrows(); ++r) {
            for (std::size_t c = 0; c < grid.ncols(); ++c) {
                const auto [y0, y1, x0, x1] = rect(r, c);
                expected[r * grid.ncols() + c] =
                    region_area(y0, y1, x0, x1, cy, cx, outer, inner, land.ctx.window_mode);
            }
        }
        const FocalWindow& w = windows[i];
        for (std::size_t k = 0; k < w.size(); ++k) {
            const std::size_t at = static_cast<std::size_t>(w.rows[k]) * grid.ncols() + w.cols[k];
            check_near(w.weights[k], expected[at], 2e-4, "level " + std::to_string(L));
            expected[at] = 0.0;
            if (k > 0) CHECK(w.rows[k - 1] < w.rows[k] || (w.rows[k - 1] == w.rows[k] && w.cols[k - 1] < w.cols[k]));
            // Corners are never exactly on the circle here: centres sit on half cells.
            const auto [y0, y1, x0, x1] = rect(w.rows[k], w.cols[k]);
            const auto [near, far] = near_far(y0, y1, x0, x1, cy, cx, false);
            const bool cut = land.ctx.window_mode == WindowMode::circular && near < outer && outer < far;
            CHECK_EQ(w.boundary[k] != 0, cut);
        }
        for (const double missed : expected) CHECK(missed < 2e-4);  // every overlapping cell was selected
    }
}

}  // namespace

TEST(geometry_functions_match_closed_forms) {
    struct Case {
        const char* name;
        double got, expected, tolerance;
    };
    const double half_root3 = std::sqrt(3.0) / 2.0;
    const Case cases[] = {
        {"tangent rectangle", rect_circle_overlap_area(1, 2, -1, 1, 0, 0, 1), 0.0, 0.0},
        {"corner touching", rect_circle_overlap_area(0.6, 2, 0.8, 2, 0, 0, 1), 0.0, 0.0},
        {"rectangle inside", rect_circle_overlap_area(-0.5, 0.25, -0.5, 0.5, 0, 0, 1), 0.75, 0.0},
        {"unit square, radius 1", rect_circle_overlap_area(0, 1, 0, 1, 0, 0, 1), kPi / 4, 1e-15},
        {"whole disc", rect_circle_overlap_area(-3, 3, -2, 4, 0.5, 1, 1.5), kPi * 2.25, 1e-14},
        {"half disc", rect_circle_overlap_area(2, 9, -9, 9, 2, 0, 2), kPi * 2, 1e-14},
        {"empty rectangle", rect_circle_overlap_area(1, 1, 0, 1, 0, 0, 1), 0.0, 0.0},
        {"off-centre, across both axes", rect_circle_overlap_area(-0.7, 1.9, -1.3, 0.4, 0.2, -0.1, 1.1),
         region_area(-0.7, 1.9, -1.3, 0.4, 0.2, -0.1, 1.1, 0.0, WindowMode::circular), 2e-5},
        {"quadrant, x and y beyond r", first_quadrant_circle_area(5, 3, 2), kPi, 1e-15},
        {"quadrant, y beyond r: F(r/2)", first_quadrant_circle_area(1, 7, 2), 4 * (kPi / 12 + std::sqrt(3.0) / 8),
         1e-15},
        {"quadrant, square inside", first_quadrant_circle_area(0.5, 0.5, 1), 0.25, 0.0},
        // rectangle up to sqrt(3)/2, then the arc down to height 1/2
        {"quadrant, strip", first_quadrant_circle_area(1, 0.5, 1),
         0.5 * half_root3 + (kPi / 4 - (half_root3 * 0.5 + std::asin(half_root3)) / 2), 1e-15},
        {"quadrant, zero width", first_quadrant_circle_area(0, 1, 1), 0.0, 0.0},
        {"quadrant, negative height", first_quadrant_circle_area(1, -1, 1), 0.0, 0.0},
    };
    for (const Case& c : cases) check_near(c.got, c.expected, c.tolerance, c.name);
}

TEST(window_weights_add_up_to_the_annulus_areas) {
    // Levels 1, 2, 4, window 3, outer 7: reaches 3, 6, 28 base cells, holes 0, 3, 6.
    struct Case {
        WindowMode mode;
        double sums[3];
        std::size_t base_cells;
    };
    const Case cases[] = {{WindowMode::circular, {kPi * 9, kPi * 27, kPi * 748}, 45},
                          {WindowMode::square, {36, 108, 2992}, 49}};
    for (const Case& c : cases) {
        Landscape land({1, 2, 4}, 80, 80, 0, 0, c.mode);
        const auto& windows = land.windows(40, 41);
        for (std::size_t i = 0; i < 3; ++i) {
            double sum = 0.0;
            for (const float w : windows[i].weights) sum += w;
            check_near(sum, c.sums[i], 1e-5 * c.sums[i], "sum");
        }
        CHECK_EQ(windows[0].size(), c.base_cells);
    }
}

TEST(window_cells_match_the_integrated_window_region) {
    // Sources in every position of a level-4 block far from the edge, and at
    // edges and corners, on a lattice aligned with the tile and on one that is not.
    std::vector<std::pair<std::size_t, std::size_t>> sources = {{0, 0}, {0, 35}, {69, 70}, {35, 0}, {2, 67}, {69, 3}};
    for (std::size_t r = 32; r < 36; ++r) {
        for (std::size_t c = 32; c < 36; ++c) sources.emplace_back(r, c);
    }
    for (const WindowMode mode : {WindowMode::circular, WindowMode::square}) {
        for (const auto& [ro, co] : {std::pair{0, 0}, std::pair{3, 5}}) {
            Landscape land({1, 2, 4}, 70, 71, ro, co, mode);
            for (const auto& [r, c] : sources) check_windows_against_integration(land, r, c);
        }
    }
    // A raster wholly inside the outer circle has no boundary cell.
    Landscape small({1}, 3, 3, 0, 0, WindowMode::circular, 9, 9);
    for (const auto flag : small.windows(1, 1)[0].boundary) CHECK_EQ(int(flag), 0);
}

TEST(window_values_skip_invalid_cells_and_substitute_missing_ones) {
    Landscape land({1, 2}, 12, 12, 0, 0, WindowMode::square, 3, 1);
    LevelMap pa;
    for (const LevelKey L : {1, 2}) pa[L] = Grid::filled(land.condition[L].nrows(), land.condition[L].ncols(), 0.25f);
    land.condition[1](0, 1) = NAN;     // not a node
    land.weights[1](1, 0) = INFINITY;  // not a node
    pa[1](0, 0) = NAN;                 // a non-finite protected fraction counts as 0
    land.ctx.pa_levels = &pa;
    // Transgrid layer 0: two bands, one infinite at (2, 3), and three at level 2,
    // of which the source's two are compared. Layer 1: one band, no level 2.
    Grid3 bands(12, 12, 2), coarse(6, 6, 3), single(12, 12, 1);
    for (std::size_t i = 0; i < bands.size(); ++i) bands.data()[i] = 0.05f * (i % 23);
    std::fill(coarse.data(), coarse.data() + coarse.size(), 0.5f);
    std::fill(single.data(), single.data() + single.size(), 0.5f);
    bands.cell(2, 3)[1] = INFINITY;  // no similarity, rather than exp(-inf) = 0
    const auto S = bands.cell(1, 1), T = bands.cell(3, 3);
    const float expected_s0 = std::exp(-(std::fabs(S[0] - T[0]) + std::fabs(S[1] - T[1])));
    const float expected_s1 = std::exp(-std::fabs(S[0] - 0.5f));
    const float expected_coarse = std::exp(-(std::fabs(S[0] - 0.5f) + std::fabs(S[1] - 0.5f)));
    land.transgrids.resize(2);
    land.transgrids[0][1] = std::move(bands);
    land.transgrids[0][2] = std::move(coarse);
    land.transgrids[1][1] = std::move(single);

    const auto& w = land.windows(1, 1);
    auto at = [&](std::size_t i, int r, int c) {
        for (std::size_t k = 0; k < w[i].size(); ++k) {
            if (w[i].rows[k] == r && w[i].cols[k] == c) return k;
        }
        return w[i].size();
    };
    CHECK(at(0, 0, 1) == w[0].size() && at(0, 1, 0) == w[0].size() && at(0, 1, 1) < w[0].size());
    CHECK(w[0].pa_membership[at(0, 0, 0)] == 0.0f && w[0].pa_membership[at(0, 1, 1)] == 0.25f);
    CHECK(w[0].similarity[2 * at(0, 3, 3)] == expected_s0 && w[0].similarity[2 * at(0, 3, 3) + 1] == expected_s1);
    CHECK(std::isnan(w[0].similarity[2 * at(0, 2, 3)]));
    CHECK(!w[1].empty() && w[1].similarity[0] == expected_coarse && w[1].similarity[1] == 0.0f);

    // Without the protected-area overview: full weight. Without
    // level 1 in the first transgrid layer there is no source profile: 1
    // wherever a layer holds the level.
    land.ctx.pa_levels = nullptr;
    land.transgrids[0].erase(1);
    const auto& bare = land.windows(1, 1);
    CHECK(bare[0].pa_membership[at(0, 1, 1)] == 1.0f);
    CHECK(bare[0].similarity[0] == 0.0f && bare[0].similarity[1] == 1.0f);
    CHECK(bare[1].similarity[0] == 1.0f && bare[1].similarity[1] == 0.0f);
}

TEST(window_plan_faults_in_the_documented_order) {
    LevelMap partial;
    partial[1] = Grid(80, 80);
    const std::pair<const char*, std::function<void(Landscape&)>> cases[] = {
        // level by level, lookups before widths
        {"Weights level not found!", [](Landscape& l) { l.weights.erase(1); l.ctx.window_size = 4; }},
        {"Window size must be odd-numbered", [](Landscape& l) { l.weights.erase(2); l.ctx.window_size = 4; }},
        {"Outer window size must be odd-numbered", [](Landscape& l) { l.ctx.outer_window = 8; }},
        {"PA-membership level not found!", [&](Landscape& l) { l.ctx.pa_levels = &partial; }},
        {"Traversal level not found!", [&](Landscape& l) { l.ctx.traversal_levels = &partial; }},
        {"Base condition level not found!",
         [](Landscape& l) {
             l.condition.erase(1);
             l.weights.erase(1);
             l.ctx.level_keys = {2, 4};
         }},
    };
    for (const auto& [text, spoil] : cases) {
        Landscape land({1, 2, 4}, 80, 80, 0, 0, WindowMode::circular);
        spoil(land);
        CHECK_THROWS_TEXT(plan_windows(land.ctx, land.plan), text);
    }
    // An even outer width below the window width is ignored.
    Landscape land({1, 2}, 20, 20, 0, 0, WindowMode::circular, 5, 4);
    plan_windows(land.ctx, land.plan);
    CHECK_EQ(land.plan.levels[1].width, 5);
}
