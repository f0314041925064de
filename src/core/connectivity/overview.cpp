// Building overviews: level 1 is the base itself (or its cell areas), every
// coarser level is filled in parallel, one level row per task, each block
// summarised in a fixed order so that the grids do not depend on the pool.
#include "connectivity/overview.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace quillet {

namespace {

constexpr float kNoData = std::numeric_limits<float>::quiet_NaN();
constexpr const char* kEmptyRowText = "chunk_size must not be zero";
constexpr const char* kOffLatticeText = "tile extends beyond the 32-bit global grid";

Status check_powers_of_two(std::span<const std::uint64_t> levels) {
    for (const std::uint64_t factor : levels) {
        if (!std::has_single_bit(factor)) return Error{"Level " + std::to_string(factor) + " is not a power of 2"};
    }
    return success();
}

// Area of a cell of each base row relative to a cell on the equator: |cos| of the
// latitude of the centre of the row's first cell, or 0 when that is not finite.
std::vector<float> row_area_factors(const Affine& t, std::size_t nrows) {
    std::vector<float> factors(nrows);
    for (std::size_t k = 0; k < nrows; ++k) {
        const double latitude = cell_centre(t, static_cast<double>(k), 0.0).y;
        const float factor = static_cast<float>(std::fabs(std::cos(latitude * kRadiansPerDegree)));
        factors[k] = std::isfinite(factor) ? factor : 0.0f;
    }
    return factors;
}

Grid copy_of(const Grid& base) {
    Grid copy(base.nrows(), base.ncols(), Grid::Init::uninitialised);
    std::copy_n(base.data(), base.size(), copy.data());
    return copy;
}

Grid3 copy_of(const Grid3& base) {
    Grid3 copy(base.nrows(), base.ncols(), base.depth(), Grid3::Init::uninitialised);
    std::copy_n(base.data(), base.size(), copy.data());
    return copy;
}

// Level-1 cell weights: the cell's own area where its value is finite, NaN elsewhere.
Grid level_one_weights(const Grid& base, OverviewMode mode, std::span<const float> row_factors) {
    Grid weights(base.nrows(), base.ncols(), Grid::Init::uninitialised);
    for (std::size_t r = 0; r < base.nrows(); ++r) {
        const float area = mode == OverviewMode::area_geographic ? row_factors[r] : 1.0f;
        const std::span<const float> values = base.row(r);
        const std::span<float> out = weights.row(r);
        for (std::size_t c = 0; c < values.size(); ++c) out[c] = std::isfinite(values[c]) ? area : kNoData;
    }
    return weights;
}

// One level grid above level 1: its shape, and the local base row and column at
// which the block of level cell (0, 0) starts. Blocks follow the global lattice,
// so these starts are zero or negative.
struct LevelPlacement {
    std::int64_t factor;
    std::size_t rows;
    std::size_t cols;
    std::int64_t first_block_row;
    std::int64_t first_block_col;
};

// Level geometry is 32-bit signed arithmetic on the global lattice, so the tile's
// last row (or column) must have a global index there.
void check_on_lattice(std::int32_t offset, std::size_t extent) {
    constexpr std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t highest = std::numeric_limits<std::int32_t>::max();
    if (extent > static_cast<std::size_t>(highest)) raise_fault(kOffLatticeText);
    const std::int64_t last = std::int64_t{offset} + static_cast<std::int64_t>(extent) - 1;
    if (last < lowest || last > highest) raise_fault(kOffLatticeText);
}

LevelPlacement place_level(std::uint64_t factor, std::size_t nrows, std::size_t ncols, std::int32_t row_offset,
                           std::int32_t col_offset) {
    check_on_lattice(row_offset, nrows);
    check_on_lattice(col_offset, ncols);
    const auto l = static_cast<std::int32_t>(factor);
    const auto [rows, cols] =
        level_shape(l, static_cast<std::int32_t>(nrows), static_cast<std::int32_t>(ncols), row_offset, col_offset);
    const auto [g0, h0] = global_coarse(l, row_offset, col_offset);
    return {l, static_cast<std::size_t>(rows), static_cast<std::size_t>(cols),
            std::int64_t{l} * g0 - row_offset, std::int64_t{l} * h0 - col_offset};
}

// Base index range [lo, hi) that level index `index` covers along one axis,
// clipped to the `extent` base cells; empty for a block wholly outside the tile.
struct BlockRange {
    std::size_t lo;
    std::size_t hi;
};

BlockRange block_range(std::int64_t first_block, std::int64_t factor, std::size_t index, std::size_t extent) {
    const std::int64_t start = first_block + factor * static_cast<std::int64_t>(index);
    const auto clip = [extent](std::int64_t i) {
        return static_cast<std::size_t>(std::clamp<std::int64_t>(i, 0, static_cast<std::int64_t>(extent)));
    };
    return {clip(start), clip(start + factor)};
}

// Level rows are filled in parallel one row per task; a level row without any
// value cannot form a task, and a caller asking for one has broken an invariant.
void refuse_empty_rows(std::size_t values_per_row) {
    if (values_per_row == 0) raise_fault(kEmptyRowText);
}

// The summary of one block under `Mode`, NaN when no base value in it is finite.
// Count and sum are 32-bit floats accumulated rows outer, columns inner, so a cell
// has the same bits whichever thread computes it.
//
// A value that does not count adds +0 instead of being skipped, which avoids a
// branch per cell and changes no bits: the accumulators start at +0 and so never
// hold -0, the one value that adding +0 would alter.
template <OverviewMode Mode>
float summarise_block(const Grid& base, BlockRange rows, BlockRange cols, std::span<const float> row_factors) {
    float count = 0.0f;
    float sum = 0.0f;
    for (std::size_t r = rows.lo; r < rows.hi; ++r) {
        const float* values = base.data() + r * base.ncols();
        for (std::size_t c = cols.lo; c < cols.hi; ++c) {
            const float v = values[c];
            const bool counts = std::isfinite(v);
            count += counts ? 1.0f : 0.0f;
            if constexpr (Mode == OverviewMode::average) sum += counts ? v : 0.0f;
            if constexpr (Mode == OverviewMode::area_geographic) sum += counts ? row_factors[r] : 0.0f;
        }
    }
    if (!(count > 0.0f)) return kNoData;
    if constexpr (Mode == OverviewMode::average) return sum / count;
    if constexpr (Mode == OverviewMode::area_projected) return count;
    return sum;
}

// Every cell of the level grid is written by the task of its row (NaN for a block
// without finite values), so the grid needs no initial fill.
template <OverviewMode Mode>
Grid coarse_level(const Grid& base, const LevelPlacement& level, std::span<const float> row_factors, Pool& pool) {
    refuse_empty_rows(level.cols);
    Grid grid(level.rows, level.cols, Grid::Init::uninitialised);
    pool.parallel_for(0, level.rows, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            const BlockRange rows = block_range(level.first_block_row, level.factor, i, base.nrows());
            const std::span<float> out = grid.row(i);
            for (std::size_t j = 0; j < level.cols; ++j) {
                const BlockRange cols = block_range(level.first_block_col, level.factor, j, base.ncols());
                out[j] = summarise_block<Mode>(base, rows, cols, row_factors);
            }
        }
    });
    return grid;
}

