// Graph building: the routing graph of one source from its windows. The full
// build maps every window cell to its node, looks up each cell's edges in the
// band's edge cache and writes the slots and links; a regular source whose
// shape already has a graph in the band takes that graph's topology and looks
// up only the edge data. Both give the same graph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "connectivity/edge_cache.hpp"
#include "connectivity/focal_window.hpp"
#include "connectivity/graph.hpp"
#include "connectivity/graph_frame.hpp"
#include "connectivity/node_mapping.hpp"
#include "connectivity/shapes.hpp"
#include "connectivity/topology.hpp"

namespace quillet {

// Per-thread storage for graph building; keeps its capacity between cells.
struct GraphScratch {
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
    // Its leading levels whose edges all have those lengths.
    std::size_t reference_levels = 0;
    EdgeCache edges;
    ShapeTable<Topology> topologies;  // by shape, for one band
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
