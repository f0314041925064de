// The routing graph of one source cell: one node per selected window cell of
// every level, edges between 8-neighbours within a level and from the attachment
// cells of a level to the coarse cells of the next level (key 2L) that hold them
// and their neighbours. No edge leads from a coarser level to a finer one.
//
// Nodes are dense indices: the cells of the first window, then those of the next,
// each in window order. Every node has eight neighbour slots for its within-level
// edges, in a fixed direction order, so that the searches can test them all
// without a branch per edge; further out-edges (links to the coarser level) are
// stored in CSR form. A destination's indicator values are node attributes,
// since every edge into a node carries the same ones.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "connectivity/node_mapping.hpp"
#include "common/levels.hpp"
#include "connectivity/row_context.hpp"
#include "connectivity/focal_window.hpp"
#include "connectivity/shapes.hpp"
#include "connectivity/window_plan.hpp"

namespace quillet {

// Path weight of a cell that an edge enters: (1 - max_cost) times its traversal
// value, or its condition where the traversal value is not finite (NaN without
// a traversal raster), plus max_cost.
inline float path_weight(float condition, float traversal, float max_cost) {
    const float t = std::isfinite(traversal) ? traversal : condition;
    return t * (1.0f - max_cost) + max_cost;
}

// What an edge costs: its weighted and plain lengths, unquantised and quantised.
struct EdgeData {
    float cost;              // path weight of the destination times the length
    float length_km;         // geometric length
    std::uint32_t cost_q;    // `cost` quantised for the searches
    std::uint32_t length_q;  // `length_km` quantised for the searches
};

// The within-level out-edges of one node, by neighbour slot, laid out by field
// so that the cost search reads one cache line per node (the quantised costs
// and the costs) and the length search one more.
struct alignas(64) SlotEdges {
    static constexpr std::size_t kSlots = 8;
    std::array<std::uint32_t, kSlots> cost_q;
    std::array<float, kSlots> cost;
    std::array<std::uint32_t, kSlots> length_q;
    std::array<float, kSlots> length_km;

    void set(std::size_t slot, const EdgeData& e) {
        cost_q[slot] = e.cost_q;
        cost[slot] = e.cost;
        length_q[slot] = e.length_q;
        length_km[slot] = e.length_km;
    }
};

// An upper bound of the quantised weights of a set of edges, for each search.
struct WeightBound {
    std::uint32_t cost_q = 0;
    std::uint32_t length_q = 0;

    void include(const EdgeData& e) {
        cost_q = std::max(cost_q, e.cost_q);
        length_q = std::max(length_q, e.length_q);
    }
    void include(const WeightBound& b) {
        cost_q = std::max(cost_q, b.cost_q);
        length_q = std::max(length_q, b.length_q);
    }
};

struct Graph {
    std::int32_t source = -1;  // node the searches start from; -1 when the source cell is not a node
    std::size_t layers = 0;    // transgrid layers, entries per node in `similarity`

    // Node attributes: what a node contributes when it is reached.
    std::vector<float> condition;
    std::vector<float> pa_membership;
    std::vector<float> weight;
    std::vector<float> similarity;  // similarity[node * layers + j]; NaN where absent

    // Within-level out-edges: slot d of node u is neighbour[u * 8 + d] with data
    // slot d of *slot_edges[u]. A slot without a neighbour holds `absent()`, an
    // index past every node; the slots of one node never name a node twice.
    // Graph building points a node's slot data at its cell's entry in the edge
    // cache; a graph that holds its own copy keeps it in `own_slot_edges`.
    std::vector<std::int32_t> neighbour;
    std::vector<const SlotEdges*> slot_edges;
    std::vector<SlotEdges> own_slot_edges;
    // Further out-edges of node u, after its slots: indices first_link[u] ..
    // first_link[u + 1] - 1. The link arrays may be longer than link_count();
    // entries past it are unused.
    std::vector<std::int32_t> first_link;
    std::vector<std::int32_t> link_target;
    std::vector<EdgeData> link_edge;
    // An upper bound of the edges' quantised weights, from which the searches
    // size their queue; they find the exact largest weight only when the bound
    // is too large for their fastest queue. The maximum when no bound is known.
    WeightBound weight_bound{std::numeric_limits<std::uint32_t>::max(), std::numeric_limits<std::uint32_t>::max()};

