#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "torva/io.hpp"
#include "torva/seed_search.hpp"
#include "test_support.hpp"

using namespace torva;

namespace {

PointSet random_walk(std::mt19937& rng, std::size_t n) {
    std::normal_distribution<double> g(0.0, 1.0);
    PointSet p(n);
    Point at{0.0, 0.0, 0.0};
    for (auto& x : p) {
        Point s{g(rng), g(rng), g(rng)};
        const double len = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        for (int a = 0; a < 3; ++a) at[a] += 3.8 * s[a] / len;
        x = at;
    }
    return p;
}

PointSet coordinates(const std::string& relative) { return test::load(relative).coordinates(); }

// The sequence-order alignment by the plain recurrence over the whole table
// (free end gaps, kRefitGap per inner gap), traced back from the scores alone:
// a pair where the diagonal gives the cell's score, else a gap in the second
// chain where that does, else one in the first.
double plain_frame_alignment(std::span<const Point> p, std::span<const Point> q, const Transform& t,
                             std::vector<AlignedPair>& pairs) {
    const std::size_t n1 = p.size(), n2 = q.size(), w = n2 + 1;
    auto score = [&](std::size_t i, std::size_t j) { return closeness(squared_distance(p[i], t.apply(q[j]))); };
    auto up_gap = [&](std::size_t j) { return j == n2 ? 0.0 : kRefitGap; };
    auto left_gap = [&](std::size_t i) { return i == n1 ? 0.0 : kRefitGap; };
    std::vector<double> h((n1 + 1) * w, 0.0);
    for (std::size_t i = 1; i <= n1; ++i)
        for (std::size_t j = 1; j <= n2; ++j)
            h[i * w + j] = std::max({h[(i - 1) * w + j - 1] + score(i - 1, j - 1), h[(i - 1) * w + j] - up_gap(j),
                                     h[i * w + j - 1] - left_gap(i)});
    std::vector<AlignedPair> reversed;
    std::size_t i = n1, j = n2;
    while (i > 0 && j > 0) {
        const double here = h[i * w + j];
        if (here == h[(i - 1) * w + j - 1] + score(i - 1, j - 1)) {
            reversed.push_back({static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1)});
            --i;
            --j;
        } else if (here == h[(i - 1) * w + j] - up_gap(j)) {
            --i;
        } else {
            --j;
        }
    }
    pairs.assign(reversed.rbegin(), reversed.rend());
    double sum = 0.0;
    for (const AlignedPair& a : pairs) sum += score(a.i, a.j);
    return sum;
}

Transform turn(double angle, Point shift) {
    const double c = std::cos(angle), s = std::sin(angle);
    return Transform::from_matrix({{{c, 0.0, s}, {0.0, 1.0, 0.0}, {-s, 0.0, c}}}, shift);
}

}  // namespace

TEST(ClosenessMap, RatesFramesByTheNearestAtom) {
    std::mt19937 rng(3);
    const PointSet p = random_walk(rng, 120);
    const ClosenessMap map(p);
    // The chain on itself: every atom sits within half a grid step of a sample
    // of its own position.
    const double self = map.rate(p, Transform::identity());
    EXPECT_GT(self, 0.9 * static_cast<double>(p.size()));
    EXPECT_LE(self, static_cast<double>(p.size()) + 1e-9);
    // Against the exact closeness to the nearest atom, for frames near and far.
    for (const double angle : {0.05, 0.3, 1.5}) {
        const Transform t = turn(angle, {1.0, -0.5, 2.0});
        double exact = 0.0;
        for (const Point& x : p) {
            const Point y = t.apply(x);
            double best = 0.0;
            for (const Point& a : p) {
                const double d2 = squared_distance(a, y);
                if (d2 <= kCloseReach * kCloseReach) best = std::max(best, closeness(d2));
            }
            exact += best;
        }
        EXPECT_NEAR(map.rate(p, t), exact, 0.15 * static_cast<double>(p.size())) << angle;
    }
    // Far away, or without finite atoms, nothing is close.
    EXPECT_EQ(map.rate(p, Transform::from_matrix(Transform::identity().rotation, {500.0, 0.0, 0.0})), 0.0);
    PointSet broken(10, Point{std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0});
    EXPECT_EQ(ClosenessMap(broken).rate(p, Transform::identity()), 0.0);
    EXPECT_EQ(ClosenessMap(PointSet{}).rate(p, Transform::identity()), 0.0);
}

