// The read-only record that the kernel receives for every band of rows of a call.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/cancel.hpp"
#include "common/grid.hpp"
#include "common/levels.hpp"
#include "connectivity/window_mode.hpp"

namespace quillet {

struct RowContext {
    std::uint64_t ncols;
    const BoolGrid* mask;
    const std::vector<LevelMap3>* transgrid_levels;
    std::uint64_t level_count;          // entries of `levels`, duplicates counted
    std::vector<LevelKey> level_keys;   // keys of condition_levels, ascending
    LevelKey coarsest_level;            // last of level_keys, 1 when there is none
    std::int32_t window_size;
    std::int32_t outer_window;
    std::uint64_t row_offset;
    std::uint64_t col_offset;
    const LevelMap* condition_levels;
    const LevelMap* cell_weights;
    const LevelMap* pa_levels;          // null unless pa_to_pa
    const LevelMap* traversal_levels;   // null unless a traversal raster was given
    WindowMode window_mode;
    float max_cost;
    const TransformMap* transforms;
    bool is_geo;
    bool pa_to_pa;
    std::vector<float> lambdas;
    bool has_transgrids;
    const CancelFlag* cancel = &kNeverCancelled;  // checked before every source cell
    // Whether the kernel may take what a source's windows, graph and length
    // search share with earlier sources from those sources (window templates for
    // sources near the raster's edge, graph topologies, length searches) instead
    // of computing it; off only to test that the results come out the same.
    bool reuse_across_sources = true;
};

}  // namespace quillet
