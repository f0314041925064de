// The focal kernel: every unmasked cell of a band of rows is a source whose value
// comes from its windows, its routing graph, two shortest-path searches and the
// accumulation of the reached destinations over the dispersal bandwidths.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "connectivity/graph_builder.hpp"
#include "connectivity/routing.hpp"
#include "connectivity/row_context.hpp"
#include "connectivity/focal_window.hpp"

namespace quillet {

// Computes the connectivity value of every unmasked cell of rows [first_row,
// end_row) of `output`; other cells keep what they hold (the driver fills NaN).
// The sources of the band are visited column by column: neighbouring sources of
// a column share most window cells, so the edges of each cell are computed once
// for the whole band. A fault is the one that a row by row visit meets first.
void conn(const RowContext& ctx, std::size_t first_row, std::size_t end_row, Grid& output);

// The two shapes of the dispersal kernel: exp(-d / lambda) in the connectivity
// form, exp(-(d / lambda)^2 / 283.465) in the similarity-weighted form.
enum class DecayShape { exponential, gaussian };

// The bandwidths are taken in groups of this many, each in a lane of its own.
inline constexpr std::size_t kBandwidthLanes = 4;

// The decay of a quantised distance total (d = total / 100 km) under one bandwidth.
class DistanceDecay {
public:
    void use_bandwidth(float lambda, DecayShape shape = DecayShape::exponential) {
        lambda_ = lambda;
        shape_ = shape;
    }

    float operator()(std::uint32_t total) const;

private:
    float lambda_ = 1.0f;
    DecayShape shape_ = DecayShape::exponential;
};

// The decays of quantised distance totals under a group of bandwidths, side by
// side, each computed once: a window's distances repeat from record to record
// and from source to source.
class DistanceDecays {
public:
    // Selects up to kBandwidthLanes bandwidths and the shape; new ones forget
    // the values of the old ones.
    void use_bandwidths(std::span<const float> lambdas, DecayShape shape);

    // The kBandwidthLanes values of `total`, one per bandwidth, 0 past the group.
    const float* operator()(std::uint32_t total) {
        return total < kept_ ? &values_[std::size_t{total} * kBandwidthLanes] : extend(total);
    }

private:
    // Keeps the values of every total up to `total` unless it is very large,
    // and returns those of `total`. Distance totals are small and dense, so
    // keeping them all spares the lookups a test for a missing value.
    const float* extend(std::uint32_t total);

    static constexpr std::uint32_t kMaxKept = 1u << 16;  // larger totals are rare and not kept

    std::array<DistanceDecay, kBandwidthLanes> decays_;
    std::size_t lanes_ = 0;
    std::array<std::uint32_t, kBandwidthLanes> lambda_bits_{};  // the bandwidths of the kept values, bit for bit
    DecayShape shape_ = DecayShape::exponential;
    bool has_bandwidths_ = false;
    std::uint32_t kept_ = 0;    // totals 0 .. kept_ - 1 have their values in `values_`
    std::vector<float> values_;
    std::array<float, kBandwidthLanes> unkept_{};  // the values of the last total too large to keep
};

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
