#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "torva/treewise.hpp"
#include "test_support.hpp"

using namespace torva;

namespace {

Domain chain_of(std::size_t n, double offset = 0.0) {
    Domain d = Domain::empty("d");
    for (std::size_t k = 0; k < n; ++k) {
        Residue r;
        r.coord = {3.8 * static_cast<double>(k) + offset, 0.0, 0.0};
        r.index = static_cast<std::uint32_t>(k);
        d.residues.push_back(r);
    }
    return d;
}

PairwiseTable empty_table(std::size_t n) {
    PairwiseTable t;
    t.n = n;
    t.entries.resize(n * n);
    for (std::size_t i = 0; i < n; ++i) t.at(i, i).score = 1.0;
    return t;
}

// Sets entry (i, j) and its mirror.
void set_pair(PairwiseTable& t, std::size_t i, std::size_t j, double score, std::vector<AlignedPair> pairs) {
    t.at(i, j).score = t.at(j, i).score = score;
    std::vector<AlignedPair> swapped;
    for (const auto& p : pairs) swapped.push_back({p.j, p.i});
    t.at(i, j).aligned_pairs = std::move(pairs);
    t.at(j, i).aligned_pairs = std::move(swapped);
}

std::unique_ptr<GuideNode> leaf(std::size_t k) {
    auto n = std::make_unique<GuideNode>();
    n->leaf = k;
    return n;
}

std::unique_ptr<GuideNode> join(std::unique_ptr<GuideNode> l, std::unique_ptr<GuideNode> r) {
    auto n = std::make_unique<GuideNode>();
    n->left = std::move(l);
    n->right = std::move(r);
    return n;
}

// "0.1.-" for a column holding residue 0 of structure 0, residue 1 of structure 1, a gap for 2.
std::string text(const Column& c) {
    std::string s;
    for (std::size_t k = 0; k < c.size(); ++k) {
        if (k > 0) s += '.';
        s += c[k] ? std::to_string(*c[k]) : "-";
    }
    return s;
}

std::vector<std::string> texts(const std::vector<Column>& cols) {
    std::vector<std::string> out;
    for (const auto& c : cols) out.push_back(text(c));
    return out;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(AlignTree, LeafIsOneColumnPerResidue) {
    const std::vector<Domain> ds = {chain_of(2), chain_of(3)};
    const GroupAlignment g = align_tree(*leaf(1), ds, empty_table(2));
    EXPECT_EQ(texts(g.columns), (Strings{"-.0", "-.1", "-.2"}));
    EXPECT_EQ(g.members, (std::vector<std::size_t>{1}));
}

TEST(AlignTree, TwoStructuresFollowTheGuidePairs) {
    const std::vector<Domain> ds = {chain_of(5), chain_of(3)};
    PairwiseTable t = empty_table(2);
    // Starting at (3, 0): the first three columns of the left group stand alone.
    set_pair(t, 0, 1, 0.7, {{3, 0}, {4, 2}});
    const GroupAlignment g = align_tree(*join(leaf(0), leaf(1)), ds, t);
    EXPECT_EQ(texts(g.columns), (Strings{"0.-", "1.-", "2.-", "3.0", "-.1", "4.2"}));
    EXPECT_EQ(g.members, (std::vector<std::size_t>{0, 1}));
}

TEST(AlignTree, EmptyGuideConcatenatesTheGroups) {
    const std::vector<Domain> ds = {chain_of(2), chain_of(2)};
    const GroupAlignment g = align_tree(*join(leaf(1), leaf(0)), ds, empty_table(2));
    EXPECT_EQ(texts(g.columns), (Strings{"-.0", "-.1", "0.-", "1.-"}));
    EXPECT_EQ(g.members, (std::vector<std::size_t>{1, 0}));
}

// The guide pair (a, b) must merge the column that holds residue a of the
// representative structure, not the a-th column of its group: after the first
// merge, structure 0 has a gap column in front of its residue 0.
TEST(AlignTree, MergeWalkLocatesTheRepresentativeResidues) {
    const std::vector<Domain> ds = {chain_of(3), chain_of(3), chain_of(3)};
    PairwiseTable t = empty_table(3);
    set_pair(t, 0, 1, 0.9, {{0, 1}, {1, 2}});
    set_pair(t, 0, 2, 0.8, {{0, 0}, {1, 1}, {2, 2}});
    set_pair(t, 1, 2, 0.5, {{0, 0}, {1, 1}, {2, 2}});
    const auto tree = join(join(leaf(0), leaf(1)), leaf(2));

    const GroupAlignment g = align_tree(*tree, ds, t);
    // Structure 2 follows structure 0 residue for residue, as the (0, 2) guide says;
    // comparing counters with residue numbers would have put 2:0 beside 1:0 instead.
    EXPECT_EQ(texts(g.columns), (Strings{"-.0.-", "0.1.0", "1.2.1", "2.-.2"}));
    EXPECT_EQ(g.members, (std::vector<std::size_t>{0, 1, 2}));
}

TEST(AlignTree, MergeWalkOnTheRightGroupToo) {
    // Right group {1, 2} has a gap column for its representative 2 in front of 2:0;
    // the guide (0, 2) must meet residue 0 of 2 at that group's second column.
    const std::vector<Domain> ds = {chain_of(2), chain_of(2), chain_of(2)};
    PairwiseTable t = empty_table(3);
    set_pair(t, 1, 2, 0.9, {{1, 0}});
    set_pair(t, 0, 1, 0.1, {{0, 0}});
    set_pair(t, 0, 2, 0.6, {{0, 0}, {1, 1}});
    const GroupAlignment g = align_tree(*join(leaf(0), join(leaf(1), leaf(2))), ds, t);
    EXPECT_EQ(texts(g.columns), (Strings{"-.0.-", "0.1.0", "1.-.1"}));
}

TEST(AlignTree, EveryResidueAppearsOnceInOrder) {
    // Four structures with overlapping, shifted guides: the result must stay a
    // proper alignment whatever the guides say.
    const std::vector<Domain> ds = {chain_of(6), chain_of(5), chain_of(7), chain_of(4)};
    PairwiseTable t = empty_table(4);
    set_pair(t, 0, 1, 0.9, {{1, 0}, {2, 1}, {4, 3}});
    set_pair(t, 2, 3, 0.8, {{2, 0}, {3, 1}, {5, 3}});
    set_pair(t, 0, 2, 0.3, {{0, 1}, {1, 2}, {3, 4}, {5, 6}});
    set_pair(t, 1, 3, 0.6, {{0, 0}, {1, 1}, {4, 3}});
    set_pair(t, 0, 3, 0.2, {});
    set_pair(t, 1, 2, 0.2, {});
    const GroupAlignment g = align_tree(*join(join(leaf(0), leaf(1)), join(leaf(2), leaf(3))), ds, t);
    for (std::size_t s = 0; s < ds.size(); ++s) {
        std::vector<std::uint32_t> seen;
        for (const Column& c : g.columns) {
            ASSERT_EQ(c.size(), 4u);
            if (c[s]) seen.push_back(*c[s]);
        }
        ASSERT_EQ(seen.size(), ds[s].size()) << "structure " << s;
        for (std::size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(seen[k], k);
    }
    // The representative (1, 3) guide holds in the result: residue 1:4 sits with 3:3.
    for (const Column& c : g.columns) {
        if (c[1] && *c[1] == 4) {
            ASSERT_TRUE(c[3]);
            EXPECT_EQ(*c[3], 3u);
        }
    }
}

TEST(AlignMultiple, NoDomainsAndOneDomain) {
    const auto none = align_multiple({}, Parameters{});
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().columns.empty());
    EXPECT_TRUE(none.value().transforms.empty());
    EXPECT_EQ(none.value().score, 0.0);

    const std::vector<Domain> one = {chain_of(4)};
    const auto r = align_multiple(one, Parameters{});
    ASSERT_TRUE(r.ok());
    const MultipleAlignmentResult& m = r.value();
    EXPECT_EQ(m.transforms.size(), 1u);
    EXPECT_EQ(texts(m.columns), (Strings{"0", "1", "2", "3"}));
    EXPECT_EQ(m.core_positions, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(m.n_core(), m.n_columns());
    EXPECT_EQ(m.score, 0.0);  // every column is core, yet the score stays 0
    EXPECT_EQ(m.avg_rmsd, 0.0);
}

TEST(MultipleResult, FullTransformsComposePreTransformsFirst) {
    MultipleAlignmentResult m;
    Transform a;
    a.translation = {1.0, 2.0, 3.0};
    Transform rot;
    rot.rotation = {{{0.0, -1.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}};
    m.transforms = {rot, Transform::identity(), Transform::identity()};
    EXPECT_TRUE(m.full_transforms().empty());

    m.pre_transforms = {a};
    const auto full = m.full_transforms();
    ASSERT_EQ(full.size(), 1u);
    // rot after a: (1, 2, 3) -> (-2, 1, 3) for the origin.
    const Point p = full[0].apply(Point{0.0, 0.0, 0.0});
    EXPECT_DOUBLE_EQ(p[0], -2.0);
    EXPECT_DOUBLE_EQ(p[1], 1.0);
    EXPECT_DOUBLE_EQ(p[2], 3.0);

    m.pre_transforms = {a, a, a, a};
    EXPECT_EQ(m.full_transforms().size(), 3u);
}

TEST(AlignMultiple, TwoIdenticalDomainsAreAllCore) {
    auto d = read_pdb(test::data_path("1ubq.pdb"));
    ASSERT_TRUE(d.ok());
    const std::vector<Domain> ds = {d.value(), d.value()};
    const auto r = align_multiple(ds, Parameters{});
    ASSERT_TRUE(r.ok());
    const MultipleAlignmentResult& m = r.value();
    ASSERT_EQ(m.n_columns(), 76u);
    EXPECT_EQ(m.n_core(), 76u);
    for (std::size_t k = 0; k < 76; ++k) EXPECT_EQ(text(m.columns[k]), std::to_string(k) + "." + std::to_string(k));
    EXPECT_EQ(m.score, 1.0);
    EXPECT_NEAR(m.avg_rmsd, 0.0, 1e-6);
    EXPECT_EQ(m.transforms.size(), 2u);
    EXPECT_TRUE(m.pre_transforms.empty());
    EXPECT_TRUE(m.source_paths.empty());
}

TEST(AlignMultiple, UnalignableDomainsAreConcatenated) {
    // Same chain twice, 1000 A apart: nothing pairs, the columns are L1 then L2.
    const std::vector<Domain> ds = {chain_of(30), chain_of(20, 1000.0)};
    const auto r = align_multiple(ds, Parameters{});
    ASSERT_TRUE(r.ok());
    const MultipleAlignmentResult& m = r.value();
    ASSERT_EQ(m.n_columns(), 50u);
    EXPECT_EQ(text(m.columns[29]), "29.-");
    EXPECT_EQ(text(m.columns[30]), "-.0");
    EXPECT_EQ(m.n_core(), 0u);
    EXPECT_EQ(m.score, 0.0);
}

TEST(AlignMultiple, CancelIsAskedBeforeEveryPairAndEveryMerge) {
    const std::vector<Domain> ds = {chain_of(40), chain_of(35, 1.0), chain_of(30, 2.0), chain_of(25, 1000.0)};
    const auto plain = align_multiple(ds, Parameters{});
    ASSERT_TRUE(plain.ok());
    torva::test::CountingCancel never;
    const auto asked = align_multiple(ds, Parameters{}, never.cancel());
    ASSERT_TRUE(asked.ok());
    EXPECT_EQ(texts(asked.value().columns), texts(plain.value().columns));
    EXPECT_EQ(asked.value().avg_rmsd, plain.value().avg_rmsd);
    EXPECT_EQ(never.asked(), 6u + 3u);  // 6 pairs, 3 merges
    for (std::size_t stop = 1; stop <= never.asked(); ++stop) {
        torva::test::CountingCancel at(stop);
        const auto r = align_multiple(ds, Parameters{}, at.cancel());
        ASSERT_FALSE(r.ok()) << stop;
        EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
        EXPECT_EQ(at.asked(), stop);
    }
}

namespace {

std::vector<AlignedPair> diagonal(std::uint32_t from, std::uint32_t to, std::int32_t shift = 0) {
    std::vector<AlignedPair> out;
    for (std::uint32_t k = from; k < to; ++k) out.push_back({k, static_cast<std::uint32_t>(k + shift)});
    return out;
}

}  // namespace

TEST(AlignTreeByAllPairs, AOneDomainMemberDoesNotSplitTheOtherDomain) {
    // 0 and 1: the same two-domain chain (residues 0-9, second domain 5-9);
    // 2: the first domain alone, closer to each of them than they are to each
    // other (as a TM-score normalised by the shorter chain makes it).
    const std::vector<Domain> domains{chain_of(10), chain_of(10), chain_of(5)};
    PairwiseTable t = empty_table(3);
    set_pair(t, 0, 1, 0.90, diagonal(0, 10));
    set_pair(t, 0, 2, 0.95, diagonal(0, 5));
    set_pair(t, 1, 2, 0.96, diagonal(0, 5));
    for (const auto& order : {std::vector<std::size_t>{1, 2, 0}, {2, 1, 0}, {0, 2, 1}}) {
        const auto root = join(join(leaf(order[0]), leaf(order[1])), leaf(order[2]));
        // The best pair across the groups covers one domain: guided by it
        // alone, the second domains of 0 and 1 lie in separate columns.
        EXPECT_EQ(align_tree(*root, domains, t).columns.size(), 15u);
        const auto merged = align_tree_by_all_pairs(*root, domains, t);
        ASSERT_TRUE(merged.has_value());
        ASSERT_EQ(merged->columns.size(), 10u);
        for (std::size_t k = 0; k < 10; ++k) {
            const Column& c = merged->columns[k];
            EXPECT_EQ(c[0], std::optional<std::uint32_t>(k));
            EXPECT_EQ(c[1], std::optional<std::uint32_t>(k));
            EXPECT_EQ(c[2], k < 5 ? std::optional<std::uint32_t>(k) : std::nullopt);
        }
    }
}

TEST(AlignTreeByAllPairs, ColumnsKeepEveryResidueInOrderAndConflictsAreOutvoted) {
    // 1 and 2 agree that residue k of 0 goes with k of theirs; 1-2 agree too;
    // a third, weaker alignment of 0 and 3 shifted by two conflicts with the
    // others' placement of 3 (which 1 and 2 pair with 3 unshifted).
    const std::vector<Domain> domains{chain_of(8), chain_of(8), chain_of(8), chain_of(8)};
    PairwiseTable t = empty_table(4);
    set_pair(t, 0, 1, 0.9, diagonal(0, 8));
    set_pair(t, 0, 2, 0.9, diagonal(0, 8));
    set_pair(t, 1, 2, 0.9, diagonal(0, 8));
    set_pair(t, 0, 3, 0.5, diagonal(0, 6, 2));
    set_pair(t, 1, 3, 0.8, diagonal(0, 8));
    set_pair(t, 2, 3, 0.8, diagonal(0, 8));
    const auto root = join(join(leaf(0), leaf(1)), join(leaf(2), leaf(3)));
    const auto merged = align_tree_by_all_pairs(*root, domains, t);
    ASSERT_TRUE(merged.has_value());
    ASSERT_EQ(merged->columns.size(), 8u);
    for (std::size_t k = 0; k < 8; ++k) {
        const std::string r = std::to_string(k);
        EXPECT_EQ(text(merged->columns[k]), r + "." + r + "." + r + "." + r);
    }
    // Cancelled before a merge: nothing.
    test::CountingCancel stop(1);
    EXPECT_FALSE(align_tree_by_all_pairs(*root, domains, t, stop.cancel()).has_value());
}
