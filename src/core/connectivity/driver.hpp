// The body of one connectivity call: level overviews of every input, their
// consistency checks, and the parallel loop over bands of rows that runs the
// focal kernel.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/grid.hpp"
#include "common/levels.hpp"
#include "common/pool.hpp"
#include "common/progress.hpp"
#include "connectivity/window_mode.hpp"

namespace quillet {

// The converted arguments of a connectivity call.
struct ConnectivityInputs {
    std::optional<Grid> condition;
    std::optional<Grid> traversal;
    std::vector<Grid3> transgrids;  // empty when none were given
    TransformMap transforms;
    BoolGrid mask;
    std::vector<std::uint64_t> levels;
    std::vector<float> lambdas;
    bool is_geo = false;
    float max_cost = 0.0f;
    std::int32_t window_size = 0;
    std::int32_t outer_window = 0;
    std::uint64_t row_offset = 0;
    std::uint64_t col_offset = 0;
    WindowMode window_mode = WindowMode::circular;
    bool pa_to_pa = false;
};

// Runs the connectivity computation on `pool`: an nrows x ncols grid of values,
// NaN where the mask excludes a cell, or an error value. Internal faults
// propagate as `Fault`. When given, `progress` counts the rows computed.
Result<Grid> run_connectivity(const ConnectivityInputs& inputs, Pool& pool, Progress* progress = nullptr);

}  // namespace quillet
