#include <cmath>
#include <cstdint>
#include <numbers>

#include "check.hpp"
#include "connectivity/edge_geometry.hpp"
#include "connectivity/fixtures.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

// Doubles in [0, 1) from a xorshift generator: the same sequence on every platform.
struct UnitStream {
    std::uint64_t state;

    double operator()() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) * 0x1p-53;
    }
};

}  // namespace

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

// Planar lengths round as float(hypot(dx, dy) / 1000) does, for offsets of every
// magnitude and those whose quotient lies next to a float's rounding boundary.
TEST(planar_lengths_round_as_hypot_does) {
    UnitStream next_unit{88172645463325252ull};
    auto expected = [](double dx, double dy) { return static_cast<float>(std::hypot(dx, dy) / 1000.0); };
    int mismatches = 0;
    for (int i = 0; i < 200000; ++i) {
        const double scale = std::ldexp(1.0, static_cast<int>(next_unit() * 120.0) - 60);
        double dx = (next_unit() - 0.5) * scale, dy = (next_unit() - 0.5) * scale;
        if (i % 4 == 0) dy = 0.0;
        if (i % 4 == 1) {
            // A length whose kilometres sit halfway between two floats.
            const float f = static_cast<float>(std::abs(dx) / 1000.0);
            dx = (static_cast<double>(f) + 0.5 * (std::nextafter(f, 2.0f * f) - f)) * 1000.0;
            dy = 0.0;
        }
        const Point from{483217.31, 5761043.77};
        const Point to{from.x + dx, from.y + dy};
        mismatches += edge_length_km(from, to, false) != expected(to.x - from.x, to.y - from.y);
    }
    CHECK_EQ(mismatches, 0);
    CHECK_EQ(edge_length_km({0.0, 0.0}, {1e300, 1e300}, false), expected(1e300, 1e300));
    CHECK_EQ(edge_length_km({0.0, 0.0}, {0.0, 0.0}, false), 0.0f);
    CHECK(std::isnan(edge_length_km({0.0, 0.0}, {std::nan(""), 1.0}, false)));
}

// The edge cache copies a within-level length from the neighbour's edge back,
// so a length must be the same float both ways, planar and great-circle.
TEST(lengths_are_the_same_both_ways) {
    UnitStream next_unit{2463534242ull};
    int asymmetric = 0;
    for (int i = 0; i < 50000; ++i) {
        const bool geo = i % 2 == 1;
        const double step = geo ? 0.01 : 100.0;
        const Point a{geo ? 360.0 * next_unit() - 180.0 : 483217.31 + 1e5 * next_unit(),
                      geo ? 178.0 * next_unit() - 89.0 : 5761043.77 + 1e5 * next_unit()};
        const Point b{a.x + step * (next_unit() - 0.5), a.y + step * (next_unit() - 0.5)};
        asymmetric += edge_length_km(a, b, geo) != edge_length_km(b, a, geo);
    }
    CHECK_EQ(asymmetric, 0);
}
