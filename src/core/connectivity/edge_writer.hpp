// The edge writer: how the full graph build writes a graph's edges, node by
// node in ascending order, into the fixed neighbour slots and the CSR link
// arrays, with room reserved up front and no branch per candidate link.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "connectivity/graph.hpp"

namespace quillet {

// Writes every node's neighbour slots and appends its links, node by node in
// ascending node order, closing the CSR range of every node passed over.
class EdgeWriter {
public:
    // Room for every edge the nodes of `g` can have: eight slots and four coarse
    // candidates each. The link arrays only grow, so a steady state reuses them
    // without clearing. Slot data is copied into the graph only when `copy_slots`
    // is set; otherwise the graph points at the data it is given.
    EdgeWriter(Graph& g, std::vector<std::uint8_t>& link_slot, bool copy_slots)
        : g_(g), link_slot_(link_slot), copy_slots_(copy_slots) {
        const std::size_t nodes = g.node_count();
        g.neighbour.resize(Graph::kSlots * nodes);
        g.slot_edges.resize(nodes);
        if (copy_slots) g.own_slot_edges.resize(nodes);
        if (g.link_target.size() < 4 * nodes + 1) {
            g.link_target.resize(4 * nodes + 1);
            g.link_edge.resize(4 * nodes + 1);
        }
        if (link_slot.size() < g.link_target.size()) link_slot.resize(g.link_target.size());
        g.first_link.assign(nodes + 1, 0);
    }

    // Starts the edges of `node`; nodes passed over get empty slots and no link.
    void open(std::int32_t node) {
        const auto u = static_cast<std::size_t>(node);
        clear_slots(next_open_, u);
        while (next_open_ <= u) g_.first_link[next_open_++] = count_;
    }

    // Fills the slots of `node` from the neighbour nodes (-1 where there is none)
    // and the edge data of each direction; returns whether any neighbour exists.
    bool write_slots(std::int32_t node, const std::array<std::int32_t, Graph::kSlots>& targets,
                     const SlotEdges& edges) {
        const auto u = static_cast<std::size_t>(node);
        const std::size_t at = Graph::kSlots * u;
        const std::int32_t absent = g_.absent();
        bool any = false;
        for (std::size_t d = 0; d < Graph::kSlots; ++d) {
            g_.neighbour[at + d] = targets[d] >= 0 ? targets[d] : absent;
            any |= targets[d] >= 0;
        }
        if (copy_slots_) {
            g_.own_slot_edges[u] = edges;
            g_.slot_edges[u] = &g_.own_slot_edges[u];
        } else {
            g_.slot_edges[u] = &edges;
        }
        return any;
    }

    // Appends a link to `target`, which is kept only when it is a node: the
    // writes are unconditional so that the varying presence of candidates costs
    // no branch.
    void link_if_node(std::int32_t target, std::size_t candidate, const EdgeData& data) {
        const auto at = static_cast<std::size_t>(count_);
        g_.link_target[at] = target;
        g_.link_edge[at] = data;
        link_slot_[at] = static_cast<std::uint8_t>(candidate);
        count_ += target >= 0;
    }

    void close() {
        clear_slots(next_open_, g_.node_count());
        while (next_open_ < g_.first_link.size()) g_.first_link[next_open_++] = count_;
    }

private:
    void clear_slots(std::size_t from_node, std::size_t to_node) {
        if (from_node >= to_node) return;
        std::fill(g_.neighbour.begin() + static_cast<std::ptrdiff_t>(Graph::kSlots * from_node),
                  g_.neighbour.begin() + static_cast<std::ptrdiff_t>(Graph::kSlots * to_node), g_.absent());
        std::fill(g_.slot_edges.begin() + static_cast<std::ptrdiff_t>(from_node),
                  g_.slot_edges.begin() + static_cast<std::ptrdiff_t>(to_node), &kNoEdges);
    }

    static constexpr SlotEdges kNoEdges{};  // data of the slots of a node without neighbours

    Graph& g_;
    std::vector<std::uint8_t>& link_slot_;
    bool copy_slots_;
    std::int32_t count_ = 0;
    std::size_t next_open_ = 0;
};

}  // namespace quillet
