// The searches: Dijkstra's algorithm on the quantised weights, with the fastest
// queue that the graph's weight bound allows, and plain sums where no total can
// saturate.
#include "connectivity/routing.hpp"

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
// one total per bucket, and an entry needs no total of its own. Occupancy bits
// per bucket, and one summary bit per word of them, find the next total without
// a scan. Entries of equal total come out last-in first-out.
class BucketQueue {
public:
    // A queue for at most `max_pushes` pushes of totals that grow by at most
    // `max_weight` per edge.
    BucketQueue(SearchScratch& s, std::uint32_t max_weight, std::size_t max_pushes) {
        const std::size_t size = std::max<std::size_t>(64, std::bit_ceil(std::size_t{max_weight} + 1));
        mask_ = static_cast<std::uint32_t>(size - 1);
        s.bucket_head.assign(size, -1);
        s.bucket_bits.assign(size / 64, 0);
        if (s.bucket_entries.size() < max_pushes) s.bucket_entries.resize(max_pushes);
        head_ = s.bucket_head.data();
        bits_ = s.bucket_bits.data();
        entries_ = s.bucket_entries.data();
    }

    static constexpr std::uint32_t kMaxBuckets = 4096;  // 64 words of 64 bits

    // Whether this queue can serve edge weights up to `max_weight`.
    static bool fits(std::uint32_t max_weight) { return max_weight < kMaxBuckets; }

    // The largest total that may be pushed now.
    std::uint64_t horizon() const { return std::uint64_t{last_} + mask_; }
    // Moves an empty queue on to `total`, from which pushes go on.
    void restart_at(std::uint32_t total) { last_ = total; }

    void push(std::uint32_t total, std::int32_t node) {
        const std::uint32_t b = total & mask_;
        entries_[pushed_] = {node, head_[b]};
        head_[b] = pushed_;
        bits_[b >> 6] |= std::uint64_t{1} << (b & 63);
        summary_ |= std::uint64_t{1} << (b >> 6);
        ++pushed_;
    }

    bool pop(QueueEntry& out) {
        if (summary_ == 0) return false;
        const std::uint32_t last_bucket = last_ & mask_;
        const std::uint32_t b = next_occupied(last_bucket);
        const BucketEntry& entry = entries_[head_[b]];
        // The bucket's distance from the last popped one is the growth of the total.
        last_ += (b - last_bucket) & mask_;
        out = {last_, entry.node};
        head_[b] = entry.next;
        // Clears the bucket's bit, and its word's summary bit, once it is empty;
        // without a branch, since whether a bucket empties is unpredictable.
        std::uint64_t& word = bits_[b >> 6];
        word &= ~(std::uint64_t{entry.next < 0} << (b & 63));
        summary_ &= ~(std::uint64_t{word == 0} << (b >> 6));
        return true;
    }

private:
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

    std::int32_t* head_;
    std::uint64_t* bits_;
    BucketEntry* entries_;
    std::uint64_t summary_ = 0;
    std::uint32_t mask_ = 0;
    std::int32_t pushed_ = 0;
    std::uint32_t last_ = 0;
};

// The bucket queue for edge weights below 64: the occupancy of all 64 buckets is
// one word, held in a register, and the next total is found by rotating it to
// the last popped bucket. Pops in the same order as `BucketQueue`.
class SmallBucketQueue {
public:
    SmallBucketQueue(SearchScratch& s, std::size_t max_pushes) {
        s.bucket_head.resize(kBuckets);
        if (s.bucket_entries.size() < max_pushes) s.bucket_entries.resize(max_pushes);
        head_ = s.bucket_head.data();
        entries_ = s.bucket_entries.data();
    }

    static bool fits(std::uint32_t max_weight) { return max_weight < kBuckets; }

    std::uint64_t horizon() const { return std::uint64_t{last_} + (kBuckets - 1); }
    void restart_at(std::uint32_t total) { last_ = total; }

    void push(std::uint32_t total, std::int32_t node) {
        const std::uint32_t b = total & (kBuckets - 1);
        // An empty bucket's head is stale; its bit says so.
        const std::int32_t next = (bits_ >> b) & 1 ? head_[b] : -1;
        entries_[pushed_] = {node, next};
        head_[b] = pushed_;
        bits_ |= std::uint64_t{1} << b;
        ++pushed_;
    }

    bool pop(QueueEntry& out) {
        if (bits_ == 0) return false;
        const auto ahead = static_cast<std::uint32_t>(std::countr_zero(std::rotr(bits_, static_cast<int>(last_ & (kBuckets - 1)))));
        last_ += ahead;
        const std::uint32_t b = last_ & (kBuckets - 1);
        const BucketEntry& entry = entries_[head_[b]];
        out = {last_, entry.node};
        head_[b] = entry.next;
        bits_ &= ~(std::uint64_t{entry.next < 0} << b);
        return true;
    }

private:
    static constexpr std::uint32_t kBuckets = 64;

