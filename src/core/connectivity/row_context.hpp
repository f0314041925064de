// The row context: the read-only record of a call that the kernel receives for
// every band of rows. It holds the raster's place on the global grid, the level
// overviews the driver built, the window and cost settings, and whether sources
// may share work.
#pragma once

#include <cstdint>
#include <vector>

#include "common/cancel.hpp"
#include "common/grid.hpp"
#include "common/levels.hpp"
#include "connectivity/window_mode.hpp"
#include "connectivity/window_reach.hpp"

namespace quillet {

struct RowContext {
    std::uint64_t ncols;
    const BoolGrid* mask;  // true where a cell is not a source
    std::uint64_t row_offset;
    std::uint64_t col_offset;

    std::vector<LevelKey> level_keys;  // keys of condition_levels, ascending
    const LevelMap* condition_levels;
    const LevelMap* cell_weights;
    const LevelMap* pa_levels;                       // null unless pa_to_pa
    const LevelMap* traversal_levels;                // null unless a traversal raster was given
    const std::vector<LevelMap3>* transgrid_levels;  // one map per transgrid layer
    const TransformMap* transforms;

    std::int32_t window_size;
    std::int32_t outer_window;
    WindowMode window_mode;
    float max_cost;
    bool is_geo;
    bool pa_to_pa;
    std::vector<float> lambdas;

    const CancelFlag* cancel = &kNeverCancelled;  // checked before every source cell
    // Whether the kernel may take what a source's windows, graph and length
    // search share with earlier sources from those sources (window templates for
    // sources near the raster's edge, graph topologies, length searches) instead
    // of computing it; off only to test that the results come out the same.
    bool reuse_across_sources = true;

    LevelKey coarsest_level() const { return quillet::coarsest_level(level_keys); }
    // Whether values take the similarity-weighted form.
    bool has_transgrids() const { return transgrid_levels != nullptr && !transgrid_levels->empty(); }
};

}  // namespace quillet
