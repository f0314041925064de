// Resolution levels: level keys, the placement of level grids on the global
// lattice that the tile offsets define, level maps, the transform of each level
// and the consistency check between level maps.
//
// A level factor L (a power of two) makes one level cell stand for an L x L block
// of base cells. Blocks are aligned to the global grid (floor division), so that a
// tile cut from a larger raster at an offset gets the coarse cells of the whole.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "common/affine.hpp"
#include "common/fault.hpp"
#include "common/grid.hpp"

namespace quillet {

using LevelKey = std::int32_t;

// Maps keyed by level. Ordered maps, so every walk over them is deterministic.
using LevelMap = std::map<LevelKey, Grid>;
using LevelMap3 = std::map<LevelKey, Grid3>;

using TransformMap = std::map<LevelKey, Affine>;

// The level key of a level factor: its low 32 bits, as a signed integer.
inline LevelKey level_key(std::uint64_t factor) { return static_cast<LevelKey>(static_cast<std::uint32_t>(factor)); }

// Quotient rounded toward negative infinity (remainder never negative).
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Global coarse (row, column) of local level cell (0, 0): (R0 div L, C0 div L).
inline std::pair<std::int32_t, std::int32_t> global_coarse(std::int32_t factor, std::int32_t row_offset,
                                                           std::int32_t col_offset) {
    return {static_cast<std::int32_t>(floor_div(row_offset, factor)),
            static_cast<std::int32_t>(floor_div(col_offset, factor))};
}

// Number of level cells along one axis of `extent` base cells placed at `offset`.
inline std::int32_t level_extent(std::int32_t factor, std::int32_t extent, std::int32_t offset) {
    // In 64 bits: the last cell of an extent that ends at 2^31 is representable, the
    // sum before subtracting 1 is not.
    return static_cast<std::int32_t>(floor_div(std::int64_t{offset} + extent - 1, factor) -
                                     floor_div(offset, factor) + 1);
}

// (rows_L, cols_L) of the level-L grid of an nrows x ncols base at (R0, C0).
inline std::pair<std::int32_t, std::int32_t> level_shape(std::int32_t factor, std::int32_t nrows, std::int32_t ncols,
                                                         std::int32_t row_offset, std::int32_t col_offset) {
    if (factor == 1) return {nrows, ncols};
    return {level_extent(factor, nrows, row_offset), level_extent(factor, ncols, col_offset)};
}

// Checks that two level maps have the same keys and, key by key, the same shapes.
inline Status check_dims(const LevelMap& first, const LevelMap& second) {
    if (first.size() != second.size()) {
        return Error{"HashMaps have different number of keys: " + std::to_string(first.size()) + " vs " +
                     std::to_string(second.size())};
    }
    auto shape = [](const Grid& g) {
        return "(" + std::to_string(g.nrows()) + ", " + std::to_string(g.ncols()) + ")";
    };
    for (const auto& [key, grid] : first) {
        const auto other = second.find(key);
        if (other == second.end()) {
            return Error{"Key " + std::to_string(key) + " exists in first map but not in second"};
        }
        if (grid.nrows() != other->second.nrows() || grid.ncols() != other->second.ncols()) {
            return Error{"Dimension mismatch for key " + std::to_string(key) + ": " + shape(grid) + " vs " +
                         shape(other->second)};
        }
    }
    return success();
}

}  // namespace quillet
