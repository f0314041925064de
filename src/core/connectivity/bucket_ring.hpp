// The circular array of buckets that Dial's queues are built on. While the
// largest edge weight is below the number of buckets, every queued total lies in
// [last popped, last popped + largest weight], so indexing the buckets by the
// total's low bits puts one total in each bucket, and an entry needs no total
// of its own. Each bucket is a list of entries linked newest first; the queues
// keep their own occupancy bits, and each says whether an empty bucket's head
// is reset or left stale.
// A ring of `kFixedBuckets` buckets has its size in the code, so that its
// index arithmetic folds into constants; one of 0 is sized when constructed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "connectivity/search_queue.hpp"

namespace quillet {

template <std::uint32_t kFixedBuckets = 0>
class BucketRing {
public:
    // `buckets` (a power of two; `kFixedBuckets` where that is not 0) buckets for
    // at most `max_pushes` entries.
    BucketRing(QueueStorage& storage, std::size_t buckets, std::size_t max_pushes)
        : mask_(static_cast<std::uint32_t>(buckets - 1)) {
        storage.bucket_head.resize(buckets);
        if (storage.bucket_entries.size() < max_pushes) storage.bucket_entries.resize(max_pushes);
        head_ = storage.bucket_head.data();
        entries_ = storage.bucket_entries.data();
    }

    // The largest total that may be pushed now.
    std::uint64_t horizon() const { return std::uint64_t{last_} + mask(); }
    // Moves an empty ring on to `total`, from which pushes go on.
    void restart_at(std::uint32_t total) { last_ = total; }

    std::uint32_t last() const { return last_; }
    std::uint32_t bucket_of(std::uint32_t total) const { return total & mask(); }
    std::uint32_t last_bucket() const { return last_ & mask(); }

    // Moves the last popped total on by `growth`, or on to the total of bucket `b`.
    void advance_by(std::uint32_t growth) { last_ += growth; }
    void advance_to(std::uint32_t b) { last_ += (b - last_bucket()) & mask(); }

    // Puts `node` at the front of bucket `b`, ahead of entry `next` (-1: none).
    void link(std::uint32_t b, std::int32_t node, std::int32_t next) {
        entries_[pushed_] = {node, next};
        head_[b] = pushed_;
        ++pushed_;
    }

    // The front entry of bucket `b`, which is occupied.
    std::int32_t head(std::uint32_t b) const { return head_[b]; }
    const BucketEntry& entry(std::int32_t e) const { return entries_[e]; }

    // Takes the front entry off occupied bucket `b`.
    const BucketEntry& unlink_front(std::uint32_t b) {
        const BucketEntry& front = entries_[head_[b]];
        head_[b] = front.next;
        return front;
    }

private:
    std::uint32_t mask() const {
        if constexpr (kFixedBuckets != 0) {
            return kFixedBuckets - 1;
        } else {
            return mask_;
        }
    }

    std::int32_t* head_;
    BucketEntry* entries_;
    std::uint32_t mask_;
    std::int32_t pushed_ = 0;
    std::uint32_t last_ = 0;
};

}  // namespace quillet
