// Matching a graph against a kept one field by field, and the counts that
// decide whether trying is worth it.
#include "connectivity/length_reuse.hpp"

#include <algorithm>
#include <tuple>

namespace quillet {

bool KeptLengthSearch::matches(const Graph& g) const {
    const std::size_t links = g.link_count();
    if (!valid || g.source != source || g.neighbour != neighbour || g.first_link != first_link ||
        links != link_target.size() || !std::equal(link_target.begin(), link_target.end(), g.link_target.begin())) {
        return false;
    }
    for (std::size_t e = 0; e < slot_length.size(); ++e) {
        if (g.slot_edges[e / Graph::kSlots]->length_q[e % Graph::kSlots] != slot_length[e]) return false;
    }
    for (std::size_t e = 0; e < links; ++e) {
        if (g.link_edge[e].length_q != link_length[e]) return false;
    }
    return true;
}

void KeptLengthSearch::keep(const Graph& g) {
    const std::size_t links = g.link_count();
    valid = true;
    source = g.source;
    neighbour = g.neighbour;
    first_link = g.first_link;
    link_target.assign(g.link_target.begin(), g.link_target.begin() + static_cast<std::ptrdiff_t>(links));
    slot_length.resize(g.neighbour.size());
    for (std::size_t e = 0; e < slot_length.size(); ++e) {
        slot_length[e] = g.slot_edges[e / Graph::kSlots]->length_q[e % Graph::kSlots];
    }
    link_length.resize(links);
    for (std::size_t e = 0; e < links; ++e) link_length[e] = g.link_edge[e].length_q;
}

const SearchResult& LengthSearches::of(const Graph& g, std::size_t row, std::size_t col, SearchScratch& search) {
    ++sources_;
    if (misses_ > 4 * matches_ + kTrialMisses && sources_ % 16 != 0) {
        shortest_paths(g, SearchMode::length, search, searched_);
        return searched_;
    }
    if (matches_ + misses_ >= kRecent) {
        matches_ /= 2;
        misses_ /= 2;
    }
    KeptLengthSearch& kept = kept_[(row % 8) * 8 + col % 8];
    if (kept.matches(g)) {
        ++matches_;
        return kept.result;
    }
    ++misses_;
    kept.valid = false;  // until the search below has filled its result
    shortest_paths(g, SearchMode::length, search, kept.result);
    kept.keep(g);
    return kept.result;
}

const SearchResult* LengthSearches::of_shape(const Graph& g, const SourceShape& shape, SearchScratch& search) {
    if (const SearchResult* kept = by_shape_.find(shape)) return kept;
    if (!shape.recurs) return nullptr;
    SearchResult& result = by_shape_.refill(shape);
    shortest_paths(g, SearchMode::length, search, result);
    by_shape_.keep(shape);
    return &result;
}

const SearchResult& LengthSearches::of_prefix(const Graph& g, const LevelPrefix& prefix,
                                              std::span<const std::int32_t> first_node, SearchScratch& search) {
    ShapeTable<PrefixLengths>& table = by_prefix_[prefix.levels - 1];
    const std::int32_t open = first_node[prefix.levels];
    if (const PrefixLengths* kept = table.find(prefix.shape); kept && kept->source == g.source && kept->open == open) {
        searched_.total.resize(g.node_count());
        searched_.parent.resize(g.node_count());
        std::copy(kept->total.begin(), kept->total.end(), searched_.total.begin());
        std::copy(kept->parent.begin(), kept->parent.end(), searched_.parent.begin());
        complete_length_search(g, open, kept->exits, search, searched_);
        return searched_;
    }
    shortest_paths(g, SearchMode::length, search, searched_);
    PrefixLengths& kept = table.refill(prefix.shape);
    kept.source = g.source;
    kept.open = open;
    kept.total.assign(searched_.total.begin(), searched_.total.begin() + open);
    kept.parent.assign(searched_.parent.begin(), searched_.parent.begin() + open);
    kept.exits.clear();
    for (std::int32_t u = first_node[prefix.levels - 1]; u < open; ++u) {
        const auto node = static_cast<std::size_t>(u);
        if (u == g.source) kept.exits.push_back({0, u});
        if (searched_.reached(node)) kept.exits.push_back({searched_.total[node], u});
    }
    std::sort(kept.exits.begin(), kept.exits.end(),
              [](const QueueEntry& a, const QueueEntry& b) { return std::tie(a.total, a.node) < std::tie(b.total, b.node); });
    table.keep(prefix.shape);
    return searched_;
}

void LengthSearches::start(const WindowPlan& plan, std::size_t rows) {
    for (KeptLengthSearch& k : kept_) k.valid = false;
    by_shape_.start(plan.shape_period, rows);
    by_prefix_.resize(plan.prefix_period.size());
    for (std::size_t i = 0; i < by_prefix_.size(); ++i) by_prefix_[i].start(plan.prefix_period[i], rows);
    matches_ = misses_ = sources_ = 0;
}

}  // namespace quillet
