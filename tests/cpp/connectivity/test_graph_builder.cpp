#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "connectivity/fixtures.hpp"
#include "connectivity/graph_builder.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

// The band of one row of a scene, planned as the kernel plans it.
struct PlannedBand {
    WindowPlan plan;
    GraphFrame frame;
    GraphScratch scratch;

    PlannedBand(const RowContext& ctx, std::size_t row) {
        plan_windows(ctx, plan);
        plan_graph(ctx, plan, frame);
        scratch.start_rows(frame, row, 1);
    }
};

}  // namespace

TEST(graph_links_border_cells_to_their_coarse_candidates_in_order) {
    // Level-1 window: cells (1..3, 1..3); level 2: cells (0..2, 0..2).
    Scene scene(Grid::filled(8, 8, 1.0f), {1, 2});
    PlannedBand band(scene.context(), 1);
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
    build_graph(band.frame, windows, attach, 1, 1, band.scratch, g);
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
        PlannedBand band(scene.context(), at);
        WindowScratch windows;
        build_windows(band.plan, at, at, windows);
        std::vector<std::vector<std::uint8_t>> attach(1);
        select_attachments(windows.windows[0], scene.ctx.window_mode, attach[0]);
        Graph g;
        build_graph(band.frame, windows.windows, attach, at, at, band.scratch, g);
        const auto source = static_cast<std::size_t>(g.source);
        if (c.size == 1) {
            CHECK_EQ(g.link_edge[0].cost, cost(c.expected_t));  // to the label node, one row step away
        } else {
            CHECK_EQ(g.slot_edges[source]->cost[0], cost(c.expected_t));  // direction (0, 1)
            CHECK_EQ(g.slot_edges[source]->cost[1], cost(0.5f));          // direction (1, 0)
        }
    }
}
