// Focal windows: for one source cell and one resolution level, the level cells
// that fall inside that level's share of the neighbourhood (a disc or square at
// the base level, an annulus around the finer levels' area above it), with the
// per-cell values that node mapping and the routing graph read.
//
// Window building is the first step of the per-source work and runs once per
// raster cell, so the level lookups are resolved once per band of rows
// (`WindowPlan`) and the geometry of windows is taken from per-thread templates:
// it depends only on where the source lies inside its level block and, near the
// raster's edge, on how far the edge is, because every coordinate involved is an
// exactly representable integer or half-integer and so every difference is
// computed exactly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/grid.hpp"
#include "common/levels.hpp"
#include "connectivity/row_context.hpp"

namespace quillet {

// Area of the intersection of the rectangle [p0, p1] x [q0, q1] with the closed
// disc of radius r centred at (cp, cq).
double rect_circle_overlap_area(double p0, double p1, double q0, double q1, double cp, double cq, double r);

// Area of {(s, t): 0 <= s <= x, 0 <= t <= y, s^2 + t^2 <= r^2}.
double first_quadrant_circle_area(double x, double y, double r);

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
    // Whether the windows of sources near the raster's edge may come from
    // templates too: the level grids cover the raster exactly and every
    // coordinate stays far from the 32-bit limits.
    bool edge_templates = false;
};

// Looks up every level's grids and checks the window widths, level by level in
// ascending key order, faulting on the first failed check with its documented text.
void plan_windows(const RowContext& ctx, WindowPlan& plan);

// Window geometry of cells that the raster edge does not clip, cached per thread
// by (level geometry, position of the source inside its level block).
class WindowTemplates;

// Where a source lies against a level lattice and against the raster's edges:
// its position inside its block, and the base cells of the raster before and
// after it on each axis, counted only up to a distance past which the edge no
// longer matters.
struct Placement {
    std::int32_t row = 0, col = 0;
    std::int32_t rows_before = 0, rows_after = 0, cols_before = 0, cols_after = 0;

    bool operator==(const Placement&) const = default;

    // Spreads the placements of the sources of a band over the low bits.
    std::size_t hash() const {
        return static_cast<std::size_t>(8 * row + col) +
               17 * static_cast<std::size_t>(rows_before + 3 * rows_after + 5 * cols_before + 7 * cols_after);
    }
};

// A source's placement against the coarsest level, when every window of the
// source is its template whole: the window cells relative to the source, and so
// the source's graph, depend on nothing else.
struct SourceShape {
    bool regular = false;
    Placement place;
};

// Values kept per source shape, direct-mapped by the hash of its placement.
template <class T>
class ShapeTable {
public:
    // The value kept for `shape`, or null.
    const T* find(const SourceShape& shape) const {
        const Entry& e = entry(shape);
        return e.kept && e.place == shape.place ? &e.value : nullptr;
    }

    // The value to fill for `shape`, in place of what its entry held; it is not
    // found until `keep` says it is filled.
    T& refill(const SourceShape& shape) {
        Entry& e = entry(shape);
        e.kept = false;
        e.place = shape.place;
        return e.value;
    }

    // Marks the value that `refill` gave for `shape` as filled.
    void keep(const SourceShape& shape) { entry(shape).kept = true; }

    void clear() {
        for (Entry& e : entries_) e.kept = false;
    }

private:
    struct Entry {
        bool kept = false;
        Placement place;
        T value;
    };
    Entry& entry(const SourceShape& shape) { return entries_[shape.place.hash() & 63]; }
    const Entry& entry(const SourceShape& shape) const { return entries_[shape.place.hash() & 63]; }

    std::array<Entry, 64> entries_;
};

// Per-thread storage for window building; keeps its capacity between cells.
struct WindowScratch {
    WindowScratch();
    ~WindowScratch();
    WindowScratch(const WindowScratch&) = delete;
    WindowScratch& operator=(const WindowScratch&) = delete;

    std::vector<FocalWindow> windows;  // one per plan level, same order
    std::vector<float> profile;        // band values of the source under the first transgrid layer
    SourceShape shape;                 // of the source whose windows were built last
    std::unique_ptr<WindowTemplates> templates;
};

// The source's band values: the level-1 lane of the first transgrid layer at
// (row, col), or empty when there is no such lane.
void source_profile(const RowContext& ctx, std::size_t row, std::size_t col, std::vector<float>& profile);

// Builds the windows of source (row, col) on every planned level into
// `scratch.windows`, using `scratch.profile` as the source's band values.
void build_windows(const WindowPlan& plan, std::size_t row, std::size_t col, WindowScratch& scratch);

}  // namespace quillet
