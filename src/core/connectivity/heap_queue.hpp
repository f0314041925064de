// A binary min-heap on (total << 32) | node, for edge weights too large for the
// bucket queues; any total may be pushed at any time.
//
// Tie order: entries of equal total come out by ascending node, since the node
// is the low half of the key; that order is the graph's alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "connectivity/search_queue.hpp"

namespace quillet {

class HeapQueue {
public:
    explicit HeapQueue(QueueStorage& storage) : keys_(storage.heap_keys) { keys_.clear(); }

    static constexpr std::uint64_t horizon() { return std::numeric_limits<std::uint64_t>::max(); }
    static void restart_at(std::uint32_t) {}

    void push(std::uint32_t total, std::int32_t node) {
        keys_.push_back((std::uint64_t{total} << 32) | static_cast<std::uint32_t>(node));
        std::push_heap(keys_.begin(), keys_.end(), std::greater<>());
    }

    bool pop(QueueEntry& out) {
        if (keys_.empty()) return false;
        std::pop_heap(keys_.begin(), keys_.end(), std::greater<>());
        const std::uint64_t key = keys_.back();
        keys_.pop_back();
        out = {static_cast<std::uint32_t>(key >> 32), static_cast<std::int32_t>(static_cast<std::uint32_t>(key))};
        return true;
    }

private:
    std::vector<std::uint64_t>& keys_;
};

static_assert(SearchQueue<HeapQueue>);

}  // namespace quillet
