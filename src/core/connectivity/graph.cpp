#include "connectivity/graph.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "connectivity/routing.hpp"

namespace quillet {

namespace {

// (row step, column step)
using Step = std::array<std::int32_t, 2>;

// Within-level neighbours, in the order their edges are made.
constexpr std::array<Step, 8> kNeighbours = {{{0, 1}, {1, 0}, {0, -1}, {-1, 0}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}}};
constexpr std::size_t kRowBelow = 1;  // index of (+1, 0) in kNeighbours

// Fine neighbours whose coarse cells are link candidates, after the fine cell's own.
constexpr std::array<Step, 8> kCandidateNeighbours = {
    {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {-1, 1}, {1, -1}, {1, 1}}};

constexpr double kEarthRadiusM = 6371000.0;

// The distinct level-2L cells (local indices) that hold a fine cell and its
// eight neighbours, the fine cell's own first; at most four.
struct Candidates {
    std::size_t count = 0;
    std::array<std::int64_t, 4> row{}, col{};
};

Candidates coarse_candidates(std::int64_t global_row, std::int64_t global_col, std::int64_t coarse_origin_row,
                             std::int64_t coarse_origin_col) {
    Candidates c;
    auto add = [&](std::int64_t r, std::int64_t k) {
        for (std::size_t i = 0; i < c.count; ++i) {
            if (c.row[i] == r && c.col[i] == k) return;
        }
        c.row[c.count] = r;
        c.col[c.count] = k;
        ++c.count;
    };
    // An arithmetic shift is the floor division by 2, negative values included.
    add((global_row >> 1) - coarse_origin_row, (global_col >> 1) - coarse_origin_col);
    for (const Step& o : kCandidateNeighbours) {
        add(((global_row + o[0]) >> 1) - coarse_origin_row, ((global_col + o[1]) >> 1) - coarse_origin_col);
    }
    return c;
}

}  // namespace

float edge_length_km(Point from, Point to, bool is_geo) {
    double metres;
    if (!is_geo) {
        metres = std::hypot(to.x - from.x, to.y - from.y);
    } else {
        const double lat1 = from.y * kRadiansPerDegree, lat2 = to.y * kRadiansPerDegree;
        const double lon1 = from.x * kRadiansPerDegree, lon2 = to.x * kRadiansPerDegree;
        const double s_lat = std::sin((lat2 - lat1) / 2.0);
        const double s_lon = std::sin((lon2 - lon1) / 2.0);
        const double h = s_lat * s_lat + std::cos(lat2) * std::cos(lat1) * (s_lon * s_lon);
        metres = 2.0 * std::atan2(std::sqrt(h), std::sqrt(1.0 - h)) * kEarthRadiusM;
    }
    return static_cast<float>(metres / 1000.0);
}


namespace {

// The edge towards a destination of the given path weight.
EdgeData edge_data(float length_km, float path_weight) {
    const float cost = path_weight * length_km;
    return {cost, length_km, quantise(cost), quantise(length_km)};
}

// What graph building gathers of the edge sets it looks up: a bound of their
// quantised weights, and whether all have the band's reference lengths. Kept
// by value in the building loop, so that it stays in registers.
struct EdgeSummary {
    WeightBound bound;
    bool reference_lengths = true;

    void add(const WeightBound& b, bool reference) {
        bound.include(b);
        reference_lengths = reference_lengths && reference;
    }
};

// A cell's within-level edges as the cache holds them.
struct WithinEdges {
    const SlotEdges* edges;
    WeightBound bound;
    bool reference_lengths;
};

// The edges from one cell to its coarse candidates, slot by slot, with a bound
// of their quantised weights.
struct CrossEdges {
    std::array<EdgeData, 4> edges{};
    WeightBound bound;
    Candidates candidates;
    bool reference_lengths = false;  // the band's first lengths for a cell in the same place
};

// Path weight of level cell (r, c) as an edge destination; NaN for a cell
// outside the grids, which is never a node.
float destination_weight(const LevelPlan& lp, std::int64_t r, std::int64_t c, float max_cost) {
    constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
    const Grid& condition = *lp.condition;
    if (r < 0 || c < 0 || r >= static_cast<std::int64_t>(condition.nrows()) ||
        c >= static_cast<std::int64_t>(condition.ncols())) {
        return kNone;
    }
    const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
    float traversal = kNone;
    if (lp.traversal != nullptr) {
        if (ur >= lp.traversal->nrows() || uc >= lp.traversal->ncols()) return kNone;
        traversal = (*lp.traversal)(ur, uc);
    }
    return path_weight(condition(ur, uc), traversal, max_cost);
}

}  // namespace

