// Building a source's windows: for every level, its template moved to the
// source's block, or where no template applies, the window clipped to the
// raster and measured cell by cell; then the cells' similarities.
#include "connectivity/focal_window.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "connectivity/window_geometry.hpp"

namespace quillet {

namespace {

float value_at(const Grid& grid, std::int32_t r, std::int32_t c, bool checked) {
    const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
    return checked ? grid.at(ur, uc) : grid(ur, uc);
}

// Appends cell (r, c) with its share unless its condition is NaN or its cell
// weight is not finite.
void append_cell(FocalWindow& w, const LevelPlan& lp, std::int32_t r, std::int32_t c, float share, bool boundary) {
    const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
    const float cond = (*lp.condition)(ur, uc);
    if (std::isnan(cond)) return;
    const float cw = value_at(*lp.weights, r, c, lp.checked_reads);
    if (!std::isfinite(cw)) return;
    float pa = 1.0f;
    if (lp.pa != nullptr) {
        pa = value_at(*lp.pa, r, c, lp.checked_reads);
        if (!std::isfinite(pa)) pa = 0.0f;
    }
    w.rows.push_back(r);
    w.cols.push_back(c);
    w.condition.push_back(cond);
    w.weights.push_back(share * cw);
    w.pa_membership.push_back(pa);
    w.boundary.push_back(boundary ? 1 : 0);
}

// The position of a source along one axis relative to the level lattice.
struct AxisPlacement {
    std::int64_t global;  // global base cell of the source
    std::int64_t block;   // global level cell that holds it
    std::int32_t phase;   // source position inside that level cell
};

AxisPlacement place(std::int64_t global, LevelKey level) {
    const std::int64_t block = floor_div(global, level);
    return {global, block, static_cast<std::int32_t>(global - block * level)};
}

// Base cells of the raster before and after a source on each axis.
struct Room {
    std::int64_t rows_before, rows_after, cols_before, cols_after;
};

// The placement of a source at (row, col) inside its block, with `room` counted
// up to `limits` on each side.
Placement placement(std::int32_t row, std::int32_t col, const Room& room, const Room& limits) {
    auto up_to = [](std::int64_t cells, std::int64_t limit) { return static_cast<std::int32_t>(std::min(cells, limit)); };
    return {row,
            col,
            up_to(room.rows_before, limits.rows_before),
            up_to(room.rows_after, limits.rows_after),
            up_to(room.cols_before, limits.cols_before),
            up_to(room.cols_after, limits.cols_after)};
}

// Whether every cell of the unclipped window range lies wholly inside the base
// raster and inside the level grid, so that its template applies unchanged.
bool unclipped(const AxisPlacement& a, const LevelPlan& lp, std::int64_t offset, std::int64_t extent,
               std::int32_t origin, std::int64_t level_cells) {
    const std::int64_t L = lp.level, w = lp.width;
    return (a.block - w) * L >= offset && (a.block + w + 1) * L <= offset + extent && a.block - w - origin >= 0 &&
           a.block + w - origin <= level_cells - 1;
}

// The cells of a template placed with its source block at level cell
// (first_row, first_col). Every list is written at the next free entry and the
// entry is kept only when the cell is valid, so that the usual window, whose
// cells are all valid, costs no branch per cell.
void build_from_template(FocalWindow& w, const LevelPlan& lp, const WindowTemplate& t, std::int64_t first_row,
                         std::int64_t first_col) {
    const std::size_t n = t.drow.size();
    if (lp.checked_reads) {
        w.clear(w.layers);
        for (std::size_t k = 0; k < n; ++k) {
            append_cell(w, lp, static_cast<std::int32_t>(first_row + t.drow[k]),
                        static_cast<std::int32_t>(first_col + t.dcol[k]), t.share[k], t.boundary[k] != 0);
        }
        return;
    }
    w.resize(n);
    const Grid& condition = *lp.condition;
    const Grid& weights = *lp.weights;
    // Plain pointers, so that the byte stores of the flags cannot be taken to
    // change the lists' own pointers.
    std::int32_t* __restrict rows = w.rows.data();
    std::int32_t* __restrict cols = w.cols.data();
    float* __restrict cond_out = w.condition.data();
    float* __restrict weight_out = w.weights.data();
    float* __restrict pa_out = w.pa_membership.data();
    std::uint8_t* __restrict boundary_out = w.boundary.data();
    const std::int32_t* __restrict drow = t.drow.data();
    const std::int32_t* __restrict dcol = t.dcol.data();
    const float* __restrict share = t.share.data();
    const std::uint8_t* __restrict boundary = t.boundary.data();
    std::size_t kept = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const auto r = static_cast<std::int32_t>(first_row + drow[k]);
        const auto c = static_cast<std::int32_t>(first_col + dcol[k]);
        const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
        const float cond = condition(ur, uc);
        const float cw = weights(ur, uc);
        float pa = 1.0f;
        if (lp.pa != nullptr) {
            pa = (*lp.pa)(ur, uc);
            if (!std::isfinite(pa)) pa = 0.0f;
        }
        rows[kept] = r;
        cols[kept] = c;
        cond_out[kept] = cond;
        weight_out[kept] = share[k] * cw;
        pa_out[kept] = pa;
        boundary_out[kept] = boundary[k];
        kept += static_cast<std::size_t>(!std::isnan(cond) && std::isfinite(cw));
    }
    w.resize(kept);
}

// The general window: clips the window and its cells to the raster and evaluates
// the geometry of every cell.
void build_clipped(FocalWindow& w, const WindowPlan& plan, const LevelPlan& lp, double centre_row, double centre_col) {
    const double offset_r = plan.row_offset, offset_c = plan.col_offset;
    const double end_r = offset_r + static_cast<double>(plan.base_rows);
    const double end_c = offset_c + static_cast<double>(plan.base_cols);
    const std::int64_t L = lp.level;
    const AxisWindow rows = clip_axis(centre_row, lp.reach, offset_r, end_r, L);
    const AxisWindow cols = clip_axis(centre_col, lp.reach, offset_c, end_c, L);
    if (rows.hi <= rows.lo || cols.hi <= cols.lo) return;

    // First and last local level cell of the clipped window on each axis.
    const auto level_rows = static_cast<std::int64_t>(lp.condition->nrows());
    const auto level_cols = static_cast<std::int64_t>(lp.condition->ncols());
    const std::int64_t r0 = std::max<std::int64_t>(rows.first - lp.origin_row, 0);
    const std::int64_t r1 = std::min<std::int64_t>(rows.last - lp.origin_row, level_rows - 1);
    const std::int64_t c0 = std::max<std::int64_t>(cols.first - lp.origin_col, 0);
    const std::int64_t c1 = std::min<std::int64_t>(cols.last - lp.origin_col, level_cols - 1);

    const ShareFrame frame{centre_row, centre_col, lp.reach, lp.inner_radius, plan.mode};
    const double size = static_cast<double>(L);
    for (std::int64_t r = r0; r <= r1; ++r) {
        const double top = static_cast<double>((lp.origin_row + r) * L);
        const double y0 = max_of(offset_r, top), y1 = min_of(top + size, end_r);
        for (std::int64_t c = c0; c <= c1; ++c) {
            const double left = static_cast<double>((lp.origin_col + c) * L);
            const double x0 = max_of(offset_c, left), x1 = min_of(left + size, end_c);
            const CellShare s = cell_share(frame, y0, y1, x0, x1);
            if (s.selected) {
                append_cell(w, lp, static_cast<std::int32_t>(r), static_cast<std::int32_t>(c), s.share, s.boundary);
            }
        }
    }
}

// exp(-sum |S_i - T_i|) over the bands both profiles have; NaN (no similarity)
// when one compared band value is not finite.
float similarity(std::span<const float> source, std::span<const float> target) {
    const std::size_t n = std::min(source.size(), target.size());
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(source[i]) || !std::isfinite(target[i])) return std::numeric_limits<float>::quiet_NaN();
        sum += std::fabs(source[i] - target[i]);
    }
    return std::exp(-sum);
}

