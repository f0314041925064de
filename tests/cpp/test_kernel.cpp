#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "connectivity/accumulate.hpp"
#include "connectivity/graph_builder.hpp"
#include "connectivity/kernel.hpp"

using namespace quillet;

namespace {

std::int64_t floor_div_test(std::int64_t a, std::int64_t b) { return (a >= 0) ? a / b : -((-a + b - 1) / b); }

// Level maps made by plain block summaries, independent of the production
// overview code: the mean of the finite values of each block, or their count.
LevelMap summarise(const Grid& base, const std::vector<LevelKey>& levels, std::int32_t ro, std::int32_t co,
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

Grid row_of(std::initializer_list<float> values) {
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

void check_relative(double got, double expected, double tolerance, const std::string& what) {
    if (!(std::fabs(got - expected) <= tolerance * std::fabs(expected))) {
        check::fail(__FILE__, __LINE__, what + ": " + std::to_string(got) + " vs " + std::to_string(expected));
    }
}

// A graph from (from, to, length, cost) edges, all of them links.
Graph make_graph(std::size_t nodes, std::int32_t source, std::vector<std::tuple<int, int, float, float>> edges) {
    auto by_origin = [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); };
    std::stable_sort(edges.begin(), edges.end(), by_origin);
    Graph g;
    g.source = source;
    g.condition.assign(nodes, 1.0f);
    g.clear_edges();
    for (const auto& [from, to, length, cost] : edges) {
        g.link_target.push_back(to);
        g.link_edge.push_back({cost, length, quantise(cost), quantise(length)});
        for (std::size_t u = static_cast<std::size_t>(from) + 1; u <= nodes; ++u) ++g.first_link[u];
    }
    return g;
}

}  // namespace

TEST(node_ids_and_quantisation) {
    CHECK_EQ(node_id(1, 3, 5), std::uint64_t{281475027042309});
    CHECK_EQ(node_id(4, 2, 1), (std::uint64_t{4} << 48) | (std::uint64_t{2} << 24) | 1);
    CHECK_THROWS_TEXT(node_id(2, 16777216, 0),
                      "Node id overflow for (level,row,col)=(2,16777216,0); exceeds 16/24/24-bit layout");
    CHECK_THROWS_TEXT(node_id(65536, 0, 0),
                      "Node id overflow for (level,row,col)=(65536,0,0); exceeds 16/24/24-bit layout");
    // Negative coordinates are reported before the layout limits.
    CHECK_THROWS_TEXT(node_id(1, -1, 16777216),
                      "Negative node coordinates are not supported: level=1, row=-1, col=16777216");

    const std::pair<float, std::uint32_t> hundredths[] = {
        {0.004f, 0}, {0.125f, 13}, {1.0f, 100}, {0.0049999f, 0}, {0.005f, 1}, {-3.0f, 0}, {NAN, 0},
        {INFINITY, 4294967295u}, {42949668.0f, 4294966784u}, {42949672.0f, 4294967295u}};
    for (const auto& [v, q] : hundredths) CHECK_EQ(quantise(v), q);
}

TEST(searches_find_least_totals_and_sum_costs_along_the_kept_path) {
    // By cost 0 -> 2 -> 1 -> 3 is cheapest; by length every edge is 1.
    const Graph g = make_graph(4, 0, {{0, 1, 1.0f, 1.0f}, {0, 2, 1.0f, 0.3f}, {2, 1, 1.0f, 0.5f}, {1, 3, 1.0f, 0.25f},
                                      {2, 3, 1.0f, 1.0f}, {3, 0, 1.0f, 0.0f}});
    SearchScratch scratch;
    SearchResult by_cost, by_length;
    shortest_paths(g, SearchMode::cost, scratch, by_cost);
    shortest_paths(g, SearchMode::length, scratch, by_length);
    CHECK(!by_cost.reached(0));
    CHECK(by_cost.total[1] == 80 && by_cost.parent[1] == 2 && by_cost.total[3] == 105 && by_cost.parent[3] == 1);
    CHECK_EQ(by_cost.path_cost[3], (0.3f + 0.5f) + 0.25f);
    CHECK(by_length.total[1] == 100 && by_length.total[3] == 200);

    // Of two paths of equal total the one recorded first stays.
    shortest_paths(make_graph(3, 0, {{0, 1, 1.0f, 0.5f}, {0, 2, 1.0f, 0.2f}, {2, 1, 1.0f, 0.3f}}), SearchMode::cost,
                   scratch, by_cost);
    CHECK(by_cost.total[1] == 50 && by_cost.parent[1] == 0);

    // Totals saturate instead of wrapping, and still count as reached; weights
    // this large go through the heap queue.
    shortest_paths(make_graph(3, 0, {{0, 1, 3e7f, 3e7f}, {1, 2, 3e7f, 3e7f}}), SearchMode::length, scratch, by_length);
    CHECK(by_length.total[1] == 3000000000u && by_length.total[2] == 4294967295u && by_length.reached(2));

    // No source, or a source without out-edges, reaches nothing.
    for (const std::int32_t source : {-1, 2}) {
        shortest_paths(make_graph(3, source, {{0, 1, 1.0f, 1.0f}}), SearchMode::cost, scratch, by_cost);
        for (std::size_t v = 0; v < 3; ++v) CHECK(!by_cost.reached(v));
    }
}

TEST(slot_searches_equal_relaxing_every_edge_in_turn) {
    // Random graphs whose nodes have eight slots (distinct targets or none) and
    // a few links; the same edges as links only, in the same order, are relaxed
    // one at a time. Both must keep the same paths, with the bucket queue, the
    // heap and saturating totals alike.
    const int nodes = 40;
    for (const float step : {0.05f, 20.0f, 3e7f}) {
        std::mt19937 rng(11);
        for (int trial = 0; trial < 10; ++trial) {
            Graph slotted;
            slotted.source = static_cast<std::int32_t>(rng() % nodes);
            slotted.condition.assign(nodes, 1.0f);
            slotted.clear_edges();
            std::vector<std::tuple<int, int, float, float>> in_turn;
            for (int u = 0; u < nodes; ++u) {
                std::vector<int> others;
                for (int v = 0; v < nodes; ++v) {
                    if (v != u) others.push_back(v);
                }
                std::shuffle(others.begin(), others.end(), rng);
                for (std::size_t d = 0; d < Graph::kSlots; ++d) {
                    if (rng() % 3 == 0) continue;
                    const float length = step * static_cast<float>(rng() % 4), cost = step * static_cast<float>(rng() % 4);
                    slotted.neighbour[u * Graph::kSlots + d] = others[d];
                    slotted.own_slot_edges[u].set(d, {cost, length, quantise(cost), quantise(length)});
                    in_turn.emplace_back(u, others[d], length, cost);
                }
                for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
                    const int v = static_cast<int>(rng() % nodes);
                    const float length = step * static_cast<float>(rng() % 4), cost = step * static_cast<float>(rng() % 4);
                    slotted.link_target.push_back(v);
                    slotted.link_edge.push_back({cost, length, quantise(cost), quantise(length)});
                    for (int w = u + 1; w <= nodes; ++w) ++slotted.first_link[w];
                    in_turn.emplace_back(u, v, length, cost);
                }
            }
            const Graph linked = make_graph(nodes, slotted.source, in_turn);
            SearchScratch scratch;
            SearchResult expected, got;
            for (const SearchMode mode : {SearchMode::cost, SearchMode::length}) {
                shortest_paths(linked, mode, scratch, expected);
                shortest_paths(slotted, mode, scratch, got);
                CHECK(got.total == expected.total && got.parent == expected.parent);
                if (mode == SearchMode::cost) CHECK(got.path_cost == expected.path_cost);
            }
        }
    }
}