// Edges depend only on the two cells they join, never on the source, so each
// cell's are computed once per band of rows. A direct-mapped table per level,
// indexed by the low bits of the cell's row and column: the cells that the
// sources of one column of a band use span at most 2w + 1 level columns and
// 2w + 1 plus the band's height level rows, and sources move left to right, so a
// table of at least that many rows and columns keeps a cell until the windows
// have passed it.
class EdgeCache {
public:
    void start_rows(const GraphFrame& frame, std::size_t first_row, std::size_t row_count) {
        ++stamp_;
        frame_ = &frame;
        const WindowPlan& plan = *frame.plan;
        const auto& levels = plan.levels;
        tables_.resize(levels.size());
        keeps_window_cells_ = true;
        const auto band = static_cast<std::int64_t>(std::clamp<std::size_t>(row_count, 1, kMaxSide));
        for (std::size_t i = 0; i < levels.size(); ++i) {
            const std::int64_t span = 2 * static_cast<std::int64_t>(std::max(levels[i].width, 0)) + 2;
            keeps_window_cells_ = keeps_window_cells_ && span <= kMaxSide;
            const std::int64_t band_rows = (band - 1) / std::max<std::int64_t>(levels[i].level, 1) + 1;
            Table& t = tables_[i];
            t.col_bits = side_bits(span);
            t.row_bits = side_bits(span + band_rows);
            t.has_reference = false;
            t.cross_reference = {};
            const std::size_t entries = std::size_t{1} << (t.row_bits + t.col_bits);
            if (t.tags.size() != entries) {
                t.tags.assign(entries, Tag{});
                t.within.resize(entries);
                t.cross.resize(entries);
            }
            t.columns.assign(std::size_t{1} << t.col_bits, Column{});
            // Level rows that the windows of the band's sources can reach.
            const LevelPlan& lp = levels[i];
            const std::int64_t L = lp.level, w = std::max(lp.width, 0);
            const auto first = static_cast<std::int64_t>(first_row) + plan.row_offset;
            const std::int64_t last = first + static_cast<std::int64_t>(std::max<std::size_t>(row_count, 1)) - 1;
            const auto rows = static_cast<std::int64_t>(lp.condition->nrows());
            t.span_first = std::max<std::int64_t>(floor_div(first, L) - lp.origin_row - w, 0);
            t.span_last = std::min<std::int64_t>(floor_div(last, L) - lp.origin_row + w, rows - 1);
            t.links_out = L < levels.back().level && lp.coarser >= 0 && frame.coarser_affines[i] != nullptr;
            t.coarse_origin_row = floor_div(plan.row_offset, 2 * L);
            t.coarse_origin_col = floor_div(plan.col_offset, 2 * L);
        }
    }

    // The within-level edges of every cell of level column c that the band's
    // windows can reach, and their links to the coarser level where the level
    // has one, computed unless the column is already held whole; with a bound of
    // their weights and whether all have the reference lengths. A window's cells
    // are then found with `held` and `held_cross`, without a check per cell.
    const EdgeSummary& column(std::size_t i, std::int64_t c) {
        Table& t = tables_[i];
        Column& run = t.columns[column_slot(t, c)];
        if (run.col != c) {
            EdgeSummary summary;
            for (std::int64_t r = t.span_first; r <= t.span_last; ++r) {
                const WithinEdges found = within(i, r, c);
                summary.add(found.bound, found.reference_lengths);
                if (!t.links_out) continue;
                const CrossEdges& links = cross(i, r, c);
                summary.add(links.bound, links.reference_lengths);
            }
            run.col = c;
            run.summary = summary;
        }
        return run.summary;
    }

    // The within-level edges of cell (r, c) of plan level i, whose column
    // `column` has made whole.
    const SlotEdges* held(std::size_t i, std::int64_t r, std::int64_t c) const {
        const Table& t = tables_[i];
        return &t.within[index(t, r, c)];
    }

    // The links of cell (r, c) of plan level i to the coarser level, whose
    // column `column` has made whole.
    const CrossEdges& held_cross(std::size_t i, std::int64_t r, std::int64_t c) const {
        const Table& t = tables_[i];
        return t.cross[index(t, r, c)];
    }

