// The edge cache. Edges depend only on the two cells they join, never on the
// source, so the out-edges of each cell that a band's windows reach are
// computed once per band of rows and shared by the band's sources: a table per
// level, direct-mapped by the low bits of the cell's row and column. The cells
// that the sources of one column of a band use span at most 2w + 1 level
// columns and 2w + 1 plus the band's height level rows, and sources move left
// to right, so a table of at least that many rows and columns keeps a cell until
// the windows have passed it.
//
// The cache also tells graph building whether a cell's edges have the band's
// reference lengths (those of the band's first cell of the level, or of its
// first cell in the same place inside its coarse cell), which lets sources
// share length searches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "connectivity/edge_data.hpp"
#include "connectivity/edge_geometry.hpp"
#include "connectivity/graph_frame.hpp"
#include "connectivity/window_plan.hpp"

namespace quillet {

// Path weight of level cell (r, c) of `lp` as an edge destination; NaN for a
// cell outside the grids, which is never a node.
float destination_weight(const LevelPlan& lp, std::int64_t r, std::int64_t c, float max_cost);

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

class EdgeCache {
public:
    // Starts a band of `row_count` rows from `first_row` of the frame's plan:
    // edges cached for earlier bands (possibly of another call) are no longer used.
    void start_rows(const GraphFrame& frame, std::size_t first_row, std::size_t row_count);

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

    // Whether the cells of one level column over the band's reach occupy
    // distinct entries, on every level: then `column` can hold a column whole,
    // and the edges looked up for one source stay in place until its graph has
    // been searched. Only windows too wide for the largest table can collide.
    bool keeps_window_cells() const { return keeps_window_cells_; }

    // Edges from level cell (r, c) of plan level i to its eight neighbours, in
    // `kNeighbours` order.
    WithinEdges within(std::size_t i, std::int64_t r, std::int64_t c) {
        const std::size_t at = entry(i, r, c);
        Table& table = tables_[i];
        const Tag& tag = table.tags[at];
        if (!tag.has_within) compute_within(i, r, c, at);
        return {&table.within[at], tag.within_bound, tag.within_reference};
    }

    // Edges from level cell (r, c) of plan level i to its coarse candidates in
    // the level's coarser one, which must have a transform. The candidates are
    // kept with the edges.
    const CrossEdges& cross(std::size_t i, std::int64_t r, std::int64_t c) {
        const std::size_t at = entry(i, r, c);
        Table& table = tables_[i];
        if (!table.tags[at].has_cross) compute_cross(i, r, c, at);
        return table.cross[at];
    }

private:
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
        std::array<std::uint32_t, SlotEdges::kSlots> reference{};
        std::array<CrossReference, 4> cross_reference;
        std::vector<Column> columns;  // by the low bits of the column
        std::int64_t span_first = 0, span_last = -1;  // level rows the band's windows reach
        // Whether the level has links to a coarser level with a transform, and
        // the global position of that level's local cell (0, 0).
        bool links_out = false;
        std::int64_t coarse_origin_row = 0, coarse_origin_col = 0;
    };

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
        if (!holds(tag, r, c)) {
            t.columns[column_slot(t, c)].col = kNoColumn;
            tag.stamp = stamp_;
            tag.row = r;
            tag.col = c;
            tag.has_within = tag.has_cross = false;
        }
        return at;
    }

    // Whether an entry's tag says it holds cell (r, c) in this band.
    bool holds(const Tag& tag, std::int64_t r, std::int64_t c) const {
        return tag.stamp == stamp_ && tag.row == r && tag.col == c;
    }

    // The within-level edges of cell (r, c) where its entry holds them, else null.
    const SlotEdges* held_within(const Table& t, std::int64_t r, std::int64_t c) const {
        const std::size_t at = index(t, r, c);
        const Tag& tag = t.tags[at];
        return holds(tag, r, c) && tag.has_within ? &t.within[at] : nullptr;
    }

    // Compute the edges of entry `at`, which holds cell (r, c) of plan level i.
    void compute_within(std::size_t i, std::int64_t r, std::int64_t c, std::size_t at);
    void compute_cross(std::size_t i, std::int64_t r, std::int64_t c, std::size_t at);

    std::uint64_t stamp_ = 0;
    bool keeps_window_cells_ = true;
    const GraphFrame* frame_ = nullptr;
    std::vector<Table> tables_;
};

}  // namespace quillet
