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

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "connectivity/edge_data.hpp"

namespace quillet {

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
};

}  // namespace quillet
