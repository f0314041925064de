// The searches: Dijkstra's algorithm on the quantised weights, with the fastest
// queue that the graph's weight bound allows, and plain sums where no total can
// saturate.
#include "connectivity/routing.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "connectivity/bucket_queue.hpp"
#include "connectivity/heap_queue.hpp"
#include "connectivity/ordered_bucket_queue.hpp"
#include "connectivity/small_bucket_queue.hpp"

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

// The arrays of a search, read through plain pointers so that the stores of
// the search cannot be taken to change them.
struct SearchArrays {
    SearchArrays(const Graph& graph, SearchScratch& s, SearchResult& result)
        : neighbour(graph.neighbour.data()), slot_edges(graph.slot_edges.data()), first_link(graph.first_link.data()),
          link_target(graph.link_target.data()), link_edge(graph.link_edge.data()), best(s.best.data()),
          parent(result.parent.data()), totals(result.total.data()), path_cost(result.path_cost.data()) {}

    const std::int32_t* neighbour;
    const SlotEdges* const* slot_edges;
    const std::int32_t* first_link;
    const std::int32_t* link_target;
    const EdgeData* link_edge;
    std::uint64_t* best;
    std::int32_t* parent;
    std::uint32_t* totals;
    float* path_cost;
};

// The parts of the search below are forced inline: they are one loop, which
// takes a quarter more instructions when the compiler calls some of them
// instead.

// A node taken out of the queue with its final total, and in cost mode the
// final cost of its kept path.
struct Settled {
    std::int32_t node;
    std::uint32_t total;
    float path_cost;
};

// Gives `v` the total `candidate`, lower than its own, over the edge from `u`,
// and queues it.
template <SearchMode mode, SearchQueue Queue>
[[gnu::always_inline]] inline void record(const SearchArrays& a, Queue& queue, const Settled& u, std::int32_t v,
                                          std::uint32_t candidate, float edge_cost) {
    a.best[v] = candidate;
    a.totals[v] = candidate;
    a.parent[v] = u.node;
    // u's path cost is final: adding the edge cost here equals summing the edge
    // costs along the whole kept path in order.
    if constexpr (mode == SearchMode::cost) a.path_cost[v] = u.path_cost + edge_cost;
    queue.push(candidate, v);
    // v will be expanded; its edges usually sit in the cache tables, out of L1.
    __builtin_prefetch(a.slot_edges[v]);
}

// The neighbour slots of `u` are all compared first, without a branch per
// slot, and only the lowered ones are then recorded in slot order; since the
// slots of a node name distinct nodes this equals relaxing them one by one, and
// it saves the mispredicted branches that dominate the search. Empty slots point
// at a sink whose total is 0, so they never lower anything.
template <SearchMode mode, Sums sums, SearchQueue Queue>
[[gnu::always_inline]] inline void relax_slots(const SearchArrays& a, Queue& queue, const Settled& u) {
    const std::int32_t* const targets = a.neighbour + Graph::kSlots * static_cast<std::size_t>(u.node);
    const SlotEdges& edges = *a.slot_edges[u.node];
    const auto& slot_weight = weights<mode>(edges);
    std::uint32_t lowered = 0;
    for (std::size_t d = 0; d < Graph::kSlots; ++d) {
        const std::uint32_t candidate = add_weight<sums>(u.total, slot_weight[d]);
        lowered |= std::uint32_t{candidate < a.best[targets[d]]} << d;
    }
    while (lowered != 0) {
        const auto d = static_cast<std::size_t>(std::countr_zero(lowered));
        lowered &= lowered - 1;
        record<mode>(a, queue, u, targets[d], add_weight<sums>(u.total, slot_weight[d]), edges.cost[d]);
    }
}