void fill_similarities(FocalWindow& w, const LevelPlan& lp, std::span<const float> profile) {
    const std::size_t n = w.size(), m = w.layers;
    w.similarity.resize(n * m);
    for (std::size_t j = 0; j < m; ++j) {
        const Grid3* grid = lp.transgrids[j];
        for (std::size_t k = 0; k < n; ++k) {
            float value = 0.0f;
            if (grid != nullptr) {
                const auto r = static_cast<std::size_t>(w.rows[k]), c = static_cast<std::size_t>(w.cols[k]);
                check_index(r, grid->nrows());
                check_index(c, grid->ncols());
                value = similarity(profile, grid->cell(r, c));
            }
            w.similarity[k * m + j] = value;
        }
    }
}

// Whether the window of `lp` around the source placed at (pr, pc) is a
// template: its width and reach allow one and either edge windows may come
// from templates or the window lies wholly inside the raster and level grid.
bool takes_template(const WindowPlan& plan, const LevelPlan& lp, const AxisPlacement& pr, const AxisPlacement& pc) {
    return lp.width >= 1 && lp.reach < kFarCoordinate &&
           (plan.edge_templates ||
            (unclipped(pr, lp, plan.row_offset, plan.base_rows, lp.origin_row,
                       static_cast<std::int64_t>(lp.condition->nrows())) &&
             unclipped(pc, lp, plan.col_offset, plan.base_cols, lp.origin_col,
                       static_cast<std::int64_t>(lp.condition->ncols()))));
}

