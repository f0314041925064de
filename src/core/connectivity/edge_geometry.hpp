// Edge geometry: which cells the edges of a graph join and how long they are.
// Within a level an edge joins 8-neighbours, in a fixed direction order; a link
// joins a fine cell to the distinct coarse cells (at level 2L) that hold it and
// its neighbours. Lengths run between cell centres, planar or great-circle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/affine.hpp"

namespace quillet {

// (row step, column step)
using Step = std::array<std::int32_t, 2>;

// Within-level neighbours, in the order their edges are made.
inline constexpr std::array<Step, 8> kNeighbours = {
    {{0, 1}, {1, 0}, {0, -1}, {-1, 0}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}}};
inline constexpr std::size_t kRowBelow = 1;  // index of (+1, 0) in kNeighbours
// Index in kNeighbours of the step back, for each step.
inline constexpr std::array<std::size_t, 8> kOpposite = {2, 3, 0, 1, 7, 6, 5, 4};
static_assert([] {
    for (std::size_t d = 0; d < kNeighbours.size(); ++d) {
        const Step& back = kNeighbours[kOpposite[d]];
        if (back[0] != -kNeighbours[d][0] || back[1] != -kNeighbours[d][1]) return false;
    }
    return true;
}());

// The distinct level-2L cells (local indices) that hold a fine cell and its
// eight neighbours, the fine cell's own first; at most four.
struct Candidates {
    std::size_t count = 0;
    std::array<std::int64_t, 4> row{}, col{};
};

// The candidates of the fine cell at global level position (global_row,
// global_col), local to a coarse grid whose cell (0, 0) lies at global coarse
// position (coarse_origin_row, coarse_origin_col).
Candidates coarse_candidates(std::int64_t global_row, std::int64_t global_col, std::int64_t coarse_origin_row,
                             std::int64_t coarse_origin_col);

// Length in kilometres of the segment between two cell centres: planar in the
// transform's units divided by 1000, or great-circle on a sphere of radius
// 6371000 m with x as longitude and y as latitude in degrees.
float edge_length_km(Point from, Point to, bool is_geo);

}  // namespace quillet
