#include "routing.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

namespace quillet {

namespace {

constexpr std::uint32_t kMaxTotal = std::numeric_limits<std::uint32_t>::max();
// Above every total, so that the first path found to a node is always recorded,
// even when its total saturates.
constexpr std::uint64_t kUnrecorded = std::uint64_t{1} << 32;

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t sum = a + b;
    return sum < a ? kMaxTotal : sum;
}

// Dial's bucket queue: while the largest edge weight is below the number of
// buckets, every queued total lies in [last popped, last popped + largest
// weight], so a circular array of buckets indexed by the total's low bits holds
// one total per bucket. Occupancy bits per bucket, and one summary bit per word
// of them, find the next total without a scan. Entries of equal total come out
// last-in first-out.
class BucketQueue {
public:
    // A queue for at most `max_pushes` pushes of totals that grow by at most
    // `max_weight` per edge.
    BucketQueue(SearchScratch& s, std::uint32_t max_weight, std::size_t max_pushes)
        : head_(s.bucket_head), bits_(s.bucket_bits), entries_(s.bucket_entries) {
        const std::size_t size = std::max<std::size_t>(64, std::bit_ceil(std::size_t{max_weight} + 1));
        mask_ = size - 1;
        head_.assign(size, -1);
        bits_.assign(size / 64, 0);
        if (entries_.size() < max_pushes) entries_.resize(max_pushes);
    }

    // Whether this queue can serve edge weights up to `max_weight`.
    static bool fits(std::uint32_t max_weight) { return max_weight < kMaxBuckets; }

    void push(std::uint32_t total, std::int32_t node) {
        const std::size_t b = total & mask_;
        entries_[pushed_] = {{total, node}, head_[b]};
        head_[b] = static_cast<std::int32_t>(pushed_);
        bits_[b >> 6] |= std::uint64_t{1} << (b & 63);
        summary_ |= std::uint64_t{1} << (b >> 6);
        ++pushed_;
        ++queued_;
    }

    bool pop(QueueEntry& out) {
        if (queued_ == 0) return false;
        const std::size_t b = next_occupied(last_ & mask_);
        const auto& linked = entries_[static_cast<std::size_t>(head_[b])];
        out = linked.entry;
        head_[b] = linked.next;
        if (head_[b] < 0) {
            std::uint64_t& word = bits_[b >> 6];
            word &= ~(std::uint64_t{1} << (b & 63));
            if (word == 0) summary_ &= ~(std::uint64_t{1} << (b >> 6));
        }
        --queued_;
        last_ = out.total;
        return true;
    }

private:
    static constexpr std::uint32_t kMaxBuckets = 4096;  // 64 words of 64 bits

    // First occupied bucket at or after `start`, wrapping around; one exists.
    std::size_t next_occupied(std::size_t start) const {
        std::size_t w = start >> 6;
        std::uint64_t word = bits_[w] & (~std::uint64_t{0} << (start & 63));
        if (word == 0) {
            const std::uint64_t later = w + 1 < 64 ? summary_ & (~std::uint64_t{0} << (w + 1)) : 0;
            w = static_cast<std::size_t>(std::countr_zero(later != 0 ? later : summary_));
            word = bits_[w];
        }
        return w * 64 + static_cast<std::size_t>(std::countr_zero(word));
    }

