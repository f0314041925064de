// The focal kernel: every unmasked cell of a band of rows is a source whose value
// comes from its windows, its routing graph, two shortest-path searches and the
// accumulation of the reached destinations over the dispersal bandwidths.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph.hpp"
#include "routing.hpp"
#include "row_context.hpp"
#include "window.hpp"

namespace quillet {

// Computes the connectivity value of every unmasked cell of rows [first_row,
// end_row) of `output`; other cells keep what they hold (the driver fills NaN).
// The sources of the band are visited column by column: neighbouring sources of
// a column share most window cells, so the edges of each cell are computed once
// for the whole band. A fault is the one that a row by row visit meets first.
void conn(const RowContext& ctx, std::size_t first_row, std::size_t end_row, Grid& output);

// Marks the cells of `window` at which links to the next coarser level start:
// in square mode the cells on the border of the window's bounding box, in
// circular mode the cells that the outer circle cuts.
void select_attachments(const FocalWindow& window, WindowMode mode, std::vector<std::uint8_t>& attach);

// exp(-(total / 100) / lambda) of quantised distance totals for one bandwidth,
// each computed once: a window's distances repeat from record to record and
// from source to source.
class DistanceDecay {
public:
    // Selects the bandwidth; a new one forgets the values of the old one.
    void use_bandwidth(float lambda);

    // The value of `total` under the selected bandwidth.
    float operator()(std::uint32_t total) {
        if (total < values_.size()) {
            const float kept = values_[total];
            if (!std::isnan(kept)) return kept;
        }
        return compute(total);
    }

private:
    // Computes the value of `total`, keeping it unless the total is very large.
    // A NaN value (from a degenerate bandwidth) is recomputed every time.
    float compute(std::uint32_t total);

    static constexpr std::uint32_t kMaxKept = 1u << 16;  // larger totals are rare and not kept

    float lambda_ = 0.0f;
    std::uint32_t lambda_bits_ = 0;  // the bandwidth of the kept values, bit for bit
    bool has_lambda_ = false;
    std::vector<float> values_;  // NaN where not yet computed
};

// Per-thread storage of the accumulation; keeps its capacity between cells.
struct AccumulationScratch {
    std::vector<float> path_cost, distance_km, condition, pa_membership, weight;
    std::vector<std::uint32_t> distance_q;  // quantised distance totals
    std::vector<DistanceDecay> decays;      // one per bandwidth
    std::vector<float> similarity;  // record-major, absent similarities as 0
    std::vector<float> cost_term, distance_term;  // per-record terms of the sums for one bandwidth
    std::vector<float> layer_sums;
};

// The value of a source: the mean over `lambdas` of the ratio of kernel-weighted
// sums over every reached node, in the connectivity form or, with transgrids, in
// the similarity-weighted form.
float accumulate(const Graph& graph, const SearchResult& by_cost, const SearchResult& by_length,
                 std::span<const float> lambdas, bool has_transgrids, AccumulationScratch& scratch);

}  // namespace quillet