    std::int32_t* head_;
    BucketEntry* entries_;
    std::uint64_t bits_ = 0;
    std::int32_t pushed_ = 0;
    std::uint32_t last_ = 0;
};

// Dial's bucket queue for edge weights too large for `BucketQueue`, which pops
// exactly as the heap does: by ascending total, and entries of one total by
// ascending node. Entries of the current total are kept in a small heap of
// nodes, and the buckets hold only later totals, in unsorted lists; when the
// heap runs empty, the next bucket's entries move into it. Three levels of
// occupancy bits find that bucket; an empty bucket's head is stale, and its bit
// says so.
class OrderedBucketQueue {
public:
    // A queue for at most `max_pushes` pushes of totals that grow by at most
    // `max_weight` per edge.
    OrderedBucketQueue(SearchScratch& s, std::uint32_t max_weight, std::size_t max_pushes) : nodes_(s.heap_keys) {
        const std::size_t size = std::max<std::size_t>(kWordsPerGroup * 64, std::bit_ceil(std::size_t{max_weight} + 1));
        mask_ = static_cast<std::uint32_t>(size - 1);
        s.bucket_head.resize(size);
        s.bucket_bits.assign(size / 64 + size / (64 * kWordsPerGroup), 0);
        if (s.bucket_entries.size() < max_pushes) s.bucket_entries.resize(max_pushes);
        head_ = s.bucket_head.data();
        bits_ = s.bucket_bits.data();
        groups_ = bits_ + size / 64;
        entries_ = s.bucket_entries.data();
        nodes_.clear();
    }

    static bool fits(std::uint32_t max_weight) { return max_weight < kMaxBuckets; }

    std::uint64_t horizon() const { return std::uint64_t{last_} + mask_; }
    void restart_at(std::uint32_t total) { last_ = total; }

    void push(std::uint32_t total, std::int32_t node) {
        if (total == last_) {
            nodes_.push_back(static_cast<std::uint64_t>(node));
            std::push_heap(nodes_.begin(), nodes_.end(), std::greater<>());
            return;
        }
        const std::uint32_t b = total & mask_;
        const std::uint32_t w = b >> 6;
        const std::int32_t next = (bits_[w] >> (b & 63)) & 1 ? head_[b] : -1;
        entries_[pushed_] = {node, next};
        head_[b] = pushed_;
        ++pushed_;
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
        out = {last_, static_cast<std::int32_t>(nodes_.back())};
        nodes_.pop_back();
        return true;
    }

private:
    static constexpr std::uint32_t kWordsPerGroup = 64;
    static constexpr std::uint32_t kMaxBuckets = 64 * 64 * 64;  // one top word of groups of words

