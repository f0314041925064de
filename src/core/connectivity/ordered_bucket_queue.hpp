// Dial's bucket queue for edge weights too large for `BucketQueue`, below 2^18.
// Entries of the current total are kept in a small heap of nodes, and the
// buckets hold only later totals, in unsorted lists; when the heap runs empty,
// the next bucket's entries move into it. Three levels of occupancy bits find
// that bucket; an empty bucket's head is stale, and its bit says so.
//
// Tie order: entries of equal total come out by ascending node, as from
// `HeapQueue`, so that which of the two serves a graph never changes a path.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "connectivity/bucket_ring.hpp"
#include "connectivity/search_queue.hpp"

namespace quillet {

class OrderedBucketQueue {
public:
    // A queue for at most `max_pushes` pushes of totals that grow by at most
    // `max_weight` per edge.
    OrderedBucketQueue(QueueStorage& storage, std::uint32_t max_weight, std::size_t max_pushes)
        : ring_(storage, buckets_for(max_weight), max_pushes), nodes_(storage.heap_keys) {
        const std::size_t words = storage.bucket_head.size() / 64;
        storage.bucket_bits.assign(words + words / kWordsPerGroup, 0);
        bits_ = storage.bucket_bits.data();
        groups_ = bits_ + words;
        nodes_.clear();
    }

    static bool fits(std::uint32_t max_weight) { return max_weight < kMaxBuckets; }

    std::uint64_t horizon() const { return ring_.horizon(); }
    void restart_at(std::uint32_t total) { ring_.restart_at(total); }

    void push(std::uint32_t total, std::int32_t node) {
        if (total == ring_.last()) {
            nodes_.push_back(static_cast<std::uint64_t>(node));
            std::push_heap(nodes_.begin(), nodes_.end(), std::greater<>());
            return;
        }
        const std::uint32_t b = ring_.bucket_of(total);
        const std::uint32_t w = b >> 6;
        ring_.link(b, node, (bits_[w] >> (b & 63)) & 1 ? ring_.head(b) : -1);
        bits_[w] |= std::uint64_t{1} << (b & 63);
        groups_[w >> 6] |= std::uint64_t{1} << (w & 63);
        top_ |= std::uint64_t{1} << (w >> 6);
    }

    bool pop(QueueEntry& out) {
        if (nodes_.empty()) {
            if (top_ == 0) return false;
            reach_next_bucket();
        }
        std::pop_heap(nodes_.begin(), nodes_.end(), std::greater<>());
        out = {ring_.last(), static_cast<std::int32_t>(nodes_.back())};
        nodes_.pop_back();
        return true;
    }

private:
    static constexpr std::uint32_t kWordsPerGroup = 64;
    static constexpr std::uint32_t kMaxBuckets = 64 * 64 * 64;  // one top word of groups of words

    static std::size_t buckets_for(std::uint32_t max_weight) {
        return std::max<std::size_t>(kWordsPerGroup * 64, std::bit_ceil(std::size_t{max_weight} + 1));
    }

    // Moves on to the next occupied bucket and its entries into the node heap.
    void reach_next_bucket() {
        const std::uint32_t b = next_occupied(ring_.last_bucket());
        ring_.advance_to(b);
        for (std::int32_t e = ring_.head(b); e >= 0; e = ring_.entry(e).next) {
            nodes_.push_back(static_cast<std::uint64_t>(ring_.entry(e).node));
        }
        std::make_heap(nodes_.begin(), nodes_.end(), std::greater<>());
        const std::uint32_t w = b >> 6;
        bits_[w] &= ~(std::uint64_t{1} << (b & 63));
        if (bits_[w] == 0) groups_[w >> 6] &= ~(std::uint64_t{1} << (w & 63));
        if (groups_[w >> 6] == 0) top_ &= ~(std::uint64_t{1} << (w >> 6));
    }

    // First occupied bucket at or after `start`, wrapping around; one exists.
    std::uint32_t next_occupied(std::uint32_t start) const {
        const std::uint32_t w = start >> 6;
        if (const std::uint64_t word = bits_[w] & (~std::uint64_t{0} << (start & 63)); word != 0) {
            return w * 64 + static_cast<std::uint32_t>(std::countr_zero(word));
        }
        const std::uint32_t g = w >> 6;
        const std::uint64_t later_words = (w & 63) < 63 ? groups_[g] & (~std::uint64_t{0} << ((w & 63) + 1)) : 0;
        if (later_words != 0) return first_in_word(g * 64 + static_cast<std::uint32_t>(std::countr_zero(later_words)));
        const std::uint64_t later_groups = g < 63 ? top_ & (~std::uint64_t{0} << (g + 1)) : 0;
        const auto next_g = static_cast<std::uint32_t>(std::countr_zero(later_groups != 0 ? later_groups : top_));
        return first_in_word(next_g * 64 + static_cast<std::uint32_t>(std::countr_zero(groups_[next_g])));
    }

    std::uint32_t first_in_word(std::uint32_t w) const {
        return w * 64 + static_cast<std::uint32_t>(std::countr_zero(bits_[w]));
    }

    BucketRing<> ring_;
    std::vector<std::uint64_t>& nodes_;  // the entries of the current total, a min-heap
    std::uint64_t* bits_;
    std::uint64_t* groups_;
    std::uint64_t top_ = 0;
};

static_assert(SearchQueue<OrderedBucketQueue>);

}  // namespace quillet
