// Window templates. The cells of a source's window on one level, their shares
// and boundary flags, depend only on the level's window and on where the source
// lies against the level's lattice and the raster's edges (its placement):
// every coordinate involved is an exactly representable integer or half-integer,
// so every difference is the same wherever the source is. Each thread keeps the
// templates it has evaluated, and most windows are a template moved to their
// source's block.
//
// A window that the raster's edge clips differs from the unclipped one of the
// same position only in the cells that the edge cuts or leaves out, so each
// thread also keeps the shares of the unclipped windows' cells and measures
// only the cut cells of a clipped template anew: deep levels, whose windows
// span most of a raster, are clipped for nearly every source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/levels.hpp"
#include "connectivity/shapes.hpp"
#include "connectivity/window_geometry.hpp"
#include "connectivity/window_mode.hpp"

namespace quillet {

struct TemplateKey {
    LevelKey level = 0;
    std::int32_t width = 0;
    double reach = 0.0, inner_radius = 0.0;
    WindowMode mode = WindowMode::circular;
    // The source against the level's lattice; raster cells before and after it
    // up to the distance at which the raster's edge no longer clips the window.
    Placement place{-1, -1};

    bool operator==(const TemplateKey&) const = default;
};

// The selected cells of a window, relative to the level cell that holds the
// source, in visiting order.
struct WindowTemplate {
    TemplateKey key;
    std::vector<std::int32_t> drow, dcol;
    std::vector<float> share;
    std::vector<std::uint8_t> boundary;
};

// What the unclipped window of a key makes of every cell of its range, row by
// row: (2w + 1)^2 cells from (-w, -w).
struct ShareGrid {
    TemplateKey key;
    std::vector<CellShare> cells;
};

// Templates per level, direct-mapped by a hash of the key: a power of two of
// slots, up to 1024, which keeps apart the positions of the sources of a band
// of 16 rows (the height where sources are dense) on levels up to 64. Large
// windows get fewer slots, so that a thread never holds more than about
// kCellBudget template cells per level.
class WindowTemplates {
public:
    // The template of `key` on plan level `level_index`, evaluated unless its
    // slot holds it already.
    const WindowTemplate& get(std::size_t level_index, const TemplateKey& key);

private:
    // The share grid of the unclipped window of `key`'s level and position.
    const ShareGrid& unclipped_shares(std::size_t level_index, const TemplateKey& key);

    static constexpr std::size_t kMaxSlots = 1024;
    static constexpr std::size_t kCellBudget = std::size_t{1} << 19;
    std::vector<std::vector<WindowTemplate>> slots_;
    std::vector<std::vector<ShareGrid>> grids_;  // per level, slotted like the templates
};

}  // namespace quillet
