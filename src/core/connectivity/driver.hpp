// The body of one connectivity call: level overviews of every input, their
// consistency checks, and the parallel row loop that runs the focal kernel.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/grid.hpp"
#include "common/levels.hpp"
#include "common/pool.hpp"
#include "connectivity/row_context.hpp"

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

// Computes the values of output rows [first_row, end_row); cells it does not
// write stay NaN.
using RowsJob = std::function<void(const RowContext&, std::size_t first_row, std::size_t end_row, Grid& output)>;

// Runs the connectivity computation on `pool`: an nrows x ncols grid of values,
// or an error value. Internal faults propagate as `Fault`.
Result<Grid> run_connectivity(const ConnectivityInputs& inputs, Pool& pool, const RowsJob& rows_job);

}  // namespace quillet
