// Length-search reuse. A source's shortest geometric distances depend only on
// its graph's source node, slots, links and quantised lengths, and sources in
// the same place against the coarse lattice usually have equal graphs. So the
// kernel keeps the length searches of earlier sources of its band, and hands a
// kept result to a later source only after checking that its graph is equal in
// all of these: the result is then exactly the one its own search would give.
//
// Since no edge leads from a coarser level to a finer one, the distances to the
// nodes of a graph's first levels depend on those levels alone. Where deep
// windows are clipped by the raster's edge or hold no-data cells, graphs rarely
// repeat whole, but their first levels do: sources of one prefix shape share
// the distances there, and each searches on only from the links into its
// coarser levels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "connectivity/graph.hpp"
#include "connectivity/routing.hpp"
#include "connectivity/shapes.hpp"
#include "connectivity/window_plan.hpp"

namespace quillet {

// The length search of an earlier source, kept with everything of its graph that
// the search reads: the source node, the neighbour slots, the links and their
// quantised lengths.
struct KeptLengthSearch {
    bool valid = false;
    std::int32_t source = -1;
    std::vector<std::int32_t> neighbour, first_link, link_target;
    std::vector<std::uint32_t> slot_length, link_length;
    SearchResult result;

    // Whether `g` is equal to the kept graph in all that its length search reads.
    bool matches(const Graph& g) const;
    // Keeps the graph of `g`, whose length search `result` now holds.
    void keep(const Graph& g);
};

// Kept length searches, one per position of the source modulo 8 on both axes,
// which separates the sources whose windows differ in their alignment to the
// coarse lattice (levels up to 8), and one per source shape.
class LengthSearches {
public:
    // The length search of `g`: a kept one when its graph matches, else a new
    // one, which is then kept for the source's position.
    // Where graphs rarely repeat (scattered no-data cells, raster edges), checking
    // and keeping cost more than they save: while the recent sources of a band
    // have missed far more often than matched, only every 16th source tries.
    const SearchResult& of(const Graph& g, std::size_t row, std::size_t col, SearchScratch& search);

    // The length search of `g`, the graph of a regular source of `shape` whose
    // edges all have the band's reference lengths: the graph is the same for
    // every such source of the shape in the band, so one search serves them all.
    // Null, having searched nothing, when none is kept and the shape does not
    // recur.
    const SearchResult* of_shape(const Graph& g, const SourceShape& shape, SearchScratch& search);

    // The length search of `g`, whose edges on the levels of `prefix` all have
    // the band's reference lengths; `first_node` holds the first node of each
    // level. The distances on those levels are the kept ones of the prefix's
    // first source, and the search goes on from there.
    const SearchResult& of_prefix(const Graph& g, const LevelPrefix& prefix, std::span<const std::int32_t> first_node,
                                  SearchScratch& search);

    // Forgets every kept search and the counts, at the start of a band of `rows`
    // rows planned by `plan`.
    void start(const WindowPlan& plan, std::size_t rows);

private:
    // The totals and parents of the nodes of a prefix's levels, below `open`, and
    // the reached nodes of its last level with their totals, by ascending total.
    struct PrefixLengths {
        std::int32_t source = -1, open = 0;
        std::vector<std::uint32_t> total;
        std::vector<std::int32_t> parent;
        std::vector<QueueEntry> exits;
    };

    static constexpr std::size_t kTrialMisses = 16;
    static constexpr std::size_t kRecent = 128;  // tries after which the counts are halved
    std::size_t matches_ = 0, misses_ = 0, sources_ = 0;
    std::array<KeptLengthSearch, 64> kept_;
    ShapeTable<SearchResult> by_shape_;
    std::vector<ShapeTable<PrefixLengths>> by_prefix_;  // by the prefix's number of levels - 1
    SearchResult searched_;
};

}  // namespace quillet
