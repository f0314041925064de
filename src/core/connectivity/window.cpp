#include "connectivity/window.hpp"

#include <algorithm>
#include <array>
#include <tuple>
#include <cmath>
#include <limits>
#include <string>

namespace quillet {

namespace {

// Minimum and maximum that ignore a NaN operand in favour of the other.
double min_of(double a, double b) { return (a < b || b != b) ? a : b; }
double max_of(double a, double b) { return (a > b || b != b) ? a : b; }

// Shares at or below this (2^-150) round to zero in single precision.
constexpr double kSmallestStorableShare = 7.006492321624085e-46;

// Conversion to a 32-bit integer that saturates at the bounds and maps NaN to 0.
std::int32_t saturating_i32(double v) {
    constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t highest = std::numeric_limits<std::int32_t>::max();
    if (v != v) return 0;
    if (v <= static_cast<double>(lowest)) return lowest;
    if (v >= static_cast<double>(highest)) return highest;
    return static_cast<std::int32_t>(v);
}

// One axis interval split at 0 and mirrored into the positive half-axis.
struct Piece {
    double lo, hi;
};

std::array<Piece, 2> mirrored_pieces(double lo, double hi) {
    auto mirror = [](double s, double t) { return t > 0 ? Piece{s, t} : Piece{-t, -s}; };
    if (lo < 0 && 0 < hi) return {mirror(lo, 0.0), mirror(0.0, hi)};
    return {mirror(lo, hi), mirror(0.0, 0.0)};
}

// The source position and window extents against which cell shares are measured.
struct ShareFrame {
    double centre_row, centre_col;
    double reach, inner_radius;
    WindowMode mode;
};

struct CellShare {
    bool selected = false;
    bool boundary = false;
    float share = 0.0f;
};

CellShare square_share(const ShareFrame& f, double y0, double y1, double x0, double x1) {
    const double area = (x1 - x0) * (y1 - y0);
    const double outer_rows = min_of(y1, f.centre_row + f.reach) - max_of(y0, f.centre_row - f.reach);
    const double inner_rows = min_of(y1, f.centre_row + f.inner_radius) - max_of(y0, f.centre_row - f.inner_radius);
    if (!(f.reach > 0) || !(area > 0) || !(outer_rows > 0)) return {};
    const double outer_cols = min_of(x1, f.centre_col + f.reach) - max_of(x0, f.centre_col - f.reach);
    if (!(outer_cols > 0)) return {};
    const double outer = outer_cols * outer_rows;
    if (!(outer > 0)) return {};
    double inner = 0.0;
    if (f.inner_radius > 0 && inner_rows > 0) {
        const double inner_cols =
            min_of(x1, f.centre_col + f.inner_radius) - max_of(x0, f.centre_col - f.inner_radius);
        if (inner_cols > 0) inner = inner_cols * inner_rows;
    }
    const double share = max_of(outer - inner, 0.0) / area;
    if (share > 1) return {true, false, 1.0f};
    if (share <= kSmallestStorableShare) return {};
    return {true, false, static_cast<float>(share)};
}

// Whether the outer circle cuts the cell, within a tolerance that grows with the
// reach so that cells the circle only grazes count as cut.
bool outer_circle_cuts(const ShareFrame& f, double y0, double y1, double x0, double x1, double annulus_area) {
    const double r2 = f.reach * f.reach;
    const double eps = (r2 + 1.0) * 1e-12;
    const double dy = (y0 - f.centre_row > 0) ? y0 - f.centre_row : (y1 - f.centre_row < 0 ? f.centre_row - y1 : 0.0);
    const double dx = (x0 - f.centre_col > 0) ? x0 - f.centre_col : (x1 - f.centre_col < 0 ? f.centre_col - x1 : 0.0);
    const double fy = max_of(std::fabs(y0 - f.centre_row), std::fabs(y1 - f.centre_row));
    const double fx = max_of(std::fabs(x0 - f.centre_col), std::fabs(x1 - f.centre_col));
    return f.reach > 0 && annulus_area > 0 && dx * dx + dy * dy <= r2 + eps && !(fx * fx + fy * fy < r2 - eps);
}

CellShare circular_share(const ShareFrame& f, double y0, double y1, double x0, double x1) {
    const double area = (x1 - x0) * (y1 - y0);
    if (!(area > 0)) return {};
    const double outer = rect_circle_overlap_area(y0, y1, x0, x1, f.centre_row, f.centre_col, f.reach);
    if (!(outer > 0)) return {};
    const double inner = f.inner_radius == 0.0
                             ? 0.0
                             : rect_circle_overlap_area(y0, y1, x0, x1, f.centre_row, f.centre_col, f.inner_radius);
    const double annulus = max_of(outer - inner, 0.0);
    const double share = min_of(1.0, annulus / area);
    if (share <= kSmallestStorableShare) return {};
    return {true, outer_circle_cuts(f, y0, y1, x0, x1, annulus), static_cast<float>(share)};
}

// The window share of the clipped cell rectangle [y0, y1] x [x0, x1].
CellShare cell_share(const ShareFrame& f, double y0, double y1, double x0, double x1) {
    return f.mode == WindowMode::square ? square_share(f, y0, y1, x0, x1) : circular_share(f, y0, y1, x0, x1);
}

// Window coordinates below this stay far from the 32-bit limits of the level
// cell arithmetic.
constexpr double kFarCoordinate = 1073741824.0;  // 2^30

// Whether every coordinate of the level's windows, wherever the source lies on
// the raster, stays below `kFarCoordinate`.
bool coordinates_stay_small(const WindowPlan& plan, const LevelPlan& lp) {
    const double far = 2.0 * lp.reach + 2.0 * lp.level;
    return std::fabs(static_cast<double>(plan.row_offset)) + static_cast<double>(plan.base_rows) + far < kFarCoordinate &&
           std::fabs(static_cast<double>(plan.col_offset)) + static_cast<double>(plan.base_cols) + far < kFarCoordinate;
}

// Whether the level's grid has exactly the cells that the raster's extent
// covers on the level's lattice, so that no window is clipped by the grid alone.
bool covers_raster_exactly(const WindowPlan& plan, const LevelPlan& lp) {
    if (plan.base_rows >= (std::int64_t{1} << 30) || plan.base_cols >= (std::int64_t{1} << 30)) return false;
    const auto [rows, cols] = level_shape(lp.level, static_cast<std::int32_t>(plan.base_rows),
                                          static_cast<std::int32_t>(plan.base_cols), plan.row_offset, plan.col_offset);
    return static_cast<std::size_t>(rows) == lp.condition->nrows() && static_cast<std::size_t>(cols) == lp.condition->ncols();
}

const Grid* find_level(const LevelMap& map, LevelKey level) {
    const auto it = map.find(level);
    return it == map.end() ? nullptr : &it->second;
}

bool smaller_than(const Grid* grid, const Grid& reference) {
    return grid != nullptr && (grid->nrows() < reference.nrows() || grid->ncols() < reference.ncols());
}

}  // namespace

double first_quadrant_circle_area(double x, double y, double r) {
    if (x <= 0 || y <= 0 || r <= 0) return 0.0;
    const double r2 = r * r;
    const double xc = min_of(x, r);
    // Area under the quarter circle from 0 to t.
    auto under = [&](double t) {
        return (t * std::sqrt(max_of(r2 - t * t, 0.0)) + r2 * std::asin(min_of(t / r, 1.0))) * 0.5;
    };
    if (y >= r) return under(xc);
    const double h = std::sqrt(max_of(r2 - y * y, 0.0));
    const double rect = min_of(xc, h) * y;
    if (xc <= h) return rect;
    return rect + (under(xc) - under(min_of(h, r)));
}

double rect_circle_overlap_area(double p0, double p1, double q0, double q1, double cp, double cq, double r) {
    const double area = (q1 - q0) * (p1 - p0);
    if (area <= 0 || r <= 0) return 0.0;
    const double ps = p0 - cp, pe = p1 - cp, qs = q0 - cq, qe = q1 - cq;
    const double near_p = ps > 0 ? ps : (pe < 0 ? -pe : 0.0);
    const double near_q = qs > 0 ? qs : (qe < 0 ? -qe : 0.0);
    const double r2 = r * r;
    // A rectangle that only touches the circle has no overlap.
    if (near_p * near_p + near_q * near_q >= r2) return 0.0;
    const double far_p = max_of(std::fabs(ps), std::fabs(pe));
    const double far_q = max_of(std::fabs(qs), std::fabs(qe));
    if (r2 >= far_p * far_p + far_q * far_q) return area;

    const auto p_pieces = mirrored_pieces(ps, pe);
    const auto q_pieces = mirrored_pieces(qs, qe);
    auto quadrant = [r](double s, double t) { return first_quadrant_circle_area(s, t, r); };
    double sum = 0.0;
    for (const Piece& q : q_pieces) {
        if (!(q.lo < q.hi)) continue;
        for (const Piece& p : p_pieces) {
            if (!(p.lo < p.hi)) continue;
            sum += ((quadrant(q.hi, p.hi) - quadrant(q.lo, p.hi)) - quadrant(q.hi, p.lo)) + quadrant(q.lo, p.lo);
        }
    }
    return std::clamp(sum, 0.0, area);
}

void FocalWindow::clear(std::size_t layer_count) {
    rows.clear();
    cols.clear();
    condition.clear();
    weights.clear();
    pa_membership.clear();
    boundary.clear();
    similarity.clear();
    layers = layer_count;
}

void FocalWindow::resize(std::size_t n) {
    rows.resize(n);
    cols.resize(n);
    condition.resize(n);
    weights.resize(n);
    pa_membership.resize(n);
    boundary.resize(n);
}

void plan_windows(const RowContext& ctx, WindowPlan& plan) {
    std::vector<LevelKey> keys = ctx.level_keys;
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    const std::int32_t ws = ctx.window_size;
    const std::int32_t ow = ctx.outer_window;
    const std::int32_t outer_width = ow >= ws ? ow : ws;
    plan.row_offset = static_cast<std::int32_t>(ctx.row_offset);
    plan.col_offset = static_cast<std::int32_t>(ctx.col_offset);
    plan.mode = ctx.window_mode;
    plan.levels.resize(keys.size());

    const std::size_t layers = ctx.transgrid_levels == nullptr ? 0 : ctx.transgrid_levels->size();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const LevelKey level = keys[i];
        LevelPlan& lp = plan.levels[i];
        lp.level = level;
        lp.weights = find_level(*ctx.cell_weights, level);
        if (lp.weights == nullptr) raise_fault("Weights level not found!");
        lp.condition = find_level(*ctx.condition_levels, level);
        if (lp.condition == nullptr) raise_fault("Condition level not found!");
        lp.pa = nullptr;
        if (ctx.pa_levels != nullptr) {
            lp.pa = find_level(*ctx.pa_levels, level);
            if (lp.pa == nullptr) raise_fault("PA-membership level not found!");
        }
        lp.traversal = nullptr;
        if (ctx.traversal_levels != nullptr) {
            lp.traversal = find_level(*ctx.traversal_levels, level);
            if (lp.traversal == nullptr) raise_fault("Traversal level not found!");
        }
        if (ws % 2 == 0) raise_fault("Window size must be odd-numbered");
        if (ow >= ws && ow % 2 == 0) raise_fault("Outer window size must be odd-numbered");
        const Grid* base = find_level(*ctx.condition_levels, 1);
        if (base == nullptr) raise_fault("Base condition level not found!");
        // Keys come from power-of-two factors; anything else would divide by zero
        // or flip the geometry below.
        if (level <= 0) raise_fault("Level key " + std::to_string(level) + " is not positive");

        plan.base_rows = static_cast<std::int64_t>(base->nrows());
        plan.base_cols = static_cast<std::int64_t>(base->ncols());
        lp.width = level == ctx.coarsest_level ? outer_width : ws;
        lp.reach = static_cast<double>(lp.width) * static_cast<double>(level);
        lp.inner_radius = level != 1 ? static_cast<double>(ws) * static_cast<double>(level) * 0.5 : 0.0;
        std::tie(lp.origin_row, lp.origin_col) = global_coarse(level, plan.row_offset, plan.col_offset);
        lp.checked_reads = smaller_than(lp.weights, *lp.condition) || smaller_than(lp.pa, *lp.condition);
        lp.transgrids.assign(layers, nullptr);
        for (std::size_t j = 0; j < layers; ++j) {
            const LevelMap3& layer = (*ctx.transgrid_levels)[j];
            const auto it = layer.find(level);
            if (it != layer.end()) lp.transgrids[j] = &it->second;
        }
    }
    // Without reuse no source has a shape, so nothing is taken from another.
    plan.shape_period = keys.empty() || !ctx.reuse_across_sources ? 0 : keys.back();
    for (const LevelKey level : keys) {
        if (plan.shape_period % level != 0) plan.shape_period = 0;
    }
    plan.shape_reach = 0;
    plan.edge_templates = ctx.reuse_across_sources;
    for (const LevelPlan& lp : plan.levels) {
        const double past_window = lp.reach + lp.level;  // past every distance at which the edge clips
        plan.shape_reach = std::max(plan.shape_reach, static_cast<std::int32_t>(std::min(past_window, kFarCoordinate)));
        plan.edge_templates = plan.edge_templates && covers_raster_exactly(plan, lp) && coordinates_stay_small(plan, lp);
    }
    for (LevelPlan& lp : plan.levels) {
        const std::int64_t doubled = 2 * static_cast<std::int64_t>(lp.level);
        const auto it = std::find(keys.begin(), keys.end(), doubled);
        lp.coarser = it == keys.end() ? -1 : static_cast<std::int32_t>(it - keys.begin());
    }
}

