// What an edge of the routing graph costs: the path weight of the cell it
// enters times its length, both quantised to the hundredths on which the
// searches compare, and the layouts in which graphs hold edge data. The
// quantisation lives here, with the edges it is made for, rather than with the
// searches that read the result.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace quillet {

// Hundredths of v rounded half away from zero, saturating to [0, 4294967295];
// NaN and negative values give 0. Inline, since graph building quantises every
// edge twice.
inline std::uint32_t quantise(float v) {
    const float scaled = v * 100.0f;
    if (!(scaled > 0.0f)) return 0;
    if (scaled > 4294967040.0f) return std::numeric_limits<std::uint32_t>::max();
    // Half away from zero on a positive value is floor(x + 0.5), and x + 0.5 is
    // exact in double precision, so no tie is lost to rounding.
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(static_cast<double>(scaled) + 0.5));
}

// Path weight of a cell that an edge enters: (1 - max_cost) times its traversal
// value, or its condition where the traversal value is not finite (NaN without
// a traversal raster), plus max_cost.
inline float path_weight(float condition, float traversal, float max_cost) {
    const float t = std::isfinite(traversal) ? traversal : condition;
    return t * (1.0f - max_cost) + max_cost;
}

// What an edge costs: its weighted and plain lengths, unquantised and quantised.
struct EdgeData {
    float cost;              // path weight of the destination times the length
    float length_km;         // geometric length
    std::uint32_t cost_q;    // `cost` quantised for the searches
    std::uint32_t length_q;  // `length_km` quantised for the searches
};

// The edge of the given length towards a destination of the given path weight.
inline EdgeData edge_data(float length_km, float weight) {
    const float cost = weight * length_km;
    return {cost, length_km, quantise(cost), quantise(length_km)};
}

// The within-level out-edges of one node, by neighbour slot, laid out by field
// so that the cost search reads one cache line per node (the quantised costs
// and the costs) and the length search one more.
struct alignas(64) SlotEdges {
    static constexpr std::size_t kSlots = 8;
    std::array<std::uint32_t, kSlots> cost_q;
    std::array<float, kSlots> cost;
    std::array<std::uint32_t, kSlots> length_q;
    std::array<float, kSlots> length_km;

    void set(std::size_t slot, const EdgeData& e) {
        cost_q[slot] = e.cost_q;
        cost[slot] = e.cost;
        length_q[slot] = e.length_q;
        length_km[slot] = e.length_km;
    }
};

// An upper bound of the quantised weights of a set of edges, for each search.
struct WeightBound {
    std::uint32_t cost_q = 0;
    std::uint32_t length_q = 0;

    void include(const EdgeData& e) {
        cost_q = std::max(cost_q, e.cost_q);
        length_q = std::max(length_q, e.length_q);
    }
    void include(const WeightBound& b) {
        cost_q = std::max(cost_q, b.cost_q);
        length_q = std::max(length_q, b.length_q);
    }
};

}  // namespace quillet
