// The window plan: what building a source's windows needs of every level (its
// grids, window width and reach, its place on the global lattice), looked up
// and checked once per band of rows, since it is the same for every source.
// It also says which sources may share their windows' geometry and graphs:
// the period of source shapes and whether windows at the raster's edge may
// come from templates.
#pragma once

#include <cstdint>
#include <vector>

#include "common/grid.hpp"
#include "common/levels.hpp"
#include "connectivity/row_context.hpp"
#include "connectivity/window_mode.hpp"

namespace quillet {

// Window coordinates below this stay far from the 32-bit limits of the level
// cell arithmetic.
inline constexpr double kFarCoordinate = 1073741824.0;  // 2^30

// What window building needs of one level, looked up and checked once per band.
struct LevelPlan {
    LevelKey level = 1;
    std::int32_t width = 0;  // window width w in level cells
    double reach = 0.0;      // w * L base cells
    double inner_radius = 0.0;
    std::int32_t origin_row = 0, origin_col = 0;  // global level position of local cell (0, 0)
    std::int32_t coarser = -1;                    // plan index of level 2L, -1 when 2L is not a level
    const Grid* condition = nullptr;
    const Grid* weights = nullptr;
    const Grid* pa = nullptr;         // null without a protected-area overview
    const Grid* traversal = nullptr;  // null without a traversal overview; read by graph building only
    bool checked_reads = false;       // the weight or protected-area grid is smaller than the condition grid
    std::vector<const Grid3*> transgrids;  // one per layer; null where the layer lacks the level
};

// The per-band, read-only frame of window building: every level in ascending key
// order and the placement of the base raster on the global grid.
struct WindowPlan {
    std::vector<LevelPlan> levels;
    std::int32_t row_offset = 0, col_offset = 0;
    std::int64_t base_rows = 0, base_cols = 0;
    WindowMode mode = WindowMode::circular;
    // The coarsest level when every level divides it, else 0: the period after
    // which sources are in the same place against every level's lattice. Also 0
    // when sources may not take anything from one another, so that none has a
    // shape.
    LevelKey shape_period = 0;
    // Base cells from the source beyond which no window notices the raster's edge.
    std::int32_t shape_reach = 0;
    // The same for the first i + 1 levels alone, at index i: their period (0
    // where a finer level does not divide level i, or without sharing) and reach.
    // The last entries are the shape period and reach.
    std::vector<LevelKey> prefix_period;
    std::vector<std::int32_t> prefix_reach;
    // Whether the windows of sources near the raster's edge may come from
    // templates too: the level grids cover the raster exactly and every
    // coordinate stays far from the 32-bit limits.
    bool edge_templates = false;
};

// Looks up every level's grids and checks the window widths, level by level in
// ascending key order, faulting on the first failed check with its documented text.
void plan_windows(const RowContext& ctx, WindowPlan& plan);

}  // namespace quillet
