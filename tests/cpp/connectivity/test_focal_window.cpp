#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "check.hpp"
#include "connectivity/fixtures.hpp"
#include "connectivity/focal_window.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

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
