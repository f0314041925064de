#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "check.hpp"
#include "connectivity/bucket_queue.hpp"
#include "connectivity/heap_queue.hpp"
#include "connectivity/ordered_bucket_queue.hpp"
#include "connectivity/small_bucket_queue.hpp"

using namespace quillet;

namespace {

enum class Ties { last_in_first_out, ascending_node };

// A queue that pops by its definition: least total first, ties in `ties` order.
template <Ties ties>
class ModelQueue {
public:
    static constexpr std::uint64_t horizon() { return std::numeric_limits<std::uint64_t>::max(); }
    static void restart_at(std::uint32_t) {}
    void push(std::uint32_t total, std::int32_t node) {
        const std::int64_t tie = ties == Ties::ascending_node ? node : -pushes_;
        entries_.insert({total, tie, node});
        ++pushes_;
    }
    bool pop(QueueEntry& out) {
        if (entries_.empty()) return false;
        const auto [total, tie, node] = *entries_.begin();
        entries_.erase(entries_.begin());
        out = {total, node};
        return true;
    }

private:
    std::multiset<std::tuple<std::uint32_t, std::int64_t, std::int32_t>> entries_;
    std::int64_t pushes_ = 0;
};

using Popped = std::vector<std::pair<std::uint32_t, std::int32_t>>;

// What a queue pops in a run shaped like a search's: every pop pushes up to
// three entries, a third of them at the popped total itself (ties are common),
// the rest up to `max_weight` above it, to new nodes or ones seen before; a
// round stops pushing after 300 entries, and once the queue runs empty it
// restarts past a gap, three times.
template <SearchQueue Queue>
Popped popped_by(Queue&& queue, std::uint32_t max_weight, unsigned seed) {
    std::mt19937 rng(seed);
    Popped popped;
    std::int32_t nodes = 1;
    int pushes = 0, restarts = 0;
    queue.push(0, 0);
    for (QueueEntry e; restarts < 3;) {
        if (!queue.pop(e)) {
            const std::uint32_t at = popped.back().first + 2 * max_weight + 7;
            queue.restart_at(at);
            queue.push(at, nodes++);
            pushes = 0;
            ++restarts;
            continue;
        }
        popped.emplace_back(e.total, e.node);
        for (unsigned k = rng() % 4; k > 0 && pushes < 300; --k, ++pushes) {
            const std::uint32_t growth = rng() % 3 == 0 ? 0 : rng() % (max_weight + 1);
            const std::int32_t node = rng() % 2 == 0 ? nodes++ : static_cast<std::int32_t>(rng() % nodes);
            queue.push(e.total + growth, node);
        }
    }
    return popped;
}

}  // namespace

TEST(every_queue_pops_by_total_then_in_its_tie_order) {
    // One storage for every queue, as a thread's searches share it: no queue
    // may read what an earlier one left.
    QueueStorage storage;
    const std::size_t room = 5000;
    for (const unsigned seed : {1u, 2u, 3u}) {
        for (const std::uint32_t w : {0u, 1u, 63u}) {
            const Popped lifo = popped_by(ModelQueue<Ties::last_in_first_out>(), w, seed);
            const Popped by_node = popped_by(ModelQueue<Ties::ascending_node>(), w, seed);
            CHECK(popped_by(SmallBucketQueue(storage, room), w, seed) == lifo);
            CHECK(popped_by(BucketQueue(storage, w, room), w, seed) == lifo);
            CHECK(popped_by(OrderedBucketQueue(storage, w, room), w, seed) == by_node);
            CHECK(popped_by(HeapQueue(storage), w, seed) == by_node);
            CHECK(lifo != by_node);
        }
        for (const std::uint32_t w : {64u, 4095u}) {
            CHECK(popped_by(BucketQueue(storage, w, room), w, seed) ==
                  popped_by(ModelQueue<Ties::last_in_first_out>(), w, seed));
        }
        for (const std::uint32_t w : {4096u, 70000u, 262143u}) {
            const Popped by_node = popped_by(ModelQueue<Ties::ascending_node>(), w, seed);
            CHECK(popped_by(OrderedBucketQueue(storage, w, room), w, seed) == by_node);
            CHECK(popped_by(HeapQueue(storage), w, seed) == by_node);
        }
    }
}
