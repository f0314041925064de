#include "connectivity/kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace quillet {

namespace {

// The length search of an earlier source, kept with everything of its graph that
// the search reads: the source node, the neighbour slots, the links and their
// quantised lengths. Sources in the same position relative to the coarse lattice
// usually have equal graphs; a source whose graph is equal in all of these gets
// the same totals and reaches the same nodes, so the kept result is its result.
struct KeptLengthSearch {
    bool valid = false;
    std::int32_t source = -1;
    std::vector<std::int32_t> neighbour, first_link, link_target;
    std::vector<std::uint32_t> slot_length, link_length;
    SearchResult result;

    bool matches(const Graph& g) const {
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

    // Keeps the graph of `g`, whose length search `result` now holds.
    void keep(const Graph& g) {
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
};

// Kept length searches, one per position of the source modulo 8 on both axes,
// which separates the sources whose windows differ in their alignment to the
// coarse lattice (levels up to 8).
class LengthSearches {
public:
    // The length search of `g`: a kept one when its graph matches, else a new
    // one, which is then kept for the source's position.
    // Where graphs rarely repeat (scattered no-data cells, raster edges), checking
    // and keeping cost more than they save: while the recent sources of a band
    // have missed far more often than matched, only every 16th source tries.
    const SearchResult& of(const Graph& g, std::size_t row, std::size_t col, SearchScratch& search) {
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

    // The length search of `g`, the graph of a regular source of `shape` whose
    // edges all have the band's reference lengths: the graph is the same for
    // every such source of the shape in the band, so one search serves them all.
    const SearchResult& of_shape(const Graph& g, const SourceShape& shape, SearchScratch& search) {
        if (const SearchResult* kept = by_shape_.find(shape)) return *kept;
        SearchResult& result = by_shape_.refill(shape);
        shortest_paths(g, SearchMode::length, search, result);
        by_shape_.keep(shape);
        return result;
    }

    // Forgets every kept search and the counts, at the start of a band.
    void clear() {
        for (KeptLengthSearch& k : kept_) k.valid = false;
        by_shape_.clear();
        matches_ = misses_ = sources_ = 0;
    }

private:
    static constexpr std::size_t kTrialMisses = 16;
    static constexpr std::size_t kRecent = 128;  // tries after which the counts are halved
    std::size_t matches_ = 0, misses_ = 0, sources_ = 0;
    std::array<KeptLengthSearch, 64> kept_;
    ShapeTable<SearchResult> by_shape_;
    SearchResult searched_;
};

// Everything one worker thread needs for its sources, reused from cell to cell
// so that the steady state allocates nothing.
struct KernelScratch {
    WindowPlan plan;
    GraphFrame frame;
    WindowScratch windows;
    std::vector<std::vector<std::uint8_t>> attach;
    GraphScratch graph_scratch;
    Graph graph;
    SearchScratch search;
    SearchResult by_cost, by_length;
    LengthSearches length_searches;
    AccumulationScratch accumulation;
};

KernelScratch& kernel_scratch() {
    thread_local KernelScratch scratch;
    return scratch;
}

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

// The exponents of the two decay shapes of a cost or a distance, for one
// bandwidth (float) or a group of them (Lanes).
template <class T>
T exponential_exponent(float value, T lambda) {
    return -value / lambda;
}

template <class T>
T gaussian_exponent(float value, T inverse_lambda) {
    const T x = value * inverse_lambda;
    return (x * x) / -283.465f;
}

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

// Adds, for every bandwidth of the group, the mean of the average and the
// smallest per-layer sum over the first layer's distance-only sum to `total`.
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
        if (!(norm[k] > 0.0f)) {
            total += 0.0f;
            continue;
        }
        float sum = -0.0f;
        float smallest = std::numeric_limits<float>::infinity();
        for (std::size_t j = 0; j < layers; ++j) {
            const float v = sums[j * kLanes + k];
            sum += v;
            if (v < smallest) smallest = v;
        }
        total += ((sum / static_cast<float>(layers) + smallest) * 0.5f) / norm[k];
    }
}

float source_value(const RowContext& ctx, KernelScratch& s, std::size_t row, std::size_t col) {
    source_profile(ctx, row, col, s.windows.profile);
    build_windows(s.plan, row, col, s.windows);
    s.attach.resize(s.windows.windows.size());
    for (std::size_t i = 0; i < s.windows.windows.size(); ++i) {
        select_attachments(s.windows.windows[i], ctx.window_mode, s.attach[i]);
    }
    const SourceShape& shape = s.windows.shape;
    build_graph(s.frame, s.windows.windows, s.attach, row, col, s.graph_scratch, s.graph, shape);
    shortest_paths(s.graph, SearchMode::cost, s.search, s.by_cost);
    const SearchResult* by_length = &s.by_length;
    if (shape.regular && s.graph_scratch.reference_lengths) {
        by_length = &s.length_searches.of_shape(s.graph, shape, s.search);
    } else if (ctx.reuse_across_sources) {
        by_length = &s.length_searches.of(s.graph, row, col, s.search);
    } else {
        shortest_paths(s.graph, SearchMode::length, s.search, s.by_length);
    }
    return accumulate(s.graph, s.by_cost, *by_length, ctx.lambdas, ctx.has_transgrids, s.accumulation);
}

}  // namespace

float DistanceDecay::operator()(std::uint32_t total) const {
    const float distance = static_cast<float>(total) / 100.0f;
    return std::exp(shape_ == DecayShape::exponential ? exponential_exponent(distance, lambda_)
                                                      : gaussian_exponent(distance, 1.0f / lambda_));
}

void DistanceDecays::use_bandwidths(std::span<const float> lambdas, DecayShape shape) {
    std::array<std::uint32_t, kLanes> bits{};
    for (std::size_t k = 0; k < lambdas.size(); ++k) bits[k] = std::bit_cast<std::uint32_t>(lambdas[k]);
    if (has_bandwidths_ && lambdas.size() == lanes_ && bits == lambda_bits_ && shape == shape_) return;
    for (std::size_t k = 0; k < lambdas.size(); ++k) decays_[k].use_bandwidth(lambdas[k], shape);
    lanes_ = lambdas.size();
    lambda_bits_ = bits;
    shape_ = shape;
    has_bandwidths_ = true;
    kept_ = 0;
    values_.clear();
}

const float* DistanceDecays::extend(std::uint32_t total) {
    auto fill = [this](std::uint32_t t, float* lanes) {
        for (std::size_t k = 0; k < kLanes; ++k) lanes[k] = k < lanes_ ? decays_[k](t) : 0.0f;
    };
    if (total >= kMaxKept) {
        fill(total, unkept_.data());
        return unkept_.data();
    }
    const auto kept = static_cast<std::uint32_t>(std::bit_ceil(std::size_t{total} + 1));
    values_.resize(std::size_t{kept} * kLanes);
    for (; kept_ < kept; ++kept_) fill(kept_, &values_[std::size_t{kept_} * kLanes]);
    return &values_[std::size_t{total} * kLanes];
}

float accumulate(const Graph& graph, const SearchResult& by_cost, const SearchResult& by_length,
                 std::span<const float> lambdas, bool has_transgrids, AccumulationScratch& s) {
    collect_records(graph, by_cost, by_length, s.records);
    if (lambdas.empty()) return 0.0f;
    const std::size_t groups = (lambdas.size() + kLanes - 1) / kLanes;
    if (s.decays.size() < groups) s.decays.resize(groups);
    const DecayShape shape = has_transgrids ? DecayShape::gaussian : DecayShape::exponential;
    float total = -0.0f;
    for (std::size_t first = 0; first < lambdas.size(); first += kLanes) {
        const BandwidthGroup group = bandwidth_group(lambdas, first, shape, s);
        if (!has_transgrids) {
            add_connectivity_ratios(graph, by_cost, by_length, group, s, total);
        } else if (s.records.empty() || graph.layers == 0) {
            total += 0.0f;  // the value of every bandwidth of the group
        } else {
            add_transgrid_ratios(graph, by_cost, by_length, group, s, total);
        }
    }
    return total / static_cast<float>(lambdas.size());
}

namespace {

enum class Visit { column_by_column, row_by_row };

// Computes the unmasked cells of rows [first_row, end_row) in the given order.
// The level lookups and width checks are the same for every source, so they run
// once per band, at its first source.
void visit_band(const RowContext& ctx, std::size_t first_row, std::size_t end_row, Grid& output, Visit order) {
    KernelScratch& s = kernel_scratch();
    bool planned = false;
    auto compute = [&](std::size_t row, std::size_t col) {
        if (ctx.mask->at(row, col)) return;
        ctx.cancel->check();
        if (!planned) {
            plan_windows(ctx, s.plan);
            plan_graph(ctx, s.plan, s.frame);
            s.graph_scratch.start_rows(s.frame, first_row, end_row - first_row);
            s.length_searches.clear();
            planned = true;
        }
        const float value = source_value(ctx, s, row, col);
        check_index(row, output.nrows());
        check_index(col, output.ncols());
        output(row, col) = value;
    };
    if (order == Visit::column_by_column) {
        for (std::size_t col = 0; col < ctx.ncols; ++col) {
            for (std::size_t row = first_row; row < end_row; ++row) compute(row, col);
        }
    } else {
        for (std::size_t row = first_row; row < end_row; ++row) {
            for (std::size_t col = 0; col < ctx.ncols; ++col) compute(row, col);
        }
    }
}

}  // namespace

void conn(const RowContext& ctx, std::size_t first_row, std::size_t end_row, Grid& output) {
    try {
        visit_band(ctx, first_row, end_row, output, Visit::column_by_column);
    } catch (const Fault&) {
        // Column by column the faults of a band come in another order; the row by
        // row visit raises the one it meets first.
        visit_band(ctx, first_row, end_row, output, Visit::row_by_row);
        throw;
    }
}

}  // namespace quillet
