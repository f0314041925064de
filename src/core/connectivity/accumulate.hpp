// Accumulation: the value of a source from the destinations its searches
// reached, the mean over the bandwidths of a ratio of kernel-weighted sums
// (cost decays over distance decays), in the connectivity form or, with
// transgrids, in the similarity-weighted form.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "connectivity/distance_decay.hpp"
#include "connectivity/graph.hpp"
#include "connectivity/routing.hpp"

namespace quillet {

// Per-thread storage of the accumulation; keeps its capacity between cells.
struct AccumulationScratch {
    std::vector<std::int32_t> records;   // the reached nodes, ascending
    std::vector<DistanceDecays> decays;  // one per group of bandwidths
    // Per record, the cost decays under the bandwidths of one group, one lane
    // per bandwidth.
    std::vector<float> cost_decay;
    std::vector<std::int32_t> exp_records;  // the records whose cost decays need an exp
    std::vector<float> layer_sums;          // per layer, one lane per bandwidth of the group
};

// The value of a source: the mean over `lambdas` of the ratio of kernel-weighted
// sums over every reached node, in the connectivity form or, with transgrids, in
// the similarity-weighted form.
float accumulate(const Graph& graph, const SearchResult& by_cost, const SearchResult& by_length,
                 std::span<const float> lambdas, bool has_transgrids, AccumulationScratch& scratch);

}  // namespace quillet
