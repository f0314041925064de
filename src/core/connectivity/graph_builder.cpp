// Building a source's graph, in full level by level, or from its shape's
// topology with the edge data looked up.
#include "connectivity/graph_builder.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "connectivity/edge_geometry.hpp"
#include "connectivity/edge_writer.hpp"

namespace quillet {

namespace {

// Copies the node attributes of every window cell into the graph.
void add_nodes(std::span<const FocalWindow> windows, GraphScratch& s, Graph& g) {
    g.source = -1;
    g.layers = windows.empty() ? 0 : windows.front().layers;
    g.condition.clear();
    g.pa_membership.clear();
    g.weight.clear();
    g.similarity.clear();
    s.first_node.clear();
    for (const FocalWindow& w : windows) {
        s.first_node.push_back(static_cast<std::int32_t>(g.condition.size()));
        g.condition.insert(g.condition.end(), w.condition.begin(), w.condition.end());
        g.pa_membership.insert(g.pa_membership.end(), w.pa_membership.begin(), w.pa_membership.end());
        g.weight.insert(g.weight.end(), w.weights.begin(), w.weights.end());
        g.similarity.insert(g.similarity.end(), w.similarity.begin(), w.similarity.end());
    }
}

// The source has no neighbour in its own window. Under pa_to_pa it reaches
// nothing; otherwise its only edge leads to a label node that carries the
// source's own values, one row step away, entered at the source's own path
// weight. Every other edge is dropped.
void isolate_source(const GraphFrame& frame, float source_weight, float row_step_km, Graph& g) {
    g.weight_bound = {};
    if (frame.pa_to_pa) {
        g.clear_edges();
        return;
    }
    const auto src = static_cast<std::size_t>(g.source);
    const std::int32_t label = g.absent();
    g.condition.push_back(g.condition[src]);
    g.pa_membership.push_back(g.pa_membership[src]);
    g.weight.push_back(g.weight[src]);
    for (std::size_t j = 0; j < g.layers; ++j) g.similarity.push_back(g.similarity[src * g.layers + j]);
    g.clear_edges();

    const EdgeData edge = edge_data(row_step_km, source_weight);
    // The link arrays have room for it: the edge writer sized them.
    g.link_target[0] = label;
    g.link_edge[0] = edge;
    for (std::size_t u = src + 1; u < g.first_link.size(); ++u) g.first_link[u] = 1;
    g.weight_bound.include(edge);
}

// The plan indices of the levels whose cells the node mappings `current` and
// `coarser` of the scratch hold; -1 for none.
struct MappedLevels {
    std::int32_t current = -1, coarser = -1;
};

// Moves the node mappings on to plan level i: `s.current` to the level's own
// cells (from its window on the first level, else the coarser mapping of the
// level before), and `s.coarser` to the cells of level 2L where links lead
// there.
void map_level_nodes(const WindowPlan& plan, std::span<const FocalWindow> windows, std::size_t i, bool links_out,
                     GraphScratch& s, MappedLevels& mapped) {
    if (i == 0) {
        create_node_mapping(windows[0], plan.levels[0].level, plan.row_offset, plan.col_offset, s.first_node[0],
                            s.current);
        mapped.current = 0;
    } else {
        std::swap(s.current, s.coarser);
        mapped.current = mapped.coarser;
        s.coarser.clear();
        mapped.coarser = -1;
    }
    if (links_out) {
        const auto ci = static_cast<std::size_t>(plan.levels[i].coarser);
        create_node_mapping(windows[ci], plan.levels[ci].level, plan.row_offset, plan.col_offset, s.first_node[ci],
                            s.coarser);
        mapped.coarser = plan.levels[i].coarser;
    }
}

// Writes the edges of the cells of plan level i, whose nodes `s.current` maps:
// every cell's slots, and from its attachment cells, below the coarsest level,
// links to the coarse candidates that `s.coarser` maps. Returns the summary of
// the edge sets looked up, or nothing when the source turns out to be isolated,
// its graph then complete.
std::optional<EdgeSummary> write_level_edges(const GraphFrame& frame, std::size_t i, const FocalWindow& w,
                                             const std::vector<std::uint8_t>& attach, bool below_coarsest,
                                             bool coarser_mapped, GraphScratch& s, EdgeWriter& out, Graph& g) {
    EdgeSummary summary;
    const auto neighbour = s.current.neighbour_offsets(kNeighbours);
    const std::size_t n = std::min(w.rows.size(), w.cols.size());
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t r = w.rows[k], c = w.cols[k];
        const std::int32_t u = s.first_node[i] + static_cast<std::int32_t>(k);
        out.open(u);

        const WithinEdges found = s.edges.within(i, r, c);
        summary.add(found.bound, found.reference_lengths);
        const SlotEdges& within = *found.edges;
        const std::int32_t* slot = s.current.slot(r, c);
        std::array<std::int32_t, Graph::kSlots> targets;
        for (std::size_t d = 0; d < kNeighbours.size(); ++d) targets[d] = slot[neighbour[d]];
        const bool has_neighbour = out.write_slots(u, targets, within);
        if (u == g.source && !has_neighbour) {
            const float source_weight = destination_weight(frame.plan->levels[i], r, c, frame.max_cost);
            isolate_source(frame, source_weight, within.length_km[kRowBelow], g);
            return std::nullopt;
        }

        if (!below_coarsest || k >= attach.size() || attach[k] == 0) continue;
        if (frame.coarser_affines[i] == nullptr) raise_fault(kUnknownFaultText);
        if (!coarser_mapped) continue;
        const CrossEdges& cross = s.edges.cross(i, r, c);
        summary.add(cross.bound, cross.reference_lengths);
        const Candidates& cand = cross.candidates;
        for (std::size_t t = 0; t < cand.count; ++t) {
            out.link_if_node(s.coarser.find(cand.row[t], cand.col[t]), t, cross.edges[t]);
        }
    }
    return summary;
}

// Builds the graph cell by cell, level by level: node mappings give every
// slot's and link's target, the edge cache their data.
void build_graph_in_full(const GraphFrame& frame, std::span<const FocalWindow> windows,
                         std::span<const std::vector<std::uint8_t>> attach, std::size_t row, std::size_t col,
                         GraphScratch& s, Graph& g) {
    const WindowPlan& plan = *frame.plan;
    s.isolated = false;
    EdgeWriter out(g, s.link_slot, !s.edges.keeps_window_cells());
    g.weight_bound = {};
    EdgeSummary summary;  // of every edge set looked up, kept or not
    s.reference_lengths = true;
    s.reference_levels = 0;
    const std::size_t level_count = std::min(windows.size(), plan.levels.size());
    if (level_count == 0) {
        out.close();
        return;
    }
    const LevelKey coarsest = plan.levels[level_count - 1].level;
    MappedLevels mapped;
    for (std::size_t i = 0; i < level_count; ++i) {
        const LevelPlan& lp = plan.levels[i];
        if (i >= attach.size()) raise_fault("Level not found in edge indices.");
        if (frame.affines[i] == nullptr) raise_fault("Missing level in Affine set.");
        const bool below_coarsest = lp.level < coarsest;
        map_level_nodes(plan, windows, i, below_coarsest && lp.coarser >= 0, s, mapped);
        if (i == 0) g.source = s.current.find(static_cast<std::int64_t>(row), static_cast<std::int64_t>(col));

        if (windows[i].empty()) continue;
        // A level's cells are nodes only of the mapping built from its own window;
        // any other mapping (after a gap in the level chain) holds none of them.
        if (mapped.current != static_cast<std::int32_t>(i)) raise_fault("Node not found in node mapping.");
        const std::optional<EdgeSummary> level =
            write_level_edges(frame, i, windows[i], attach[i], below_coarsest, mapped.coarser >= 0, s, out, g);
        if (!level) {
            s.isolated = true;
            s.reference_lengths = false;
            s.reference_levels = 0;
            return;
        }
        summary.add(level->bound, level->reference_lengths);
        if (summary.reference_lengths && s.reference_levels == i) ++s.reference_levels;
    }
    g.weight_bound = summary.bound;
    s.reference_lengths = summary.reference_lengths;
    out.close();
}

// Points every node's slot data, and copies every link's, at its cell's entry
// in the edge cache, for a graph that took its shape's topology; the columns
// of every window are made whole first. Returns the summary of those columns,
// and counts in the scratch the leading levels whose columns have the
// reference lengths.
EdgeSummary look_up_edge_data(const WindowPlan& plan, std::span<const FocalWindow> windows,
                              std::span<const std::vector<std::uint8_t>> attach, const Topology& topology,
                              GraphScratch& s, Graph& g) {
    EdgeSummary summary;
    s.reference_levels = 0;
    const std::size_t level_count = std::min(windows.size(), plan.levels.size());
    const LevelKey coarsest = plan.levels[level_count - 1].level;
    for (std::size_t i = 0; i < level_count; ++i) {
        const LevelPlan& lp = plan.levels[i];
        const FocalWindow& w = windows[i];
        const bool links_out = lp.level < coarsest && lp.coarser >= 0;
        const std::vector<std::uint8_t>& attach_here = attach[i];
        if (w.empty()) continue;
        const auto [col_min, col_max] = std::minmax_element(w.cols.begin(), w.cols.end());
        for (std::int64_t c = *col_min; c <= *col_max; ++c) {
            const EdgeSummary& run = s.edges.column(i, c);
            summary.add(run.bound, run.reference_lengths);
        }
        if (summary.reference_lengths && s.reference_levels == i) ++s.reference_levels;
        for (std::size_t k = 0; k < w.size(); ++k) {
            const std::int64_t r = w.rows[k], c = w.cols[k];
            const auto u = static_cast<std::size_t>(s.first_node[i]) + k;
            g.slot_edges[u] = s.edges.held(i, r, c);
            if (!links_out || attach_here[k] == 0) continue;
            const CrossEdges& cross = s.edges.held_cross(i, r, c);
            for (auto e = static_cast<std::size_t>(g.first_link[u]); e < static_cast<std::size_t>(g.first_link[u + 1]); ++e) {
                g.link_edge[e] = cross.edges[topology.link_slot[e]];
            }
        }
    }
    return summary;
}

// Builds the graph of a regular source from the topology of its shape. Returns
// false, having changed no edge, where the topology does not apply: another
// node count.
bool build_graph_from_topology(const GraphFrame& frame, std::span<const FocalWindow> windows,
                               std::span<const std::vector<std::uint8_t>> attach, const Topology& topology,
                               GraphScratch& s, Graph& g) {
    if (!take_topology(topology, g)) return false;
    s.isolated = false;
    const EdgeSummary summary = look_up_edge_data(*frame.plan, windows, attach, topology, s, g);
    g.weight_bound = summary.bound;
    s.reference_lengths = summary.reference_lengths;
    return true;
}

}  // namespace

void GraphScratch::start_rows(const GraphFrame& frame, std::size_t first_row, std::size_t row_count) {
    edges.start_rows(frame, first_row, row_count);
    topologies.start(frame.plan->shape_period, row_count);
}

void build_graph(const GraphFrame& frame, std::span<const FocalWindow> windows,
                 std::span<const std::vector<std::uint8_t>> attach, std::size_t row, std::size_t col,
                 GraphScratch& s, Graph& g, const SourceShape& shape) {
    add_nodes(windows, s, g);
    // Pointing at cache entries needs every cell of a window in its own entry;
    // node ids that may not fit are checked, and reported, by the full build.
    const bool by_shape = shape.regular && frame.node_ids_fit && s.edges.keeps_window_cells();
    if (by_shape) {
        const Topology* topology = s.topologies.find(shape);
        if (topology != nullptr && build_graph_from_topology(frame, windows, attach, *topology, s, g)) return;
    }
    build_graph_in_full(frame, windows, attach, row, col, s, g);
    if (by_shape && shape.recurs && !s.isolated) keep_topology(shape, g, s.link_slot, s.topologies);
}

}  // namespace quillet