    std::vector<std::int32_t>& head_;
    std::vector<std::uint64_t>& bits_;
    std::vector<LinkedEntry>& entries_;
    std::uint64_t summary_ = 0;
    std::size_t mask_ = 0;
    std::size_t pushed_ = 0;
    std::size_t queued_ = 0;
    std::uint32_t last_ = 0;
};

// A binary min-heap on (total << 32) | node, for edge weights too large for the
// bucket queue. Entries of equal total come out by ascending node.
class HeapQueue {
public:
    explicit HeapQueue(SearchScratch& s) : keys_(s.heap_keys) { keys_.clear(); }

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

template <SearchMode mode>
std::uint32_t weight(const EdgeData& edge) {
    return mode == SearchMode::cost ? edge.cost_q : edge.length_q;
}

// Dijkstra's search from the graph's source; a node whose total is lowered is
// queued again and its older entries are skipped when they come out.
template <SearchMode mode, class Queue>
void search(const Graph& graph, SearchScratch& s, Queue& queue, SearchResult& result) {
    constexpr bool cost_mode = mode == SearchMode::cost;
    const auto source = static_cast<std::size_t>(graph.source);
    s.best[source] = 0;
    queue.push(0, graph.source);
    QueueEntry entry;
    while (queue.pop(entry)) {
        const auto u = static_cast<std::size_t>(entry.node);
        const std::uint32_t total = entry.total;
        if (total != s.best[u]) continue;
        // The parent was settled before u, so its path cost is final: summing
        // here equals summing the edge costs along the whole path in order.
        if (cost_mode && u != source) {
            const auto e = static_cast<std::size_t>(s.parent_edge[u]);
            const auto parent = static_cast<std::size_t>(result.parent[u]);
            result.path_cost[u] = result.path_cost[parent] + graph.edge_data[e].cost;
        }
        const auto end = static_cast<std::size_t>(graph.first_edge[u + 1]);
        for (auto e = static_cast<std::size_t>(graph.first_edge[u]); e < end; ++e) {
            const auto v = static_cast<std::size_t>(graph.edge_target[e]);
            const std::uint32_t candidate = saturating_add(total, weight<mode>(graph.edge_data[e]));
            if (candidate >= s.best[v]) continue;
            s.best[v] = candidate;
            result.parent[v] = static_cast<std::int32_t>(u);
            s.parent_edge[v] = static_cast<std::int32_t>(e);
            queue.push(candidate, static_cast<std::int32_t>(v));
        }
    }
    for (std::size_t v = 0; v < result.total.size(); ++v) {
        if (result.parent[v] >= 0) result.total[v] = static_cast<std::uint32_t>(s.best[v]);
    }
}

template <SearchMode mode>
void search_with_fitting_queue(const Graph& graph, SearchScratch& s, SearchResult& result) {
    std::uint32_t max_weight = 0;
    for (std::size_t e = 0; e < graph.edge_count(); ++e) {
        max_weight = std::max(max_weight, weight<mode>(graph.edge_data[e]));
    }
    if (BucketQueue::fits(max_weight)) {
        BucketQueue queue(s, max_weight, graph.edge_count() + 1);
        search<mode>(graph, s, queue, result);
    } else {
        HeapQueue queue(s);
        search<mode>(graph, s, queue, result);
    }
}

}  // namespace

std::uint32_t quantise(float v) {
    const float scaled = v * 100.0f;
    if (!(scaled > 0.0f)) return 0;
    if (scaled > 4294967040.0f) return kMaxTotal;
    // Half away from zero on a positive value is floor(x + 0.5), and x + 0.5 is
    // exact in double precision, so no tie is lost to rounding.
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(static_cast<double>(scaled) + 0.5));
}

void shortest_paths(const Graph& graph, SearchMode mode, SearchScratch& s, SearchResult& result) {
    const std::size_t n = graph.node_count();
    const bool cost_mode = mode == SearchMode::cost;
    result.total.assign(n, kMaxTotal);
    result.parent.assign(n, -1);
    if (cost_mode) result.path_cost.assign(n, 0.0f);
    if (graph.source < 0 || static_cast<std::size_t>(graph.source) >= n) return;

    s.parent_edge.assign(n, -1);
    s.best.assign(n, kUnrecorded);
    if (cost_mode) {
        search_with_fitting_queue<SearchMode::cost>(graph, s, result);
    } else {
        search_with_fitting_queue<SearchMode::length>(graph, s, result);
    }
}

}  // namespace quillet
