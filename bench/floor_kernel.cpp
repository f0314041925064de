// The floor that a connectivity source is measured against: the per-source work done
// the textbook way on a graph of the same size, with nothing built per source. On a
// side x side lattice of 8-neighbour edges with random integer weights 1-300 (fixed
// seed), one search pair is two Dijkstra searches with std::priority_queue on 32-bit
// costs from the centre (one over costs, keeping parents, one over lengths), then the
// kernel sums of three bandwidths with two expf per reached node each.
//
// usage: floor_kernel SIDE [PAIRS]
// Prints the best, over five batches of PAIRS search pairs, of the processor time per
// pair in microseconds (so that on a shared machine waiting for a processor does not
// count), then the lattice's nodes and directed edges and the mean value (which keeps
// the work from being optimised away).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>
#include <queue>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t unreached = std::numeric_limits<std::uint32_t>::max();
constexpr float bandwidths[] = {2.0f, 20.0f, 200.0f};

// Compressed adjacency: the edges of node v are first[v] .. first[v + 1] - 1.
struct Lattice {
    std::vector<std::uint32_t> first, target, cost, length;
    std::vector<float> condition, weight;
    std::uint32_t centre;

    std::size_t nodes() const { return first.size() - 1; }
};

Lattice make_lattice(int side) {
    std::mt19937 random(20261211);
    std::uniform_int_distribution<std::uint32_t> edge_weight(1, 300);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Lattice lattice;
    lattice.first.push_back(0);
    for (int row = 0; row < side; ++row) {
        for (int col = 0; col < side; ++col) {
            for (int dr = -1; dr <= 1; ++dr) {
                for (int dc = -1; dc <= 1; ++dc) {
                    int r = row + dr, c = col + dc;
                    if ((dr || dc) && r >= 0 && r < side && c >= 0 && c < side) {
                        lattice.target.push_back(static_cast<std::uint32_t>(r * side + c));
                        lattice.cost.push_back(edge_weight(random));
                        lattice.length.push_back(edge_weight(random));
                    }
                }
            }
            lattice.first.push_back(static_cast<std::uint32_t>(lattice.target.size()));
            lattice.condition.push_back(unit(random));
            lattice.weight.push_back(unit(random));
        }
    }
    lattice.centre = static_cast<std::uint32_t>((side / 2) * side + side / 2);
    return lattice;
}

struct Search {
    std::vector<std::uint32_t> total, parent;
};

Search dijkstra(const Lattice& g, const std::vector<std::uint32_t>& weights) {
    using Entry = std::pair<std::uint32_t, std::uint32_t>;  // (total, node)
    Search s{std::vector<std::uint32_t>(g.nodes(), unreached), std::vector<std::uint32_t>(g.nodes(), unreached)};
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> frontier;
    s.total[g.centre] = 0;
    frontier.push({0, g.centre});
    while (!frontier.empty()) {
        auto [total, node] = frontier.top();
        frontier.pop();
        if (total > s.total[node]) continue;
        for (std::uint32_t e = g.first[node]; e < g.first[node + 1]; ++e) {
            std::uint32_t next = g.target[e], candidate = total + weights[e];
            if (candidate < s.total[next]) {
                s.total[next] = candidate;
                s.parent[next] = node;
                frontier.push({candidate, next});
            }
        }
    }
    return s;
}

// Mean over the bandwidths of the ratio of the cost-decayed to the length-decayed sums.
float kernel_sums(const Lattice& g, const Search& by_cost, const Search& by_length) {
    float value = 0.0f;
    for (float bandwidth : bandwidths) {
        float acc = 0.0f, norm = 0.0f;
        for (std::size_t v = 0; v < g.nodes(); ++v) {
            if (v == g.centre || by_cost.total[v] == unreached) continue;
            acc += expf(-(by_cost.total[v] / 100.0f) / bandwidth) * g.condition[v] * g.weight[v];
            norm += expf(-(by_length.total[v] / 100.0f) / bandwidth) * g.weight[v];
        }
        value += norm > 0.0f ? acc / norm : 0.0f;
    }
    return value / 3.0f;
}

float search_pair(const Lattice& g) {
    Search by_cost = dijkstra(g, g.cost);
    Search by_length = dijkstra(g, g.length);
    return kernel_sums(g, by_cost, by_length);
}

}  // namespace

int main(int argc, char** argv) {
    int side = argc > 1 ? std::atoi(argv[1]) : 0;
    long pairs = argc > 2 ? std::atol(argv[2]) : 20000;
    if (side < 1 || side > 4096 || pairs < 1) {
        std::fprintf(stderr, "usage: floor_kernel SIDE [PAIRS], SIDE in 1..4096\n");
        return 2;
    }
    Lattice lattice = make_lattice(side);
    double best = std::numeric_limits<double>::infinity();
    double value = 0.0;
    for (int batch = 0; batch < 5; ++batch) {
        std::clock_t start = std::clock();
        for (long i = 0; i < pairs; ++i) value += search_pair(lattice);
        double spent = 1e6 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        best = std::min(best, spent / static_cast<double>(pairs));
    }
    std::printf("%.3f us per search pair, %zu nodes, %zu edges, value %.6f\n", best, lattice.nodes(),
                lattice.target.size(), value / (5.0 * static_cast<double>(pairs)));
    return 0;
}
