// What the shortest-path search asks of its priority queue, and the storage the
// queues keep between searches.
//
// The search pops entries by ascending total; which of several entries of equal
// total comes out first is each queue's tie order, written on the queue. That
// order decides which of two paths of equal total a node keeps, so it must
// follow from the sequence of pushes alone (never from addresses, timing or
// threads), and the queue serving a graph must be chosen from the graph alone:
// then every run keeps the same paths.
#pragma once

#include <concepts>
#include <cstdint>
#include <vector>

namespace quillet {

// A queued node and the tentative total it was queued with.
struct QueueEntry {
    std::uint32_t total;
    std::int32_t node;
};

// A node queued in a bucket; the bucket gives its total.
struct BucketEntry {
    std::int32_t node;
    std::int32_t next;  // next entry of the same bucket, -1 at the end
};

// Per-thread storage of the queues; keeps its capacity between searches.
struct QueueStorage {
    // Bucket queues: the head entry of each bucket, occupancy bits, and the
    // entries, each linked to the next one of its bucket.
    std::vector<std::int32_t> bucket_head;
    std::vector<std::uint64_t> bucket_bits;
    std::vector<BucketEntry> bucket_entries;
    // Heap queue: (total << 32) | node; ordered bucket queue: the nodes of the current total.
    std::vector<std::uint64_t> heap_keys;
};

// A priority queue of the search. `pop` gives the entry of least total, in the
// queue's tie order among equal totals, or false when the queue is empty.
// `push` takes only totals from the last popped one up to `horizon()`; once
// empty, `restart_at` moves the queue on to a later total, from which pushes go
// on.
template <class Queue>
concept SearchQueue = requires(Queue& queue, const Queue& held, std::uint32_t total, std::int32_t node,
                               QueueEntry& out) {
    { held.horizon() } -> std::convertible_to<std::uint64_t>;
    queue.restart_at(total);
    queue.push(total, node);
    { queue.pop(out) } -> std::same_as<bool>;
};

}  // namespace quillet
