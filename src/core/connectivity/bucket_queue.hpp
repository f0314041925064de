// Dial's bucket queue for edge weights below 4096: up to 4096 buckets, their
// occupancy bits in 64 words, and one summary bit per word, so that the next
// total is found without a scan.
//
// Tie order: entries of equal total come out last in, first out, since a bucket
// is a list that pushes and pops at its front. That order follows from the pushes
// alone; `SmallBucketQueue` pops in the same one, so which of the two serves a
// graph never changes a path.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "connectivity/bucket_ring.hpp"
#include "connectivity/search_queue.hpp"

namespace quillet {

class BucketQueue {
public:
    static constexpr std::uint32_t kMaxBuckets = 4096;  // 64 words of 64 bits

    // A queue for at most `max_pushes` pushes of totals that grow by at most
    // `max_weight` per edge.
    BucketQueue(QueueStorage& storage, std::uint32_t max_weight, std::size_t max_pushes)
        : ring_(storage, buckets_for(max_weight), max_pushes) {
        // Every bucket starts empty, so that a push links to the head it finds.
        std::fill(storage.bucket_head.begin(), storage.bucket_head.end(), -1);
        storage.bucket_bits.assign(storage.bucket_head.size() / 64, 0);
        bits_ = storage.bucket_bits.data();
    }

    // Whether this queue can serve edge weights up to `max_weight`.
    static bool fits(std::uint32_t max_weight) { return max_weight < kMaxBuckets; }

    std::uint64_t horizon() const { return ring_.horizon(); }
    void restart_at(std::uint32_t total) { ring_.restart_at(total); }

    void push(std::uint32_t total, std::int32_t node) {
        const std::uint32_t b = ring_.bucket_of(total);
        ring_.link(b, node, ring_.head(b));
        bits_[b >> 6] |= std::uint64_t{1} << (b & 63);
        summary_ |= std::uint64_t{1} << (b >> 6);
    }

    bool pop(QueueEntry& out) {
        if (summary_ == 0) return false;
        const std::uint32_t b = next_occupied(ring_.last_bucket());
        // The bucket's distance from the last popped one is the growth of the total.
        ring_.advance_to(b);
        const BucketEntry& entry = ring_.unlink_front(b);
        out = {ring_.last(), entry.node};
        // Clears the bucket's bit, and its word's summary bit, once it is empty;
        // without a branch, since whether a bucket empties is unpredictable.
        std::uint64_t& word = bits_[b >> 6];
        word &= ~(std::uint64_t{entry.next < 0} << (b & 63));
        summary_ &= ~(std::uint64_t{word == 0} << (b >> 6));
        return true;
    }

private:
    static std::size_t buckets_for(std::uint32_t max_weight) {
        return std::max<std::size_t>(64, std::bit_ceil(std::size_t{max_weight} + 1));
    }

    // First occupied bucket at or after `start`, wrapping around; one exists.
    std::uint32_t next_occupied(std::uint32_t start) const {
        std::uint32_t w = start >> 6;
        std::uint64_t word = bits_[w] & (~std::uint64_t{0} << (start & 63));
        if (word == 0) {
            const std::uint64_t later = w + 1 < 64 ? summary_ & (~std::uint64_t{0} << (w + 1)) : 0;
            w = static_cast<std::uint32_t>(std::countr_zero(later != 0 ? later : summary_));
            word = bits_[w];
        }
        return w * 64 + static_cast<std::uint32_t>(std::countr_zero(word));
    }

    BucketRing<> ring_;
    std::uint64_t* bits_;
    std::uint64_t summary_ = 0;
};

static_assert(SearchQueue<BucketQueue>);

}  // namespace quillet
