// The routing graph's own operations; building one is graph_builder's.
#include "connectivity/graph.hpp"

namespace quillet {

void Graph::clear_edges() {
    neighbour.assign(kSlots * node_count(), absent());
    own_slot_edges.resize(node_count());
    slot_edges.resize(node_count());
    for (std::size_t u = 0; u < node_count(); ++u) slot_edges[u] = &own_slot_edges[u];
    first_link.assign(node_count() + 1, 0);
}

}  // namespace quillet