    // Whether the cells of one window of any level occupy distinct entries, so
    // that the edges looked up for one source stay in place until its graph has
    // been searched. Only windows too wide for the largest table can collide.
    bool keeps_window_cells() const { return keeps_window_cells_; }

    // Edges from level cell (r, c) of plan level i to its eight neighbours, in
    // `kNeighbours` order.
    WithinEdges within(std::size_t i, std::int64_t r, std::int64_t c) {
        const std::size_t at = entry(i, r, c);
        Table& table = tables_[i];
        Tag& tag = table.tags[at];
        SlotEdges& edges = table.within[at];
        if (!tag.has_within) {
            tag.within_bound = {};
            const LevelPlan& lp = frame_->plan->levels[i];
            const Affine& t = *frame_->affines[i];
            const Point from = cell_centre(t, static_cast<double>(r), static_cast<double>(c));
            for (std::size_t d = 0; d < kNeighbours.size(); ++d) {
                const std::int64_t nr = r + kNeighbours[d][0], nc = c + kNeighbours[d][1];
                const Point to = cell_centre(t, static_cast<double>(nr), static_cast<double>(nc));
                const EdgeData e = edge_data(edge_length_km(from, to, frame_->is_geo),
                                             destination_weight(lp, nr, nc, frame_->max_cost));
                edges.set(d, e);
                tag.within_bound.include(e);
            }
            tag.has_within = true;
            if (!table.has_reference) {
                table.reference = edges.length_q;
                table.has_reference = true;
            }
            tag.within_reference = edges.length_q == table.reference;
        }
        return {&edges, tag.within_bound, tag.within_reference};
    }

    // Edges from level cell (r, c) of plan level i to its coarse candidates in
    // the level's coarser one, which must have a transform. The candidates are
    // kept with the edges.
    const CrossEdges& cross(std::size_t i, std::int64_t r, std::int64_t c) {
        const std::size_t at = entry(i, r, c);
        Table& table = tables_[i];
        Tag& tag = table.tags[at];
        CrossEdges& e = table.cross[at];
        if (!tag.has_cross) {
            const LevelPlan& fine = frame_->plan->levels[i];
            e.candidates = coarse_candidates(fine.origin_row + r, fine.origin_col + c, table.coarse_origin_row,
                                             table.coarse_origin_col);
            const Candidates& cand = e.candidates;
            e.bound = {};
            const Point from = cell_centre(*frame_->affines[i], static_cast<double>(r), static_cast<double>(c));
            const Affine& t = *frame_->coarser_affines[i];
            const LevelPlan& lp = frame_->plan->levels[static_cast<std::size_t>(fine.coarser)];
            for (std::size_t s = 0; s < cand.count; ++s) {
                const Point to = cell_centre(t, static_cast<double>(cand.row[s]), static_cast<double>(cand.col[s]));
                e.edges[s] = edge_data(edge_length_km(from, to, frame_->is_geo),
                                       destination_weight(lp, cand.row[s], cand.col[s], frame_->max_cost));
                e.bound.include(e.edges[s]);
            }
            tag.has_cross = true;
            // The candidates, and so the lengths, follow the fine cell's place in its coarse cell.
            const auto place = static_cast<std::size_t>(((fine.origin_row + r) & 1) * 2 + ((fine.origin_col + c) & 1));
            CrossReference& reference = table.cross_reference[place];
            std::array<std::uint32_t, 4> lengths{};
            for (std::size_t s = 0; s < cand.count; ++s) lengths[s] = e.edges[s].length_q;
            if (!reference.known) reference = {true, cand.count, lengths};
            e.reference_lengths = reference.count == cand.count && reference.length_q == lengths;
        }
        return e;
    }

private:
    static constexpr std::int64_t kMaxSide = 128;

    // A level column whose cells over the band's reach are all held, with their
    // bound and whether all have the reference lengths; `col` is the column, or
    // kNoColumn.
    static constexpr std::int64_t kNoColumn = std::numeric_limits<std::int64_t>::min();
    struct Column {
        std::int64_t col = kNoColumn;
        EdgeSummary summary;
    };

