#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "check.hpp"
#include "connectivity/fixtures.hpp"
#include "connectivity/kernel.hpp"

using namespace quillet;
using namespace quillet::test;

TEST(small_chain_value_follows_the_cost_and_decay_formulas) {
    // One row of three 100 m cells; only the first is a source.
    const float cond[] = {0.9f, 0.4f, 0.7f}, trav[] = {0.2f, 0.5f, 0.1f}, pa[] = {1.0f, 0.5f, 0.25f};
    Scene scene(row_of({cond[0], cond[1], cond[2]}), {1});
    scene.ctx.outer_window = 3;
    scene.ctx.max_cost = 10.0f;
    scene.set_traversal(row_of({trav[0], trav[1], trav[2]}));
    scene.set_pa(row_of({pa[0], pa[1], pa[2]}));
    scene.mask(0, 1) = scene.mask(0, 2) = true;

    // Path weight 10 - 9t of each cell entered; distances quantise to 0.1 and 0.2 km.
    const float cost1 = (trav[1] * -9.0f + 10.0f) * 0.1f, cost2 = cost1 + (trav[2] * -9.0f + 10.0f) * 0.1f;
    double expected = 0.0;
    for (const double lambda : {2.0, 20.0, 200.0}) {
        const double acc = std::exp(-cost1 / lambda) * cond[1] * pa[1] + std::exp(-cost2 / lambda) * cond[2] * pa[2];
        expected += acc / (std::exp(-0.1 / lambda) + std::exp(-0.2 / lambda)) / 3.0;
    }
    check_relative(scene.run()(0, 0), expected, 1e-6, "connectivity form");

    // The transgrid form ignores the protected fraction; every layer is compared
    // with the source's layer-0 profile (0.1), layer 0 alone weighs the
    // denominator, and the mean and the smallest layer sum are mixed.
    Grid3 layer0(1, 3, 1), layer1(1, 3, 1);
    const float b0[] = {0.1f, 0.3f, 0.6f}, b1[] = {0.0f, 0.9f, 0.1f};
    for (int c = 0; c < 3; ++c) layer0.cell(0, c)[0] = b0[c], layer1.cell(0, c)[0] = b1[c];
    scene.transgrids.resize(2);
    scene.transgrids[0][1] = std::move(layer0);
    scene.transgrids[1][1] = std::move(layer1);
    const double s0[] = {std::exp(-0.2), std::exp(-0.5)}, s1[] = {std::exp(-0.8), 1.0};
    double expected_tg = 0.0;
    for (const double lambda : {2.0, 20.0, 200.0}) {
        auto g = [&](double v) { return std::exp(-(v / lambda) * (v / lambda) / 283.465); };
        const double a0 = s0[0] * g(cost1) * cond[1] + s0[1] * g(cost2) * cond[2];
        const double a1 = s1[0] * g(cost1) * cond[1] + s1[1] * g(cost2) * cond[2];
        expected_tg += ((a0 + a1) / 2 + std::min(a0, a1)) * 0.5 / (g(0.1) * s0[0] + g(0.2) * s0[1]) / 3.0;
    }
    check_relative(scene.run()(0, 0), expected_tg, 1e-6, "transgrid form");

    scene.ctx.lambdas.clear();
    CHECK_EQ(scene.run()(0, 0), 0.0f);
}

TEST(uniform_landscape_at_full_cost_weight_scores_one) {
    // 300 x 400 m cells: every edge is a whole number of hundredths, so both
    // searches see the same weights and the ratio is 1 up to float sums.
    Scene exact(Grid::filled(15, 15, 1.0f), {1});
    exact.transforms[1] = Affine{300.0, 0, 0, 0, -400.0, 0};
    exact.ctx.window_size = 9;
    exact.ctx.lambdas = {0.5f, 2.0f, 20.0f};
    const Grid out = exact.run();
    for (std::size_t i = 0; i < out.size(); ++i) check_relative(out.data()[i], 1.0, 1e-5, "exact lengths");

    // Three levels of 100 m cells: a path's cost and its quantised length differ
    // by at most 0.005 km per edge, and no least-cost path here has 40 edges.
    for (const WindowMode mode : {WindowMode::circular, WindowMode::square}) {
        Scene scene(Grid::filled(80, 80, 1.0f), {1, 2, 4});
        scene.ctx.window_mode = mode;
        for (const float lambda : {20.0f, 200.0f}) {
            scene.ctx.lambdas = {lambda};
            const Grid v = scene.run({40});
            for (std::size_t c = 0; c < 80; ++c) check_relative(v(40, c), 1.0, 40 * 0.005 / lambda, "levels 1, 2, 4");
        }
    }
}

TEST(kernel_faults_on_broken_level_chains_and_inputs) {
    const Grid base = Grid::filled(40, 40, 1.0f);
    Scene gap(base, {1, 4});
    gap.transforms[2] = Affine{200, 0, 0, 0, -200, 0};
    CHECK_THROWS_TEXT(gap.run({20}), "Node not found in node mapping.");
    Scene no_coarse_transform(base, {1, 2, 4});
    no_coarse_transform.transforms.erase(2);
    CHECK_THROWS_TEXT(no_coarse_transform.run({20}), kUnknownFaultText);
    Scene no_transform(base, {1, 2});
    no_transform.transforms.erase(1);
    CHECK_THROWS_TEXT(no_transform.run({20}), "Missing level in Affine set.");
    Scene short_mask(base, {1});
    short_mask.mask = BoolGrid(40, 39);
    CHECK_THROWS_TEXT(short_mask.run({3}), kIndexOutOfRangeText);

    Scene even(base, {1, 2});
    even.ctx.window_size = 4;
    CHECK_THROWS_TEXT(even.run({20}), "Window size must be odd-numbered");
    // With every cell masked nothing is checked and nothing written.
    std::fill(even.mask.data(), even.mask.data() + even.mask.size(), true);
    const Grid out = even.run();
    CHECK(std::all_of(out.data(), out.data() + out.size(), [](float v) { return std::isnan(v); }));
}

