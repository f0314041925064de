#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "connectivity/routing.hpp"

using namespace quillet;

namespace {

// A graph from (from, to, length, cost) edges, all of them links, with the
// bound of their weights.
Graph make_graph(std::size_t nodes, std::int32_t source, std::vector<std::tuple<int, int, float, float>> edges) {
    auto by_origin = [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); };
    std::stable_sort(edges.begin(), edges.end(), by_origin);
    Graph g;
    g.source = source;
    g.condition.assign(nodes, 1.0f);
    g.clear_edges();
    g.weight_bound = {};
    for (const auto& [from, to, length, cost] : edges) {
        g.link_target.push_back(to);
        g.link_edge.push_back({cost, length, quantise(cost), quantise(length)});
        g.weight_bound.include(g.link_edge.back());
        for (std::size_t u = static_cast<std::size_t>(from) + 1; u <= nodes; ++u) ++g.first_link[u];
    }
    return g;
}

// Dijkstra's search as its definition reads: nodes settle by ascending total,
// nodes of one total by ascending index, each relaxes its links in order, and
// of two paths of equal total the one recorded first stays.
SearchResult settled_by_node(const Graph& g, SearchMode mode) {
    const std::size_t n = g.node_count();
    SearchResult r;
    r.total.assign(n, std::numeric_limits<std::uint32_t>::max());
    r.parent.assign(n, -1);
    r.path_cost.assign(n, 0.0f);
    std::vector<std::uint64_t> best(n, std::uint64_t{1} << 32);
    best[static_cast<std::size_t>(g.source)] = 0;
    std::set<std::pair<std::uint64_t, std::int32_t>> queue{{0, g.source}};
    while (!queue.empty()) {
        const auto [total, u] = *queue.begin();
        queue.erase(queue.begin());
        if (total != best[static_cast<std::size_t>(u)]) continue;
        for (std::int32_t e = g.first_link[u]; e < g.first_link[u + 1]; ++e) {
            const EdgeData& edge = g.link_edge[e];
            const std::uint64_t candidate = total + (mode == SearchMode::cost ? edge.cost_q : edge.length_q);
            const auto v = static_cast<std::size_t>(g.link_target[e]);
            if (candidate >= best[v]) continue;
            best[v] = candidate;
            r.total[v] = static_cast<std::uint32_t>(candidate);
            r.parent[v] = u;
            r.path_cost[v] = r.path_cost[static_cast<std::size_t>(u)] + edge.cost;
            queue.insert({candidate, g.link_target[e]});
        }
    }
    return r;
}

}  // namespace

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

TEST(large_weights_settle_nodes_of_equal_total_by_ascending_index) {
    // Random graphs with many equal totals and zero weights, whose largest
    // weights call for the ordered bucket queue (step 20) or the heap (step
    // 3000): both must keep the paths of the search by definition.
    for (const float step : {20.0f, 3000.0f}) {
        std::mt19937 rng(3);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<std::tuple<int, int, float, float>> edges;
            for (int u = 0; u < 60; ++u) {
                for (int k = 0; k < 6; ++k) {
                    const float length = step * static_cast<float>(rng() % 4), cost = step * static_cast<float>(rng() % 4);
                    edges.emplace_back(u, static_cast<int>(rng() % 60), length, cost);
                }
            }
            const Graph g = make_graph(60, static_cast<std::int32_t>(rng() % 60), edges);
            SearchScratch scratch;
            SearchResult got;
            for (const SearchMode mode : {SearchMode::cost, SearchMode::length}) {
                const SearchResult expected = settled_by_node(g, mode);
                shortest_paths(g, mode, scratch, got);
                CHECK(got.total == expected.total && got.parent == expected.parent);
                if (mode == SearchMode::cost) CHECK(got.path_cost == expected.path_cost);
            }
        }
    }
}

TEST(a_search_completed_from_its_first_nodes_gives_the_totals_of_a_whole_one) {
    // Random graphs whose edges lead from the first 30 nodes to any node and from
    // the last 30 only among themselves, as from finer levels to coarser ones.
    // The totals of a whole search on the first nodes, completed from their
    // reached nodes, must give every node its whole-search total: with the
    // one-word bucket queue, the wide one, the ordered one and the heap.
    const int open = 30, nodes = 60;
    for (const float step : {0.05f, 1.0f, 20.0f, 3000.0f}) {
        std::mt19937 rng(5);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<std::tuple<int, int, float, float>> edges;
            for (int u = 0; u < nodes; ++u) {
                for (int k = 0; k < 4; ++k) {
                    const int v = u < open ? static_cast<int>(rng() % nodes) : open + static_cast<int>(rng() % (nodes - open));
                    edges.emplace_back(u, v, step * static_cast<float>(rng() % 4), 0.0f);
                }
            }
            const Graph g = make_graph(nodes, static_cast<std::int32_t>(rng() % open), edges);
            SearchScratch scratch;
            SearchResult whole, completed;
            shortest_paths(g, SearchMode::length, scratch, whole);
            completed.total.assign(whole.total.begin(), whole.total.begin() + open);
            completed.parent.assign(whole.parent.begin(), whole.parent.begin() + open);
            std::vector<QueueEntry> exits{{0, g.source}};
            for (int u = 0; u < open; ++u) {
                if (whole.reached(static_cast<std::size_t>(u))) exits.push_back({whole.total[static_cast<std::size_t>(u)], u});
            }
            std::sort(exits.begin(), exits.end(), [](const QueueEntry& a, const QueueEntry& b) { return a.total < b.total; });
            complete_length_search(g, open, exits, scratch, completed);
            CHECK(completed.total == whole.total);
            for (int v = 0; v < nodes; ++v) {
                CHECK(completed.reached(static_cast<std::size_t>(v)) == whole.reached(static_cast<std::size_t>(v)));
            }
        }
    }
}