    // Which cell an entry holds and which of its edges are computed; kept apart
    // from the edges so that the lookups stay in few cache lines.
    struct Tag {
        std::uint64_t stamp = 0;
        std::int64_t row = 0, col = 0;
        WeightBound within_bound;
        bool has_within = false, has_cross = false;
        bool within_reference = false;  // edges with the reference lengths
    };
    // The quantised lengths of the band's first cross edges from a fine cell in
    // one of the four places inside its coarse cell.
    struct CrossReference {
        bool known = false;
        std::size_t count = 0;
        std::array<std::uint32_t, 4> length_q{};
    };
    struct Table {
        int row_bits = 0, col_bits = 0;
        std::vector<Tag> tags;
        std::vector<SlotEdges> within;
        std::vector<CrossEdges> cross;
        // Quantised lengths of the band's first within-level edges of the level.
        bool has_reference = false;
        std::array<std::uint32_t, Graph::kSlots> reference{};
        std::array<CrossReference, 4> cross_reference;
        std::vector<Column> columns;  // by the low bits of the column
        std::int64_t span_first = 0, span_last = -1;  // level rows the band's windows reach
        // Whether the level has links to a coarser level with a transform, and
        // the global position of that level's local cell (0, 0).
        bool links_out = false;
        std::int64_t coarse_origin_row = 0, coarse_origin_col = 0;
    };

    // Bits of the smallest power of two that covers `span` table rows or columns.
    static int side_bits(std::int64_t span) {
        return std::countr_zero(std::bit_ceil(static_cast<std::uint64_t>(std::clamp<std::int64_t>(span, 2, kMaxSide))));
    }

    static std::size_t column_slot(const Table& t, std::int64_t c) {
        return static_cast<std::size_t>(c & ((std::int64_t{1} << t.col_bits) - 1));
    }

    static std::size_t index(const Table& t, std::int64_t r, std::int64_t c) {
        const std::int64_t row_mask = (std::int64_t{1} << t.row_bits) - 1;
        return (static_cast<std::size_t>(r & row_mask) << t.col_bits) | column_slot(t, c);
    }

    // The entry of cell (r, c) of plan level i, emptied if it held another cell;
    // the column of a cell so dropped is no longer held whole.
    std::size_t entry(std::size_t i, std::int64_t r, std::int64_t c) {
        Table& t = tables_[i];
        const std::size_t at = index(t, r, c);
        Tag& tag = t.tags[at];
        if (tag.stamp != stamp_ || tag.row != r || tag.col != c) {
            t.columns[column_slot(t, c)].col = kNoColumn;
            tag.stamp = stamp_;
            tag.row = r;
            tag.col = c;
            tag.has_within = tag.has_cross = false;
        }
        return at;
    }

    std::uint64_t stamp_ = 0;
    bool keeps_window_cells_ = true;
    const GraphFrame* frame_ = nullptr;
    std::vector<Table> tables_;
};

void Graph::clear_edges() {
    neighbour.assign(kSlots * node_count(), absent());
    use_own_slot_edges();
    first_link.assign(node_count() + 1, 0);
}

void Graph::use_own_slot_edges() {
    own_slot_edges.resize(node_count());
    slot_edges.resize(node_count());
    for (std::size_t u = 0; u < node_count(); ++u) slot_edges[u] = &own_slot_edges[u];
}

// Regular sources of one shape have windows that are the same cell lists moved
// by whole level cells, all valid, so their graphs have the same slots and links
// between the same node indices; only the edge data of the cells differs.
struct Topology {
    std::int32_t source = -1;
    std::vector<std::int32_t> neighbour, first_link, link_target;
    std::vector<std::uint8_t> link_slot;  // coarse candidate of each link
};

namespace {

// Keeps the slots and links of `g`, the graph of a source of `shape`.
void keep_topology(const SourceShape& shape, const Graph& g, const GraphScratch& s, ShapeTable<Topology>& kept) {
    Topology& t = kept.refill(shape);
    const auto links = static_cast<std::ptrdiff_t>(g.link_count());
    t.source = g.source;
    t.neighbour = g.neighbour;
    t.first_link = g.first_link;
    t.link_target.assign(g.link_target.begin(), g.link_target.begin() + links);
    t.link_slot.assign(s.link_slot.begin(), s.link_slot.begin() + links);
    kept.keep(shape);
}

}  // namespace

GraphScratch::GraphScratch()
    : edges(std::make_unique<EdgeCache>()), topologies(std::make_unique<ShapeTable<Topology>>()) {}