TEST(search_results_do_not_depend_on_the_weight_bound) {
    // Random graphs with many equal totals and zero weights, where the order of
    // settling decides which path is kept. Any bound at or above the largest
    // weight must keep the same paths as no bound at all.
    const std::uint32_t unknown = std::numeric_limits<std::uint32_t>::max();
    for (const float step : {0.05f, 20.0f}) {  // largest weights below and above the bucket queue's limit
        const std::uint32_t largest = quantise(3 * step);
        std::mt19937 rng(7);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<std::tuple<int, int, float, float>> edges;
            for (int u = 0; u < 60; ++u) {
                for (int k = 0; k < 6; ++k) {
                    const float weight = step * static_cast<float>(rng() % 4);
                    edges.emplace_back(u, static_cast<int>(rng() % 60), weight, weight);
                }
            }
            Graph g = make_graph(60, static_cast<std::int32_t>(rng() % 60), edges);
            SearchScratch scratch;
            SearchResult expected, got;
            for (const SearchMode mode : {SearchMode::cost, SearchMode::length}) {
                g.weight_bound = {unknown, unknown};
                shortest_paths(g, mode, scratch, expected);
                for (const std::uint32_t bound : {largest, largest + 1000, std::uint32_t{4096}}) {
                    if (bound < largest) continue;
                    g.weight_bound = {bound, bound};
                    shortest_paths(g, mode, scratch, got);
                    CHECK(got.total == expected.total && got.parent == expected.parent);
                    if (mode == SearchMode::cost) CHECK(got.path_cost == expected.path_cost);
                }
            }
        }
    }
}

