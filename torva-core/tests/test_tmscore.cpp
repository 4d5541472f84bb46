#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "torva/math.hpp"
#include "torva/tmscore.hpp"
#include "test_support.hpp"

using torva::AlignedPair;
using torva::ErrorKind;
using torva::Point;
using torva::PointSet;
using torva::Transform;

namespace {

Transform oblique_move() {
    const double c = std::cos(2.1), s = std::sin(2.1);
    const double x = 2.0 / 3, y = -1.0 / 3, z = 2.0 / 3, t = 1 - c;
    torva::Matrix3 r{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                      {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                      {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
    return Transform::from_matrix(r, {-30.0, 55.0, 12.0});
}

PointSet ubiquitin() { return torva::test::load("1ubq.pdb", U'A').coordinates(); }

std::vector<AlignedPair> diagonal(std::size_t n, std::size_t shift = 0) {
    std::vector<AlignedPair> pairs;
    for (std::size_t k = 0; k < n; ++k)
        pairs.push_back({static_cast<std::uint32_t>(k + shift), static_cast<std::uint32_t>(k)});
    return pairs;
}

TEST(TmD0, PublishedScaleWithItsFloorForShortChains) {
    EXPECT_DOUBLE_EQ(torva::tm_d0(1), 0.5);
    EXPECT_DOUBLE_EQ(torva::tm_d0(15), 0.5);  // the formula has no real value below 15
    EXPECT_DOUBLE_EQ(torva::tm_d0(21), 0.5);  // and stays under 0.5 up to 21
    EXPECT_NEAR(torva::tm_d0(22), 0.572035, 1e-6);
    EXPECT_NEAR(torva::tm_d0(76), 3.081257, 1e-6);
    EXPECT_NEAR(torva::tm_d0(100), 3.652069, 1e-6);
}

TEST(TmScore, IdenticalChainsInAnotherFrameScoreOne) {
    const PointSet a = ubiquitin();
    const Transform move = oblique_move();
    const PointSet b = move.apply(a);
    auto r = torva::tm_score(a, b, diagonal(a.size()));
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(r.value().tm_fixed, 1.0, 1e-9);
    EXPECT_NEAR(r.value().tm_mobile, 1.0, 1e-9);
    EXPECT_NEAR(r.value().rmsd, 0.0, 1e-6);
    EXPECT_EQ(r.value().n_aligned, a.size());
    // The transform undoes the move.
    for (std::size_t k = 0; k < a.size(); k += 15) {
        const Point p = r.value().transform.apply(b[k]);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], a[k][c], 1e-6);
    }
}

TEST(TmScore, OneDisplacedResidueCostsItsTermOnly) {
    // 75 pairs fit exactly, the last residue is 20 Å away: the best
    // superposition keeps the 75, so TM = (75 + 1 / (1 + (20/d0)^2)) / 76.
    PointSet a = ubiquitin();
    PointSet b = a;
    const Point& p = a[75];
    const Point& q = a[74];
    const double len = std::sqrt(torva::squared_distance(p, q));
    for (int c = 0; c < 3; ++c) b[75][c] = p[c] + 20.0 * (p[c] - q[c]) / len;
    const double d = std::sqrt(torva::squared_distance(a[75], b[75]));
    const double d0 = torva::tm_d0(76);
    auto r = torva::tm_score(a, oblique_move().apply(b), diagonal(76));
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(r.value().tm_fixed, (75.0 + 1.0 / (1.0 + (d / d0) * (d / d0))) / 76.0, 1e-6);
}

TEST(TmScore, EachNormalisationUsesItsOwnLength) {
    // The mobile chain is the first 40 residues of the fixed one, exactly:
    // every term is 1.
    const PointSet a = ubiquitin();
    const PointSet b(a.begin(), a.begin() + 40);
    auto r = torva::tm_score(a, b, diagonal(40));
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(r.value().tm_fixed, 40.0 / 76.0, 1e-9);
    EXPECT_NEAR(r.value().tm_mobile, 1.0, 1e-9);
}

TEST(TmScore, ShortChainsAndTinyAlignments) {
    const PointSet a = ubiquitin();
    for (const std::size_t n : {1u, 2u, 3u, 5u}) {
        const PointSet part(a.begin(), a.begin() + static_cast<long>(n));
        auto r = torva::tm_score(part, oblique_move().apply(part), diagonal(n));
        ASSERT_TRUE(r.ok()) << n;
        EXPECT_NEAR(r.value().tm_fixed, 1.0, 1e-6) << n;
        EXPECT_NEAR(r.value().tm_mobile, 1.0, 1e-6) << n;
    }
    // One pair of a long chain: 1/L, whatever the frame.
    auto one = torva::tm_score(a, oblique_move().apply(a), diagonal(1, 30));
    ASSERT_TRUE(one.ok());
    EXPECT_NEAR(one.value().tm_fixed, 1.0 / 76.0, 1e-9);
}

TEST(TmScore, EmptyAlignmentScoresZero) {
    const PointSet a = ubiquitin();
    auto r = torva::tm_score(a, a, {});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().tm_fixed, 0.0);
    EXPECT_EQ(r.value().tm_mobile, 0.0);
    EXPECT_EQ(r.value().n_aligned, 0u);
    EXPECT_EQ(r.value().transform.apply(Point{1, 2, 3}), (Point{1, 2, 3}));
    // And so does an empty chain.
    auto e = torva::tm_score({}, a, {});
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e.value().tm_fixed, 0.0);
}

