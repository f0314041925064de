#include <cmath>
#include <numbers>

#include "check.hpp"
#include "connectivity/edge_geometry.hpp"
#include "connectivity/fixtures.hpp"

using namespace quillet;
using namespace quillet::test;

TEST(geographic_lengths_are_great_circle_distances) {
    const double radius_km = 6371.0, degree = std::numbers::pi / 180.0;
    check_relative(edge_length_km({10.0, 45.0}, {10.0, 46.0}, true), radius_km * degree, 1e-7, "meridian degree");
    // A degree of longitude at 60 degrees north, by the spherical law of cosines.
    const double phi = 60.0 * degree;
    const double cosine = std::sin(phi) * std::sin(phi) + std::cos(phi) * std::cos(phi) * std::cos(degree);
    const double expected = radius_km * std::acos(cosine);
    check_relative(edge_length_km({5.0, 60.0}, {6.0, 60.0}, true), expected, 1e-6, "parallel degree");
    CHECK_EQ(edge_length_km({0.0, 0.0}, {300.0, 400.0}, false), 0.5f);
    // x (longitude) from the first row of the transform, y (latitude) from the second.
    const Point p = cell_centre(Affine{0.5, 0, 10.0, 0, -0.25, 50.0}, 2.0, 4.0);
    CHECK(p.x == 12.25 && p.y == 49.375);
}