    // Moves on to the next occupied bucket and its entries into the node heap.
    void reach_next_bucket() {
        const std::uint32_t last_bucket = last_ & mask_;
        const std::uint32_t b = next_occupied(last_bucket);
        last_ += (b - last_bucket) & mask_;
        for (std::int32_t e = head_[b]; e >= 0; e = entries_[e].next) {
            nodes_.push_back(static_cast<std::uint64_t>(entries_[e].node));
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

    std::vector<std::uint64_t>& nodes_;  // the entries of the current total, a min-heap
    std::int32_t* head_;
    std::uint64_t* bits_;
    std::uint64_t* groups_;
    BucketEntry* entries_;
    std::uint64_t top_ = 0;
    std::uint32_t mask_ = 0;
    std::int32_t pushed_ = 0;
    std::uint32_t last_ = 0;
};

// A binary min-heap on (total << 32) | node, for edge weights too large for the
// bucket queues. Entries of equal total come out by ascending node.
class HeapQueue {
public:
    explicit HeapQueue(SearchScratch& s) : keys_(s.heap_keys) { keys_.clear(); }

    // Any total may be pushed at any time.
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

template <SearchMode mode>
std::uint32_t weight(const EdgeData& edge) {
    return mode == SearchMode::cost ? edge.cost_q : edge.length_q;
}

template <SearchMode mode>
const std::array<std::uint32_t, Graph::kSlots>& weights(const SlotEdges& edges) {
    return mode == SearchMode::cost ? edges.cost_q : edges.length_q;
}

template <SearchMode mode>
std::uint32_t weight(const WeightBound& bound) {
    return mode == SearchMode::cost ? bound.cost_q : bound.length_q;
}

// How totals add up: saturating where they could pass 4294967295, plainly
// where the graph is too small for that.
enum class Sums : std::uint8_t { saturating, exact };

template <Sums sums>
std::uint32_t add_weight(std::uint32_t total, std::uint32_t w) {
    return sums == Sums::exact ? total + w : saturating_add(total, w);
}

// Where a search starts: at the graph's source, or at seeds: settled nodes,
// by ascending total, whose edges lead on into the rest of the graph.
enum class Start : std::uint8_t { source, seeds };

// Dijkstra's search from the graph's source, or on from seeds; a node whose
// total is lowered is queued again and its older entries are skipped when they
// come out. The arrays are read through plain pointers so that the stores of
// the loop cannot be taken to change them.
//
// A settled node's neighbour slots are all compared first, without a branch per
// slot, and only the lowered ones are then recorded in slot order; since the
// slots of a node name distinct nodes this equals relaxing them one by one, and
// it saves the mispredicted branches that dominate the search. Empty slots point
// at a sink whose total is 0, so they never lower anything.
template <SearchMode mode, Sums sums, Start start, class Queue>
void search(const Graph& graph, SearchScratch& s, Queue& queue, SearchResult& result,
            std::span<const QueueEntry> seeds) {
    constexpr bool cost_mode = mode == SearchMode::cost;
    constexpr std::size_t slots = Graph::kSlots;
    const std::int32_t* const neighbour = graph.neighbour.data();
    const SlotEdges* const* const slot_edges = graph.slot_edges.data();
    const std::int32_t* const first_link = graph.first_link.data();
    const std::int32_t* const link_target = graph.link_target.data();
    const EdgeData* const link_edge = graph.link_edge.data();
    std::uint64_t* const best = s.best.data();
    std::int32_t* const parent = result.parent.data();
    std::uint32_t* const totals = result.total.data();
    float* const path_cost = result.path_cost.data();

    best[graph.absent()] = 0;
    if constexpr (start == Start::source) {
        best[graph.source] = 0;
        queue.push(0, graph.source);
    }
    // Seeds enter once the queue's horizon reaches them: every total still
    // queued then lies within it, as the queue requires. Those without links
    // lead nowhere new.
    std::size_t next_seed = 0;
    auto feed_seeds = [&] {
        const std::uint64_t horizon = queue.horizon();
        for (; next_seed < seeds.size() && seeds[next_seed].total <= horizon; ++next_seed) {
            const QueueEntry& seed = seeds[next_seed];
            if (first_link[seed.node] != first_link[seed.node + 1]) queue.push(seed.total, seed.node);
        }
    };
    QueueEntry entry;
    for (;;) {
        if constexpr (start == Start::seeds) feed_seeds();
        if (!queue.pop(entry)) {
            if constexpr (start == Start::seeds) {
                if (next_seed < seeds.size()) {
                    queue.restart_at(seeds[next_seed].total);
                    continue;
                }
            }
            break;
        }
        const std::int32_t u = entry.node;
        const std::uint32_t total = entry.total;
        if (total != best[u]) continue;
        // u is settled, so its path cost is final: adding the edge cost here
        // equals summing the edge costs along the whole kept path in order.
        const float cost_here = cost_mode ? path_cost[u] : 0.0f;
        auto record = [&](std::int32_t v, std::uint32_t candidate, float edge_cost) {
            best[v] = candidate;
            totals[v] = candidate;
            parent[v] = u;
            if (cost_mode) path_cost[v] = cost_here + edge_cost;
            queue.push(candidate, v);
            // v will be expanded; its edges usually sit in the cache tables, out of L1.
            __builtin_prefetch(slot_edges[v]);
        };

        const std::int32_t* const targets = neighbour + slots * static_cast<std::size_t>(u);
        const SlotEdges& edges = *slot_edges[u];
        const auto& slot_weight = weights<mode>(edges);
        std::uint32_t lowered = 0;
        for (std::size_t d = 0; d < slots; ++d) {
            const std::uint32_t candidate = add_weight<sums>(total, slot_weight[d]);
            lowered |= std::uint32_t{candidate < best[targets[d]]} << d;
        }
        while (lowered != 0) {
            const auto d = static_cast<std::size_t>(std::countr_zero(lowered));
            lowered &= lowered - 1;
            record(targets[d], add_weight<sums>(total, slot_weight[d]), edges.cost[d]);
        }

        const std::int32_t end = first_link[u + 1];
        for (std::int32_t e = first_link[u]; e < end; ++e) {
            const std::int32_t v = link_target[e];
            const std::uint32_t candidate = add_weight<sums>(total, weight<mode>(link_edge[e]));
            if (candidate < best[v]) record(v, candidate, link_edge[e].cost);
        }
    }
}

// Whether an edge of `graph` weighs `limit` or more. The coarsest level's
// cells, whose edges are the longest, are the last nodes, so the scan starts
// from them.
template <SearchMode mode>
bool has_weight_from(const Graph& graph, std::uint32_t limit) {
    for (std::size_t slot = graph.neighbour.size(); slot-- > 0;) {
        if (graph.neighbour[slot] != graph.absent() &&
            weights<mode>(*graph.slot_edges[slot / Graph::kSlots])[slot % Graph::kSlots] >= limit) {
            return true;
        }
    }
    for (std::size_t e = graph.link_count(); e-- > 0;) {
        if (weight<mode>(graph.link_edge[e]) >= limit) return true;
    }
    return false;
}

// Plain sums where no total can saturate: a settled total sums at most n - 1
// weights and a candidate one more, so none can while n times the bound of the
// weights fits in 32 bits.
template <SearchMode mode, Start start, class Queue>
void search_with_sums(const Graph& graph, SearchScratch& s, Queue& queue, std::uint32_t bound, SearchResult& result,
                      std::span<const QueueEntry> seeds) {
    if (std::uint64_t{bound} * graph.node_count() <= kMaxTotal) {
        search<mode, Sums::exact, start>(graph, s, queue, result, seeds);
    } else {
        search<mode, Sums::saturating, start>(graph, s, queue, result, seeds);
    }
}

// A bucket queue whenever the largest weight allows it (the one-word queue for
// weights below 64), else the ordered bucket queue, else the heap, each sized by
// a bound of the weights. The bucket queues settle nodes of equal total last in
// first out, the other two by ascending node; that order decides which of two
// equal paths is kept, so whether a bucket queue serves follows the largest
// weight, not its bound: where the bound is too large for them, the weights
// themselves are looked at.
template <SearchMode mode, Start start>
void search_with_fitting_queue(const Graph& graph, SearchScratch& s, SearchResult& result,
                               std::span<const QueueEntry> seeds = {}) {
    std::uint32_t bound = weight<mode>(graph.weight_bound);
    if (!BucketQueue::fits(bound) && !has_weight_from<mode>(graph, BucketQueue::kMaxBuckets)) {
        bound = BucketQueue::kMaxBuckets - 1;
    }
    // Every push follows a lowered total, of a node entered by an edge, or is a seed.
    const std::size_t max_pushes = graph.edge_capacity() + seeds.size() + 1;
    if (SmallBucketQueue::fits(bound)) {
        SmallBucketQueue queue(s, max_pushes);
        search_with_sums<mode, start>(graph, s, queue, bound, result, seeds);
    } else if (BucketQueue::fits(bound)) {
        BucketQueue queue(s, bound, max_pushes);
        search_with_sums<mode, start>(graph, s, queue, bound, result, seeds);
    } else if (OrderedBucketQueue::fits(bound)) {
        OrderedBucketQueue queue(s, bound, max_pushes);
        search_with_sums<mode, start>(graph, s, queue, bound, result, seeds);
    } else {
        HeapQueue queue(s);
        search<mode, Sums::saturating, start>(graph, s, queue, result, seeds);
    }
}

}  // namespace

void shortest_paths(const Graph& graph, SearchMode mode, SearchScratch& s, SearchResult& result) {
    const std::size_t n = graph.node_count();
    const bool cost_mode = mode == SearchMode::cost;
    result.total.assign(n, kMaxTotal);
    result.parent.assign(n, -1);
    if (cost_mode) result.path_cost.assign(n, 0.0f);
    if (graph.source < 0 || static_cast<std::size_t>(graph.source) >= n) return;

    s.best.assign(n + 1, kUnrecorded);  // and the sink of the empty slots
    if (cost_mode) {
        search_with_fitting_queue<SearchMode::cost, Start::source>(graph, s, result);
    } else {
        search_with_fitting_queue<SearchMode::length, Start::source>(graph, s, result);
    }
}

void complete_length_search(const Graph& graph, std::int32_t first_open, std::span<const QueueEntry> exits,
                            SearchScratch& s, SearchResult& result) {
    const std::size_t n = graph.node_count();
    const auto open = static_cast<std::size_t>(first_open);
    result.total.resize(n);
    result.parent.resize(n);
    std::fill(result.total.begin() + first_open, result.total.end(), kMaxTotal);
    std::fill(result.parent.begin() + first_open, result.parent.end(), -1);
    if (graph.source < 0 || static_cast<std::size_t>(graph.source) >= open) return;

    // Settled nodes keep their totals, which no edge from another can lower.
    s.best.assign(n + 1, kUnrecorded);  // and the sink of the empty slots
    for (std::size_t u = 0; u < open; ++u) {
        if (result.reached(u)) s.best[u] = result.total[u];
    }
    s.best[static_cast<std::size_t>(graph.source)] = 0;
    search_with_fitting_queue<SearchMode::length, Start::seeds>(graph, s, result, exits);
}

}  // namespace quillet