TEST(FrameAligner, AgreesWithThePlainRecurrenceOnRandomChains) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::size_t> len(1, 40);
    std::vector<AlignedPair> got, want;
    for (int round = 0; round < 200; ++round) {
        const PointSet p = random_walk(rng, len(rng));
        // The second chain: the first with noise and a few insertions, or unrelated.
        PointSet q = round % 3 == 0 ? random_walk(rng, len(rng)) : p;
        std::normal_distribution<double> noise(0.0, 1.5);
        for (auto& x : q)
            for (auto& c : x) c += noise(rng);
        if (round % 3 == 1 && q.size() > 4) q.insert(q.begin() + 2, 3, Point{30.0, 30.0, 30.0});
        const Transform t = turn(0.1 * (round % 7), {0.5, 0.0, -0.5});
        FrameAligner aligner(p, q);
        const double sum = aligner.align(t, got);
        const double plain = plain_frame_alignment(p, q, t, want);
        ASSERT_EQ(got, want) << round;
        ASSERT_DOUBLE_EQ(sum, plain) << round;
        for (std::size_t j = 0; j < q.size(); ++j) ASSERT_EQ(aligner.moved(j), t.apply(q[j]));
    }
}

TEST(FrameAligner, SkipsAnInsertionOfTheSecondChain) {
    std::mt19937 rng(9);
    const PointSet p = random_walk(rng, 60);
    PointSet q = p;
    q.insert(q.begin() + 30, 6, Point{80.0, 80.0, 80.0});
    FrameAligner aligner(p, q);
    std::vector<AlignedPair> pairs;
    const double sum = aligner.align(Transform::identity(), pairs);
    ASSERT_EQ(pairs.size(), 60u);
    for (std::uint32_t k = 0; k < 60; ++k) EXPECT_EQ(pairs[k], (AlignedPair{k, k < 30 ? k : k + 6}));
    EXPECT_DOUBLE_EQ(sum, 60.0);
}

TEST(SeedRefit, RecoversTheFrameOfAMovedCopyFromANearbyOne) {
    const PointSet p = coordinates("families/cytochrome_c/1hrc.pdb");
    const Transform motion = turn(1.2, {30.0, -10.0, 5.0});
    const PointSet q = motion.apply(p);
    // Start from the true frame back, disturbed by a few degrees and Ångströms.
    const Transform back = motion.inverse();
    const Transform start = turn(0.08, {1.0, 0.5, -0.5}).compose(back);
    FrameAligner aligner(p, q);
    auto r = refit(aligner, p, q, Seed{start, 0, 0.0});
    EXPECT_GT(r.rating, 0.99 * static_cast<double>(p.size()));
    EXPECT_LT(placement_rms(q, r.transform, back), 1e-6);
    EXPECT_GT(placement_rms(q, start, back), 1.0);
}

TEST(SeedStarts, FindTheFrameOfAHomologueWithADeletionAndStayDistinct) {
    const PointSet p = coordinates("families/cytochrome_c/1hrc.pdb");
    PointSet b = coordinates("families/cytochrome_c/1crc.pdb");
    b.erase(b.begin() + 40, b.begin() + 52);
    const Transform motion = turn(2.0, {-20.0, 40.0, 10.0});
    const PointSet q = motion.apply(b);
    auto seeds = seed_starts(p, q);
    ASSERT_TRUE(seeds.ok());
    ASSERT_FALSE(seeds.value().empty());
    ASSERT_LE(seeds.value().size(), kSeedsStarted);
    // Best first, each one distinct from the others.
    const auto& s = seeds.value();
    for (std::size_t k = 1; k < s.size(); ++k) {
        EXPECT_GE(s[k - 1].rating, s[k].rating);
        for (std::size_t m = 0; m < k; ++m) EXPECT_GE(placement_rms(q, s[k].transform, s[m].transform), kDistinctRms);
    }
    // The best places the residues on both sides of the gap near their partners.
    for (std::size_t k : {5u, 30u, 60u, 85u}) {
        const Point y = s[0].transform.apply(q[k]);
        EXPECT_LT(std::sqrt(squared_distance(y, p[k < 40 ? k : k + 12])), 2.0) << k;
    }

    // Chains shorter than a fragment give no seed.
    EXPECT_TRUE(seed_starts(p, std::span<const Point>(q).first(kSeedLength - 1)).value().empty());
    EXPECT_TRUE(seed_starts(std::span<const Point>(p).first(kSeedLength - 1), q).value().empty());

    // Cancelled at the first question: the cancel error and no seeds.
    test::CountingCancel stop(1);
    auto cancelled = seed_starts(p, q, stop.cancel());
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error().kind, ErrorKind::Cancelled);
}