// ---------------------------------------------------------------------------
// Templates of unclipped windows.

namespace {

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

// The extent [lo, hi] of a window on one axis clipped to the raster [start,
// end), and its first and last level cells; empty when hi <= lo.
struct AxisWindow {
    double lo, hi;
    std::int64_t first, last;
};

AxisWindow clip_axis(double centre, double reach, double start, double end, std::int64_t level) {
    const double lo = max_of(centre - reach, start), hi = min_of(centre + reach, end);
    return {lo, hi, floor_div(saturating_i32(std::floor(lo)), level),
            floor_div(static_cast<std::int64_t>(saturating_i32(std::ceil(hi))) - 1, level)};
}

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

// Templates per level, direct-mapped by a hash of the key: up to 64 slots for
// the positions of sources away from the raster's edge (8 x 8 positions cover
// levels up to 8 without collisions) and as many again per edge placement.
// Large windows get fewer slots, so that a thread never holds more than about
// kCellBudget template cells per level.
class WindowTemplates {
public:
    const WindowTemplate& get(std::size_t level_index, const TemplateKey& key) {
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

private:
    static constexpr std::size_t kMaxSlots = 1024;
    static constexpr std::size_t kCellBudget = std::size_t{1} << 18;
    std::vector<std::vector<WindowTemplate>> slots_;
};

WindowScratch::WindowScratch() : templates(std::make_unique<WindowTemplates>()) {}
WindowScratch::~WindowScratch() = default;

// ---------------------------------------------------------------------------
// Window building.

namespace {

float value_at(const Grid& grid, std::int32_t r, std::int32_t c, bool checked) {
    const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
    return checked ? grid.at(ur, uc) : grid(ur, uc);
}

// Appends cell (r, c) with its share unless its condition is NaN or its cell
// weight is not finite.
void append_cell(FocalWindow& w, const LevelPlan& lp, std::int32_t r, std::int32_t c, float share, bool boundary) {
    const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
    const float cond = (*lp.condition)(ur, uc);
    if (std::isnan(cond)) return;
    const float cw = value_at(*lp.weights, r, c, lp.checked_reads);
    if (!std::isfinite(cw)) return;
    float pa = 1.0f;
    if (lp.pa != nullptr) {
        pa = value_at(*lp.pa, r, c, lp.checked_reads);
        if (!std::isfinite(pa)) pa = 0.0f;
    }
    w.rows.push_back(r);
    w.cols.push_back(c);
    w.condition.push_back(cond);
    w.weights.push_back(share * cw);
    w.pa_membership.push_back(pa);
    w.boundary.push_back(boundary ? 1 : 0);
}

// The position of a source along one axis relative to the level lattice.
struct AxisPlacement {
    std::int64_t global;  // global base cell of the source
    std::int64_t block;   // global level cell that holds it
    std::int32_t phase;   // source position inside that level cell
};

AxisPlacement place(std::int64_t global, LevelKey level) {
    const std::int64_t block = floor_div(global, level);
    return {global, block, static_cast<std::int32_t>(global - block * level)};
}

// Base cells of the raster before and after a source on each axis.
struct Room {
    std::int64_t rows_before, rows_after, cols_before, cols_after;
};

// The placement of a source at (row, col) inside its block, with `room` counted
// up to `limits` on each side.
Placement placement(std::int32_t row, std::int32_t col, const Room& room, const Room& limits) {
    auto up_to = [](std::int64_t cells, std::int64_t limit) { return static_cast<std::int32_t>(std::min(cells, limit)); };
    return {row,
            col,
            up_to(room.rows_before, limits.rows_before),
            up_to(room.rows_after, limits.rows_after),
            up_to(room.cols_before, limits.cols_before),
            up_to(room.cols_after, limits.cols_after)};
}

// Whether every cell of the unclipped window range lies wholly inside the base
// raster and inside the level grid, so that its template applies unchanged.
bool unclipped(const AxisPlacement& a, const LevelPlan& lp, std::int64_t offset, std::int64_t extent,
               std::int32_t origin, std::int64_t level_cells) {
    const std::int64_t L = lp.level, w = lp.width;
    return (a.block - w) * L >= offset && (a.block + w + 1) * L <= offset + extent && a.block - w - origin >= 0 &&
           a.block + w - origin <= level_cells - 1;
}

// The cells of a template placed with its source block at level cell
// (first_row, first_col). Every list is written at the next free entry and the
// entry is kept only when the cell is valid, so that the usual window, whose
// cells are all valid, costs no branch per cell.
void build_from_template(FocalWindow& w, const LevelPlan& lp, const WindowTemplate& t, std::int64_t first_row,
                         std::int64_t first_col) {
    const std::size_t n = t.drow.size();
    if (lp.checked_reads) {
        w.clear(w.layers);
        for (std::size_t k = 0; k < n; ++k) {
            append_cell(w, lp, static_cast<std::int32_t>(first_row + t.drow[k]),
                        static_cast<std::int32_t>(first_col + t.dcol[k]), t.share[k], t.boundary[k] != 0);
        }
        return;
    }
    w.resize(n);
    const Grid& condition = *lp.condition;
    const Grid& weights = *lp.weights;
    // Plain pointers, so that the byte stores of the flags cannot be taken to
    // change the lists' own pointers.
    std::int32_t* __restrict rows = w.rows.data();
    std::int32_t* __restrict cols = w.cols.data();
    float* __restrict cond_out = w.condition.data();
    float* __restrict weight_out = w.weights.data();
    float* __restrict pa_out = w.pa_membership.data();
    std::uint8_t* __restrict boundary_out = w.boundary.data();
    const std::int32_t* __restrict drow = t.drow.data();
    const std::int32_t* __restrict dcol = t.dcol.data();
    const float* __restrict share = t.share.data();
    const std::uint8_t* __restrict boundary = t.boundary.data();
    std::size_t kept = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const auto r = static_cast<std::int32_t>(first_row + drow[k]);
        const auto c = static_cast<std::int32_t>(first_col + dcol[k]);
        const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
        const float cond = condition(ur, uc);
        const float cw = weights(ur, uc);
        float pa = 1.0f;
        if (lp.pa != nullptr) {
            pa = (*lp.pa)(ur, uc);
            if (!std::isfinite(pa)) pa = 0.0f;
        }
        rows[kept] = r;
        cols[kept] = c;
        cond_out[kept] = cond;
        weight_out[kept] = share[k] * cw;
        pa_out[kept] = pa;
        boundary_out[kept] = boundary[k];
        kept += static_cast<std::size_t>(!std::isnan(cond) && std::isfinite(cw));
    }
    w.resize(kept);
}

// The general window: clips the window and its cells to the raster and evaluates
// the geometry of every cell.
void build_clipped(FocalWindow& w, const WindowPlan& plan, const LevelPlan& lp, double centre_row, double centre_col) {
    const double offset_r = plan.row_offset, offset_c = plan.col_offset;
    const double end_r = offset_r + static_cast<double>(plan.base_rows);
    const double end_c = offset_c + static_cast<double>(plan.base_cols);
    const std::int64_t L = lp.level;
    const AxisWindow rows = clip_axis(centre_row, lp.reach, offset_r, end_r, L);
    const AxisWindow cols = clip_axis(centre_col, lp.reach, offset_c, end_c, L);
    if (rows.hi <= rows.lo || cols.hi <= cols.lo) return;

    // First and last local level cell of the clipped window on each axis.
    const auto level_rows = static_cast<std::int64_t>(lp.condition->nrows());
    const auto level_cols = static_cast<std::int64_t>(lp.condition->ncols());
    const std::int64_t r0 = std::max<std::int64_t>(rows.first - lp.origin_row, 0);
    const std::int64_t r1 = std::min<std::int64_t>(rows.last - lp.origin_row, level_rows - 1);
    const std::int64_t c0 = std::max<std::int64_t>(cols.first - lp.origin_col, 0);
    const std::int64_t c1 = std::min<std::int64_t>(cols.last - lp.origin_col, level_cols - 1);

    const ShareFrame frame{centre_row, centre_col, lp.reach, lp.inner_radius, plan.mode};
    const double size = static_cast<double>(L);
    for (std::int64_t r = r0; r <= r1; ++r) {
        const double top = static_cast<double>((lp.origin_row + r) * L);
        const double y0 = max_of(offset_r, top), y1 = min_of(top + size, end_r);
        for (std::int64_t c = c0; c <= c1; ++c) {
            const double left = static_cast<double>((lp.origin_col + c) * L);
            const double x0 = max_of(offset_c, left), x1 = min_of(left + size, end_c);
            const CellShare s = cell_share(frame, y0, y1, x0, x1);
            if (s.selected) {
                append_cell(w, lp, static_cast<std::int32_t>(r), static_cast<std::int32_t>(c), s.share, s.boundary);
            }
        }
    }
}

// exp(-sum |S_i - T_i|) over the bands both profiles have; NaN (no similarity)
// when one compared band value is not finite.
float similarity(std::span<const float> source, std::span<const float> target) {
    const std::size_t n = std::min(source.size(), target.size());
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(source[i]) || !std::isfinite(target[i])) return std::numeric_limits<float>::quiet_NaN();
        sum += std::fabs(source[i] - target[i]);
    }
    return std::exp(-sum);
}