TEST(distance_decay_equals_its_formula_across_bandwidth_changes) {
    DistanceDecay decay;
    const std::uint32_t totals[] = {0, 1, 57, 283, 70000, 4294967295u};
    for (const float lambda : {2.0f, 20.0f, 2.0f, NAN, 0.0f, 200.0f}) {
        decay.use_bandwidth(lambda);
        for (int pass = 0; pass < 2; ++pass) {  // computed, then kept
            for (const std::uint32_t t : totals) {
                const float expected = std::exp(-(static_cast<float>(t) / 100.0f) / lambda);
                CHECK_EQ(std::bit_cast<std::uint32_t>(decay(t)), std::bit_cast<std::uint32_t>(expected));
            }
        }
    }
}

TEST(graph_links_border_cells_to_their_coarse_candidates_in_order) {
    // Level-1 window: cells (1..3, 1..3); level 2: cells (0..2, 0..2).
    Scene scene(Grid::filled(8, 8, 1.0f), {1, 2});
    const RowContext& ctx = scene.context();
    WindowPlan plan;
    plan_windows(ctx, plan);
    GraphFrame frame;
    plan_graph(ctx, plan, frame);
    GraphScratch scratch;
    scratch.start_rows(frame, 1, 1);
    std::vector<FocalWindow> windows(2);
    std::vector<std::vector<std::uint8_t>> attach(2);
    for (int i = 0; i < 2; ++i) {
        windows[i].clear(0);
        for (int r = 1 - i; r <= 3 - i; ++r) {
            for (int c = 1 - i; c <= 3 - i; ++c) {
                windows[i].rows.push_back(r);
                windows[i].cols.push_back(c);
                FocalWindow& w = windows[i];
                for (auto* list : {&w.condition, &w.weights, &w.pa_membership}) list->push_back(1.0f);
                windows[i].boundary.push_back(0);
            }
        }
        select_attachments(windows[i], WindowMode::square, attach[i]);
    }
    CHECK(attach[0][0] == 1 && attach[0][4] == 0);  // corner and centre of the square

    Graph g;
    build_graph(frame, windows, attach, 1, 1, scratch, g);
    CHECK_EQ(g.source, 0);
    // Cell (1, 1): neighbours (1, 2), (2, 1), (2, 2) in the slots of directions
    // (0, 1), (1, 0), (1, 1); links to the coarse cells of itself and its
    // neighbours (0, 0), (1, 0), (0, 1), (1, 1) = nodes 9, 12, 10, 13. Centres
    // (150, -150) at level 1, (100, -100), (100, -300), (300, -100), (300, -300)
    // at level 2 (relative to the transforms' origin), in metres.
    const std::int32_t none = g.absent();
    CHECK(std::vector<int>(g.neighbour.begin(), g.neighbour.begin() + 8) ==
          std::vector<int>({1, 3, none, none, 4, none, none, none}));
    CHECK_EQ(g.slot_edges[0]->length_km[0], 0.1f);
    CHECK_EQ(g.slot_edges[0]->length_km[4], float(std::hypot(100.0, 100.0) / 1000.0));
    const std::vector<int> links = {9, 12, 10, 13};
    const double lengths[][2] = {{50, 50}, {50, 150}, {150, 50}, {150, 150}};
    CHECK(std::vector<int>(g.link_target.begin(), g.link_target.begin() + g.first_link[1]) == links);
    for (std::size_t e = 0; e < links.size(); ++e) {
        CHECK_EQ(g.link_edge[e].length_km, float(std::hypot(lengths[e][0], lengths[e][1]) / 1000.0));
    }
    // The centre cell has eight neighbours and no link to level 2, and level 2
    // no link to a coarser one.
    CHECK(std::count(g.neighbour.begin() + 32, g.neighbour.begin() + 40, none) == 0);
    CHECK_EQ(g.first_link[5] - g.first_link[4], 0);
    CHECK_EQ(g.first_link[18] - g.first_link[9], 0);
}

