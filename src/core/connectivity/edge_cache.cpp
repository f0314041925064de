// Filling the edge cache: table sizes per band, and the edges of a cell from
// the centres of the cells they join and the path weights of their destinations.
#include "connectivity/edge_cache.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace quillet {

namespace {

// The largest table side, in level rows or columns.
constexpr std::int64_t kMaxSide = 128;

// Bits of the smallest power of two that covers `span` table rows or columns.
int side_bits(std::int64_t span) {
    return std::countr_zero(std::bit_ceil(static_cast<std::uint64_t>(std::clamp<std::int64_t>(span, 2, kMaxSide))));
}

}  // namespace

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

void EdgeCache::start_rows(const GraphFrame& frame, std::size_t first_row, std::size_t row_count) {
    ++stamp_;
    frame_ = &frame;
    const WindowPlan& plan = *frame.plan;
    const auto& levels = plan.levels;
    tables_.resize(levels.size());
    keeps_window_cells_ = true;
    const auto band = static_cast<std::int64_t>(std::clamp<std::size_t>(row_count, 1, kMaxSide));
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const std::int64_t span = 2 * static_cast<std::int64_t>(std::max(levels[i].width, 0)) + 2;
        const std::int64_t band_rows = (band - 1) / std::max<std::int64_t>(levels[i].level, 1) + 1;
        // A column over the band's reach spans fewer than span + band_rows rows.
        keeps_window_cells_ = keeps_window_cells_ && span + band_rows <= kMaxSide;
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

void EdgeCache::compute_within(std::size_t i, std::int64_t r, std::int64_t c, std::size_t at) {
    Table& table = tables_[i];
    Tag& tag = table.tags[at];
    SlotEdges& edges = table.within[at];
    tag.within_bound = {};
    const LevelPlan& lp = frame_->plan->levels[i];
    const Affine& t = *frame_->affines[i];
    const Point from = cell_centre(t, static_cast<double>(r), static_cast<double>(c));
    for (std::size_t d = 0; d < kNeighbours.size(); ++d) {
        const std::int64_t nr = r + kNeighbours[d][0], nc = c + kNeighbours[d][1];
        const float weight = destination_weight(lp, nr, nc, frame_->max_cost);
        // A length is the same both ways: where the neighbour's edges are held,
        // its edge back here gives this one's.
        const SlotEdges* back = held_within(table, nr, nc);
        const float length_km =
            back != nullptr
                ? back->length_km[kOpposite[d]]
                : edge_length_km(from, cell_centre(t, static_cast<double>(nr), static_cast<double>(nc)), frame_->is_geo);
        const EdgeData e = edge_data(length_km, weight);
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

void EdgeCache::compute_cross(std::size_t i, std::int64_t r, std::int64_t c, std::size_t at) {
    Table& table = tables_[i];
    Tag& tag = table.tags[at];
    CrossEdges& e = table.cross[at];
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

}  // namespace quillet
