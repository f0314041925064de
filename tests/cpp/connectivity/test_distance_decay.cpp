#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "connectivity/distance_decay.hpp"

using namespace quillet;

TEST(distance_decay_equals_its_formula_across_bandwidth_changes) {
    DistanceDecay decay;
    const std::uint32_t totals[] = {0, 1, 57, 283, 70000, 4294967295u};
    for (const float lambda : {2.0f, 20.0f, 2.0f, NAN, 0.0f, 200.0f}) {
        decay.use_bandwidth(lambda);
        for (int pass = 0; pass < 2; ++pass) {  // computed, then kept
            for (const std::uint32_t t : totals) {
                const float expected = std::exp(-(static_cast<float>(t) / 100.0f) / lambda);
                CHECK_EQ(std::bit_cast<std::uint32_t>(decay(t)), std::bit_cast<std::uint32_t>(expected));
            }
        }
    }
}

TEST(grouped_distance_decays_equal_each_bandwidth_alone_and_zero_past_the_group) {
    DistanceDecays decays;
    const std::uint32_t totals[] = {0, 1, 57, 283, 70000, 4294967295u, 3};
    const std::vector<std::vector<float>> groups = {{2.0f, 20.0f, 200.0f}, {2.0f}, {NAN, 0.0f, 5.0f, 1e-30f}};
    for (const DecayShape shape : {DecayShape::exponential, DecayShape::gaussian}) {
        for (const std::vector<float>& lambdas : groups) {
            decays.use_bandwidths(lambdas, shape);
            for (int pass = 0; pass < 2; ++pass) {  // computed, then kept
                for (const std::uint32_t t : totals) {
                    const float* values = decays(t);
                    for (std::size_t k = 0; k < kBandwidthLanes; ++k) {
                        float expected = 0.0f;
                        if (k < lambdas.size()) {
                            DistanceDecay alone;
                            alone.use_bandwidth(lambdas[k], shape);
                            expected = alone(t);
                        }
                        CHECK_EQ(std::bit_cast<std::uint32_t>(values[k]), std::bit_cast<std::uint32_t>(expected));
                    }
                }
            }
        }
    }
}
