// How far a long computation has got: units of work done out of a total, counted
// by the workers as they finish pieces and read by the thread that waits for the
// computation, which can tell its caller while it waits.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillet {

struct Progress {
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};

    void add(std::uint64_t units) { done.fetch_add(units, std::memory_order_relaxed); }
};

}  // namespace quillet
