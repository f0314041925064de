#include "kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
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
        KeptShapeSearch& kept = by_shape_[shape.slot()];
        if (kept.valid && kept.shape.same_place(shape)) return kept.result;
        kept.valid = false;  // until the search below has filled its result
        shortest_paths(g, SearchMode::length, search, kept.result);
        kept.valid = true;
        kept.shape = shape;
        return kept.result;
    }

    // Forgets every kept search and the counts, at the start of a band.
    void clear() {
        for (KeptLengthSearch& k : kept_) k.valid = false;
        for (KeptShapeSearch& k : by_shape_) k.valid = false;
        matches_ = misses_ = sources_ = 0;
    }

private:
    struct KeptShapeSearch {
        bool valid = false;
        SourceShape shape;
        SearchResult result;
    };

    static constexpr std::size_t kTrialMisses = 16;
    static constexpr std::size_t kRecent = 128;  // tries after which the counts are halved
    std::size_t matches_ = 0, misses_ = 0, sources_ = 0;
    std::array<KeptLengthSearch, 64> kept_;
    std::array<KeptShapeSearch, 64> by_shape_;
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

// Gathers one record per reached node, in ascending node order. Distances in
// kilometres are needed only by the transgrid form; the connectivity form looks
// its decays up by quantised total.
void collect_records(const Graph& g, const SearchResult& by_cost, const SearchResult& by_length,
                     bool has_transgrids, AccumulationScratch& s) {
    const std::size_t nodes = g.node_count();
    for (auto* list : {&s.path_cost, &s.distance_km, &s.condition, &s.pa_membership, &s.weight}) list->resize(nodes);
    s.distance_q.resize(nodes);
    s.similarity.resize(nodes * g.layers);
    std::size_t n = 0;
    for (std::size_t v = 0; v < nodes; ++v) {
        if (!by_cost.reached(v)) continue;
        if (!by_length.reached(v)) raise_fault("Node not found!");
        s.path_cost[n] = by_cost.path_cost[v];
        s.distance_q[n] = by_length.total[v];
        if (has_transgrids) s.distance_km[n] = static_cast<float>(by_length.total[v]) / 100.0f;
        s.condition[n] = g.condition[v];
        s.pa_membership[n] = g.pa_membership[v];
        s.weight[n] = g.weight[v];
        for (std::size_t j = 0; j < g.layers; ++j) {
            const float sim = g.similarity[v * g.layers + j];
            s.similarity[n * g.layers + j] = std::isnan(sim) ? 0.0f : sim;
        }
        ++n;
    }
    for (auto* list : {&s.path_cost, &s.distance_km, &s.condition, &s.pa_membership, &s.weight}) list->resize(n);
    s.distance_q.resize(n);
    s.similarity.resize(n * g.layers);
    s.cost_term.resize(n);
    s.distance_term.resize(n);
}

float decay_of_distance(std::uint32_t total, float lambda) {
    const float distance = static_cast<float>(total) / 100.0f;
    return std::exp(-distance / lambda);
}

// acc / norm with acc = sum exp(-cost/lambda) * condition * pa * weight and
// norm = sum exp(-distance/lambda) * weight. The divisions and products run as
// separate passes, which vectorise; the sums keep record order.
float connectivity_ratio(AccumulationScratch& s, float lambda, DistanceDecay& decay) {
    const std::size_t n = s.path_cost.size();
    float* __restrict cost_term = s.cost_term.data();
    float* __restrict distance_term = s.distance_term.data();
    const float* __restrict path_cost = s.path_cost.data();
    const std::uint32_t* __restrict distance = s.distance_q.data();
    const float* __restrict condition = s.condition.data();
    const float* __restrict pa = s.pa_membership.data();
    const float* __restrict weight = s.weight.data();
    for (std::size_t i = 0; i < n; ++i) cost_term[i] = -path_cost[i] / lambda;
    for (std::size_t i = 0; i < n; ++i) cost_term[i] = std::exp(cost_term[i]);
    decay.use_bandwidth(lambda);
    for (std::size_t i = 0; i < n; ++i) distance_term[i] = decay(distance[i]);
    for (std::size_t i = 0; i < n; ++i) {
        cost_term[i] = ((cost_term[i] * condition[i]) * pa[i]) * weight[i];
        distance_term[i] = distance_term[i] * weight[i];
    }
    float acc = 0.0f, norm = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        acc += cost_term[i];
        norm += distance_term[i];
    }
    return norm > 0.0f ? acc / norm : 0.0f;
}

// exp(-(value / lambda)^2 / 283.465) of every record value, as separate passes
// like the connectivity form.
void gaussian_decay(const std::vector<float>& values, float inverse_lambda, std::vector<float>& out) {
    const std::size_t n = values.size();
    float* __restrict o = out.data();
    const float* __restrict v = values.data();
    for (std::size_t i = 0; i < n; ++i) {
        const float x = v[i] * inverse_lambda;
        o[i] = (x * x) / -283.465f;
    }
    for (std::size_t i = 0; i < n; ++i) o[i] = std::exp(o[i]);
}