void fill_similarities(FocalWindow& w, const LevelPlan& lp, std::span<const float> profile) {
    const std::size_t n = w.size(), m = w.layers;
    w.similarity.resize(n * m);
    for (std::size_t j = 0; j < m; ++j) {
        const Grid3* grid = lp.transgrids[j];
        for (std::size_t k = 0; k < n; ++k) {
            float value = 0.0f;
            if (grid != nullptr) {
                const auto r = static_cast<std::size_t>(w.rows[k]), c = static_cast<std::size_t>(w.cols[k]);
                check_index(r, grid->nrows());
                check_index(c, grid->ncols());
                value = similarity(profile, grid->cell(r, c));
            }
            w.similarity[k * m + j] = value;
        }
    }
}

}  // namespace

void source_profile(const RowContext& ctx, std::size_t row, std::size_t col, std::vector<float>& profile) {
    profile.clear();
    if (ctx.transgrid_levels == nullptr || ctx.transgrid_levels->empty()) return;
    const LevelMap3& first = ctx.transgrid_levels->front();
    const auto it = first.find(1);
    if (it == first.end() || row >= it->second.nrows() || col >= it->second.ncols()) return;
    const auto lane = it->second.cell(row, col);
    profile.assign(lane.begin(), lane.end());
}

void build_windows(const WindowPlan& plan, std::size_t row, std::size_t col, WindowScratch& scratch) {
    scratch.windows.resize(plan.levels.size());
    const std::int64_t global_row = static_cast<std::int64_t>(row) + plan.row_offset;
    const std::int64_t global_col = static_cast<std::int64_t>(col) + plan.col_offset;
    const double centre_row = static_cast<double>(global_row) + 0.5;
    const double centre_col = static_cast<double>(global_col) + 0.5;

    const Room room{static_cast<std::int64_t>(row), plan.base_rows - 1 - static_cast<std::int64_t>(row),
                    static_cast<std::int64_t>(col), plan.base_cols - 1 - static_cast<std::int64_t>(col)};
    bool regular = plan.shape_period > 0;
    for (std::size_t i = 0; i < plan.levels.size(); ++i) {
        const LevelPlan& lp = plan.levels[i];
        FocalWindow& w = scratch.windows[i];
        w.layers = lp.transgrids.size();

        const AxisPlacement pr = place(global_row, lp.level);
        const AxisPlacement pc = place(global_col, lp.level);
        const bool fast = lp.width >= 1 && lp.reach < kFarCoordinate &&
                          (plan.edge_templates ||
                           (unclipped(pr, lp, plan.row_offset, plan.base_rows, lp.origin_row,
                                      static_cast<std::int64_t>(lp.condition->nrows())) &&
                            unclipped(pc, lp, plan.col_offset, plan.base_cols, lp.origin_col,
                                      static_cast<std::int64_t>(lp.condition->ncols()))));
        if (fast) {
            // Distances past the window's own extent, from its block's first
            // base cell to its last, all give the unclipped window.
            const std::int64_t before = std::int64_t{lp.width} * lp.level;
            const std::int64_t after = (std::int64_t{lp.width} + 1) * lp.level - 1;
            const Room extent{pr.phase + before, after - pr.phase, pc.phase + before, after - pc.phase};
            const TemplateKey key{lp.level, lp.width, lp.reach, lp.inner_radius, plan.mode,
                                  placement(pr.phase, pc.phase, room, extent)};
            const WindowTemplate& t = scratch.templates->get(i, key);
            build_from_template(w, lp, t, pr.block - lp.origin_row, pc.block - lp.origin_col);
            regular = regular && w.size() == t.drow.size();
        } else {
            w.clear(w.layers);
            build_clipped(w, plan, lp, centre_row, centre_col);
            regular = false;
        }
        fill_similarities(w, lp, scratch.profile);
    }
    scratch.shape = {};
    if (regular) {
        const std::int64_t reach = plan.shape_reach;
        scratch.shape = {true, placement(place(global_row, plan.shape_period).phase,
                                         place(global_col, plan.shape_period).phase, room, {reach, reach, reach, reach})};
    }
}

}  // namespace quillet
