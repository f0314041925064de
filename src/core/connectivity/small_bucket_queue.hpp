// The bucket queue for edge weights below 64: the occupancy of all 64 buckets is
// one word, held in a register, and the next total is found by rotating it to
// the last popped bucket.
//
// Tie order: last in, first out among equal totals, as `BucketQueue`, whose
// buckets are the same lists: either may serve a graph without changing a path.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "connectivity/bucket_ring.hpp"
#include "connectivity/search_queue.hpp"

namespace quillet {

class SmallBucketQueue {
public:
    SmallBucketQueue(QueueStorage& storage, std::size_t max_pushes) : ring_(storage, kBuckets, max_pushes) {}

    static bool fits(std::uint32_t max_weight) { return max_weight < kBuckets; }

    std::uint64_t horizon() const { return ring_.horizon(); }
    void restart_at(std::uint32_t total) { ring_.restart_at(total); }

    void push(std::uint32_t total, std::int32_t node) {
        const std::uint32_t b = ring_.bucket_of(total);
        // An empty bucket's head is stale; its bit says so.
        ring_.link(b, node, (bits_ >> b) & 1 ? ring_.head(b) : -1);
        bits_ |= std::uint64_t{1} << b;
    }

    bool pop(QueueEntry& out) {
        if (bits_ == 0) return false;
        // Rotated to the last popped bucket, the first set bit is the growth of the total.
        const std::uint64_t ahead = std::rotr(bits_, static_cast<int>(ring_.last_bucket()));
        ring_.advance_by(static_cast<std::uint32_t>(std::countr_zero(ahead)));
        const std::uint32_t b = ring_.last_bucket();
        const BucketEntry& entry = ring_.unlink_front(b);
        out = {ring_.last(), entry.node};
        bits_ &= ~(std::uint64_t{entry.next < 0} << b);
        return true;
    }

private:
    static constexpr std::uint32_t kBuckets = 64;

    BucketRing<kBuckets> ring_;
    std::uint64_t bits_ = 0;
};

static_assert(SearchQueue<SmallBucketQueue>);

}  // namespace quillet