TEST(values_do_not_depend_on_row_order_or_thread) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    Grid base(45, 50), trav(45, 50);
    for (std::size_t i = 0; i < base.size(); ++i) {
        base.data()[i] = u(rng) < 0.1f ? NAN : u(rng);
        trav.data()[i] = u(rng);
    }
    for (const bool geo : {false, true}) {
        Scene scene(base, {1, 2, 4}, 100.0, 3, 5);
        scene.set_traversal(trav);
        scene.ctx.max_cost = 4.0f;
        scene.ctx.is_geo = geo;
        if (geo) {
            for (auto& [L, t] : scene.transforms) t = Affine{0.001 * L, 0, 12.0, 0, -0.001 * L, 48.0};
        }
        scene.mask(10, 10) = true;
        const Grid forward = scene.run();
        CHECK(std::isnan(forward(10, 10)) && !std::isnan(forward(10, 11)));

        std::vector<std::size_t> shuffled = scene.all_rows();
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        Grid other;
        std::thread worker([&] { other = scene.run(shuffled); });
        worker.join();
        const auto bits = [](const Grid& g, std::size_t i) { return std::bit_cast<std::uint32_t>(g.data()[i]); };
        for (std::size_t i = 0; i < forward.size(); ++i) CHECK_EQ(bits(forward, i), bits(other, i));
    }
}

TEST(results_taken_from_earlier_sources_equal_computing_every_source) {
    // Random scenes with large valid areas (graphs that repeat from source to
    // source), clusters of no-data cells and raster edges (graphs that do not),
    // on transforms whose origin and cell size are not round; every mode, run in
    // bands of rows with and without taking results from earlier sources. The
    // last trials run deep level chains, whose coarsest windows the raster's
    // edge clips for most sources (on a long strip, not for all), and sparse
    // sources, which share little with one another.
    std::mt19937 rng(2027);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const std::vector<LevelKey> deep{1, 2, 4, 8, 16, 32};
    for (int trial = 0; trial < 12; ++trial) {
        const bool strip = trial == 9 || trial == 10;
        const std::size_t rows = strip ? 18 + rng() % 4 : 36 + rng() % 10;
        const std::size_t cols = strip ? 300 + rng() % 12 : 44 + rng() % 12;
        Grid base(rows, cols);
        for (std::size_t i = 0; i < base.size(); ++i) base.data()[i] = trial % 2 == 0 ? 0.6f : unit(rng);
        for (int lake = 0; lake < 2; ++lake) {
            const std::size_t r0 = rng() % rows, c0 = rng() % cols;
            for (std::size_t r = r0; r < std::min(rows, r0 + 3); ++r) {
                for (std::size_t c = c0; c < std::min(cols, c0 + 4); ++c) base(r, c) = NAN;
            }
        }
        const auto ro = static_cast<std::int32_t>(rng() % 5), co = static_cast<std::int32_t>(rng() % 5);
        const std::vector<LevelKey> levels = trial == 4   ? std::vector<LevelKey>{1, 2, 4, 8}
                                             : trial == 7 ? std::vector<LevelKey>{1, 2}
                                             : trial >= 8 ? deep
                                                          : std::vector<LevelKey>{1, 2, 4};
        Scene scene(base, levels, 25.0, ro, co);
        const bool geo = trial % 4 == 3;
        for (const LevelKey L : scene.levels) {
            scene.transforms[L] = geo ? Affine{0.00025 * L, 0, 10.123456, 0, -0.00025 * L, 47.654321}
                                      : Affine{25.3 * L, 0, 483217.31, 0, -25.3 * L, 5761043.77};
        }
        scene.ctx.is_geo = geo;
        scene.ctx.outer_window = 3;  // coarse windows of 12 base cells leave room for unclipped ones
        scene.ctx.window_mode = trial % 3 == 1 ? WindowMode::square : WindowMode::circular;
        scene.ctx.pa_to_pa = trial == 5;
        if (trial == 5) scene.set_pa(base);
        if (trial == 6) scene.set_traversal(base);
        // Sparse sources: about 3% of the cells.
        const bool sparse = trial == 10 || trial == 11;
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                scene.mask(r, c) = std::isnan(base(r, c)) || (sparse && rng() % 32 != 0);
            }
        }
        const RowContext& ctx = scene.context();
        Grid reused = Grid::filled(rows, cols, NAN), computed = Grid::filled(rows, cols, NAN);
        const std::size_t band = strip ? 16 : 1 + trial % 8;
        for (std::size_t r = 0; r < rows; r += band) {
            scene.ctx.reuse_across_sources = true;
            compute_band(ctx, r, std::min(rows, r + band), reused);
            scene.ctx.reuse_across_sources = false;
            compute_band(ctx, r, std::min(rows, r + band), computed);
        }
        CHECK(std::memcmp(reused.data(), computed.data(), reused.size() * sizeof(float)) == 0);
    }
}
