// The driver's steps: the lattice range check, the overviews in their fixed
// order (the first failure wins), the row context, and the bands of rows.
#include "connectivity/driver.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "connectivity/kernel.hpp"
#include "connectivity/overview.hpp"
#include "connectivity/row_context.hpp"

namespace quillet {

namespace {

constexpr std::uint64_t kLatticeLimit = std::uint64_t{1} << 31;
// Rows handed to one kernel call: a band where most cells are sources, and the
// most where few are.
constexpr std::size_t kDenseBandRows = 16;
constexpr std::size_t kSparseBandRows = 64;
// Sources per column of a band that make its margin worth its cache footprint.
constexpr std::size_t kSourcesPerBandColumn = 8;
// Bands per worker below which bands stay short: fewer, taller bands would
// leave workers idle at the end of a raster.
constexpr std::size_t kTallBandsPerWorker = 8;

// Level arithmetic runs in 32-bit signed integers on the global lattice: level
// factors, offsets and offset + extent must stay below 2^31.
Status check_lattice_range(const ConnectivityInputs& in, const Grid& condition) {
    for (std::uint64_t factor : in.levels) {
        if (factor >= kLatticeLimit) {
            return Error{"level factor " + std::to_string(factor) + " is too large; level factors must be below 2^31"};
        }
    }
    const struct {
        const char* name;
        std::uint64_t offset;
        std::size_t extent;
    } axes[] = {{"row", in.row_offset, condition.nrows()}, {"column", in.col_offset, condition.ncols()}};
    for (const auto& axis : axes) {
        if (axis.offset >= kLatticeLimit || axis.offset + axis.extent > kLatticeLimit) {
            return Error{std::string(axis.name) + " offset " + std::to_string(axis.offset) + " with " +
                         std::to_string(axis.extent) + " cells reaches past 2^31 base cells, the largest supported " +
                         "global grid"};
        }
    }
    return success();
}

// NaN where the condition has no data, else 0 for masked cells and 1 for
// protected (unmasked) cells.
Grid protected_area_membership(const Grid& condition, const BoolGrid& mask) {
    Grid membership(condition.nrows(), condition.ncols(), Grid::Init::uninitialised);
    for (std::size_t r = 0; r < condition.nrows(); ++r) {
        for (std::size_t c = 0; c < condition.ncols(); ++c) {
            const float value = condition(r, c);
            membership(r, c) = std::isnan(value) ? value : (mask.at(r, c) ? 0.0f : 1.0f);
        }
    }
    return membership;
}

// Every transgrid level grid must cover the condition's level grid, so that each
// window cell has a lane of band values.
Status check_transgrid_coverage(const std::vector<LevelMap3>& transgrid_levels, const LevelMap& condition_levels) {
    for (std::size_t layer = 0; layer < transgrid_levels.size(); ++layer) {
        for (const auto& [key, grid3] : transgrid_levels[layer]) {
            const auto condition = condition_levels.find(key);
            if (condition == condition_levels.end()) continue;
            const Grid& cond = condition->second;
            if (grid3.nrows() < cond.nrows() || grid3.ncols() < cond.ncols()) {
                return Error{"transgrid layer " + std::to_string(layer) + " has a level-" + std::to_string(key) +
                             " grid of (" + std::to_string(grid3.nrows()) + ", " + std::to_string(grid3.ncols()) +
                             ") cells, smaller than the condition's (" + std::to_string(cond.nrows()) + ", " +
                             std::to_string(cond.ncols()) + ")"};
            }
        }
    }
    return success();
}

// The level overviews of every input of a call.
struct Overviews {
    LevelMap condition;
    LevelMap cell_weights;
    std::optional<LevelMap> pa;         // with pa_to_pa only
    std::optional<LevelMap> traversal;  // with a traversal raster only
    std::vector<LevelMap3> transgrids;  // one per transgrid layer
};

// Builds the overviews in a fixed order, each checked against the condition's
// levels as soon as it exists.
Result<Overviews> make_overviews(const ConnectivityInputs& in, Pool& pool) {
    const Grid& condition = *in.condition;
    const auto row_offset = static_cast<std::int32_t>(in.row_offset);
    const auto col_offset = static_cast<std::int32_t>(in.col_offset);
    auto overview = [&](const Grid& base, OverviewMode mode, const Affine* transform) {
        return make_overview(base, in.levels, row_offset, col_offset, mode, transform, pool);
    };

    Overviews o;
    o.condition = overview(condition, OverviewMode::average, nullptr).expect("Failed average resampling.");
    const auto base_transform = in.transforms.find(1);
    if (base_transform == in.transforms.end()) raise_fault("Missing base-level transform (key=1).");
    o.cell_weights = overview(condition, in.is_geo ? OverviewMode::area_geographic : OverviewMode::area_projected,
                              &base_transform->second)
                         .expect("Failed to build cell weights.");
    if (Status dims = check_dims(o.cell_weights, o.condition); !dims.ok()) return dims.error();

    if (in.pa_to_pa) {
        const Grid membership = protected_area_membership(condition, in.mask);
        o.pa = overview(membership, OverviewMode::average, nullptr).expect("Failed to build PA-membership overview.");
        if (Status dims = check_dims(*o.pa, o.condition); !dims.ok()) return dims.error();
    }
    if (in.traversal) {
        o.traversal =
            overview(*in.traversal, OverviewMode::average, nullptr).expect("Failed average resampling for traversal.");
        if (Status dims = check_dims(*o.traversal, o.condition); !dims.ok()) return dims.error();
    }
    for (const Grid3& layer : in.transgrids) {
        o.transgrids.push_back(
            make_overview_3d(layer, in.levels, row_offset, col_offset, pool).expect("Failed average resampling."));
    }
    if (Status lanes = check_transgrid_coverage(o.transgrids, o.condition); !lanes.ok()) return lanes.error();
    return o;
}

RowContext row_context(const ConnectivityInputs& in, const Overviews& o, const Pool& pool) {
    std::vector<LevelKey> keys;
    for (const auto& entry : o.condition) keys.push_back(entry.first);  // ascending: the map is ordered
    return {
        .ncols = in.condition->ncols(),
        .mask = &in.mask,
        .row_offset = in.row_offset,
        .col_offset = in.col_offset,
        .level_keys = std::move(keys),
        .condition_levels = &o.condition,
        .cell_weights = &o.cell_weights,
        .pa_levels = o.pa ? &*o.pa : nullptr,
        .traversal_levels = o.traversal ? &*o.traversal : nullptr,
        .transgrid_levels = &o.transgrids,
        .transforms = &in.transforms,
        .window_size = in.window_size,
        .outer_window = in.outer_window,
        .window_mode = in.window_mode,
        .max_cost = in.max_cost,
        .is_geo = in.is_geo,
        .pa_to_pa = in.pa_to_pa,
        .lambdas = in.lambdas,
        .cancel = &pool.cancel_flag(),
    };
}

// What masked cells come back as: the quiet NaN without sign or payload, given
// by its bits so that the output's bytes do not depend on how a compiler or
// library spells NaN.
constexpr float kNoValue = std::bit_cast<float>(0x7FC00000u);

// Rows per band. A band computes the edges of every cell its sources' windows
// reach, its own rows and a margin of the reach above and below, once for all
// its sources. Where sources are dense, short bands keep the edges that
// consecutive sources read in the nearest cache; where they are scattered,
// taller bands share the margin among more of them: a band is tall enough to
// hold about `kSourcesPerBandColumn` sources per column, where every worker
// still gets `kTallBandsPerWorker` of them. Smaller bands on small rasters keep
// every worker busy. Bands change only which work is shared, never a value.
std::size_t band_rows(const BoolGrid& mask, std::size_t nrows, std::size_t workers) {
    const auto sources = static_cast<std::size_t>(std::count(mask.data(), mask.data() + mask.size(), false));
    const std::size_t for_sharing =
        sources == 0 ? kSparseBandRows : kSourcesPerBandColumn * mask.size() / sources;
    const std::size_t tallest = std::clamp(nrows / (kTallBandsPerWorker * workers), kDenseBandRows, kSparseBandRows);
    const std::size_t rows = std::clamp(for_sharing, kDenseBandRows, tallest);
    return std::clamp<std::size_t>(nrows / (4 * workers), 1, rows);
}

}  // namespace

Result<Grid> run_connectivity(const ConnectivityInputs& in, Pool& pool, Progress* progress) {
    if (!in.condition) return Error{"No base level (key=1) in condition array"};
    const Grid& condition = *in.condition;
    if (Status range = check_lattice_range(in, condition); !range.ok()) return range.error();
    const Result<Overviews> overviews = make_overviews(in, pool);
    if (!overviews.ok()) return overviews.error();
    const RowContext ctx = row_context(in, overviews.value(), pool);

    Grid output = Grid::filled(condition.nrows(), condition.ncols(), kNoValue);
    const std::size_t band = band_rows(in.mask, condition.nrows(), pool.size());
    if (progress) progress->total = condition.nrows();
    pool.parallel_for(0, condition.nrows(), band, [&](std::size_t lo, std::size_t hi) {
        compute_band(ctx, lo, hi, output);
        if (progress) progress->add(hi - lo);
    });
    return output;
}

}  // namespace quillet