Grid coarse_level(const Grid& base, const LevelPlacement& level, OverviewMode mode,
                  std::span<const float> row_factors, Pool& pool) {
    switch (mode) {
        case OverviewMode::average:
            return coarse_level<OverviewMode::average>(base, level, row_factors, pool);
        case OverviewMode::area_projected:
            return coarse_level<OverviewMode::area_projected>(base, level, row_factors, pool);
        case OverviewMode::area_geographic:
            return coarse_level<OverviewMode::area_geographic>(base, level, row_factors, pool);
    }
    raise_fault("unknown overview mode");
}

// Writes the per-depth means of one block into `out`. All depth indices are
// accumulated in one pass over the block's cells; each index still sums its own
// values rows outer, columns inner, exactly as a pass per index would. Values
// that do not count add +0, as in `summarise_block`.
void average_block_3d(const Grid3& base, BlockRange rows, BlockRange cols, std::vector<float>& count,
                      std::vector<float>& sum, std::span<float> out) {
    const std::size_t depth = base.depth();
    std::fill(count.begin(), count.end(), 0.0f);
    std::fill(sum.begin(), sum.end(), 0.0f);
    for (std::size_t r = rows.lo; r < rows.hi; ++r) {
        for (std::size_t c = cols.lo; c < cols.hi; ++c) {
            const float* values = base.data() + (r * base.ncols() + c) * depth;
            for (std::size_t b = 0; b < depth; ++b) {
                const bool counts = std::isfinite(values[b]);
                count[b] += counts ? 1.0f : 0.0f;
                sum[b] += counts ? values[b] : 0.0f;
            }
        }
    }
    for (std::size_t b = 0; b < depth; ++b) out[b] = count[b] > 0.0f ? sum[b] / count[b] : kNoData;
}

