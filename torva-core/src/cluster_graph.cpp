#include "torva/cluster_graph.hpp"

#include <algorithm>
#include <numeric>
#include <queue>
#include <string>
#include <tuple>

namespace torva {

namespace {

Status check(std::size_t n, std::span<const ClusterEdge> edges, std::span<const std::uint32_t> rank) {
    if (n > std::size_t{0xFFFFFFFFu}) return Error::invalid_parameter("too many nodes to cluster");
    if (!rank.empty() && rank.size() != n) {
        return Error::invalid_parameter("the ranks number " + std::to_string(rank.size()) + " for " +
                                        std::to_string(n) + " nodes");
    }
    for (std::size_t i = 0; i < edges.size(); ++i) {
        if (edges[i].representative >= n || edges[i].member >= n) {
            return Error::invalid_parameter("edge " + std::to_string(i) + " names a node beyond the " +
                                            std::to_string(n) + " to cluster");
        }
    }
    return {};
}

// The distinct out-neighbours of each node (CSR), self edges dropped; with
// `both`, each edge also counts the other way.
void neighbours(std::size_t n, std::span<const ClusterEdge> edges, bool both, std::vector<std::size_t>& starts,
                std::vector<std::uint32_t>& targets) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    pairs.reserve(edges.size() * (both ? 2 : 1));
    for (const ClusterEdge& e : edges) {
        if (e.representative == e.member) continue;
        pairs.emplace_back(e.representative, e.member);
        if (both) pairs.emplace_back(e.member, e.representative);
    }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    starts.assign(n + 1, 0);
    for (const auto& p : pairs) ++starts[p.first + 1];
    for (std::size_t i = 0; i < n; ++i) starts[i + 1] += starts[i];
    targets.resize(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) targets[i] = pairs[i].second;
}

std::uint32_t rank_of(std::span<const std::uint32_t> rank, std::size_t i) {
    return rank.empty() ? static_cast<std::uint32_t>(i) : rank[i];
}

}  // namespace

Result<std::vector<std::uint32_t>> greedy_set_cover(std::size_t n, std::span<const ClusterEdge> edges,
                                                    std::span<const std::uint32_t> rank) {
    Status ok = check(n, edges, rank);
    if (!ok.ok()) return ok.error();
    std::vector<std::size_t> starts;
    std::vector<std::uint32_t> members;
    neighbours(n, edges, false, starts, members);
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::vector<std::uint32_t> rep(n, kNone);
    // Lazy greedy: a node's count only falls as others are clustered, so a
    // node popped with a stale count is pushed back with its current one.
    using Item = std::tuple<std::size_t, std::uint32_t, std::uint32_t>;  // count, rank, node
    const auto after = [](const Item& a, const Item& b) {
        if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) < std::get<0>(b);
        if (std::get<1>(a) != std::get<1>(b)) return std::get<1>(a) > std::get<1>(b);
        return std::get<2>(a) > std::get<2>(b);
    };
    std::priority_queue<Item, std::vector<Item>, decltype(after)> queue(after);
    for (std::size_t i = 0; i < n; ++i) {
        queue.emplace(1 + starts[i + 1] - starts[i], rank_of(rank, i), static_cast<std::uint32_t>(i));
    }
    while (!queue.empty()) {
        const auto [count, r, node] = queue.top();
        queue.pop();
        if (rep[node] != kNone) continue;
        std::size_t now = 1;
        for (std::size_t j = starts[node]; j < starts[node + 1]; ++j) now += rep[members[j]] == kNone;
        if (now < count) {
            queue.emplace(now, r, node);
            continue;
        }
        rep[node] = node;
        for (std::size_t j = starts[node]; j < starts[node + 1]; ++j) {
            if (rep[members[j]] == kNone) rep[members[j]] = node;
        }
    }
    return rep;
}

Result<std::vector<std::uint32_t>> connected_components(std::size_t n, std::span<const ClusterEdge> edges,
                                                        std::span<const std::uint32_t> rank) {
    Status ok = check(n, edges, rank);
    if (!ok.ok()) return ok.error();
    std::vector<std::uint32_t> parent(n);
    std::iota(parent.begin(), parent.end(), 0u);
    const auto find = [&](std::uint32_t x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]];
            x = parent[x];
        }
        return x;
    };
    for (const ClusterEdge& e : edges) {
        const std::uint32_t a = find(e.representative), b = find(e.member);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    std::vector<std::size_t> starts;
    std::vector<std::uint32_t> linked;
    neighbours(n, edges, true, starts, linked);
    // Each component's best node: most neighbours, then lowest rank, then lowest index.
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::vector<std::uint32_t> best(n, kNone);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t root = find(static_cast<std::uint32_t>(i));
        const std::uint32_t b = best[root];
        const auto degree = [&](std::size_t x) { return starts[x + 1] - starts[x]; };
        if (b == kNone || degree(i) > degree(b) ||
            (degree(i) == degree(b) && rank_of(rank, i) < rank_of(rank, b))) {
            best[root] = static_cast<std::uint32_t>(i);
        }
    }
    std::vector<std::uint32_t> rep(n);
    for (std::size_t i = 0; i < n; ++i) rep[i] = best[find(static_cast<std::uint32_t>(i))];
    return rep;
}

}  // namespace torva
