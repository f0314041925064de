// The level-overview builder: from one base raster, one grid per requested level
// factor L, whose cells summarise the L x L blocks of the global lattice (see
// common/levels.hpp) that the base cells fall into. Only finite base values count.
#pragma once

#include <cstdint>
#include <span>

#include "common/fault.hpp"
#include "common/grid.hpp"
#include "common/levels.hpp"
#include "common/pool.hpp"

namespace quillet {

// How a block of base cells is summarised in a coarser level cell.
enum class OverviewMode {
    average,          // mean of the finite values
    area_projected,   // number of finite cells, in base-cell units
    area_geographic,  // summed equator-relative area of the finite cells
};

// The level map of `base` for every factor of `levels` (one entry per distinct key),
// placed on the global lattice at (row_offset, col_offset). `base_transform` is the
// base level's transform; only `area_geographic` reads it, and requires it.
// Error values: a factor that is not a power of two, a missing transform.
// Level rows are filled in parallel on `pool`; the result does not depend on its size.
Result<LevelMap> make_overview(const Grid& base, std::span<const std::uint64_t> levels, std::int32_t row_offset,
                               std::int32_t col_offset, OverviewMode mode, const Affine* base_transform,
                               Pool& pool);

// As `make_overview` in `average` mode, depth index by depth index.
Result<LevelMap3> make_overview_3d(const Grid3& base, std::span<const std::uint64_t> levels,
                                   std::int32_t row_offset, std::int32_t col_offset, Pool& pool);

}  // namespace quillet
