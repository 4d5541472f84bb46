#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "torva/clustering.hpp"

using namespace torva;

namespace {

// An N×N table with the given upper-triangle scores mirrored, 1.0 on the diagonal.
PairwiseTable score_table(std::size_t n, std::initializer_list<double> upper) {
    PairwiseTable t;
    t.n = n;
    t.entries.resize(n * n);
    auto it = upper.begin();
    for (std::size_t i = 0; i < n; ++i) {
        t.at(i, i).score = 1.0;
        for (std::size_t j = i + 1; j < n; ++j) {
            t.at(i, j).score = t.at(j, i).score = *it++;
        }
    }
    return t;
}

bool is_leaf(const GuideNode* node, std::size_t k) { return node && node->is_leaf() && node->leaf == k; }

std::string shape(const GuideNode& node) {
    if (node.is_leaf()) return std::to_string(node.leaf);
    std::string s = "(";
    s.append(shape(*node.left)).append(",").append(shape(*node.right)).append(")");
    return s;
}

}  // namespace

TEST(GuideTree, TwoDomainsJoinLeafZeroLeftOfLeafOne) {
    const auto root = build_guide_tree(score_table(2, {0.25}));
    ASSERT_FALSE(root->is_leaf());
    EXPECT_TRUE(is_leaf(root->left.get(), 0));
    EXPECT_TRUE(is_leaf(root->right.get(), 1));
    // Largest score is the diagonal's 1.0, so the distance is 1.0 - score.
    EXPECT_DOUBLE_EQ(root->height, 0.75);
}

TEST(GuideTree, BestPairMergesFirstAndKeepsTheLowerSlot) {
    // Scores (0,1) (0,2) (1,2): (0,2) is the closest pair.
    const auto root = build_guide_tree(score_table(3, {0.3, 0.9, 0.2}));
    EXPECT_EQ(shape(*root), "((0,2),1)");
    EXPECT_DOUBLE_EQ(root->left->height, 0.1);
    // Average of d(0,1) = 0.7 and d(2,1) = 0.8.
    EXPECT_DOUBLE_EQ(root->height, 0.75);
}

TEST(GuideTree, EqualDistancesGoToTheFirstPairInScanOrder) {
    // (0,1), (0,2) and (2,3) at the same smallest distance: (0,1) first, then (2,3)
    // beats the averaged distances of the new cluster.
    const auto a = build_guide_tree(score_table(4, {0.5, 0.5, 0.1, 0.1, 0.1, 0.5}));
    EXPECT_EQ(shape(*a), "((0,1),(2,3))");
    // (1,2) and (1,3) tie below everything else: the smaller second index wins.
    const auto b = build_guide_tree(score_table(4, {0.1, 0.1, 0.1, 0.6, 0.6, 0.1}));
    EXPECT_EQ(shape(*b), "(0,((1,2),3))");
    // (0,3) and (1,2) tie: the smaller first index wins although (1,2) comes second in the list.
    const auto c = build_guide_tree(score_table(4, {0.1, 0.1, 0.7, 0.7, 0.1, 0.1}));
    EXPECT_EQ(shape(*c->left), "(0,3)");
}

TEST(GuideTree, AverageLinkageWeighsByClusterSize) {
    // d01 = .1, d02 = .3, d03 = .45, d12 = .5, d13 = .45, d23 = .42
    const auto root = build_guide_tree(score_table(4, {0.9, 0.7, 0.55, 0.5, 0.55, 0.58}));
    // d({0,1},2) = 0.4 beats d23 = 0.42 (complete linkage, 0.5, would not).
    EXPECT_EQ(shape(*root), "(((0,1),2),3)");
    EXPECT_NEAR(root->left->height, 0.4, 1e-12);
    // (d23 * 1 + d({0,1},3) * 2) / 3, not the plain mean of the two.
    EXPECT_NEAR(root->height, (0.42 + 2 * 0.45) / 3.0, 1e-12);
}

TEST(GuideTree, DistancesCountFromTheLargestScore) {
    // A score above the diagonal's 1.0 becomes the reference point.
    const auto root = build_guide_tree(score_table(3, {3.0, 1.0, 2.5}));
    EXPECT_EQ(shape(*root), "((0,1),2)");
    EXPECT_DOUBLE_EQ(root->left->height, 0.0);
    EXPECT_DOUBLE_EQ(root->height, (2.0 + 0.5) / 2.0);
    // A NaN score does not take part in the maximum.
    PairwiseTable t = score_table(2, {0.25});
    t.at(0, 0).score = std::nan("");
    EXPECT_DOUBLE_EQ(build_guide_tree(t)->height, 0.75);
}

TEST(GuideTree, NoSelectablePairIsAnInternalError) {
    try {
        (void)build_guide_tree(score_table(2, {std::nan("")}));
        FAIL() << "expected InternalError";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "Node should exist");
    }
    try {
        (void)build_guide_tree(PairwiseTable{});
        FAIL() << "expected InternalError";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "Root should exist");
    }
    const auto single = build_guide_tree(score_table(1, {}));
    EXPECT_TRUE(is_leaf(single.get(), 0));
}
