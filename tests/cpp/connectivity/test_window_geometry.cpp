#include <cmath>

#include "check.hpp"
#include "connectivity/fixtures.hpp"
#include "connectivity/window_geometry.hpp"

using namespace quillet;
using namespace quillet::test;

TEST(geometry_functions_match_closed_forms) {
    struct Case {
        const char* name;
        double got, expected, tolerance;
    };
    const double half_root3 = std::sqrt(3.0) / 2.0;
    const Case cases[] = {
        {"tangent rectangle", rect_circle_overlap_area(1, 2, -1, 1, 0, 0, 1), 0.0, 0.0},
        {"corner touching", rect_circle_overlap_area(0.6, 2, 0.8, 2, 0, 0, 1), 0.0, 0.0},
        {"rectangle inside", rect_circle_overlap_area(-0.5, 0.25, -0.5, 0.5, 0, 0, 1), 0.75, 0.0},
        {"unit square, radius 1", rect_circle_overlap_area(0, 1, 0, 1, 0, 0, 1), kPi / 4, 1e-15},
        {"whole disc", rect_circle_overlap_area(-3, 3, -2, 4, 0.5, 1, 1.5), kPi * 2.25, 1e-14},
        {"half disc", rect_circle_overlap_area(2, 9, -9, 9, 2, 0, 2), kPi * 2, 1e-14},
        {"empty rectangle", rect_circle_overlap_area(1, 1, 0, 1, 0, 0, 1), 0.0, 0.0},
        {"off-centre, across both axes", rect_circle_overlap_area(-0.7, 1.9, -1.3, 0.4, 0.2, -0.1, 1.1),
         region_area(-0.7, 1.9, -1.3, 0.4, 0.2, -0.1, 1.1, 0.0, WindowMode::circular), 2e-5},
        {"quadrant, x and y beyond r", first_quadrant_circle_area(5, 3, 2), kPi, 1e-15},
        {"quadrant, y beyond r: F(r/2)", first_quadrant_circle_area(1, 7, 2), 4 * (kPi / 12 + std::sqrt(3.0) / 8),
         1e-15},
        {"quadrant, square inside", first_quadrant_circle_area(0.5, 0.5, 1), 0.25, 0.0},
        // rectangle up to sqrt(3)/2, then the arc down to height 1/2
        {"quadrant, strip", first_quadrant_circle_area(1, 0.5, 1),
         0.5 * half_root3 + (kPi / 4 - (half_root3 * 0.5 + std::asin(half_root3)) / 2), 1e-15},
        {"quadrant, zero width", first_quadrant_circle_area(0, 1, 1), 0.0, 0.0},
        {"quadrant, negative height", first_quadrant_circle_area(1, -1, 1), 0.0, 0.0},
    };
    for (const Case& c : cases) check_near(c.got, c.expected, c.tolerance, c.name);
}