GraphScratch::~GraphScratch() = default;

void GraphScratch::start_rows(const GraphFrame& frame, std::size_t first_row, std::size_t row_count) {
    edges->start_rows(frame, first_row, row_count);
    topologies->clear();
}

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

// Writes every node's neighbour slots and appends its links, node by node in
// ascending node order, closing the CSR range of every node passed over.
class EdgeWriter {
public:
    // Room for every edge the nodes of `g` can have: eight slots and four coarse
    // candidates each. The link arrays only grow, so a steady state reuses them
    // without clearing. Slot data is copied into the graph only when `copy_slots`
    // is set; otherwise the graph points at the data it is given.
    EdgeWriter(Graph& g, std::vector<std::uint8_t>& link_slot, bool copy_slots)
        : g_(g), link_slot_(link_slot), copy_slots_(copy_slots) {
        const std::size_t nodes = g.node_count();
        g.neighbour.resize(Graph::kSlots * nodes);
        g.slot_edges.resize(nodes);
        if (copy_slots) g.own_slot_edges.resize(nodes);
        if (g.link_target.size() < 4 * nodes + 1) {
            g.link_target.resize(4 * nodes + 1);
            g.link_edge.resize(4 * nodes + 1);
        }
        if (link_slot.size() < g.link_target.size()) link_slot.resize(g.link_target.size());
        g.first_link.assign(nodes + 1, 0);
    }

    // Starts the edges of `node`; nodes passed over get empty slots and no link.
    void open(std::int32_t node) {
        const auto u = static_cast<std::size_t>(node);
        clear_slots(next_open_, u);
        while (next_open_ <= u) g_.first_link[next_open_++] = count_;
    }

    // Fills the slots of `node` from the neighbour nodes (-1 where there is none)
    // and the edge data of each direction; returns whether any neighbour exists.
    bool write_slots(std::int32_t node, const std::array<std::int32_t, Graph::kSlots>& targets,
                     const SlotEdges& edges) {
        const auto u = static_cast<std::size_t>(node);
        const std::size_t at = Graph::kSlots * u;
        const std::int32_t absent = g_.absent();
        bool any = false;
        for (std::size_t d = 0; d < Graph::kSlots; ++d) {
            g_.neighbour[at + d] = targets[d] >= 0 ? targets[d] : absent;
            any |= targets[d] >= 0;
        }
        if (copy_slots_) {
            g_.own_slot_edges[u] = edges;
            g_.slot_edges[u] = &g_.own_slot_edges[u];
        } else {
            g_.slot_edges[u] = &edges;
        }
        return any;
    }

    // Appends a link to `target`, which is kept only when it is a node: the
    // writes are unconditional so that the varying presence of candidates costs
    // no branch.
    void link_if_node(std::int32_t target, std::size_t candidate, const EdgeData& data) {
        const auto at = static_cast<std::size_t>(count_);
        g_.link_target[at] = target;
        g_.link_edge[at] = data;
        link_slot_[at] = static_cast<std::uint8_t>(candidate);
        count_ += target >= 0;
    }

    void close() {
        clear_slots(next_open_, g_.node_count());
        while (next_open_ < g_.first_link.size()) g_.first_link[next_open_++] = count_;
    }

private:
    void clear_slots(std::size_t from_node, std::size_t to_node) {
        if (from_node >= to_node) return;
        std::fill(g_.neighbour.begin() + static_cast<std::ptrdiff_t>(Graph::kSlots * from_node),
                  g_.neighbour.begin() + static_cast<std::ptrdiff_t>(Graph::kSlots * to_node), g_.absent());
        std::fill(g_.slot_edges.begin() + static_cast<std::ptrdiff_t>(from_node),
                  g_.slot_edges.begin() + static_cast<std::ptrdiff_t>(to_node), &kNoEdges);
    }

    static constexpr SlotEdges kNoEdges{};  // data of the slots of a node without neighbours

    Graph& g_;
    std::vector<std::uint8_t>& link_slot_;
    bool copy_slots_;
    std::int32_t count_ = 0;
    std::size_t next_open_ = 0;
};

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

}  // namespace

