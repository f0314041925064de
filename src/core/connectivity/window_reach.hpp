// How far a source's windows reach. The coarsest level's window is the outer
// width wide, and no finer level's window reaches as far, so that width times
// the coarsest level is the margin of base cells around a tile that keeps every
// window of its cells, and every coarse block they touch, complete. Window
// planning reads the width from here, and callers that cut a raster into tiles
// read the reach through the module.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "common/levels.hpp"

namespace quillet {

// The coarsest level's window width: `outer_window`, or `window_size` where
// the outer window is the smaller.
constexpr std::int32_t outer_width(std::int32_t window_size, std::int32_t outer_window) {
    return outer_window >= window_size ? outer_window : window_size;
}

// The coarsest of `keys`: the largest, 1 where there is none.
inline LevelKey coarsest_level(std::span<const LevelKey> keys) {
    return keys.empty() ? 1 : *std::max_element(keys.begin(), keys.end());
}

// Base cells that the windows of a source reach beyond its own cell.
constexpr std::int64_t window_reach(LevelKey coarsest, std::int32_t window_size, std::int32_t outer_window) {
    return std::int64_t{outer_width(window_size, outer_window)} * coarsest;
}

}  // namespace quillet