// The template key of the window of `lp` around the source placed at (pr, pc)
// with `room` around it. Distances past the window's own extent, from its
// block's first base cell to its last, all give the unclipped window.
TemplateKey template_key(const WindowPlan& plan, const LevelPlan& lp, const AxisPlacement& pr,
                         const AxisPlacement& pc, const Room& room) {
    const std::int64_t before = std::int64_t{lp.width} * lp.level;
    const std::int64_t after = (std::int64_t{lp.width} + 1) * lp.level - 1;
    const Room extent{pr.phase + before, after - pr.phase, pc.phase + before, after - pc.phase};
    return {lp.level, lp.width, lp.reach, lp.inner_radius, plan.mode, placement(pr.phase, pc.phase, room, extent)};
}

// Builds the window of plan level i around the source at global base cell
// (global_row, global_col); returns whether it is its template whole, every
// template cell valid.
bool build_level_window(const WindowPlan& plan, std::size_t i, std::int64_t global_row, std::int64_t global_col,
                        const Room& room, WindowTemplates& templates, FocalWindow& w) {
    const LevelPlan& lp = plan.levels[i];
    const AxisPlacement pr = place(global_row, lp.level);
    const AxisPlacement pc = place(global_col, lp.level);
    if (!takes_template(plan, lp, pr, pc)) {
        w.clear(w.layers);
        build_clipped(w, plan, lp, static_cast<double>(global_row) + 0.5, static_cast<double>(global_col) + 0.5);
        return false;
    }
    const WindowTemplate& t = templates.get(i, template_key(plan, lp, pr, pc, room));
    build_from_template(w, lp, t, pr.block - lp.origin_row, pc.block - lp.origin_col);
    return w.size() == t.drow.size();
}

// Base cells of the raster before and after source (row, col) on each axis.
Room room_around(const WindowPlan& plan, std::int64_t row, std::int64_t col) {
    return {row, plan.base_rows - 1 - row, col, plan.base_cols - 1 - col};
}

// The placement of source (row, col) against `period`, with room up to `reach`.
Placement placement_against(const WindowPlan& plan, LevelKey period, std::int64_t reach, std::int64_t row,
                            std::int64_t col) {
    return placement(place(row + plan.row_offset, period).phase, place(col + plan.col_offset, period).phase,
                     room_around(plan, row, col), {reach, reach, reach, reach});
}

// Whether a later source of the band, one period to the right or below, has
// the placement of source (row, col) against `period` and `reach`.
bool recurs_against(const WindowPlan& plan, LevelKey period, std::int64_t reach, std::size_t row, std::size_t col,
                    std::size_t end_row) {
    if (period <= 0) return false;
    const auto r = static_cast<std::int64_t>(row), c = static_cast<std::int64_t>(col);
    const Placement here = placement_against(plan, period, reach, r, c);
    return (c + period < plan.base_cols && placement_against(plan, period, reach, r, c + period) == here) ||
           (r + period < static_cast<std::int64_t>(end_row) && placement_against(plan, period, reach, r + period, c) == here);
}

