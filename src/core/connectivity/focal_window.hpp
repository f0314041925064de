// Focal windows: for one source cell and one resolution level, the level cells
// that fall inside that level's share of the neighbourhood (a disc or square at
// the base level, an annulus around the finer levels' area above it), with the
// per-cell values that node mapping and the routing graph read, and the cells
// at which links to the next coarser level start.
//
// Window building is the first step of the per-source work and runs once per
// raster cell, so it reads the levels from the band's window plan and takes the
// geometry of most windows from the thread's templates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "connectivity/row_context.hpp"
#include "connectivity/shapes.hpp"
#include "connectivity/window_mode.hpp"
#include "connectivity/window_plan.hpp"
#include "connectivity/window_templates.hpp"

namespace quillet {

// The selected cells of one level around one source, as parallel lists in
// visiting order (level rows ascending, columns ascending within a row).
struct FocalWindow {
    std::vector<std::int32_t> rows;  // level-grid row of each cell
    std::vector<std::int32_t> cols;  // level-grid column of each cell
    std::vector<float> condition;
    std::vector<float> weights;        // window share times cell weight
    std::vector<float> pa_membership;  // protected fraction; 1 without a protected-area overview
    std::vector<std::uint8_t> boundary;  // 1 where the outer circle cuts the cell (circular mode)
    // Similarity of each cell to the source under each transgrid layer, cell by
    // cell: similarity[k * layers + j]. NaN marks a cell without a similarity
    // (a non-finite band value); a real similarity is never NaN.
    std::vector<float> similarity;
    std::size_t layers = 0;

    std::size_t size() const { return rows.size(); }
    bool empty() const { return rows.empty(); }
    void clear(std::size_t layer_count);
    // Gives every cell list `n` entries, to be overwritten.
    void resize(std::size_t n);
};

// Per-thread storage for window building; keeps its capacity between cells.
struct WindowScratch {
    std::vector<FocalWindow> windows;  // one per plan level, same order
    std::vector<float> profile;        // band values of the source under the first transgrid layer
    SourceShape shape;                 // of the source whose windows were built last
    std::size_t template_levels = 0;   // its leading levels whose windows are their templates whole
    WindowTemplates templates;
};

// The source's band values: the level-1 lane of the first transgrid layer at
// (row, col), or empty when there is no such lane.
void source_profile(const RowContext& ctx, std::size_t row, std::size_t col, std::vector<float>& profile);

// Builds the windows of source (row, col) on every planned level into
// `scratch.windows`, using `scratch.profile` as the source's band values, and
// sets `scratch.shape`.
void build_windows(const WindowPlan& plan, std::size_t row, std::size_t col, WindowScratch& scratch);

// Whether a later source of a band of rows that ends before `end_row`, visited
// column by column, can have the shape of source (row, col): the source one
// shape period on along the row, or down the column inside the band, has the
// same placement.
bool shape_recurs(const WindowPlan& plan, std::size_t row, std::size_t col, std::size_t end_row);

// The longest prefix of at most `levels` levels, and short of all, whose shape
// a later source of a band that ends before `end_row` has too; none when no
// prefix recurs. The first `levels` windows of source (row, col) must be their
// templates whole.
LevelPrefix recurring_prefix(const WindowPlan& plan, std::size_t levels, std::size_t row, std::size_t col,
                             std::size_t end_row);

// Marks the cells of `window` at which links to the next coarser level start:
// in square mode the cells on the border of the window's bounding box, in
// circular mode the cells that the outer circle cuts.
void select_attachments(const FocalWindow& window, WindowMode mode, std::vector<std::uint8_t>& attach);

}  // namespace quillet
