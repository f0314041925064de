// Window templates. The cells of a source's window on one level, their shares
// and boundary flags, depend only on the level's window and on where the source
// lies against the level's lattice and the raster's edges (its placement):
// every coordinate involved is an exactly representable integer or half-integer,
// so every difference is the same wherever the source is. Each thread keeps the
// templates it has evaluated, and most windows are a template moved to their
// source's block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/levels.hpp"
#include "connectivity/shapes.hpp"
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

// Templates per level, direct-mapped by a hash of the key: up to 64 slots for
// the positions of sources away from the raster's edge (8 x 8 positions cover
// levels up to 8 without collisions) and as many again per edge placement.
// Large windows get fewer slots, so that a thread never holds more than about
// kCellBudget template cells per level.
class WindowTemplates {
public:
    // The template of `key` on plan level `level_index`, evaluated unless its
    // slot holds it already.
    const WindowTemplate& get(std::size_t level_index, const TemplateKey& key);

private:
    static constexpr std::size_t kMaxSlots = 1024;
    static constexpr std::size_t kCellBudget = std::size_t{1} << 18;
    std::vector<std::vector<WindowTemplate>> slots_;
};

}  // namespace quillet
