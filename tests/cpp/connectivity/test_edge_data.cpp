#include <cmath>
#include <cstdint>
#include <utility>

#include "check.hpp"
#include "connectivity/edge_data.hpp"

using namespace quillet;

TEST(quantisation_rounds_hundredths_half_away_from_zero_and_saturates) {
    const std::pair<float, std::uint32_t> hundredths[] = {
        {0.004f, 0}, {0.125f, 13}, {1.0f, 100}, {0.0049999f, 0}, {0.005f, 1}, {-3.0f, 0}, {NAN, 0},
        {INFINITY, 4294967295u}, {42949668.0f, 4294966784u}, {42949672.0f, 4294967295u}};
    for (const auto& [v, q] : hundredths) CHECK_EQ(quantise(v), q);
}