TEST(TmScore, RejectsBadPairsAndCoordinates) {
    const PointSet a = ubiquitin();
    const PointSet b(a.begin(), a.begin() + 10);
    auto out_of_range = torva::tm_score(a, b, std::vector<AlignedPair>{{0, 0}, {1, 10}});
    ASSERT_FALSE(out_of_range.ok());
    EXPECT_EQ(out_of_range.error().kind, ErrorKind::InvalidParameter);
    EXPECT_NE(out_of_range.error().message.find("(1, 10)"), std::string::npos);

    auto repeated = torva::tm_score(a, b, std::vector<AlignedPair>{{0, 0}, {1, 1}, {2, 1}});
    ASSERT_FALSE(repeated.ok());
    EXPECT_EQ(repeated.error().kind, ErrorKind::InvalidParameter);

    PointSet bad = b;
    bad[3][1] = std::numeric_limits<double>::quiet_NaN();
    auto nan = torva::tm_score(a, bad, diagonal(10));
    ASSERT_FALSE(nan.ok());
    EXPECT_EQ(nan.error().kind, ErrorKind::InvalidParameter);
    // A bad coordinate outside the alignment does not matter.
    EXPECT_TRUE(torva::tm_score(a, bad, diagonal(3)).ok());
}

TEST(TmScore, StopsWhenCancelled) {
    const PointSet a = ubiquitin();
    torva::test::CountingCancel stop(1);
    auto r = torva::tm_score(a, a, diagonal(a.size()), stop.cancel());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
}

}  // namespace

TEST(TmScoreBy, GivenLengthAndScaleAgreeWithTheChainsOwn) {
    const PointSet a = ubiquitin();
    const PointSet b = oblique_move().apply(PointSet(a.begin(), a.begin() + 40));
    auto own = torva::tm_score(a, b, diagonal(40));
    auto by_fixed = torva::tm_score_by(a, b, diagonal(40), 76.0, 0.0);
    ASSERT_TRUE(own.ok() && by_fixed.ok());
    EXPECT_DOUBLE_EQ(by_fixed.value().score, own.value().tm_fixed);
    EXPECT_DOUBLE_EQ(by_fixed.value().d0, torva::tm_d0(76));
    // With a given d0 the best superposition does not depend on the length.
    auto by_100 = torva::tm_score_by(a, b, diagonal(40), 100.0, 3.0);
    auto by_200 = torva::tm_score_by(a, b, diagonal(40), 200.0, 3.0);
    ASSERT_TRUE(by_100.ok() && by_200.ok());
    EXPECT_NEAR(by_100.value().score, 0.4, 1e-9);  // every term 1: 40 / 100
    EXPECT_NEAR(by_100.value().score, 2.0 * by_200.value().score, 1e-12);
    EXPECT_NEAR(torva::squared_distance(by_100.value().transform.apply(b[7]), a[7]), 0.0, 1e-9);
    auto empty = torva::tm_score_by(a, b, {}, 50.0, 0.0);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty.value().score, 0.0);
}

TEST(TmScoreBy, RejectsLengthsAndScalesThatMeanNothing) {
    const PointSet a = ubiquitin();
    for (const double length : {0.0, 0.5, -3.0, std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()}) {
        auto r = torva::tm_score_by(a, a, diagonal(10), length, 0.0);
        ASSERT_FALSE(r.ok()) << length;
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    }
    for (const double d0 : {-1.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_FALSE(torva::tm_score_by(a, a, diagonal(10), 76.0, d0).ok()) << d0;
    }
    EXPECT_FALSE(torva::tm_score_by(a, a, std::vector<AlignedPair>{{0, 0}, {0, 1}}, 76.0, 0.0).ok());
}
