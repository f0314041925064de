// Evaluating a template: the window geometry with the source's block at the
// origin, clipped to the raster as the key places it.
#include "connectivity/window_templates.hpp"

#include <algorithm>

#include "connectivity/window_geometry.hpp"

namespace quillet {

namespace {

// Evaluates the window geometry with the source block's first base cell at 0 on
// both axes, so that cell dG spans [dG*L, dG*L + L), clipped to the raster as
// placed by the key. Every coordinate is a small integer or half-integer, so
// every difference is what it is at the source's true position.
void fill_template(WindowTemplate& t) {
    const TemplateKey& k = t.key;
    t.drow.clear();
    t.dcol.clear();
    t.share.clear();
    t.boundary.clear();
    const Placement& p = k.place;
    const double start_r = p.row - p.rows_before, end_r = p.row + p.rows_after + 1;
    const double start_c = p.col - p.cols_before, end_c = p.col + p.cols_after + 1;
    const ShareFrame frame{p.row + 0.5, p.col + 0.5, k.reach, k.inner_radius, k.mode};
    const AxisWindow rows = clip_axis(frame.centre_row, k.reach, start_r, end_r, k.level);
    const AxisWindow cols = clip_axis(frame.centre_col, k.reach, start_c, end_c, k.level);
    if (rows.hi <= rows.lo || cols.hi <= cols.lo) return;
    const double size = static_cast<double>(k.level);
    for (std::int64_t dr = rows.first; dr <= rows.last; ++dr) {
        const double top = static_cast<double>(dr) * size;
        const double y0 = max_of(start_r, top), y1 = min_of(top + size, end_r);
        for (std::int64_t dc = cols.first; dc <= cols.last; ++dc) {
            const double left = static_cast<double>(dc) * size;
            const double x0 = max_of(start_c, left), x1 = min_of(left + size, end_c);
            const CellShare s = cell_share(frame, y0, y1, x0, x1);
            if (!s.selected) continue;
            t.drow.push_back(static_cast<std::int32_t>(dr));
            t.dcol.push_back(static_cast<std::int32_t>(dc));
            t.share.push_back(s.share);
            t.boundary.push_back(s.boundary ? 1 : 0);
        }
    }
}

}  // namespace

const WindowTemplate& WindowTemplates::get(std::size_t level_index, const TemplateKey& key) {
    if (slots_.size() <= level_index) slots_.resize(level_index + 1);
    auto& level_slots = slots_[level_index];
    const auto side = 2 * static_cast<std::size_t>(key.width) + 1;
    const std::size_t count = std::clamp<std::size_t>(kCellBudget / (side * side), 1, kMaxSlots);
    if (level_slots.size() != count) level_slots.assign(count, WindowTemplate{});
    WindowTemplate& t = level_slots[key.place.hash() % count];
    if (!(t.key == key)) {
        t.key = key;
        fill_template(t);
    }
    return t;
}

}  // namespace quillet
