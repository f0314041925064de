// Node ids and mappings: a mapping's grid is filled from the window's list, and
// ids are checked cell by cell only when a corner of the bounding box does not fit.
#include "connectivity/node_mapping.hpp"

#include <algorithm>
#include <string>

namespace quillet {

namespace {

constexpr std::int64_t kMaxLevel = 0xFFFF;
constexpr std::int64_t kMaxPosition = 0xFFFFFF;

bool fits_id_layout(std::int64_t level, std::int64_t row, std::int64_t col) {
    return level >= 0 && row >= 0 && col >= 0 && level <= kMaxLevel && row <= kMaxPosition && col <= kMaxPosition;
}

}  // namespace

std::uint64_t node_id(std::int64_t level, std::int64_t global_row, std::int64_t global_col) {
    if (level < 0 || global_row < 0 || global_col < 0) {
        raise_fault("Negative node coordinates are not supported: level=" + std::to_string(level) +
                    ", row=" + std::to_string(global_row) + ", col=" + std::to_string(global_col));
    }
    if (level > kMaxLevel || global_row > kMaxPosition || global_col > kMaxPosition) {
        raise_fault("Node id overflow for (level,row,col)=(" + std::to_string(level) + "," +
                    std::to_string(global_row) + "," + std::to_string(global_col) +
                    "); exceeds 16/24/24-bit layout");
    }
    return (static_cast<std::uint64_t>(level) << 48) | (static_cast<std::uint64_t>(global_row) << 24) |
           static_cast<std::uint64_t>(global_col);
}

bool grid_ids_fit(LevelKey level, std::int64_t origin_row, std::int64_t origin_col, std::size_t rows, std::size_t cols) {
    return rows == 0 || cols == 0 ||
           (fits_id_layout(level, origin_row, origin_col) &&
            fits_id_layout(level, origin_row + static_cast<std::int64_t>(rows) - 1,
                           origin_col + static_cast<std::int64_t>(cols) - 1));
}

void create_node_mapping(const FocalWindow& window, LevelKey level, std::int32_t row_offset, std::int32_t col_offset,
                         std::int32_t first_node, NodeMapping& mapping) {
    mapping.clear();
    const std::size_t n = std::min(window.rows.size(), window.cols.size());
    if (n == 0) return;
    const auto [row_min, row_max] = std::minmax_element(window.rows.begin(), window.rows.begin() + n);
    const auto [col_min, col_max] = std::minmax_element(window.cols.begin(), window.cols.begin() + n);

    // Every id fits when the corners of the bounding box do; otherwise the cells
    // are checked in list order, so the fault names the first offending cell.
    const std::int64_t origin_row = floor_div(row_offset, level);
    const std::int64_t origin_col = floor_div(col_offset, level);
    if (!fits_id_layout(level, *row_min + origin_row, *col_min + origin_col) ||
        !fits_id_layout(level, *row_max + origin_row, *col_max + origin_col)) {
        for (std::size_t k = 0; k < n; ++k) node_id(level, window.rows[k] + origin_row, window.cols[k] + origin_col);
    }

    mapping.row0_ = static_cast<std::int64_t>(*row_min) - 1;
    mapping.col0_ = static_cast<std::int64_t>(*col_min) - 1;
    mapping.height_ = static_cast<std::int64_t>(*row_max) - *row_min + 3;
    mapping.width_ = static_cast<std::int64_t>(*col_max) - *col_min + 3;
    mapping.slots_.assign(static_cast<std::size_t>(mapping.height_ * mapping.width_), -1);
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t dr = window.rows[k] - mapping.row0_, dc = window.cols[k] - mapping.col0_;
        mapping.slots_[static_cast<std::size_t>(dr * mapping.width_ + dc)] = first_node + static_cast<std::int32_t>(k);
    }
}

}  // namespace quillet
