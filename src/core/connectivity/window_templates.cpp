// Evaluating a template: the window geometry with the source's block at the
// origin, clipped to the raster as the key places it; the cells that the
// raster's edge leaves whole take their shares from the unclipped window.
#include "connectivity/window_templates.hpp"

#include <algorithm>
#include <bit>

namespace quillet {

namespace {

// The key of the window of `key`'s level and position that the raster's edge
// does not clip: room up to the window's extent on every side.
TemplateKey unclipped_key(const TemplateKey& key) {
    const std::int32_t before = key.width * key.level, after = (key.width + 1) * key.level - 1;
    TemplateKey k = key;
    k.place.rows_before = key.place.row + before;
    k.place.rows_after = after - key.place.row;
    k.place.cols_before = key.place.col + before;
    k.place.cols_after = after - key.place.col;
    return k;
}

// Evaluates the window geometry with the source block's first base cell at 0 on
// both axes, so that cell dG spans [dG*L, dG*L + L), clipped to the raster as
// placed by the key. Every coordinate is a small integer or half-integer, so
// every difference is what it is at the source's true position. `visit(dr, dc,
// share)` receives every cell of the clipped range in visiting order; a whole
// cell (one the raster's edge does not cut) takes its share from `whole`, when
// given, instead of measuring it.
template <class Visit>
void evaluate(const TemplateKey& k, const ShareGrid* whole, Visit visit) {
    const Placement& p = k.place;
    const double start_r = p.row - p.rows_before, end_r = p.row + p.rows_after + 1;
    const double start_c = p.col - p.cols_before, end_c = p.col + p.cols_after + 1;
    const ShareFrame frame{p.row + 0.5, p.col + 0.5, k.reach, k.inner_radius, k.mode};
    const AxisWindow rows = clip_axis(frame.centre_row, k.reach, start_r, end_r, k.level);
    const AxisWindow cols = clip_axis(frame.centre_col, k.reach, start_c, end_c, k.level);
    if (rows.hi <= rows.lo || cols.hi <= cols.lo) return;
    const double size = static_cast<double>(k.level);
    const std::int64_t w = k.width, side = 2 * w + 1;
    for (std::int64_t dr = rows.first; dr <= rows.last; ++dr) {
        const double top = static_cast<double>(dr) * size;
        const double y0 = max_of(start_r, top), y1 = min_of(top + size, end_r);
        const bool whole_row = whole != nullptr && whole->cells.size() == static_cast<std::size_t>(side * side) &&
                               y0 == top && y1 == top + size && dr >= -w && dr <= w;
        for (std::int64_t dc = cols.first; dc <= cols.last; ++dc) {
            const double left = static_cast<double>(dc) * size;
            const double x0 = max_of(start_c, left), x1 = min_of(left + size, end_c);
            if (whole_row && x0 == left && x1 == left + size && dc >= -w && dc <= w) {
                visit(dr, dc, whole->cells[static_cast<std::size_t>((dr + w) * side + dc + w)]);
            } else {
                visit(dr, dc, cell_share(frame, y0, y1, x0, x1));
            }
        }
    }
}

void fill_grid(ShareGrid& g) {
    g.cells.clear();
    evaluate(g.key, nullptr, [&](std::int64_t, std::int64_t, const CellShare& s) { g.cells.push_back(s); });
}

// Whether the unclipped window's shares fit the cell budget. A wider window
// spans more cells than most rasters have and is clipped for nearly every
// source, so its template measures each cell rather than holding (2w + 1)^2
// shares that it would mostly not read (a window thousands of cells wide would
// hold gigabytes); the shares are the same either way.
bool keeps_unclipped_shares(const TemplateKey& key, std::size_t cell_budget) {
    const auto side = 2 * static_cast<std::size_t>(key.width) + 1;
    return side <= cell_budget / side;
}

void fill_template(WindowTemplate& t, const ShareGrid* whole) {
    t.drow.clear();
    t.dcol.clear();
    t.share.clear();
    t.boundary.clear();
    evaluate(t.key, whole, [&](std::int64_t dr, std::int64_t dc, const CellShare& s) {
        if (!s.selected) return;
        t.drow.push_back(static_cast<std::int32_t>(dr));
        t.dcol.push_back(static_cast<std::int32_t>(dc));
        t.share.push_back(s.share);
        t.boundary.push_back(s.boundary ? 1 : 0);
    });
}

// The slots of a level whose windows are `width` level cells wide: a power of
// two, fewer for large windows.
template <class T>
std::vector<T>& level_slots(std::vector<std::vector<T>>& slots, std::size_t level_index, std::int32_t width,
                            std::size_t cell_budget, std::size_t most) {
    if (slots.size() <= level_index) slots.resize(level_index + 1);
    auto& level = slots[level_index];
    const auto side = 2 * static_cast<std::size_t>(width) + 1;
    const std::size_t count = std::bit_floor(std::clamp<std::size_t>(cell_budget / (side * side), 1, most));
    if (level.size() != count) level.assign(count, T{});
    return level;
}

}  // namespace

const ShareGrid& WindowTemplates::unclipped_shares(std::size_t level_index, const TemplateKey& key) {
    const TemplateKey whole = unclipped_key(key);
    auto& slots = level_slots(grids_, level_index, key.width, kCellBudget, kMaxSlots);
    ShareGrid& g = slots[whole.place.hash(whole.level) & (slots.size() - 1)];
    if (!(g.key == whole)) {
        g.key = whole;
        fill_grid(g);
    }
    return g;
}

const WindowTemplate& WindowTemplates::get(std::size_t level_index, const TemplateKey& key) {
    auto& slots = level_slots(slots_, level_index, key.width, kCellBudget, kMaxSlots);
    WindowTemplate& t = slots[key.place.hash(key.level) & (slots.size() - 1)];
    if (!(t.key == key)) {
        t.key = key;
        fill_template(t, keeps_unclipped_shares(key, kCellBudget) ? &unclipped_shares(level_index, key) : nullptr);
    }
    return t;
}

}  // namespace quillet