namespace {

// Builds the graph cell by cell: node mappings give every slot's and link's
// target, the edge cache their data.
void build_graph_in_full(const GraphFrame& frame, std::span<const FocalWindow> windows,
                         std::span<const std::vector<std::uint8_t>> attach, std::size_t row, std::size_t col,
                         GraphScratch& s, Graph& g) {
    const WindowPlan& plan = *frame.plan;
    add_nodes(windows, s, g);
    s.isolated = false;
    EdgeWriter out(g, s.link_slot, !s.edges->keeps_window_cells());
    g.weight_bound = {};
    EdgeSummary summary;  // of every edge set looked up, kept or not
    s.reference_lengths = true;
    const std::size_t level_count = std::min(windows.size(), plan.levels.size());
    if (level_count == 0) {
        out.close();
        return;
    }
    const LevelKey coarsest = plan.levels[level_count - 1].level;

    // Plan indices of the levels whose cells `s.current` and `s.coarser` hold.
    std::int32_t current_level = -1, coarser_level = -1;
    for (std::size_t i = 0; i < level_count; ++i) {
        const LevelPlan& lp = plan.levels[i];
        const LevelKey L = lp.level;
        if (i >= attach.size()) raise_fault("Level not found in edge indices.");
        if (frame.affines[i] == nullptr) raise_fault("Missing level in Affine set.");

        if (i == 0) {
            create_node_mapping(windows[0], L, plan.row_offset, plan.col_offset, s.first_node[0], s.current);
            current_level = 0;
            g.source = s.current.find(static_cast<std::int64_t>(row), static_cast<std::int64_t>(col));
        } else {
            std::swap(s.current, s.coarser);
            current_level = coarser_level;
            s.coarser.clear();
            coarser_level = -1;
        }
        const bool below_coarsest = L < coarsest;
        if (below_coarsest && lp.coarser >= 0) {
            const auto ci = static_cast<std::size_t>(lp.coarser);
            create_node_mapping(windows[ci], plan.levels[ci].level, plan.row_offset, plan.col_offset, s.first_node[ci],
                                s.coarser);
            coarser_level = lp.coarser;
        }

        const FocalWindow& w = windows[i];
        if (w.empty()) continue;
        // A level's cells are nodes only of the mapping built from its own window;
        // any other mapping (after a gap in the level chain) holds none of them.
        if (current_level != static_cast<std::int32_t>(i)) raise_fault("Node not found in node mapping.");

        const auto neighbour = s.current.neighbour_offsets(kNeighbours);
        const std::vector<std::uint8_t>& attach_here = attach[i];
        const std::size_t n = std::min(w.rows.size(), w.cols.size());
        for (std::size_t k = 0; k < n; ++k) {
            const std::int64_t r = w.rows[k], c = w.cols[k];
            const std::int32_t u = s.first_node[i] + static_cast<std::int32_t>(k);
            out.open(u);

            const WithinEdges found = s.edges->within(i, r, c);
            summary.add(found.bound, found.reference_lengths);
            const SlotEdges& within = *found.edges;
            const std::int32_t* slot = s.current.slot(r, c);
            std::array<std::int32_t, Graph::kSlots> targets;
            for (std::size_t d = 0; d < kNeighbours.size(); ++d) targets[d] = slot[neighbour[d]];
            const bool has_neighbour = out.write_slots(u, targets, within);
            if (u == g.source && !has_neighbour) {
                isolate_source(frame, destination_weight(lp, r, c, frame.max_cost), within.length_km[kRowBelow], g);
                s.isolated = true;
                s.reference_lengths = false;
                return;
            }

            if (!below_coarsest || k >= attach_here.size() || attach_here[k] == 0) continue;
            if (frame.coarser_affines[i] == nullptr) raise_fault(kUnknownFaultText);
            if (coarser_level < 0) continue;
            const CrossEdges& cross = s.edges->cross(i, r, c);
            summary.add(cross.bound, cross.reference_lengths);
            const Candidates& cand = cross.candidates;
            for (std::size_t t = 0; t < cand.count; ++t) {
                out.link_if_node(s.coarser.find(cand.row[t], cand.col[t]), t, cross.edges[t]);
            }
        }
    }
    g.weight_bound = summary.bound;
    s.reference_lengths = summary.reference_lengths;
    out.close();
}

// Builds the graph of a regular source from the topology of its shape: its
// nodes, then the edge data of every slot and link, from the cells' cache
// entries. Returns false, having built nothing usable, where the topology does
// not apply: another node count.
bool build_graph_from_topology(const GraphFrame& frame, std::span<const FocalWindow> windows,
                               std::span<const std::vector<std::uint8_t>> attach,
                               const Topology& topology, GraphScratch& s, Graph& g) {
    const WindowPlan& plan = *frame.plan;
    add_nodes(windows, s, g);
    if (g.node_count() + 1 != topology.first_link.size()) return false;
    const std::size_t level_count = std::min(windows.size(), plan.levels.size());
    s.isolated = false;
    g.source = topology.source;
    g.neighbour = topology.neighbour;
    g.first_link = topology.first_link;
    const std::size_t links = topology.link_target.size();
    if (g.link_target.size() < links) {
        g.link_target.resize(links);
        g.link_edge.resize(links);
    }
    std::copy(topology.link_target.begin(), topology.link_target.end(), g.link_target.begin());
    g.slot_edges.resize(g.node_count());

    EdgeSummary summary;
    const LevelKey coarsest = plan.levels[level_count - 1].level;
    for (std::size_t i = 0; i < level_count; ++i) {
        const LevelPlan& lp = plan.levels[i];
        const FocalWindow& w = windows[i];
        const bool links_out = lp.level < coarsest && lp.coarser >= 0;
        const std::vector<std::uint8_t>& attach_here = attach[i];
        if (w.empty()) continue;
        const auto [col_min, col_max] = std::minmax_element(w.cols.begin(), w.cols.end());
        for (std::int64_t c = *col_min; c <= *col_max; ++c) {
            const EdgeSummary& run = s.edges->column(i, c);
            summary.add(run.bound, run.reference_lengths);
        }
        for (std::size_t k = 0; k < w.size(); ++k) {
            const std::int64_t r = w.rows[k], c = w.cols[k];
            const auto u = static_cast<std::size_t>(s.first_node[i]) + k;
            g.slot_edges[u] = s.edges->held(i, r, c);
            if (!links_out || attach_here[k] == 0) continue;
            const CrossEdges& cross = s.edges->held_cross(i, r, c);
            for (auto e = static_cast<std::size_t>(g.first_link[u]); e < static_cast<std::size_t>(g.first_link[u + 1]); ++e) {
                g.link_edge[e] = cross.edges[topology.link_slot[e]];
            }
        }
    }
    g.weight_bound = summary.bound;
    s.reference_lengths = summary.reference_lengths;
    return true;
}

}  // namespace

