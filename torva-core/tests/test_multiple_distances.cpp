#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "torva/multiple_distances.hpp"

using namespace torva;

namespace {

const std::optional<std::uint32_t> gap;

std::optional<std::uint32_t> at(std::uint32_t i) { return i; }

}  // namespace

TEST(MultipleDistances, CoreRmsdAndColumnDeviationByHand) {
    // Three structures in one frame; column 1 has a gap in structure 2, column 3
    // holds one residue only.
    const std::vector<PointSet> placed = {
        {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}},
        {{0, 3, 0}, {1, 0, 4}, {2, 0, 0}},
        {{0, 0, 0}, {2, 0, 0}},
    };
    const std::vector<Column> columns = {{at(0), at(0), at(0)}, {at(1), at(1), gap}, {at(2), at(2), at(1)},
                                         {gap, gap, gap}, {gap, gap, gap}};
    const std::vector<std::size_t> core = {0, 2};
    auto r = multiple_distances(placed, columns, core);
    ASSERT_TRUE(r.ok());
    const MultipleDistances& d = r.value();
    ASSERT_EQ(d.n, 3u);
    // 0-1: column 0 differs by 3, column 2 by 0 -> sqrt(9 / 2); 0-2 and 1-2 likewise.
    EXPECT_DOUBLE_EQ(d.core_rmsd[0 * 3 + 1], std::sqrt(4.5));
    EXPECT_DOUBLE_EQ(d.core_rmsd[1 * 3 + 0], std::sqrt(4.5));
    EXPECT_DOUBLE_EQ(d.core_rmsd[0 * 3 + 2], 0.0);
    EXPECT_DOUBLE_EQ(d.core_rmsd[1 * 3 + 2], std::sqrt(4.5));
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(d.core_rmsd[k * 3 + k], 0.0);
    // Column 0: mean (0, 1, 0); distances 1, 2, 1.
    EXPECT_DOUBLE_EQ(d.column_deviation[0], 1.0);
    EXPECT_DOUBLE_EQ(d.column_deviation[1], 2.0);
    EXPECT_DOUBLE_EQ(d.column_deviation[2], 1.0);
    // Column 1: two residues, (1,0,0) and (1,0,4): 2 each, NaN for the gap.
    EXPECT_DOUBLE_EQ(d.column_deviation[3], 2.0);
    EXPECT_DOUBLE_EQ(d.column_deviation[4], 2.0);
    EXPECT_TRUE(std::isnan(d.column_deviation[5]));
    // Empty columns stay NaN.
    for (std::size_t i = 9; i < 15; ++i) EXPECT_TRUE(std::isnan(d.column_deviation[i]));
}

TEST(MultipleDistances, NoCoreGivesNaNOffTheDiagonal) {
    const std::vector<PointSet> placed = {{{0, 0, 0}}, {{1, 1, 1}}};
    const std::vector<Column> columns = {{at(0), gap}, {gap, at(0)}};
    auto r = multiple_distances(placed, columns, {});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().core_rmsd[0], 0.0);
    EXPECT_TRUE(std::isnan(r.value().core_rmsd[1]));
    EXPECT_TRUE(std::isnan(r.value().core_rmsd[2]));
    EXPECT_EQ(r.value().core_rmsd[3], 0.0);
}

TEST(MultipleDistances, InconsistentAlignmentsAreRefused) {
    const std::vector<PointSet> placed = {{{0, 0, 0}, {1, 0, 0}}, {{0, 0, 0}}};
    const std::vector<std::size_t> none;
    const std::vector<std::size_t> first = {0};
    // a residue beyond the structure
    auto r = multiple_distances(placed, std::vector<Column>{{at(0), at(1)}}, none);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    // a column of the wrong width
    EXPECT_FALSE(multiple_distances(placed, std::vector<Column>{{at(0)}}, none).ok());
    // a core column with a gap, and one beyond the columns
    EXPECT_FALSE(multiple_distances(placed, std::vector<Column>{{at(0), gap}}, first).ok());
    const std::vector<std::size_t> beyond = {3};
    EXPECT_FALSE(multiple_distances(placed, std::vector<Column>{{at(0), at(0)}}, beyond).ok());
}