// The cells on the border of the window's bounding box.
void attach_on_border(const FocalWindow& w, std::vector<std::uint8_t>& attach) {
    attach.assign(w.size(), 0);
    if (w.empty()) return;
    const auto [row_min, row_max] = std::minmax_element(w.rows.begin(), w.rows.end());
    const auto [col_min, col_max] = std::minmax_element(w.cols.begin(), w.cols.end());
    for (std::size_t k = 0; k < w.size(); ++k) {
        attach[k] =
            (w.rows[k] == *row_min || w.rows[k] == *row_max || w.cols[k] == *col_min || w.cols[k] == *col_max) ? 1 : 0;
    }
}

}  // namespace

void FocalWindow::clear(std::size_t layer_count) {
    rows.clear();
    cols.clear();
    condition.clear();
    weights.clear();
    pa_membership.clear();
    boundary.clear();
    similarity.clear();
    layers = layer_count;
}

void FocalWindow::resize(std::size_t n) {
    rows.resize(n);
    cols.resize(n);
    condition.resize(n);
    weights.resize(n);
    pa_membership.resize(n);
    boundary.resize(n);
}

void source_profile(const RowContext& ctx, std::size_t row, std::size_t col, std::vector<float>& profile) {
    profile.clear();
    if (ctx.transgrid_levels == nullptr || ctx.transgrid_levels->empty()) return;
    const LevelMap3& first = ctx.transgrid_levels->front();
    const auto it = first.find(1);
    if (it == first.end() || row >= it->second.nrows() || col >= it->second.ncols()) return;
    const auto lane = it->second.cell(row, col);
    profile.assign(lane.begin(), lane.end());
}

bool shape_recurs(const WindowPlan& plan, std::size_t row, std::size_t col, std::size_t end_row) {
    return recurs_against(plan, plan.shape_period, plan.shape_reach, row, col, end_row);
}

LevelPrefix recurring_prefix(const WindowPlan& plan, std::size_t levels, std::size_t row, std::size_t col,
                             std::size_t end_row) {
    for (std::size_t k = std::min(levels, plan.levels.size() - 1); k >= 1; --k) {
        const LevelKey period = plan.prefix_period[k - 1];
        const std::int32_t reach = plan.prefix_reach[k - 1];
        if (recurs_against(plan, period, reach, row, col, end_row)) {
            const Placement place = placement_against(plan, period, reach, static_cast<std::int64_t>(row),
                                                      static_cast<std::int64_t>(col));
            return {k, {true, true, place}};
        }
    }
    return {};
}

void build_windows(const WindowPlan& plan, std::size_t row, std::size_t col, WindowScratch& scratch) {
    scratch.windows.resize(plan.levels.size());
    const std::int64_t global_row = static_cast<std::int64_t>(row) + plan.row_offset;
    const std::int64_t global_col = static_cast<std::int64_t>(col) + plan.col_offset;
    const Room room = room_around(plan, static_cast<std::int64_t>(row), static_cast<std::int64_t>(col));
    scratch.template_levels = 0;
    for (std::size_t i = 0; i < plan.levels.size(); ++i) {
        FocalWindow& w = scratch.windows[i];
        w.layers = plan.levels[i].transgrids.size();
        const bool whole = build_level_window(plan, i, global_row, global_col, room, scratch.templates, w);
        if (whole && scratch.template_levels == i) ++scratch.template_levels;
        fill_similarities(w, plan.levels[i], scratch.profile);
    }
    scratch.shape = {};
    if (plan.shape_period > 0 && scratch.template_levels == plan.levels.size()) {
        scratch.shape = {true, false,
                         placement_against(plan, plan.shape_period, plan.shape_reach, static_cast<std::int64_t>(row),
                                           static_cast<std::int64_t>(col))};
    }
}

void select_attachments(const FocalWindow& w, WindowMode mode, std::vector<std::uint8_t>& attach) {
    switch (mode) {
        case WindowMode::circular:
            attach.assign(w.boundary.begin(), w.boundary.end());
            return;
        case WindowMode::square:
            attach_on_border(w, attach);
            return;
    }
    raise_unknown_window_mode();
}

}  // namespace quillet
