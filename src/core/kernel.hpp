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

// The two shapes of the dispersal kernel: exp(-d / lambda) in the connectivity
// form, exp(-(d / lambda)^2 / 283.465) in the similarity-weighted form.
enum class DecayShape { exponential, gaussian };

// The decay of quantised distance totals (d = total / 100 km) for one bandwidth,
// each computed once: a window's distances repeat from record to record and
// from source to source.
class DistanceDecay {
public:
    // Selects the bandwidth and shape; a new one forgets the values of the old one.
    void use_bandwidth(float lambda, DecayShape shape = DecayShape::exponential);

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
    DecayShape shape_ = DecayShape::exponential;
    bool has_lambda_ = false;
    std::vector<float> values_;  // NaN where not yet computed
};

// Per-thread storage of the accumulation; keeps its capacity between cells.
struct AccumulationScratch {
    std::vector<std::int32_t> records;  // the reached nodes, ascending
    std::vector<DistanceDecay> decays;  // one per bandwidth
    // Per record, the cost and distance decays under the bandwidths of one
    // group, a fixed number of lanes per record.
    std::vector<float> cost_decay, distance_decay;
    std::vector<std::int32_t> exp_records;  // the records whose cost decays need an exp
    std::vector<float> layer_sums;  // per layer, one lane per bandwidth of the group
};

// The value of a source: the mean over `lambdas` of the ratio of kernel-weighted
// sums over every reached node, in the connectivity form or, with transgrids, in
// the similarity-weighted form.
float accumulate(const Graph& graph, const SearchResult& by_cost, const SearchResult& by_length,
                 std::span<const float> lambdas, bool has_transgrids, AccumulationScratch& scratch);

}  // namespace quillet