void build_graph(const GraphFrame& frame, std::span<const FocalWindow> windows,
                 std::span<const std::vector<std::uint8_t>> attach, std::size_t row, std::size_t col,
                 GraphScratch& s, Graph& g, const SourceShape& shape) {
    // Pointing at cache entries needs every cell of a window in its own entry;
    // node ids that may not fit are checked, and reported, by the full build.
    const bool by_shape = shape.regular && frame.node_ids_fit && s.edges->keeps_window_cells();
    if (by_shape) {
        const Topology* topology = s.topologies->find(shape);
        if (topology != nullptr && build_graph_from_topology(frame, windows, attach, *topology, s, g)) return;
    }
    build_graph_in_full(frame, windows, attach, row, col, s, g);
    if (by_shape && !s.isolated) keep_topology(shape, g, s, *s.topologies);
}

void plan_graph(const RowContext& ctx, const WindowPlan& plan, GraphFrame& frame) {
    frame.plan = &plan;
    frame.max_cost = ctx.max_cost;
    frame.is_geo = ctx.is_geo;
    frame.pa_to_pa = ctx.pa_to_pa;
    frame.affines.clear();
    frame.coarser_affines.clear();
    auto find = [&](std::int64_t key) -> const Affine* {
        if (key > std::numeric_limits<LevelKey>::max()) return nullptr;
        const auto it = ctx.transforms->find(static_cast<LevelKey>(key));
        return it == ctx.transforms->end() ? nullptr : &it->second;
    };
    frame.node_ids_fit = true;
    for (const LevelPlan& lp : plan.levels) {
        frame.affines.push_back(find(lp.level));
        frame.coarser_affines.push_back(find(2 * static_cast<std::int64_t>(lp.level)));
        frame.node_ids_fit = frame.node_ids_fit && grid_ids_fit(lp.level, lp.origin_row, lp.origin_col,
                                                                lp.condition->nrows(), lp.condition->ncols());
    }
}

}  // namespace quillet