    static constexpr std::size_t kSlots = SlotEdges::kSlots;

    std::size_t node_count() const { return condition.size(); }
    std::int32_t absent() const { return static_cast<std::int32_t>(node_count()); }
    std::size_t link_count() const { return first_link.empty() ? 0 : static_cast<std::size_t>(first_link.back()); }
    // An upper bound of the number of edges: every slot and every link.
    std::size_t edge_capacity() const { return kSlots * node_count() + link_count(); }

    // Makes every node's slots empty, with their data in `own_slot_edges`, and
    // gives no node a link.
    void clear_edges();
    // Points the slot data of every node at its entry of `own_slot_edges`.
    void use_own_slot_edges();
};

// Length in kilometres of the segment between two cell centres: planar in the
// transform's units divided by 1000, or great-circle on a sphere of radius
// 6371000 m with x as longitude and y as latitude in degrees.
float edge_length_km(Point from, Point to, bool is_geo);

// The per-band inputs of graph building.
struct GraphFrame {
    const WindowPlan* plan = nullptr;
    // Per plan level, the transforms of the level itself and of key 2L; null
    // where the transform map lacks the key.
    std::vector<const Affine*> affines;
    std::vector<const Affine*> coarser_affines;
    float max_cost = 0.0f;
    bool is_geo = false;
    bool pa_to_pa = false;
    bool node_ids_fit = false;  // every cell of every level grid has a node id that fits its layout
};

// Looks up the transforms of every planned level and of its key 2L.
void plan_graph(const RowContext& ctx, const WindowPlan& plan, GraphFrame& frame);

// The out-edges that the cells of a band's windows can have, each computed once
// per band, since neighbouring sources share most of their window cells.
class EdgeCache;

// The neighbour slots and links of the graph of a regular source.
struct Topology;

// Per-thread storage for graph building; keeps its capacity between cells.
struct GraphScratch {
    GraphScratch();
    ~GraphScratch();
    GraphScratch(const GraphScratch&) = delete;
    GraphScratch& operator=(const GraphScratch&) = delete;

    // Starts a band of `row_count` rows from `first_row` whose sources are visited
    // column by column: edges cached for earlier bands (possibly of another
    // call) are no longer used.
    void start_rows(const GraphFrame& frame, std::size_t first_row, std::size_t row_count);

    NodeMapping current, coarser;
    std::vector<std::int32_t> first_node;  // first node of each level
    std::vector<std::uint8_t> link_slot;   // coarse candidate that each link of the graph leads to
    bool isolated = false;                 // whether the last graph is that of an isolated source
    // Whether every edge of the last graph has the quantised length of the
    // band's first edge of the same level, direction and candidate.
    bool reference_lengths = false;
    std::unique_ptr<EdgeCache> edges;
    std::unique_ptr<ShapeTable<Topology>> topologies;  // by shape, for one band
};

// Builds the graph of source (row, col) from its windows (one per plan level) and
// the attachment flags of their cells (attach[i][k] marks cell k of level i as a
// place where links to level 2L start). `start_rows` must have been called for
// `frame` and a band that holds the source's row. The slots and links of a
// regular source are those of the first source of its shape in the band, so
// only their edge data is looked up.
void build_graph(const GraphFrame& frame, std::span<const FocalWindow> windows,
                 std::span<const std::vector<std::uint8_t>> attach, std::size_t row, std::size_t col,
                 GraphScratch& scratch, Graph& graph, const SourceShape& shape = {});

}  // namespace quillet
