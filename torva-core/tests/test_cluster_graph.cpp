#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "torva/cluster_graph.hpp"

namespace torva {
namespace {

using Edges = std::vector<ClusterEdge>;
using Reps = std::vector<std::uint32_t>;

TEST(ClusterGraph, GreedySetCoverTakesTheLargestSetFirst) {
    // 0 covers 1 and 2; 3 covers 2, 4, 5 and 6: 3 is taken first (five nodes), then 0 takes 1 only.
    const Edges edges{{0, 1}, {0, 2}, {3, 2}, {3, 4}, {3, 5}, {3, 6}, {1, 0}};
    const Reps rep = greedy_set_cover(8, edges).value();
    EXPECT_EQ(rep, (Reps{0, 0, 3, 3, 3, 3, 3, 7}));
    // Directed: 4 may not represent 3, so reversing one edge changes nothing for 3's set.
    Edges one_way = edges;
    one_way.push_back({4, 3});
    EXPECT_EQ(greedy_set_cover(8, one_way).value(), rep);
}

TEST(ClusterGraph, TiesGoByRankAndTheEdgesOrderDoesNotMatter) {
    const Edges pair{{0, 1}, {1, 0}};
    EXPECT_EQ(greedy_set_cover(2, pair).value(), (Reps{0, 0}));
    const std::vector<std::uint32_t> second_first{1, 0};
    EXPECT_EQ(greedy_set_cover(2, pair, second_first).value(), (Reps{1, 1}));
    EXPECT_EQ(connected_components(2, pair, second_first).value(), (Reps{1, 1}));

    // A random graph: shuffled and duplicated edges cluster alike; every member has an edge from its
    // representative, and no representative had an unclustered member left when it was chosen.
    std::mt19937 rng(3);
    const std::size_t n = 300;
    Edges edges;
    std::uniform_int_distribution<std::uint32_t> node(0, n - 1);
    for (int i = 0; i < 900; ++i) edges.push_back({node(rng), node(rng)});
    const Reps rep = greedy_set_cover(n, edges).value();
    const Reps comp = connected_components(n, edges).value();
    Edges again = edges;
    again.insert(again.end(), edges.begin(), edges.begin() + 100);
    std::shuffle(again.begin(), again.end(), rng);
    EXPECT_EQ(greedy_set_cover(n, again).value(), rep);
    EXPECT_EQ(connected_components(n, again).value(), comp);
    std::set<std::pair<std::uint32_t, std::uint32_t>> has;
    for (const ClusterEdge& e : edges) has.insert({e.representative, e.member});
    for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_LT(rep[i], n);
        EXPECT_EQ(rep[rep[i]], rep[i]) << i;  // a representative represents itself
        if (rep[i] != i) {
            EXPECT_TRUE(has.count({rep[i], i})) << i;
        }
    }
    // Components: a representative's component holds exactly the nodes linked to it.
    for (const ClusterEdge& e : edges) EXPECT_EQ(comp[e.representative], comp[e.member]);
    std::set<std::uint32_t> reps_cover(rep.begin(), rep.end()), reps_comp(comp.begin(), comp.end());
    EXPECT_LE(reps_comp.size(), reps_cover.size());
}

TEST(ClusterGraph, ComponentsChooseTheBestConnectedNode) {
    // A chain 0-1-2-3 with 2 also linked to 4: 2 has three neighbours; 5 stays alone.
    const Edges edges{{0, 1}, {1, 2}, {3, 2}, {2, 4}};
    EXPECT_EQ(connected_components(6, edges).value(), (Reps{2, 2, 2, 2, 2, 5}));
    EXPECT_EQ(connected_components(0, {}).value(), Reps{});
    EXPECT_EQ(greedy_set_cover(3, {}).value(), (Reps{0, 1, 2}));
}

TEST(ClusterGraph, Mistakes) {
    const Edges beyond{{0, 5}};
    for (auto* f : {&greedy_set_cover, &connected_components}) {
        auto r = f(5, beyond, {});
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
        const std::vector<std::uint32_t> short_rank{0, 1};
        EXPECT_FALSE(f(3, {}, short_rank).ok());
    }
}

}  // namespace
}  // namespace torva
