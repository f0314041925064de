// Planning the windows of a band: level by level, the lookups and checks in
// their documented order, then the window geometry of the level; last, what
// sources may share.
#include "connectivity/window_plan.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>

#include "connectivity/window_reach.hpp"

namespace quillet {

namespace {

const Grid* find_level(const LevelMap& map, LevelKey level) {
    const auto it = map.find(level);
    return it == map.end() ? nullptr : &it->second;
}

bool smaller_than(const Grid* grid, const Grid& reference) {
    return grid != nullptr && (grid->nrows() < reference.nrows() || grid->ncols() < reference.ncols());
}

std::vector<LevelKey> distinct_ascending(std::vector<LevelKey> keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// The grids of `level`, faulting on the first one missing; an optional
// overview's grid is looked up only when the call has that overview.
void look_up_grids(const RowContext& ctx, LevelKey level, LevelPlan& lp) {
    lp.weights = find_level(*ctx.cell_weights, level);
    if (lp.weights == nullptr) raise_fault("Weights level not found!");
    lp.condition = find_level(*ctx.condition_levels, level);
    if (lp.condition == nullptr) raise_fault("Condition level not found!");
    lp.pa = nullptr;
    if (ctx.pa_levels != nullptr) {
        lp.pa = find_level(*ctx.pa_levels, level);
        if (lp.pa == nullptr) raise_fault("PA-membership level not found!");
    }
    lp.traversal = nullptr;
    if (ctx.traversal_levels != nullptr) {
        lp.traversal = find_level(*ctx.traversal_levels, level);
        if (lp.traversal == nullptr) raise_fault("Traversal level not found!");
    }
}

// The widths, the base level and the key, checked after each level's lookups.
const Grid& checked_base(const RowContext& ctx, LevelKey level) {
    if (ctx.window_size % 2 == 0) raise_fault("Window size must be odd-numbered");
    if (ctx.outer_window >= ctx.window_size && ctx.outer_window % 2 == 0) {
        raise_fault("Outer window size must be odd-numbered");
    }
    const Grid* base = find_level(*ctx.condition_levels, 1);
    if (base == nullptr) raise_fault("Base condition level not found!");
    // Keys come from power-of-two factors; anything else would divide by zero
    // or flip the window geometry.
    if (level <= 0) raise_fault("Level key " + std::to_string(level) + " is not positive");
    return *base;
}

// The level's window: the outer width on the coarsest level, an annulus around
// the finer levels' area above level 1.
void plan_geometry(const RowContext& ctx, const WindowPlan& plan, LevelPlan& lp) {
    const std::int32_t ws = ctx.window_size;
    const LevelKey level = lp.level;
    lp.width = level == ctx.coarsest_level() ? outer_width(ws, ctx.outer_window) : ws;
    lp.reach = static_cast<double>(lp.width) * static_cast<double>(level);
    lp.inner_radius = level != 1 ? static_cast<double>(ws) * static_cast<double>(level) * 0.5 : 0.0;
    std::tie(lp.origin_row, lp.origin_col) = global_coarse(level, plan.row_offset, plan.col_offset);
}

void look_up_transgrids(const RowContext& ctx, LevelPlan& lp) {
    const std::size_t layers = ctx.transgrid_levels == nullptr ? 0 : ctx.transgrid_levels->size();
    lp.transgrids.assign(layers, nullptr);
    for (std::size_t j = 0; j < layers; ++j) {
        const LevelMap3& layer = (*ctx.transgrid_levels)[j];
        const auto it = layer.find(lp.level);
        if (it != layer.end()) lp.transgrids[j] = &it->second;
    }
}

// Whether every coordinate of the level's windows, wherever the source lies on
// the raster, stays below `kFarCoordinate`.
bool coordinates_stay_small(const WindowPlan& plan, const LevelPlan& lp) {
    const double far = 2.0 * lp.reach + 2.0 * lp.level;
    return std::fabs(static_cast<double>(plan.row_offset)) + static_cast<double>(plan.base_rows) + far < kFarCoordinate &&
           std::fabs(static_cast<double>(plan.col_offset)) + static_cast<double>(plan.base_cols) + far < kFarCoordinate;
}

// Whether the level's grid has exactly the cells that the raster's extent
// covers on the level's lattice, so that no window is clipped by the grid alone.
bool covers_raster_exactly(const WindowPlan& plan, const LevelPlan& lp) {
    if (plan.base_rows >= (std::int64_t{1} << 30) || plan.base_cols >= (std::int64_t{1} << 30)) return false;
    const auto [rows, cols] = level_shape(lp.level, static_cast<std::int32_t>(plan.base_rows),
                                          static_cast<std::int32_t>(plan.base_cols), plan.row_offset, plan.col_offset);
    return static_cast<std::size_t>(rows) == lp.condition->nrows() && static_cast<std::size_t>(cols) == lp.condition->ncols();
}

// The period and reach of source shapes, and whether edge windows may come
// from templates. Without reuse no source has a shape, so nothing is taken
// from another.
void plan_sharing(const RowContext& ctx, const std::vector<LevelKey>& keys, WindowPlan& plan) {
    plan.prefix_period.assign(keys.size(), 0);
    plan.prefix_reach.assign(keys.size(), 0);
    plan.edge_templates = ctx.reuse_across_sources;
    std::int32_t reach = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const LevelPlan& lp = plan.levels[i];
        const bool divided = std::all_of(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(i),
                                         [&](LevelKey finer) { return keys[i] % finer == 0; });
        plan.prefix_period[i] = ctx.reuse_across_sources && divided ? keys[i] : 0;
        const double past_window = lp.reach + lp.level;  // past every distance at which the edge clips
        reach = std::max(reach, static_cast<std::int32_t>(std::min(past_window, kFarCoordinate)));
        plan.prefix_reach[i] = reach;
        plan.edge_templates = plan.edge_templates && covers_raster_exactly(plan, lp) && coordinates_stay_small(plan, lp);
    }
    plan.shape_period = keys.empty() ? 0 : plan.prefix_period.back();
    plan.shape_reach = keys.empty() ? 0 : plan.prefix_reach.back();
}

void link_coarser_levels(const std::vector<LevelKey>& keys, WindowPlan& plan) {
    for (LevelPlan& lp : plan.levels) {
        const std::int64_t doubled = 2 * static_cast<std::int64_t>(lp.level);
        const auto it = std::find(keys.begin(), keys.end(), doubled);
        lp.coarser = it == keys.end() ? -1 : static_cast<std::int32_t>(it - keys.begin());
    }
}

}  // namespace

void plan_windows(const RowContext& ctx, WindowPlan& plan) {
    const std::vector<LevelKey> keys = distinct_ascending(ctx.level_keys);
    plan.row_offset = static_cast<std::int32_t>(ctx.row_offset);
    plan.col_offset = static_cast<std::int32_t>(ctx.col_offset);
    plan.mode = ctx.window_mode;
    plan.levels.resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        LevelPlan& lp = plan.levels[i];
        lp.level = keys[i];
        look_up_grids(ctx, lp.level, lp);
        const Grid& base = checked_base(ctx, lp.level);
        plan.base_rows = static_cast<std::int64_t>(base.nrows());
        plan.base_cols = static_cast<std::int64_t>(base.ncols());
        plan_geometry(ctx, plan, lp);
        lp.checked_reads = smaller_than(lp.weights, *lp.condition) || smaller_than(lp.pa, *lp.condition);
        look_up_transgrids(ctx, lp);
    }
    plan_sharing(ctx, keys, plan);
    link_coarser_levels(keys, plan);
}

}  // namespace quillet
