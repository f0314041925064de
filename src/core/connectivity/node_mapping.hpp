// Node mapping: the lookup from a level-grid cell of one focal window to its node
// in the routing graph.
//
// Graph nodes are dense indices (the cells of all windows, level by level, in
// window order), so a mapping is a dense index grid over the bounding box of the
// window's cells rather than a hash table. The grid has a margin of one empty
// cell on every side, so the eight neighbours of any window cell can be read
// without bounds checks. Each node also has a 64-bit id that packs its level and
// global level position; ids are only observable through the faults raised when a
// position does not fit that layout, which building a mapping checks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/levels.hpp"
#include "connectivity/focal_window.hpp"

namespace quillet {

// Node id: level in bits 48-63, global level row in bits 24-47, global level
// column in bits 0-23. Faults when a coordinate is negative or does not fit.
std::uint64_t node_id(std::int64_t level, std::int64_t global_row, std::int64_t global_col);

class NodeMapping {
public:
    // Node of level cell (r, c), or -1 when the window does not hold the cell.
    std::int32_t find(std::int64_t r, std::int64_t c) const {
        const std::int64_t dr = r - row0_, dc = c - col0_;
        if (dr < 0 || dr >= height_ || dc < 0 || dc >= width_) return -1;
        return slots_[static_cast<std::size_t>(dr * width_ + dc)];
    }

    // The slot of window cell (r, c); its eight neighbours are at the offsets of
    // `neighbour_offsets`, in the order of the offsets passed to it.
    const std::int32_t* slot(std::int64_t r, std::int64_t c) const {
        return slots_.data() + ((r - row0_) * width_ + (c - col0_));
    }

    // Offsets between the slots of neighbouring cells for the (dr, dc) given.
    template <std::size_t N>
    std::array<std::ptrdiff_t, N> neighbour_offsets(const std::array<std::array<std::int32_t, 2>, N>& steps) const {
        std::array<std::ptrdiff_t, N> out{};
        for (std::size_t d = 0; d < N; ++d) out[d] = steps[d][0] * width_ + steps[d][1];
        return out;
    }

    // Holds no cell.
    void clear() { height_ = width_ = 0; }

    friend void create_node_mapping(const FocalWindow&, LevelKey, std::int32_t, std::int32_t, std::int32_t,
                                    NodeMapping&);

private:
    // Top-left cell of the grid (one row and column before the bounding box).
    std::int64_t row0_ = 0, col0_ = 0, height_ = 0, width_ = 0;
    std::vector<std::int32_t> slots_;
};

// Whether every cell of a level grid of `rows` x `cols` cells whose local cell
// (0, 0) lies at global level position (origin_row, origin_col) has a node id
// that fits the layout.
bool grid_ids_fit(LevelKey level, std::int64_t origin_row, std::int64_t origin_col, std::size_t rows, std::size_t cols);

// Maps every cell k of `window` (level `level`) to node `first_node + k`,
// checking the node ids of the cells in list order. Offsets are the call's tile
// offsets.
void create_node_mapping(const FocalWindow& window, LevelKey level, std::int32_t row_offset, std::int32_t col_offset,
                         std::int32_t first_node, NodeMapping& mapping);

}  // namespace quillet
