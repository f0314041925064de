// The graph frame: what graph building needs of a band beyond its windows, the
// transform of every planned level and of its coarser level 2L, and the call's
// cost and distance settings, looked up once per band of rows.
#pragma once

#include <vector>

#include "common/affine.hpp"
#include "connectivity/row_context.hpp"
#include "connectivity/window_plan.hpp"

namespace quillet {

struct GraphFrame {
    const WindowPlan* plan = nullptr;
    // Per plan level, the transforms of the level itself and of key 2L; null
    // where the transform map lacks the key.
    std::vector<const Affine*> affines;
    std::vector<const Affine*> coarser_affines;
    float max_cost = 0.0f;
    bool is_geo = false;
    bool pa_to_pa = false;
    bool node_ids_fit = false;  // every cell of every level grid has a node id that fits its layout
};

// Looks up the transforms of every planned level and of its key 2L.
void plan_graph(const RowContext& ctx, const WindowPlan& plan, GraphFrame& frame);

}  // namespace quillet