TEST(edges_enter_cells_at_the_weight_of_their_traversal_value_or_else_their_condition) {
    // 100 m cells, max_cost 10: a cell entered costs (10 - 9t) * 0.1 km.
    const auto cost = [](float t) { return (t * -9.0f + 10.0f) * 0.1f; };
    struct Case {
        std::size_t size;
        float traversal;  // of the cell right of the source, or of an isolated source
        float expected_t;
    };
    for (const Case& c : {Case{5, 0.3f, 0.3f}, Case{5, NAN, 0.7f}, Case{1, 0.3f, 0.3f}, Case{1, NAN, 0.7f}}) {
        // A 5 x 5 landscape with the source at (2, 2), or a single isolated cell.
        Grid base = Grid::filled(c.size, c.size, 0.7f), traversal = Grid::filled(c.size, c.size, 0.5f);
        const std::size_t at = c.size / 2;
        traversal(at, c.size == 1 ? at : at + 1) = c.traversal;
        Scene scene(base, {1});
        scene.set_traversal(traversal);
        scene.ctx.max_cost = 10.0f;
        const RowContext& ctx = scene.context();
        WindowPlan plan;
        plan_windows(ctx, plan);
        GraphFrame frame;
        plan_graph(ctx, plan, frame);
        GraphScratch scratch;
        scratch.start_rows(frame, at, 1);
        WindowScratch windows;
        build_windows(plan, at, at, windows);
        std::vector<std::vector<std::uint8_t>> attach(1);
        select_attachments(windows.windows[0], ctx.window_mode, attach[0]);
        Graph g;
        build_graph(frame, windows.windows, attach, at, at, scratch, g);
        const auto source = static_cast<std::size_t>(g.source);
        if (c.size == 1) {
            CHECK_EQ(g.link_edge[0].cost, cost(c.expected_t));  // to the label node, one row step away
        } else {
            CHECK_EQ(g.slot_edges[source]->cost[0], cost(c.expected_t));  // direction (0, 1)
            CHECK_EQ(g.slot_edges[source]->cost[1], cost(0.5f));          // direction (1, 0)
        }
    }
}

