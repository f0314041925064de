// Keeping and taking topologies: plain copies of the graph's index arrays.
#include "connectivity/topology.hpp"

#include <algorithm>
#include <cstddef>

namespace quillet {

void keep_topology(const SourceShape& shape, const Graph& g, std::span<const std::uint8_t> link_slot,
                   ShapeTable<Topology>& kept) {
    Topology& t = kept.refill(shape);
    const auto links = static_cast<std::ptrdiff_t>(g.link_count());
    t.source = g.source;
    t.neighbour = g.neighbour;
    t.first_link = g.first_link;
    t.link_target.assign(g.link_target.begin(), g.link_target.begin() + links);
    t.link_slot.assign(link_slot.begin(), link_slot.begin() + links);
    kept.keep(shape);
}

bool take_topology(const Topology& topology, Graph& g) {
    if (g.node_count() + 1 != topology.first_link.size()) return false;
    g.source = topology.source;
    g.neighbour = topology.neighbour;
    g.first_link = topology.first_link;
    const std::size_t links = topology.link_target.size();
    if (g.link_target.size() < links) {
        g.link_target.resize(links);
        g.link_edge.resize(links);
    }
    std::copy(topology.link_target.begin(), topology.link_target.end(), g.link_target.begin());
    g.slot_edges.resize(g.node_count());
    return true;
}

}  // namespace quillet