// The links of `u`, in order, after its slots.
template <SearchMode mode, Sums sums, SearchQueue Queue>
[[gnu::always_inline]] inline void relax_links(const SearchArrays& a, Queue& queue, const Settled& u) {
    const std::int32_t end = a.first_link[u.node + 1];
    for (std::int32_t e = a.first_link[u.node]; e < end; ++e) {
        const std::int32_t v = a.link_target[e];
        const std::uint32_t candidate = add_weight<sums>(u.total, weight<mode>(a.link_edge[e]));
        if (candidate < a.best[v]) record<mode>(a, queue, u, v, candidate, a.link_edge[e].cost);
    }
}

// The seeds of a search, by ascending total. They enter once the queue's
// horizon reaches them: every total still queued then lies within it, as the
// queue requires. Those without links lead nowhere new.
class SeedFeed {
public:
    SeedFeed(std::span<const QueueEntry> seeds, const std::int32_t* first_link)
        : seeds_(seeds), first_link_(first_link) {}

    template <SearchQueue Queue>
    void feed(Queue& queue) {
        const std::uint64_t horizon = queue.horizon();
        for (; next_ < seeds_.size() && seeds_[next_].total <= horizon; ++next_) {
            const QueueEntry& seed = seeds_[next_];
            if (first_link_[seed.node] != first_link_[seed.node + 1]) queue.push(seed.total, seed.node);
        }
    }

    // Moves the emptied queue on to the next seed's total; false when none is left.
    template <SearchQueue Queue>
    bool restart(Queue& queue) {
        if (next_ == seeds_.size()) return false;
        queue.restart_at(seeds_[next_].total);
        return true;
    }

private:
    std::span<const QueueEntry> seeds_;
    const std::int32_t* first_link_;
    std::size_t next_ = 0;
};

// The next entry out of the queue, fed the seeds as it goes; false once every
// reachable node is settled.
template <Start start, SearchQueue Queue>
[[gnu::always_inline]] inline bool next_entry(Queue& queue, SeedFeed& seeds, QueueEntry& entry) {
    if constexpr (start == Start::source) {
        return queue.pop(entry);
    } else {
        for (;;) {
            seeds.feed(queue);
            if (queue.pop(entry)) return true;
            if (!seeds.restart(queue)) return false;
        }
    }
}

// Dijkstra's search from the graph's source, or on from seeds; a node whose
// total is lowered is queued again and its older entries are skipped when they
// come out. A settled node relaxes its slots, then its links.
template <SearchMode mode, Sums sums, Start start, SearchQueue Queue>
void search(const Graph& graph, SearchScratch& s, Queue& queue, SearchResult& result,
            std::span<const QueueEntry> seeds) {
    const SearchArrays a(graph, s, result);
    a.best[graph.absent()] = 0;
    if constexpr (start == Start::source) {
        a.best[graph.source] = 0;
        queue.push(0, graph.source);
    }
    SeedFeed feed(seeds, a.first_link);
    QueueEntry entry;
    while (next_entry<start>(queue, feed, entry)) {
        if (entry.total != a.best[entry.node]) continue;
        const float cost_here = mode == SearchMode::cost ? a.path_cost[entry.node] : 0.0f;
        const Settled u{entry.node, entry.total, cost_here};
        relax_slots<mode, sums>(a, queue, u);
        relax_links<mode, sums>(a, queue, u);
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
template <SearchMode mode, Start start, SearchQueue Queue>
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
        SmallBucketQueue queue(s.queues, max_pushes);
        search_with_sums<mode, start>(graph, s, queue, bound, result, seeds);
    } else if (BucketQueue::fits(bound)) {
        BucketQueue queue(s.queues, bound, max_pushes);
        search_with_sums<mode, start>(graph, s, queue, bound, result, seeds);
    } else if (OrderedBucketQueue::fits(bound)) {
        OrderedBucketQueue queue(s.queues, bound, max_pushes);
        search_with_sums<mode, start>(graph, s, queue, bound, result, seeds);
    } else {
        HeapQueue queue(s.queues);
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
