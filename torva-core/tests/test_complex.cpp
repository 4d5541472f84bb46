#include "torva/complex.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "test_support.hpp"
#include "torva/tmscore.hpp"

namespace torva {
namespace {

using Chains = std::vector<Domain>;

std::vector<std::span<const Residue>> spans(const Chains& chains) {
    std::vector<std::span<const Residue>> out;
    for (const Domain& d : chains) out.emplace_back(d.residues);
    return out;
}

Result<ComplexResult> align(const Chains& fixed, const Chains& mobile, std::vector<ChainPairing> given = {}) {
    const auto f = spans(fixed), m = spans(mobile);
    return complex_align(f, m, given);
}

Transform some_motion(double angle, Point shift) {
    const double c = std::cos(angle), s = std::sin(angle);
    // A rotation about a tilted axis: z first, then x.
    const Matrix3 rz{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
    const Matrix3 rx{{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
    Transform a = Transform::from_matrix(rz, shift);
    Transform b = Transform::from_matrix(rx, {0, 0, 0});
    return a.compose(b);
}

std::vector<std::pair<std::size_t, std::size_t>> map_of(const ComplexResult& r) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (const ComplexChainPair& c : r.chains) out.emplace_back(c.fixed, c.mobile);
    return out;
}

// The TM-score sums of the reported pairs under the reported transform, by each assembly.
std::pair<double, double> recomputed(const ComplexResult& r, const Chains& fixed, const Chains& mobile) {
    PointSet x, y;
    for (const ComplexPair& p : r.pairs) {
        x.push_back(fixed[p.fixed_chain].residues[p.fixed_index].coord);
        y.push_back(mobile[p.mobile_chain].residues[p.mobile_index].coord);
    }
    auto tm = [&](std::size_t length) {
        const double d0 = tm_d0(length);
        double sum = 0.0;
        for (std::size_t k = 0; k < x.size(); ++k) {
            const double d2 = squared_distance(x[k], r.transform.apply(y[k]));
            sum += 1.0 / (1.0 + d2 / (d0 * d0));
        }
        return sum / static_cast<double>(length);
    };
    return {tm(r.length_fixed), tm(r.length_mobile)};
}

// What every result must satisfy: pairs one-to-one within mapped chain pairs,
// in chain order, TM-scores that follow from pairs and transform.
void expect_consistent(const ComplexResult& r, const Chains& fixed, const Chains& mobile) {
    std::vector<long> mobile_of(fixed.size(), -1);
    for (const ComplexChainPair& c : r.chains) mobile_of[c.fixed] = static_cast<long>(c.mobile);
    std::size_t counted = 0;
    for (const ComplexChainPair& c : r.chains) counted += c.n_aligned;
    EXPECT_EQ(counted, r.pairs.size());
    EXPECT_EQ(r.n_aligned, r.pairs.size());
    EXPECT_EQ(r.chains.size() + r.unmatched_fixed.size(), fixed.size());
    EXPECT_EQ(r.chains.size() + r.unmatched_mobile.size(), mobile.size());
    for (std::size_t k = 0; k < r.pairs.size(); ++k) {
        const ComplexPair& p = r.pairs[k];
        ASSERT_LT(p.fixed_chain, fixed.size());
        ASSERT_LT(p.fixed_index, fixed[p.fixed_chain].size());
        ASSERT_LT(p.mobile_index, mobile[p.mobile_chain].size());
        EXPECT_EQ(mobile_of[p.fixed_chain], static_cast<long>(p.mobile_chain));
        if (k > 0 && r.pairs[k - 1].fixed_chain == p.fixed_chain) {
            EXPECT_LT(r.pairs[k - 1].fixed_index, p.fixed_index);
            EXPECT_LT(r.pairs[k - 1].mobile_index, p.mobile_index);
        }
        if (k > 0) {
            EXPECT_LE(r.pairs[k - 1].fixed_chain, p.fixed_chain);
        }
    }
    const auto [tf, tmob] = recomputed(r, fixed, mobile);
    EXPECT_NEAR(tf, r.tm_fixed, 1e-9);
    EXPECT_NEAR(tmob, r.tm_mobile, 1e-9);
}

TEST(AssignMax, MatchesEveryAssignmentTried) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-0.5, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 1 + trial % 5, m = 1 + (trial / 5) % 5;
        std::vector<double> w(n * m);
        for (double& v : w) v = u(rng);
        const std::vector<long> got = assign_max(w, n, m);
        double got_sum = 0.0;
        std::vector<int> used(m, 0);
        for (std::size_t i = 0; i < n; ++i) {
            if (got[i] < 0) continue;
            ASSERT_LT(static_cast<std::size_t>(got[i]), m);
            EXPECT_EQ(used[static_cast<std::size_t>(got[i])]++, 0);
            const double v = w[i * m + static_cast<std::size_t>(got[i])];
            EXPECT_GT(v, 0.0);
            got_sum += v;
        }
        // Every injective choice of columns (or none) per row.
        double best = 0.0;
        std::vector<long> pick(n, -1);
        auto walk = [&](auto&& self, std::size_t i, double sum, std::vector<int>& taken) -> void {
            if (i == n) {
                best = std::max(best, sum);
                return;
            }
            self(self, i + 1, sum, taken);
            for (std::size_t j = 0; j < m; ++j) {
                if (taken[j]) continue;
                taken[j] = 1;
                self(self, i + 1, sum + w[i * m + j], taken);
                taken[j] = 0;
            }
        };
        std::vector<int> taken(m, 0);
        walk(walk, 0, 0.0, taken);
        EXPECT_NEAR(got_sum, best, 1e-9) << "trial " << trial;
    }
}

TEST(ComplexAlign, HomodimerWithItsChainsSwappedAndMoved) {
    const Chains fixed{test::load("1hpv.pdb", U'A'), test::load("1hpv.pdb", U'B')};
    const Transform motion = some_motion(0.7, {12, -30, 5});
    const Chains mobile{test::moved(fixed[1], motion, "B"), test::moved(fixed[0], motion, "A")};
    auto r = align(fixed, mobile);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const ComplexResult& c = r.value();
    using P = std::pair<std::size_t, std::size_t>;
    EXPECT_EQ(map_of(c), (std::vector<P>{{0, 1}, {1, 0}}));
    EXPECT_NEAR(c.tm_fixed, 1.0, 1e-6);
    EXPECT_NEAR(c.tm_mobile, 1.0, 1e-6);
    EXPECT_EQ(c.n_aligned, 198u);
    EXPECT_LT(c.rmsd, 1e-6);
    const Point p = fixed[0].residues[10].coord;
    const Point back = c.transform.apply(motion.apply(p));
    EXPECT_LT(std::sqrt(squared_distance(p, back)), 1e-6);
    EXPECT_TRUE(c.unmatched_fixed.empty());
    EXPECT_TRUE(c.unmatched_mobile.empty());
    expect_consistent(c, fixed, mobile);
}

TEST(ComplexAlign, PentamerPermutedFindsTheShift) {
    Chains fixed;
    for (const char32_t id : {U'A', U'B', U'C', U'D', U'E'}) fixed.push_back(test::load("2beg.pdb", id));
    const Transform motion = some_motion(-1.9, {-4, 8, 40});
    Chains mobile;
    for (std::size_t k = 0; k < 5; ++k) mobile.push_back(test::moved(fixed[(k + 2) % 5], motion, "m"));
    auto r = align(fixed, mobile);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const ComplexResult& c = r.value();
    ASSERT_EQ(c.chains.size(), 5u);
    for (const ComplexChainPair& p : c.chains) {
        EXPECT_EQ((p.mobile + 2) % 5, p.fixed);
        EXPECT_NEAR(p.tm_fixed, 1.0, 1e-6);
        EXPECT_EQ(p.n_aligned, 26u);
    }
    EXPECT_NEAR(c.tm_fixed, 1.0, 1e-6);
    expect_consistent(c, fixed, mobile);
}

TEST(ComplexAlign, RelatedProteaseDimers) {
    const Chains a{test::load("1hpv.pdb", U'A'), test::load("1hpv.pdb", U'B')};
    const Chains b{test::load("1k6p.pdb", U'A'), test::load("1k6p.pdb", U'B')};
    auto r = align(a, b);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const ComplexResult& c = r.value();
    EXPECT_EQ(c.chains.size(), 2u);
    EXPECT_GT(c.tm_fixed, 0.8);
    EXPECT_GT(c.tm_mobile, 0.8);
    EXPECT_EQ(c.length_fixed, a[0].size() + a[1].size());
    EXPECT_EQ(c.length_mobile, b[0].size() + b[1].size());
    expect_consistent(c, a, b);
    // Each mapped chain pair on its own is at least as good as the chains' fold-level score suggests.
    for (const ComplexChainPair& p : c.chains) EXPECT_GT(p.tm_fixed, 0.7);

    // The other order: scores swapped, map inverted, pairs transposed, transform inverted.
    auto s = align(b, a);
    ASSERT_TRUE(s.ok());
    const ComplexResult& d = s.value();
    EXPECT_DOUBLE_EQ(d.tm_fixed, c.tm_mobile);
    EXPECT_DOUBLE_EQ(d.tm_mobile, c.tm_fixed);
    EXPECT_DOUBLE_EQ(d.rmsd, c.rmsd);
    ASSERT_EQ(d.chains.size(), c.chains.size());
    for (const ComplexChainPair& p : c.chains) {
        const auto it = std::find_if(d.chains.begin(), d.chains.end(),
                                     [&](const ComplexChainPair& q) { return q.fixed == p.mobile; });
        ASSERT_NE(it, d.chains.end());
        EXPECT_EQ(it->mobile, p.fixed);
        EXPECT_DOUBLE_EQ(it->tm_fixed, p.tm_mobile);
        EXPECT_EQ(it->n_aligned, p.n_aligned);
    }
    ASSERT_EQ(d.pairs.size(), c.pairs.size());
    std::vector<ComplexPair> transposed;
    for (const ComplexPair& p : c.pairs) transposed.push_back({p.mobile_chain, p.mobile_index, p.fixed_chain, p.fixed_index});
    std::sort(transposed.begin(), transposed.end(), [](const ComplexPair& l, const ComplexPair& q) {
        return std::tie(l.fixed_chain, l.fixed_index) < std::tie(q.fixed_chain, q.fixed_index);
    });
    EXPECT_EQ(d.pairs, transposed);
    const Point p = b[0].residues[5].coord;
    const Point round_trip = d.transform.apply(c.transform.apply(p));
    EXPECT_LT(std::sqrt(squared_distance(p, round_trip)), 1e-9);
    expect_consistent(d, b, a);
}

TEST(ComplexAlign, UnequalChainCountsLeaveChainsUnmatched) {
    const Chains dimer{test::load("1hpv.pdb", U'A'), test::load("1hpv.pdb", U'B')};
    const Chains single{test::load("1k6p.pdb", U'B')};
    for (const bool dimer_first : {true, false}) {
        auto r = dimer_first ? align(dimer, single) : align(single, dimer);
        ASSERT_TRUE(r.ok()) << r.error().message;
        const ComplexResult& c = r.value();
        ASSERT_EQ(c.chains.size(), 1u);
        const double tm_single = dimer_first ? c.tm_mobile : c.tm_fixed;
        const double tm_dimer = dimer_first ? c.tm_fixed : c.tm_mobile;
        EXPECT_GT(tm_single, 0.8);
        EXPECT_LT(tm_dimer, 0.55);  // half the dimer at most
        EXPECT_EQ((dimer_first ? c.unmatched_fixed : c.unmatched_mobile).size(), 1u);
        EXPECT_TRUE((dimer_first ? c.unmatched_mobile : c.unmatched_fixed).empty());
        if (dimer_first)
            expect_consistent(c, dimer, single);
        else
            expect_consistent(c, single, dimer);
    }
}

TEST(ComplexAlign, GivenPairingIsKept) {
    const Chains fixed{test::load("1hpv.pdb", U'A'), test::load("1hpv.pdb", U'B')};
    const Transform motion = some_motion(2.1, {1, 2, 3});
    const Chains mobile{test::moved(fixed[0], motion, "A"), test::moved(fixed[1], motion, "B")};
    // Left alone, A goes with A; told otherwise, the map follows and the rest fits around it.
    auto free = align(fixed, mobile);
    ASSERT_TRUE(free.ok());
    using P = std::pair<std::size_t, std::size_t>;
    EXPECT_EQ(map_of(free.value()), (std::vector<P>{{0, 0}, {1, 1}}));
    auto told = align(fixed, mobile, {{0, 1}});
    ASSERT_TRUE(told.ok());
    EXPECT_EQ(map_of(told.value()), (std::vector<P>{{0, 1}, {1, 0}}));
    EXPECT_LT(told.value().tm_fixed, free.value().tm_fixed);
    EXPECT_GT(told.value().tm_fixed, 0.5);  // the dimer's own symmetry
    expect_consistent(told.value(), fixed, mobile);
    // A pairing given for a chain the assembly of other chain counts cannot match well is still kept.
    const Chains one{mobile[1]};
    auto kept = align(fixed, one, {{0, 0}});
    ASSERT_TRUE(kept.ok());
    EXPECT_EQ(map_of(kept.value()), (std::vector<P>{{0, 0}}));
    EXPECT_EQ(kept.value().unmatched_fixed, std::vector<std::size_t>{1});
}

TEST(ComplexAlign, UnrelatedAssembliesGetASoundResult) {
    const Chains a{test::load("1hpv.pdb", U'A'), test::load("1hpv.pdb", U'B')};
    Chains b;
    for (const char32_t id : {U'A', U'B', U'C'}) b.push_back(test::load("2beg.pdb", id));
    auto r = align(a, b);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_LT(r.value().tm_fixed, 0.4);
    EXPECT_GE(r.value().n_aligned, 1u);
    expect_consistent(r.value(), a, b);
}

TEST(ComplexAlign, RejectsBadInput) {
    const Chains a{test::load("1hpv.pdb", U'A')};
    const Chains none;
    EXPECT_EQ(align(a, none).error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(align(none, a).error().kind, ErrorKind::InvalidParameter);
    Chains empty_chain{Domain::empty("x")};
    EXPECT_EQ(align(a, empty_chain).error().kind, ErrorKind::StructureTooSmall);
    Chains bad = a;
    bad[0].residues[3].coord[1] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(align(a, bad).error().kind, ErrorKind::InvalidParameter);
    const Chains two{a[0], a[0]};
    EXPECT_EQ(align(a, two, {{1, 0}}).error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(align(a, two, {{0, 2}}).error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(align(two, two, {{0, 0}, {1, 0}}).error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(align(two, two, {{0, 0}, {0, 1}}).error().kind, ErrorKind::InvalidParameter);
}

TEST(ComplexAlign, StopsWhenCancelled) {
    const Chains a{test::load("1hpv.pdb", U'A'), test::load("1hpv.pdb", U'B')};
    const auto s = spans(a);
    for (const std::size_t stop_at : {1u, 2u, 5u}) {
        test::CountingCancel counting(stop_at);
        auto r = complex_align(s, s, {}, counting.cancel());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
    }
}

}  // namespace
}  // namespace torva
