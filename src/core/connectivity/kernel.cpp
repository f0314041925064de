// One source after another: plan the band at its first source, then per source
// its windows, graph, searches and accumulation, with the per-thread scratch
// that lets sources share work.
#include "connectivity/kernel.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "connectivity/accumulate.hpp"
#include "connectivity/focal_window.hpp"
#include "connectivity/graph_builder.hpp"
#include "connectivity/length_reuse.hpp"
#include "connectivity/routing.hpp"
#include "connectivity/window_plan.hpp"

namespace quillet {

namespace {

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

// The shortest geometric distances of the source (row, col) of a band that ends
// before `end_row`, whose graph was built last: one search per shape for a
// regular source whose edges have the band's reference lengths, else one per
// shape of its first levels where those levels are so, searched on from there,
// else a kept search where its graph matches, else a search of its own.
const SearchResult& length_search(const RowContext& ctx, KernelScratch& s, std::size_t row, std::size_t col,
                                  std::size_t end_row) {
    const SourceShape& shape = s.windows.shape;
    const GraphScratch& built = s.graph_scratch;
    if (shape.regular && built.reference_lengths) {
        if (const SearchResult* by_shape = s.length_searches.of_shape(s.graph, shape, s.search)) return *by_shape;
    }
    if (!built.isolated) {
        const std::size_t same_levels = std::min(s.windows.template_levels, built.reference_levels);
        const LevelPrefix prefix = recurring_prefix(s.plan, same_levels, row, col, end_row);
        if (prefix.levels > 0) {
            return s.length_searches.of_prefix(s.graph, prefix, built.first_node, s.search);
        }
    }
    if (ctx.reuse_across_sources) return s.length_searches.of(s.graph, row, col, s.search);
    shortest_paths(s.graph, SearchMode::length, s.search, s.by_length);
    return s.by_length;
}

// The value of source (row, col) of a band that ends before `end_row`.
float source_value(const RowContext& ctx, KernelScratch& s, std::size_t row, std::size_t col, std::size_t end_row) {
    source_profile(ctx, row, col, s.windows.profile);
    build_windows(s.plan, row, col, s.windows);
    s.windows.shape.recurs = s.windows.shape.regular && shape_recurs(s.plan, row, col, end_row);
    s.attach.resize(s.windows.windows.size());
    for (std::size_t i = 0; i < s.windows.windows.size(); ++i) {
        select_attachments(s.windows.windows[i], ctx.window_mode, s.attach[i]);
    }
    build_graph(s.frame, s.windows.windows, s.attach, row, col, s.graph_scratch, s.graph, s.windows.shape);
    shortest_paths(s.graph, SearchMode::cost, s.search, s.by_cost);
    const SearchResult& by_length = length_search(ctx, s, row, col, end_row);
    return accumulate(s.graph, s.by_cost, by_length, ctx.lambdas, ctx.has_transgrids(), s.accumulation);
}

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
            s.length_searches.start(s.plan, end_row - first_row);
            planned = true;
        }
        const float value = source_value(ctx, s, row, col, end_row);
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

void compute_band(const RowContext& ctx, std::size_t first_row, std::size_t end_row, Grid& output) {
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
