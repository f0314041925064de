// The sums of the accumulation: the reached nodes in ascending order, one pass
// over them per group of bandwidths, and the ratios that the passes give.
#include "connectivity/accumulate.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/fault.hpp"

namespace quillet {

namespace {

// Lists the reached nodes in ascending order. Every node that the cost search
// reaches must be reached by the length search too.
void collect_records(const Graph& g, const SearchResult& by_cost, const SearchResult& by_length,
                     std::vector<std::int32_t>& records) {
    const std::size_t nodes = g.node_count();
    records.resize(nodes);
    std::size_t n = 0;
    bool missing = false;
    for (std::size_t v = 0; v < nodes; ++v) {
        const bool reached = by_cost.reached(v);
        missing |= reached && !by_length.reached(v);
        records[n] = static_cast<std::int32_t>(v);
        n += reached ? 1 : 0;
    }
    if (missing) raise_fault("Node not found!");
    records.resize(n);
}

// One pass over the records advances the sums of every bandwidth of a group,
// each in its lane: their chains of additions are independent. Every lane sees
// the same operations in the same record order as a pass of its own would.
constexpr std::size_t kLanes = kBandwidthLanes;
typedef float Lanes __attribute__((vector_size(kLanes * sizeof(float))));

Lanes load_lanes(const float* from) {
    Lanes v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

void store_lanes(float* to, Lanes v) { std::memcpy(to, &v, sizeof v); }

// A group of bandwidths: `lambdas`, padded with 1 in `lambda`, and the decays
// of its distances.
struct BandwidthGroup {
    std::span<const float> lambdas;
    Lanes lambda{1.0f, 1.0f, 1.0f, 1.0f};
    DistanceDecays* decays = nullptr;
};

BandwidthGroup bandwidth_group(std::span<const float> lambdas, std::size_t first, DecayShape shape,
                               AccumulationScratch& s) {
    BandwidthGroup group;
    group.lambdas = lambdas.subspan(first, std::min(kLanes, lambdas.size() - first));
    for (std::size_t k = 0; k < group.lambdas.size(); ++k) group.lambda[k] = group.lambdas[k];
    group.decays = &s.decays[first / kLanes];
    group.decays->use_bandwidths(group.lambdas, shape);
    return group;
}

// Fills the per-record cost decays of a group. The decay of a record's cost
// only matters where its term can be nonzero: exponents of at most 0 give
// decays in [0, 1], and a finite decay times a zero factor is the same signed
// zero as 1 times it, so 1 stands in and no exp is taken. The exps run over a
// list of the records that need them, free of branches. Pad lanes hold values
// that no sum reads.
template <class CostExponent>
void fill_cost_decays(const Graph& g, const SearchResult& by_cost, const BandwidthGroup& group, bool pa_is_a_factor,
                      CostExponent cost_exponent, AccumulationScratch& s) {
    const std::size_t n = s.records.size();
    s.cost_decay.resize(n * kLanes);
    s.exp_records.resize(n);
    const std::int32_t* __restrict records = s.records.data();
    float* __restrict cost = s.cost_decay.data();
    std::int32_t* __restrict exp_records = s.exp_records.data();
    std::size_t exps = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const auto v = static_cast<std::size_t>(records[r]);
        const float condition = g.condition[v];
        const bool zero_factor =
            condition == 0.0f || (pa_is_a_factor && g.pa_membership[v] == 0.0f && std::isfinite(condition));
        const Lanes exponent = cost_exponent(by_cost.path_cost[v]);
        const bool vanishes = zero_factor && exponent[0] <= 0.0f && exponent[1] <= 0.0f && exponent[2] <= 0.0f &&
                              exponent[3] <= 0.0f;
        store_lanes(&cost[r * kLanes], vanishes ? Lanes{1.0f, 1.0f, 1.0f, 1.0f} : exponent);
        exp_records[exps] = static_cast<std::int32_t>(r);
        exps += vanishes ? 0 : 1;
    }
    for (std::size_t k = 0; k < group.lambdas.size(); ++k) {
        for (std::size_t i = 0; i < exps; ++i) {
            float& c = cost[static_cast<std::size_t>(exp_records[i]) * kLanes + k];
            c = std::exp(c);
        }
    }
}

// Adds acc / norm of every bandwidth of the group to `total`, with
// acc = sum exp(-cost/lambda) * condition * pa * weight and
// norm = sum exp(-distance/lambda) * weight over the records in order.
void add_connectivity_ratios(const Graph& g, const SearchResult& by_cost, const SearchResult& by_length,
                             const BandwidthGroup& group, AccumulationScratch& s, float& total) {
    const Lanes lambda = group.lambda;
    fill_cost_decays(g, by_cost, group, true, [lambda](float cost) { return exponential_exponent(cost, lambda); }, s);
    DistanceDecays& decays = *group.decays;
    Lanes acc{}, norm{};
    for (std::size_t r = 0; r < s.records.size(); ++r) {
        const auto v = static_cast<std::size_t>(s.records[r]);
        const float weight = g.weight[v];
        acc += ((load_lanes(&s.cost_decay[r * kLanes]) * g.condition[v]) * g.pa_membership[v]) * weight;
        norm += load_lanes(decays(by_length.total[v])) * weight;
    }
    for (std::size_t k = 0; k < group.lambdas.size(); ++k) total += norm[k] > 0.0f ? acc[k] / norm[k] : 0.0f;
}

// The mean of the average and the smallest of the per-layer sums in lane k.
float mixed_layer_sum(const float* sums, std::size_t layers, std::size_t k) {
    float sum = -0.0f;
    float smallest = std::numeric_limits<float>::infinity();
    for (std::size_t j = 0; j < layers; ++j) {
        const float v = sums[j * kLanes + k];
        sum += v;
        if (v < smallest) smallest = v;
    }
    return (sum / static_cast<float>(layers) + smallest) * 0.5f;
}

// Adds, for every bandwidth of the group, the mixed per-layer sum over the first
// layer's distance-only sum to `total`.
void add_transgrid_ratios(const Graph& g, const SearchResult& by_cost, const SearchResult& by_length,
                          const BandwidthGroup& group, AccumulationScratch& s, float& total) {
    const Lanes inverse = 1.0f / group.lambda;
    fill_cost_decays(g, by_cost, group, false, [inverse](float cost) { return gaussian_exponent(cost, inverse); }, s);
    DistanceDecays& decays = *group.decays;
    const std::size_t layers = g.layers;
    s.layer_sums.assign(layers * kLanes, 0.0f);
    float* sums = s.layer_sums.data();
    Lanes norm{};
    for (std::size_t r = 0; r < s.records.size(); ++r) {
        const auto v = static_cast<std::size_t>(s.records[r]);
        const float weight = g.weight[v];
        const Lanes term = (load_lanes(&s.cost_decay[r * kLanes]) * g.condition[v]) * weight;
        const float* similarity = &g.similarity[v * layers];
        for (std::size_t j = 0; j < layers; ++j) {
            const float sim = std::isnan(similarity[j]) ? 0.0f : similarity[j];
            store_lanes(&sums[j * kLanes], load_lanes(&sums[j * kLanes]) + sim * term);
        }
        const float first = std::isnan(similarity[0]) ? 0.0f : similarity[0];
        norm += (load_lanes(decays(by_length.total[v])) * weight) * first;
    }
    for (std::size_t k = 0; k < group.lambdas.size(); ++k) {
        total += norm[k] > 0.0f ? mixed_layer_sum(sums, layers, k) / norm[k] : 0.0f;
    }
}

}  // namespace

float accumulate(const Graph& graph, const SearchResult& by_cost, const SearchResult& by_length,
                 std::span<const float> lambdas, bool has_transgrids, AccumulationScratch& s) {
    collect_records(graph, by_cost, by_length, s.records);
    if (lambdas.empty()) return 0.0f;
    const std::size_t groups = (lambdas.size() + kLanes - 1) / kLanes;
    if (s.decays.size() < groups) s.decays.resize(groups);
    const DecayShape shape = has_transgrids ? DecayShape::gaussian : DecayShape::exponential;
    // Every bandwidth's value is added in turn to -0, the identity of float
    // addition, so that the total is exactly their sum: a value of 0 is added
    // like any other, and turns a total still at -0 into +0.
    float total = -0.0f;
    for (std::size_t first = 0; first < lambdas.size(); first += kLanes) {
        const BandwidthGroup group = bandwidth_group(lambdas, first, shape, s);
        if (!has_transgrids) {
            add_connectivity_ratios(graph, by_cost, by_length, group, s, total);
        } else if (s.records.empty() || graph.layers == 0) {
            total += 0.0f;  // every bandwidth of the group has the value 0: once adds it for all
        } else {
            add_transgrid_ratios(graph, by_cost, by_length, group, s, total);
        }
    }
    return total / static_cast<float>(lambdas.size());
}

}  // namespace quillet
