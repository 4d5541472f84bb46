#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "torva/clustering.hpp"
#include "test_support.hpp"

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

namespace {

Domain read_family(const char* name) { return test::load(std::string("families/cytochrome_c/") + name + ".pdb"); }

}  // namespace

TEST(PairwiseTable, UpperTriangleAlignedLowerMirroredDiagonalSelf) {
    // 1crc is 1hrc in another crystal; moved onto 1hrc's frame they align fully.
    std::vector<Domain> ds = {read_family("1hrc"), read_family("1ycc"), read_family("1crc")};
    // Put 1crc into 1hrc's frame with a plain fit on equal residue numbers.
    {
        PointSet a, b;
        for (std::size_t k = 0; k < ds[0].size(); ++k) {
            a.push_back(ds[0].residues[k].coord);
            b.push_back(ds[2].residues[k].coord);
        }
        const auto fit = superpose(a, b);
        for (Residue& r : ds[2].residues) r.coord = fit.transform.apply(r.coord);
    }
    const auto t = build_pairwise_table(ds, Parameters{});
    ASSERT_TRUE(t.ok());
    const PairwiseTable& table = t.value();
    ASSERT_EQ(table.n, 3u);
    ASSERT_EQ(table.entries.size(), 9u);

    for (std::size_t i = 0; i < 3; ++i) {
        const PairwiseEntry& self = table.at(i, i);
        EXPECT_EQ(self.score, 1.0);
        EXPECT_EQ(self.rmsd, 0.0);
        EXPECT_EQ(self.seq_identity, 1.0);
        EXPECT_EQ(self.n_aligned, ds[i].size());
        ASSERT_EQ(self.aligned_pairs.size(), ds[i].size());
        for (std::size_t k = 0; k < ds[i].size(); ++k) {
            const auto idx = static_cast<std::uint32_t>(k);
            EXPECT_EQ(self.aligned_pairs[k], (AlignedPair{idx, idx}));
        }
        EXPECT_TRUE(self.residue_scores.empty());
        for (std::size_t j = i + 1; j < 3; ++j) {
            const PairwiseEntry& up = table.at(i, j);
            const PairwiseEntry& down = table.at(j, i);
            ASSERT_EQ(up.aligned_pairs.size(), down.aligned_pairs.size());
            for (std::size_t k = 0; k < up.aligned_pairs.size(); ++k) {
                EXPECT_EQ(down.aligned_pairs[k].i, up.aligned_pairs[k].j);
                EXPECT_EQ(down.aligned_pairs[k].j, up.aligned_pairs[k].i);
            }
            EXPECT_EQ(down.score, up.score);
            EXPECT_EQ(down.rmsd, up.rmsd);
            EXPECT_EQ(down.n_aligned, up.n_aligned);
            EXPECT_EQ(down.seq_identity, up.seq_identity);
            EXPECT_EQ(down.residue_scores, up.residue_scores);
            const Transform round = down.transform.compose(up.transform);
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c) EXPECT_NEAR(round.rotation[r][c], r == c ? 1.0 : 0.0, 1e-9);
                EXPECT_NEAR(round.translation[r], 0.0, 1e-9);
            }
        }
    }
    // The fitted copy of the same protein aligns end to end with identical sequence.
    EXPECT_EQ(table.at(0, 2).n_aligned, 104u);
    EXPECT_DOUBLE_EQ(table.at(0, 2).seq_identity, 1.0);
    EXPECT_GT(table.at(0, 2).score, table.at(0, 1).score);
    // The guide tree therefore joins 1hrc with 1crc first.
    const auto root = build_guide_tree(table);
    EXPECT_EQ(shape(*root), "((0,2),1)");
}
