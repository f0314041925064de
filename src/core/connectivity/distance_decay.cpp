// The decay values: one exp per bandwidth and total, kept in a table that
// grows by powers of two.
#include "connectivity/distance_decay.hpp"

#include <bit>
#include <cmath>

namespace quillet {

float DistanceDecay::operator()(std::uint32_t total) const {
    const float distance = static_cast<float>(total) / 100.0f;
    return std::exp(shape_ == DecayShape::exponential ? exponential_exponent(distance, lambda_)
                                                      : gaussian_exponent(distance, 1.0f / lambda_));
}

void DistanceDecays::use_bandwidths(std::span<const float> lambdas, DecayShape shape) {
    std::array<std::uint32_t, kBandwidthLanes> bits{};
    for (std::size_t k = 0; k < lambdas.size(); ++k) bits[k] = std::bit_cast<std::uint32_t>(lambdas[k]);
    if (has_bandwidths_ && lambdas.size() == lanes_ && bits == lambda_bits_ && shape == shape_) return;
    for (std::size_t k = 0; k < lambdas.size(); ++k) decays_[k].use_bandwidth(lambdas[k], shape);
    lanes_ = lambdas.size();
    lambda_bits_ = bits;
    shape_ = shape;
    has_bandwidths_ = true;
    kept_ = 0;
    values_.clear();
}

const float* DistanceDecays::extend(std::uint32_t total) {
    auto fill = [this](std::uint32_t t, float* lanes) {
        for (std::size_t k = 0; k < kBandwidthLanes; ++k) lanes[k] = k < lanes_ ? decays_[k](t) : 0.0f;
    };
    if (total >= kMaxKept) {
        fill(total, unkept_.data());
        return unkept_.data();
    }
    const auto kept = static_cast<std::uint32_t>(std::bit_ceil(std::size_t{total} + 1));
    values_.resize(std::size_t{kept} * kBandwidthLanes);
    for (; kept_ < kept; ++kept_) fill(kept_, &values_[std::size_t{kept_} * kBandwidthLanes]);
    return &values_[std::size_t{total} * kBandwidthLanes];
}

}  // namespace quillet
