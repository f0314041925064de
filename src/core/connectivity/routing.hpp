// Single-source shortest paths over the routing graph, on edge lengths quantised
// to hundredths so that every comparison is an exact integer one.
//
// Nodes of equal quantised total are settled in an order fixed by the graph alone,
// so the path kept for every node is the same for every thread count and run.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "connectivity/graph.hpp"
#include "connectivity/search_queue.hpp"

namespace quillet {

enum class SearchMode : std::uint8_t {
    cost = 0,    // edge weight: `EdgeData::cost_q` (least-cost paths)
    length = 1,  // edge weight: `EdgeData::length_q` (shortest geometric distances)
};

// Where a search reached and how.
struct SearchResult {
    std::vector<std::uint32_t> total;  // smallest quantised total, where reached
    std::vector<std::int32_t> parent;  // predecessor on the kept path; -1 for the source and unreached nodes
    // Cost mode only: the unquantised edge costs summed in single precision along
    // the kept path, from the source end.
    std::vector<float> path_cost;

    bool reached(std::size_t node) const { return parent[node] >= 0; }
};

// Per-thread storage of the searches; keeps its capacity between cells.
struct SearchScratch {
    std::vector<std::uint64_t> best;  // tentative total of each node, 2^32 before the first
    QueueStorage queues;
};

// Searches `graph` from its source over the quantised edge weights of `mode`.
// Totals add in 32 bits and saturate at 4294967295. An absent source, or one
// without out-edges, reaches nothing.
void shortest_paths(const Graph& graph, SearchMode mode, SearchScratch& scratch, SearchResult& result);

// Completes the length search of `graph` whose nodes below `first_open` already
// have in `result` the totals and parents of a search of their own: no edge
// leads from a node at or after `first_open` back below it, as none leads from
// a coarser level to a finer one, so those are final, and the nodes from
// `first_open` on are entered only through links from them. `exits` are the
// reached nodes below `first_open` whose links may lead on, with their totals,
// by ascending total. Gives every node the total that a whole search gives,
// and a parent on a path of that total.
void complete_length_search(const Graph& graph, std::int32_t first_open, std::span<const QueueEntry> exits,
                            SearchScratch& scratch, SearchResult& result);

}  // namespace quillet