TEST(geographic_lengths_are_great_circle_distances) {
    const double radius_km = 6371.0, degree = std::numbers::pi / 180.0;
    check_relative(edge_length_km({10.0, 45.0}, {10.0, 46.0}, true), radius_km * degree, 1e-7, "meridian degree");
    // A degree of longitude at 60 degrees north, by the spherical law of cosines.
    const double phi = 60.0 * degree;
    const double cosine = std::sin(phi) * std::sin(phi) + std::cos(phi) * std::cos(phi) * std::cos(degree);
    const double expected = radius_km * std::acos(cosine);
    check_relative(edge_length_km({5.0, 60.0}, {6.0, 60.0}, true), expected, 1e-6, "parallel degree");
    CHECK_EQ(edge_length_km({0.0, 0.0}, {300.0, 400.0}, false), 0.5f);
    // x (longitude) from the first row of the transform, y (latitude) from the second.
    const Point p = cell_centre(Affine{0.5, 0, 10.0, 0, -0.25, 50.0}, 2.0, 4.0);
    CHECK(p.x == 12.25 && p.y == 49.375);
}

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
    // bands of rows with and without taking results from earlier sources.
    std::mt19937 rng(2027);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int trial = 0; trial < 8; ++trial) {
        const std::size_t rows = 36 + rng() % 10, cols = 44 + rng() % 12;
        Grid base(rows, cols);
        for (std::size_t i = 0; i < base.size(); ++i) base.data()[i] = trial % 2 == 0 ? 0.6f : unit(rng);
        for (int lake = 0; lake < 2; ++lake) {
            const std::size_t r0 = rng() % rows, c0 = rng() % cols;
            for (std::size_t r = r0; r < std::min(rows, r0 + 3); ++r) {
                for (std::size_t c = c0; c < std::min(cols, c0 + 4); ++c) base(r, c) = NAN;
            }
        }
        const auto ro = static_cast<std::int32_t>(rng() % 5), co = static_cast<std::int32_t>(rng() % 5);
        const std::vector<LevelKey> levels = trial == 4 ? std::vector<LevelKey>{1, 2, 4, 8}
                                             : trial == 7 ? std::vector<LevelKey>{1, 2}
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
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) scene.mask(r, c) = std::isnan(base(r, c));
        }
        const RowContext& ctx = scene.context();
        Grid reused = Grid::filled(rows, cols, NAN), computed = Grid::filled(rows, cols, NAN);
        const std::size_t band = 1 + trial % 8;
        for (std::size_t r = 0; r < rows; r += band) {
            scene.ctx.reuse_across_sources = true;
            compute_band(ctx, r, std::min(rows, r + band), reused);
            scene.ctx.reuse_across_sources = false;
            compute_band(ctx, r, std::min(rows, r + band), computed);
        }
        CHECK(std::memcmp(reused.data(), computed.data(), reused.size() * sizeof(float)) == 0);
    }
}

TEST(grouped_distance_decays_equal_each_bandwidth_alone_and_zero_past_the_group) {
    DistanceDecays decays;
    const std::uint32_t totals[] = {0, 1, 57, 283, 70000, 4294967295u, 3};
    const std::vector<std::vector<float>> groups = {{2.0f, 20.0f, 200.0f}, {2.0f}, {NAN, 0.0f, 5.0f, 1e-30f}};
    for (const DecayShape shape : {DecayShape::exponential, DecayShape::gaussian}) {
        for (const std::vector<float>& lambdas : groups) {
            decays.use_bandwidths(lambdas, shape);
            for (int pass = 0; pass < 2; ++pass) {  // computed, then kept
                for (const std::uint32_t t : totals) {
                    const float* values = decays(t);
                    for (std::size_t k = 0; k < kBandwidthLanes; ++k) {
                        float expected = 0.0f;
                        if (k < lambdas.size()) {
                            DistanceDecay alone;
                            alone.use_bandwidth(lambdas[k], shape);
                            expected = alone(t);
                        }
                        CHECK_EQ(std::bit_cast<std::uint32_t>(values[k]), std::bit_cast<std::uint32_t>(expected));
                    }
                }
            }
        }
    }
}