Grid3 coarse_level_3d(const Grid3& base, const LevelPlacement& level, Pool& pool) {
    refuse_empty_rows(level.cols * base.depth());
    Grid3 grid(level.rows, level.cols, base.depth(), Grid3::Init::uninitialised);
    pool.parallel_for(0, level.rows, 1, [&](std::size_t lo, std::size_t hi) {
        std::vector<float> count(base.depth());
        std::vector<float> sum(base.depth());
        for (std::size_t i = lo; i < hi; ++i) {
            const BlockRange rows = block_range(level.first_block_row, level.factor, i, base.nrows());
            for (std::size_t j = 0; j < level.cols; ++j) {
                const BlockRange cols = block_range(level.first_block_col, level.factor, j, base.ncols());
                average_block_3d(base, rows, cols, count, sum, grid.cell(i, j));
            }
        }
    });
    return grid;
}

}  // namespace

// A factor listed twice would give the same grid again, so it is built once.
Result<LevelMap> make_overview(const Grid& base, std::span<const std::uint64_t> levels, std::int32_t row_offset,
                               std::int32_t col_offset, OverviewMode mode, const Affine* base_transform,
                               Pool& pool) {
    if (const Status checked = check_powers_of_two(levels); !checked.ok()) return checked.error();
    const bool geographic = mode == OverviewMode::area_geographic;
    if (geographic && base_transform == nullptr) {
        return Error{"Area resampling requires base-level transform information."};
    }
    const std::vector<float> row_factors =
        geographic ? row_area_factors(*base_transform, base.nrows()) : std::vector<float>{};

    LevelMap map;
    for (const std::uint64_t factor : levels) {
        const LevelKey key = level_key(factor);
        if (map.contains(key)) continue;
        if (factor == 1) {
            map.emplace(key, mode == OverviewMode::average ? copy_of(base) : level_one_weights(base, mode, row_factors));
        } else {
            const LevelPlacement level = place_level(factor, base.nrows(), base.ncols(), row_offset, col_offset);
            map.emplace(key, coarse_level(base, level, mode, row_factors, pool));
        }
    }
    return map;
}

Result<LevelMap3> make_overview_3d(const Grid3& base, std::span<const std::uint64_t> levels,
                                   std::int32_t row_offset, std::int32_t col_offset, Pool& pool) {
    if (const Status checked = check_powers_of_two(levels); !checked.ok()) return checked.error();

    LevelMap3 map;
    for (const std::uint64_t factor : levels) {
        const LevelKey key = level_key(factor);
        if (map.contains(key)) continue;
        if (factor == 1) {
            map.emplace(key, copy_of(base));
        } else {
            const LevelPlacement level = place_level(factor, base.nrows(), base.ncols(), row_offset, col_offset);
            map.emplace(key, coarse_level_3d(base, level, pool));
        }
    }
    return map;
}

}  // namespace quillet
