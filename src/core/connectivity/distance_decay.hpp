// Distance decays: the dispersal kernel's value at a quantised distance total
// under one bandwidth, and under a group of bandwidths side by side with the
// values of every total kept, since a window's distances repeat from record to
// record and from source to source. The exponents are written once here for
// both the distance decays and the cost decays of the accumulation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillet {

// The two shapes of the dispersal kernel: exp(-d / lambda) in the connectivity
// form, exp(-(d / lambda)^2 / 283.465) in the similarity-weighted form.
enum class DecayShape { exponential, gaussian };

// The bandwidths are taken in groups of this many, each in a lane of its own.
inline constexpr std::size_t kBandwidthLanes = 4;

// The exponents of the two decay shapes of a cost or a distance, for one
// bandwidth (float) or a group of them (a vector of lanes).
template <class T>
T exponential_exponent(float value, T lambda) {
    return -value / lambda;
}

template <class T>
T gaussian_exponent(float value, T inverse_lambda) {
    const T x = value * inverse_lambda;
    return (x * x) / -283.465f;
}

// The decay of a quantised distance total (d = total / 100 km) under one bandwidth.
class DistanceDecay {
public:
    void use_bandwidth(float lambda, DecayShape shape = DecayShape::exponential) {
        lambda_ = lambda;
        shape_ = shape;
    }

    float operator()(std::uint32_t total) const;

private:
    float lambda_ = 1.0f;
    DecayShape shape_ = DecayShape::exponential;
};

// The decays of quantised distance totals under a group of bandwidths, side by
// side, each computed once: a window's distances repeat from record to record
// and from source to source.
class DistanceDecays {
public:
    // Selects up to kBandwidthLanes bandwidths and the shape; new ones forget
    // the values of the old ones.
    void use_bandwidths(std::span<const float> lambdas, DecayShape shape);

    // The kBandwidthLanes values of `total`, one per bandwidth, 0 past the group.
    const float* operator()(std::uint32_t total) {
        return total < kept_ ? &values_[std::size_t{total} * kBandwidthLanes] : extend(total);
    }

private:
    // Keeps the values of every total up to `total` unless it is very large,
    // and returns those of `total`. Distance totals are small and dense, so
    // keeping them all spares the lookups a test for a missing value.
    const float* extend(std::uint32_t total);

    static constexpr std::uint32_t kMaxKept = 1u << 16;  // larger totals are rare and not kept

    std::array<DistanceDecay, kBandwidthLanes> decays_;
    std::size_t lanes_ = 0;
    std::array<std::uint32_t, kBandwidthLanes> lambda_bits_{};  // the bandwidths of the kept values, bit for bit
    DecayShape shape_ = DecayShape::exponential;
    bool has_bandwidths_ = false;
    std::uint32_t kept_ = 0;    // totals 0 .. kept_ - 1 have their values in `values_`
    std::vector<float> values_;
    std::array<float, kBandwidthLanes> unkept_{};  // the values of the last total too large to keep
};

}  // namespace quillet
