// Fixtures of the connectivity tests: level maps made by plain block summaries,
// independent of the overview code; the `Scene` of a kernel call (a condition
// raster with its levels, transforms and row context); the `Landscape` of the
// window tests; and the window region's area by numerical integration.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "connectivity/focal_window.hpp"
#include "connectivity/kernel.hpp"
#include "connectivity/row_context.hpp"
#include "connectivity/window_plan.hpp"

namespace quillet::test {

inline constexpr double kPi = std::numbers::pi;

inline std::int64_t floor_div_test(std::int64_t a, std::int64_t b) { return (a >= 0) ? a / b : -((-a + b - 1) / b); }

// Level maps made by plain block summaries, independent of the production
// overview code: the mean of the finite values of each block, or their count.
inline LevelMap summarise(const Grid& base, const std::vector<LevelKey>& levels, std::int32_t ro, std::int32_t co,
                   bool count) {
    LevelMap out;
    for (const LevelKey L : levels) {
        auto level_of = [&](std::int64_t offset, std::size_t i) {
            return floor_div_test(offset + i, L) - floor_div_test(offset, L);
        };
        Grid sum(level_of(ro, base.nrows() - 1) + 1, level_of(co, base.ncols() - 1) + 1), n(sum.nrows(), sum.ncols());
        for (std::size_t r = 0; r < base.nrows(); ++r) {
            for (std::size_t c = 0; c < base.ncols(); ++c) {
                if (!std::isfinite(base(r, c))) continue;
                sum(level_of(ro, r), level_of(co, c)) += base(r, c);
                n(level_of(ro, r), level_of(co, c)) += 1.0f;
            }
        }
        for (std::size_t i = 0; i < sum.size(); ++i) {
            const float k = n.data()[i];
            sum.data()[i] = k > 0 ? (count ? k : sum.data()[i] / k) : NAN;
        }
        out[L] = std::move(sum);
    }
    return out;
}

inline Grid row_of(std::initializer_list<float> values) {
    Grid g(1, values.size());
    std::copy(values.begin(), values.end(), g.data());
    return g;
}

// Everything a RowContext refers to, for a condition raster of `cell_m` metre
// cells (projected) at the given levels.
struct Scene {
    std::vector<LevelKey> levels;
    std::int32_t ro, co;
    LevelMap condition, weights, pa, traversal;
    bool use_pa = false, use_traversal = false;
    std::vector<LevelMap3> transgrids;
    TransformMap transforms;
    BoolGrid mask;
    RowContext ctx{};

    Scene(const Grid& base, std::vector<LevelKey> keys, double cell_m = 100.0, std::int32_t row_offset = 0,
          std::int32_t col_offset = 0)
        : levels(std::move(keys)), ro(row_offset), co(col_offset), mask(base.nrows(), base.ncols()) {
        condition = summarise(base, levels, ro, co, false);
        weights = summarise(base, levels, ro, co, true);
        for (const LevelKey L : levels) transforms[L] = Affine{cell_m * L, 0, 500.0, 0, -cell_m * L, 7000.0};
        ctx.ncols = base.ncols();
        ctx.level_keys = levels;
        ctx.window_size = 3;
        ctx.outer_window = 7;
        ctx.row_offset = static_cast<std::uint64_t>(ro);
        ctx.col_offset = static_cast<std::uint64_t>(co);
        ctx.max_cost = 1.0f;
        ctx.lambdas = {2.0f, 20.0f, 200.0f};
    }
    void set_pa(const Grid& membership) {
        pa = summarise(membership, levels, ro, co, false);
        use_pa = true;
    }
    void set_traversal(const Grid& values) {
        traversal = summarise(values, levels, ro, co, false);
        use_traversal = true;
    }

    const RowContext& context() {
        ctx.mask = &mask;
        ctx.transgrid_levels = &transgrids;
        ctx.condition_levels = &condition;
        ctx.cell_weights = &weights;
        ctx.pa_levels = use_pa ? &pa : nullptr;
        ctx.traversal_levels = use_traversal ? &traversal : nullptr;
        ctx.transforms = &transforms;
        return ctx;
    }
    // Runs the kernel over `rows` in the given order (all rows by default).
    Grid run(std::vector<std::size_t> rows = {}) {
        if (rows.empty()) rows = all_rows();
        const RowContext& c = context();
        Grid out = Grid::filled(mask.nrows(), mask.ncols(), NAN);
        for (const std::size_t r : rows) compute_band(c, r, r + 1, out);
        return out;
    }
    std::vector<std::size_t> all_rows() const {
        std::vector<std::size_t> rows(mask.nrows());
        std::iota(rows.begin(), rows.end(), std::size_t{0});
        return rows;
    }
};

inline void check_relative(double got, double expected, double tolerance, const std::string& what) {
    if (!(std::fabs(got - expected) <= tolerance * std::fabs(expected))) {
        check::fail(__FILE__, __LINE__, what + ": " + std::to_string(got) + " vs " + std::to_string(expected));
    }
}

// The windows of a constant condition 1: each level cell weighs the number of
// base cells of its block inside the raster.
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
        const Grid ones = Grid::filled(nrows, ncols, 1.0f);
        condition = summarise(ones, levels, ro, co, false);
        weights = summarise(ones, levels, ro, co, true);
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

inline void check_near(double got, double expected, double tolerance, const std::string& what) {
    if (!(std::fabs(got - expected) <= tolerance)) {
        check::fail(__FILE__, __LINE__, what + ": " + std::to_string(got) + " vs " + std::to_string(expected));
    }
}

inline double overlap(double a0, double a1, double b0, double b1) {
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

// Distances from (cy, cx) to the nearest and farthest point of a rectangle, in
// the Euclidean or (square) the maximum norm.
inline std::pair<double, double> near_far(double y0, double y1, double x0, double x1, double cy, double cx, bool square) {
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
inline double region_area(double y0, double y1, double x0, double x1, double cy, double cx, double outer, double inner,
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

}  // namespace quillet::test