// The mean of the average and the smallest per-layer sum, over the first
// layer's distance-only sum.
float transgrid_ratio(AccumulationScratch& s, std::size_t layers, float lambda) {
    const float inverse = 1.0f / lambda;
    gaussian_decay(s.path_cost, inverse, s.cost_term);
    gaussian_decay(s.distance_km, inverse, s.distance_term);
    s.layer_sums.assign(layers, 0.0f);
    float norm = 0.0f;
    const std::size_t n = s.path_cost.size();
    for (std::size_t i = 0; i < n; ++i) {
        const float k = (s.cost_term[i] * s.condition[i]) * s.weight[i];
        const float* sim = &s.similarity[i * layers];
        for (std::size_t j = 0; j < layers; ++j) s.layer_sums[j] += sim[j] * k;
        norm += (s.distance_term[i] * s.weight[i]) * sim[0];
    }
    if (!(norm > 0.0f)) return 0.0f;
    float sum = -0.0f;
    float smallest = std::numeric_limits<float>::infinity();
    for (const float v : s.layer_sums) {
        sum += v;
        if (v < smallest) smallest = v;
    }
    return ((sum / static_cast<float>(layers) + smallest) * 0.5f) / norm;
}

float source_value(const RowContext& ctx, KernelScratch& s, std::size_t row, std::size_t col) {
    source_profile(ctx, row, col, s.windows.profile);
    build_windows(s.plan, row, col, s.windows);
    s.attach.resize(s.windows.windows.size());
    for (std::size_t i = 0; i < s.windows.windows.size(); ++i) {
        select_attachments(s.windows.windows[i], ctx.window_mode, s.attach[i]);
    }
    build_graph(s.frame, s.windows.windows, s.attach, row, col, s.graph_scratch, s.graph, s.windows.shape);
    shortest_paths(s.graph, SearchMode::cost, s.search, s.by_cost);
    const SearchResult* by_length = &s.by_length;
    if (ctx.reuse_across_sources && s.windows.shape.regular && s.graph_scratch.reference_lengths) {
        by_length = &s.length_searches.of_shape(s.graph, s.windows.shape, s.search);
    } else if (ctx.reuse_across_sources) {
        by_length = &s.length_searches.of(s.graph, row, col, s.search);
    } else {
        shortest_paths(s.graph, SearchMode::length, s.search, s.by_length);
    }
    return accumulate(s.graph, s.by_cost, *by_length, ctx.lambdas, ctx.has_transgrids, s.accumulation);
}

}  // namespace

void DistanceDecay::use_bandwidth(float lambda) {
    const auto bits = std::bit_cast<std::uint32_t>(lambda);
    if (has_lambda_ && bits == lambda_bits_) return;
    lambda_ = lambda;
    lambda_bits_ = bits;
    has_lambda_ = true;
    std::fill(values_.begin(), values_.end(), std::numeric_limits<float>::quiet_NaN());
}

float DistanceDecay::compute(std::uint32_t total) {
    const float value = decay_of_distance(total, lambda_);
    if (total >= kMaxKept) return value;
    if (total >= values_.size()) {
        values_.resize(std::bit_ceil(std::size_t{total} + 1), std::numeric_limits<float>::quiet_NaN());
    }
    values_[total] = value;
    return value;
}

void select_attachments(const FocalWindow& w, WindowMode mode, std::vector<std::uint8_t>& attach) {
    if (mode == WindowMode::circular) {
        attach.assign(w.boundary.begin(), w.boundary.end());
        return;
    }
    attach.assign(w.size(), 0);
    if (w.empty()) return;
    const auto [row_min, row_max] = std::minmax_element(w.rows.begin(), w.rows.end());
    const auto [col_min, col_max] = std::minmax_element(w.cols.begin(), w.cols.end());
    for (std::size_t k = 0; k < w.size(); ++k) {
        attach[k] = (w.rows[k] == *row_min || w.rows[k] == *row_max || w.cols[k] == *col_min || w.cols[k] == *col_max)
                        ? 1
                        : 0;
    }
}

float accumulate(const Graph& graph, const SearchResult& by_cost, const SearchResult& by_length,
                 std::span<const float> lambdas, bool has_transgrids, AccumulationScratch& s) {
    collect_records(graph, by_cost, by_length, has_transgrids, s);
    if (lambdas.empty()) return 0.0f;
    const std::size_t layers = s.path_cost.empty() ? 0 : graph.layers;
    if (s.decays.size() < lambdas.size()) s.decays.resize(lambdas.size());
    float total = -0.0f;
    for (std::size_t l = 0; l < lambdas.size(); ++l) {
        const float lambda = lambdas[l];
        if (!has_transgrids) {
            total += connectivity_ratio(s, lambda, s.decays[l]);
        } else {
            total += layers == 0 ? 0.0f : transgrid_ratio(s, layers, lambda);
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
            s.graph_scratch.start_rows(s.frame, end_row - first_row);
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
