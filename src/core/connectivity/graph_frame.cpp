// Planning the graph frame of a band. Transforms are looked up by key, so a
// level whose transform or coarser transform is missing is found out here and
// faulted on only where graph building needs it.
#include "connectivity/graph_frame.hpp"

#include <limits>

#include "connectivity/node_mapping.hpp"

namespace quillet {

void plan_graph(const RowContext& ctx, const WindowPlan& plan, GraphFrame& frame) {
    frame.plan = &plan;
    frame.max_cost = ctx.max_cost;
    frame.is_geo = ctx.is_geo;
    frame.pa_to_pa = ctx.pa_to_pa;
    frame.affines.clear();
    frame.coarser_affines.clear();
    auto find = [&](std::int64_t key) -> const Affine* {
        if (key > std::numeric_limits<LevelKey>::max()) return nullptr;
        const auto it = ctx.transforms->find(static_cast<LevelKey>(key));
        return it == ctx.transforms->end() ? nullptr : &it->second;
    };
    frame.node_ids_fit = true;
    for (const LevelPlan& lp : plan.levels) {
        frame.affines.push_back(find(lp.level));
        frame.coarser_affines.push_back(find(2 * static_cast<std::int64_t>(lp.level)));
        frame.node_ids_fit = frame.node_ids_fit && grid_ids_fit(lp.level, lp.origin_row, lp.origin_col,
                                                                lp.condition->nrows(), lp.condition->ncols());
    }
}

}  // namespace quillet
