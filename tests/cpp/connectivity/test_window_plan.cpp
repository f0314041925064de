#include <functional>
#include <utility>

#include "check.hpp"
#include "connectivity/fixtures.hpp"
#include "connectivity/window_plan.hpp"

using namespace quillet;
using namespace quillet::test;

TEST(window_plan_faults_in_the_documented_order) {
    LevelMap partial;
    partial[1] = Grid(80, 80);
    const std::pair<const char*, std::function<void(Landscape&)>> cases[] = {
        // level by level, lookups before widths
        {"Weights level not found!", [](Landscape& l) { l.weights.erase(1); l.ctx.window_size = 4; }},
        {"Window size must be odd-numbered", [](Landscape& l) { l.weights.erase(2); l.ctx.window_size = 4; }},
        {"Outer window size must be odd-numbered", [](Landscape& l) { l.ctx.outer_window = 8; }},
        {"PA-membership level not found!", [&](Landscape& l) { l.ctx.pa_levels = &partial; }},
        {"Traversal level not found!", [&](Landscape& l) { l.ctx.traversal_levels = &partial; }},
        {"Base condition level not found!",
         [](Landscape& l) {
             l.condition.erase(1);
             l.weights.erase(1);
             l.ctx.level_keys = {2, 4};
         }},
    };
    for (const auto& [text, spoil] : cases) {
        Landscape land({1, 2, 4}, 80, 80, 0, 0, WindowMode::circular);
        spoil(land);
        CHECK_THROWS_TEXT(plan_windows(land.ctx, land.plan), text);
    }
    // An even outer width below the window width is ignored.
    Landscape land({1, 2}, 20, 20, 0, 0, WindowMode::circular, 5, 4);
    plan_windows(land.ctx, land.plan);
    CHECK_EQ(land.plan.levels[1].width, 5);
}
