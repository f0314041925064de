// Graph topologies. Regular sources of one shape have windows that are the
// same cell lists moved by whole level cells, all valid, so their graphs have
// the same slots and links between the same node indices; only the edge data
// of the cells differs. The first graph of a shape in a band is built in full
// and its topology kept; the others take it and only look up their edge data.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "connectivity/graph.hpp"
#include "connectivity/shapes.hpp"

namespace quillet {

// The neighbour slots and links of the graph of a regular source.
struct Topology {
    std::int32_t source = -1;
    std::vector<std::int32_t> neighbour, first_link, link_target;
    std::vector<std::uint8_t> link_slot;  // coarse candidate of each link
};

// Keeps the slots and links of `g`, the graph of a source of `shape`, whose
// links lead to the coarse candidates `link_slot` gives.
void keep_topology(const SourceShape& shape, const Graph& g, std::span<const std::uint8_t> link_slot,
                   ShapeTable<Topology>& kept);

// Gives `g`, whose nodes are set, the source, slots and links of `topology`,
// with room for every slot's edge data and every link's; false, with `g`
// unchanged, when the topology is that of another node count.
bool take_topology(const Topology& topology, Graph& g);

}  // namespace quillet
