// Iterative pairwise refinement: stop decisions, transforms and statistics,
// on synthetic chains and real PDB entries.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/pairwise.hpp"
#include "torva/scoring.hpp"
#include "test_support.hpp"

using namespace torva;

namespace {

Domain load(const std::string& rel, char32_t chain = U'A') { return test::load(rel, chain); }

PairwiseSettings defaults() { return settings_from_parameters(Parameters{}); }

Transform rotation_about_z(double degrees, Point t) {
    const double a = degrees * M_PI / 180.0;
    return Transform::from_matrix({{{std::cos(a), -std::sin(a), 0.0}, {std::sin(a), std::cos(a), 0.0}, {0, 0, 1}}},
                                  t);
}

Transform rotation_about_x(double degrees, Point t) {
    const double a = degrees * M_PI / 180.0;
    return Transform::from_matrix({{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}}, t);
}

std::vector<Residue> moved(const Domain& d, const Transform& t) { return test::moved(d, t, d.id).residues; }

// Superposes `mobile` onto `fixed` on residues that carry the same label
// (shared numbering schemes), giving align_pair a start in a common frame.
std::vector<Residue> presuperposed_by_label(const Domain& fixed, const Domain& mobile) {
    std::map<std::string, Point> by_label;
    for (const auto& r : fixed.residues) by_label.emplace(r.label, r.coord);
    PointSet f, m;
    for (const auto& r : mobile.residues) {
        auto it = by_label.find(r.label);
        if (it == by_label.end()) continue;
        f.push_back(it->second);
        m.push_back(r.coord);
    }
    auto sup = superpose(f, m);
    return moved(mobile, sup.transform);
}

double max_transform_error(const Transform& a, const Transform& b) {
    double e = 0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) e = std::max(e, std::fabs(a.rotation[i][j] - b.rotation[i][j]));
        e = std::max(e, std::fabs(a.translation[i] - b.translation[i]));
    }
    return e;
}

}  // namespace

TEST(AlignPair, SelfAlignmentIsTheWholeDiagonalAndStopsAtTheThirdHead) {
    for (const char* file : {"1ubq.pdb", "1ejg.pdb", "families/thioredoxin/2trx.pdb"}) {
        SCOPED_TRACE(file);
        const Domain d = load(file);
        auto r = align_pair(d.residues, d.residues, defaults());
        const PairwiseResult& p = r;
        ASSERT_EQ(p.n_aligned, d.residues.size());
        for (std::size_t k = 0; k < p.aligned_pairs.size(); ++k) {
            EXPECT_EQ(p.aligned_pairs[k], (AlignedPair{static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(k)}));
        }
        EXPECT_EQ(p.score, 1.25);
        EXPECT_EQ(p.path_length, d.residues.size());
        EXPECT_NEAR(p.rmsd, 0.0, 1e-6);
        EXPECT_LT(max_transform_error(p.transform, Transform::identity()), 1e-9);
        EXPECT_EQ(p.iterations, 2u);
        EXPECT_DOUBLE_EQ(p.identity_pct, 100.0);
        ASSERT_EQ(p.residue_scores.size(), d.residues.size());
        for (double s : p.residue_scores) EXPECT_DOUBLE_EQ(s, 1.25);
    }
}

TEST(AlignPair, RigidlyMovedCopyIsBroughtBack) {
    const Domain d = load("families/cytochrome_c/1hrc.pdb");
    // Turned about its own centre and shifted: small enough a move that the
    // copies still overlap.
    const Point c = centroid(d.coordinates());
    const Transform to_origin = Transform::from_matrix(Transform::identity().rotation, {-c[0], -c[1], -c[2]});
    const Transform move = rotation_about_z(5.0, {c[0] + 0.6, c[1] - 0.4, c[2] + 0.3})
                               .compose(rotation_about_x(-3.0, {0, 0, 0}))
                               .compose(to_origin);
    const auto mobile = moved(d, move);
    auto r = align_pair(d.residues, mobile, defaults());
    const PairwiseResult& p = r;
    EXPECT_EQ(p.n_aligned, d.residues.size());
    EXPECT_NEAR(p.rmsd, 0.0, 1e-6);
    EXPECT_NEAR(p.score, 1.25, 1e-12);
    EXPECT_DOUBLE_EQ(p.identity_pct, 100.0);
    EXPECT_LT(max_transform_error(p.transform, move.inverse()), 1e-6);
    // The accumulated transform maps the given second domain onto the first.
    PointSet back;
    for (const auto& x : mobile) back.push_back(p.transform.apply(x.coord));
    EXPECT_NEAR(compute_rmsd(d.coordinates(), back), 0.0, 1e-6);
}

TEST(AlignPair, HomologuesInACommonFrame) {
    struct Case {
        const char* first;
        const char* second;
        double max_rmsd;
        std::size_t min_aligned;
        double identity_lo, identity_hi;  // percent
    };
    // TM-align gives 0.57 A / 102 pairs / 61.8 % (1hrc-1ycc), 1.11 A / 256 / 60.5 %
    // (1azm-1oq5), 1.52 A / 252 / 36.5 % (1azm-1jd0), 1.11 A / 104 / 95 % (1ert-3trx).
    const Case cases[] = {
        {"families/cytochrome_c/1hrc.pdb", "families/cytochrome_c/1ycc.pdb", 1.2, 95, 55, 70},
        {"families/carbonic_anhydrase/1azm.pdb", "families/carbonic_anhydrase/1oq5.pdb", 1.5, 220, 55, 68},
        {"families/carbonic_anhydrase/1azm.pdb", "families/carbonic_anhydrase/1jd0.pdb", 1.6, 200, 30, 45},
        {"families/thioredoxin/1ert.pdb", "families/thioredoxin/3trx.pdb", 1.5, 90, 90, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " / " + c.second);
        const Domain a = load(c.first);
        const Domain b = load(c.second);
        const auto start = presuperposed_by_label(a, b);
        auto r = align_pair(a.residues, start, defaults());
        const PairwiseResult& p = r;
        EXPECT_GT(p.n_aligned, c.min_aligned);
        EXPECT_GT(p.rmsd, 0.05);
        EXPECT_LT(p.rmsd, c.max_rmsd);
        EXPECT_GT(p.score, 0.4);
        EXPECT_LT(p.score, 1.25);
        EXPECT_GE(p.identity_pct, c.identity_lo);
        EXPECT_LE(p.identity_pct, c.identity_hi);
        for (std::size_t k = 1; k < p.aligned_pairs.size(); ++k) {
            EXPECT_LT(p.aligned_pairs[k - 1].i, p.aligned_pairs[k].i);
            EXPECT_LT(p.aligned_pairs[k - 1].j, p.aligned_pairs[k].j);
        }
        // The reported RMSD is that of the accumulated transform on the pairs.
        PointSet f, m;
        for (const auto& q : p.aligned_pairs) {
            f.push_back(a.residues[q.i].coord);
            m.push_back(p.transform.apply(start[q.j].coord));
        }
        EXPECT_NEAR(compute_rmsd(f, m), p.rmsd, 1e-6);
    }
}

TEST(AlignPair, TooShortAndBelowThresholdChains) {
    const Domain d = load("1ubq.pdb");
    const std::span<const Residue> all(d.residues);

    auto two = align_pair(all.first(2), all.first(2), defaults());
    EXPECT_EQ(two.iterations, 0u);
    EXPECT_EQ(two.rmsd, std::numeric_limits<double>::infinity());
    EXPECT_EQ(two.score, 0.0);
    EXPECT_TRUE(two.aligned_pairs.empty());
    EXPECT_TRUE(two.residue_scores.empty());

    // min_length raises the bar for both domains.
    PairwiseSettings longer = defaults();
    longer.min_length = 77;
    auto too_short = align_pair(all, all, longer);
    EXPECT_EQ(too_short.iterations, 0u);
    EXPECT_EQ(too_short.rmsd, std::numeric_limits<double>::infinity());

    // Twenty identical residues score 25 < 30: one iteration, nothing found.
    auto twenty = align_pair(all.subspan(30, 20), all.subspan(30, 20), defaults());
    EXPECT_EQ(twenty.iterations, 1u);
    EXPECT_TRUE(twenty.aligned_pairs.empty());
    EXPECT_TRUE(twenty.residue_scores.empty());
    EXPECT_EQ(twenty.rmsd, 100.0);
    EXPECT_EQ(twenty.score, 0.0);
    EXPECT_EQ(twenty.path_length, 0u);
    EXPECT_EQ(twenty.identity_pct, 0.0);
    EXPECT_LT(max_transform_error(twenty.transform, Transform::identity()), 1e-15);

    // Twenty-four reach the threshold exactly.
    auto enough = align_pair(all.subspan(30, 24), all.subspan(30, 24), defaults());
    EXPECT_EQ(enough.n_aligned, 24u);
    EXPECT_EQ(enough.score, 1.25);
}

TEST(AlignPair, IterationLimits) {
    const Domain a = load("families/thioredoxin/1ert.pdb");
    const Domain b = load("families/thioredoxin/3trx.pdb");
    const auto start = presuperposed_by_label(a, b);

    PairwiseSettings s = defaults();
    auto free_run = align_pair(a.residues, start, s);
    ASSERT_GE(free_run.iterations, 3u);

    for (std::uint32_t limit : {0u, 1u, 2u}) {
        SCOPED_TRACE(limit);
        s.max_iter = limit;
        auto r = align_pair(a.residues, start, s);
        EXPECT_EQ(r.iterations, std::max(limit, 1u));
        EXPECT_GT(r.n_aligned, 80u);
    }
    // One iteration from the label-based start: the transform is exactly
    // that step's superposition on its pairs.
    s.max_iter = 1;
    auto one = align_pair(a.residues, start, s);
    PointSet f, m;
    for (const auto& q : one.aligned_pairs) {
        f.push_back(a.residues[q.i].coord);
        m.push_back(start[q.j].coord);
    }
    auto sup = superpose(f, m);
    EXPECT_LT(max_transform_error(sup.transform, one.transform), 1e-12);
    EXPECT_DOUBLE_EQ(sup.rmsd, one.rmsd);
}

TEST(AlignPair, StopTestsInOrder) {
    const Domain d = load("1ubq.pdb");
    PairwiseSettings s = defaults();

    // A generous score tolerance ends the loop at the head of the second
    // iteration, before the RMSD test can act (it needs two RMSDs).
    s.convergence_pct = 1000.0;
    EXPECT_EQ(align_pair(d.residues, d.residues, s).iterations, 1u);

    // A score that never converges: the RMSD test stops at the third head
    // (the RMSD stays at 0 and the steps were real superpositions).
    s.convergence_pct = -1.0;
    EXPECT_EQ(align_pair(d.residues, d.residues, s).iterations, 2u);

    // Without the RMSD test only max_iter is left.
    s.rmsd_convergence = false;
    s.max_iter = 7;
    EXPECT_EQ(align_pair(d.residues, d.residues, s).iterations, 7u);

    // A tolerance below the RMSD change keeps the RMSD test quiet as well.
    s.rmsd_convergence = true;
    s.rmsd_tolerance = -1.0;
    EXPECT_EQ(align_pair(d.residues, d.residues, s).iterations, 7u);

    // Too few pairs: two 60-residue stretches overlapping in 40 residues
    // align 40 pairs. Demanding 60 ends the loop after the first iteration
    // although nothing converges; demanding 40 lets it run to max_iter.
    s = defaults();
    s.convergence_pct = -1.0;
    s.rmsd_convergence = false;
    s.max_iter = 5;
    const std::span<const Residue> all(d.residues);
    // min_length also scales the fragment threshold; hold that at 30.
    s.min_length = 60;
    s.cutoff_dist = 0.5;
    auto few = align_pair(all.first(60), all.subspan(16, 60), s);
    EXPECT_EQ(few.n_aligned, 44u);
    EXPECT_EQ(few.iterations, 1u);
    s.min_length = 44;
    s.cutoff_dist = 30.0 / 44.0;
    EXPECT_EQ(align_pair(all.first(60), all.subspan(16, 60), s).iterations, 5u);
    s.min_length = 45;
    s.cutoff_dist = 30.0 / 45.0;
    EXPECT_EQ(align_pair(all.first(60), all.subspan(16, 60), s).iterations, 1u);
}

TEST(AlignPair, IdentityCountsCorePairsWithTheSameResidue) {
    // Same coordinates, every fourth residue renamed: all pairs are core
    // pairs (distance 0), three quarters of them identical.
    const Domain d = load("1ubq.pdb");
    std::vector<Residue> mutant = d.residues;
    for (std::size_t k = 0; k < mutant.size(); k += 4) mutant[k].amino_acid = U'W';
    std::size_t same = 0;
    for (std::size_t k = 0; k < mutant.size(); ++k) same += mutant[k].amino_acid == d.residues[k].amino_acid;
    auto r = align_pair(d.residues, mutant, defaults());
    ASSERT_EQ(r.n_aligned, d.residues.size());
    EXPECT_DOUBLE_EQ(r.identity_pct, 100.0 * static_cast<double>(same) / 76.0);

    // A smaller distance cutoff shrinks the radius of equivalence (cutoff / 2)
    // below what the homologues' pairs reach: fewer core pairs, and with a
    // radius of 0.1 A none at all.
    const Domain a = load("families/cytochrome_c/1hrc.pdb");
    const Domain b = load("families/cytochrome_c/1ycc.pdb");
    const auto start = presuperposed_by_label(a, b);
    PairwiseSettings s = defaults();
    s.cutoff_dist = 0.2;
    s.core_cutoff = 0.7;
    // (The fragment threshold drops with the cutoff too, which leaves the
    // best path the same.)
    auto none = align_pair(a.residues, start, s);
    EXPECT_GT(none.n_aligned, 90u);
    EXPECT_EQ(none.identity_pct, 0.0);
}

TEST(AlignmentStep, ScoreWeighsThePathByCoverage) {
    // The hand-worked 3 x 4 matrix of the alignment tests: best 11000 over a
    // path of 4 positions with one step in the second domain only.
    auto make = [](double middle) {
        ScoreMatrix m;
        m.rows = 3;
        m.cols = 4;
        m.values.assign(12, -5.0);
        m.values[0] = 5.0;
        m.values[4 + 1] = middle;
        m.values[4 + 2] = middle;
        m.values[8 + 3] = 5.0;
        m.normalised = true;
        return m;
    };
    const PointSet c1{{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}};
    const PointSet c2{{10, 0, 0}, {20, 0, 0}, {13.8, 0, 0}, {13.8, 3.8, 0}};
    PairwiseSettings s = defaults();
    s.gap_open = 1.0;
    s.cutoff_dist = 1.0;

    auto full = alignment_step(c1, c2, make(2.0), s);
    const StepResult& a = full;
    EXPECT_EQ(a.aligned_pairs, (std::vector<AlignedPair>{{0, 0}, {1, 2}, {2, 3}}));
    EXPECT_EQ(a.n_aligned, 3u);
    EXPECT_EQ(a.path_length, 4u);
    EXPECT_DOUBLE_EQ(a.score, 11000.0 / 4.0 * (3.0 / 3.0) * (4.0 / 4.0) / 1000.0);
    // The three pairs are congruent: a pure translation by -10 along x.
    EXPECT_NEAR(a.rmsd, 0.0, 1e-9);
    EXPECT_NEAR(a.transform.translation[0], -10.0, 1e-9);

    // With the middle pair below 0.3 only two pairs are reported: no
    // superposition, but the score is still computed from the path.
    auto weak = alignment_step(c1, c2, make(0.2), s);
    const StepResult& b = weak;
    EXPECT_EQ(b.aligned_pairs, (std::vector<AlignedPair>{{0, 0}, {2, 3}}));
    EXPECT_EQ(b.rmsd, 100.0);
    EXPECT_LT(max_transform_error(b.transform, Transform::identity()), 1e-15);
    EXPECT_EQ(b.path_length, 4u);
    EXPECT_DOUBLE_EQ(b.score, 9200.0 / 4.0 / 1000.0);
    ASSERT_EQ(b.residue_scores.size(), 4u);
    EXPECT_EQ(b.residue_scores[1], 0.2);

    // Nothing above the threshold: the empty step.
    s.cutoff_dist = 10.0;
    auto nothing = alignment_step(c1, c2, make(2.0), s);
    EXPECT_TRUE(nothing.aligned_pairs.empty());
    EXPECT_TRUE(nothing.residue_scores.empty());
    EXPECT_EQ(nothing.rmsd, 100.0);
    EXPECT_EQ(nothing.score, 0.0);
    EXPECT_EQ(nothing.path_length, 0u);
}

TEST(CoreIdentity, ClosePairsWithTwoCloseNeighbours) {
    // Ten pairs along x, the second domain's partner offset by d in y.
    // Closeness (d <= 5 A with the default cutoff): 1 1 0 1 0 1 1 1 0 1.
    // Core pairs: only positions 5, 6 and 7 have two close neighbours in
    // the unbroken runs on either side.
    const double offsets[] = {1.0, 0.0, 6.0, 2.0, 5.2, 5.0, 0.5, 3.0, 9.0, 1.0};
    const char32_t seq2[] = {U'A', U'A', U'A', U'A', U'A', U'A', U'C', U'A', U'A', U'A'};
    std::vector<Residue> r1(10), r2(10);
    PointSet c1, c2;
    std::vector<AlignedPair> pairs;
    for (std::uint32_t k = 0; k < 10; ++k) {
        r1[k].amino_acid = U'A';
        r2[k].amino_acid = seq2[k];
        c1.push_back({10.0 * k, 0.0, 0.0});
        c2.push_back({10.0 * k, offsets[k], 0.0});
        pairs.push_back({k, k});
    }
    const PairwiseSettings s = defaults();
    // Position 6 differs: two identical among three core pairs.
    EXPECT_DOUBLE_EQ(core_identity_pct(pairs, r1, r2, c1, c2, s), 200.0 / 3.0);

    // Renaming a non-core residue changes nothing; renaming a core one does.
    r2[0].amino_acid = U'W';
    r2[3].amino_acid = U'W';
    r2[9].amino_acid = U'W';
    EXPECT_DOUBLE_EQ(core_identity_pct(pairs, r1, r2, c1, c2, s), 200.0 / 3.0);
    r2[5].amino_acid = U'W';
    EXPECT_DOUBLE_EQ(core_identity_pct(pairs, r1, r2, c1, c2, s), 100.0 / 3.0);

    // The radius follows the cutoff: at 20 A every pair is close, and all
    // ten are core pairs (the ends have two neighbours on one side); five
    // of them now differ.
    PairwiseSettings wide = s;
    wide.cutoff_dist = 20.0;
    wide.core_cutoff = 20.5;
    EXPECT_DOUBLE_EQ(core_identity_pct(pairs, r1, r2, c1, c2, wide), 50.0);

    // Fewer than three pairs can never have two neighbours.
    EXPECT_EQ(core_identity_pct(std::span(pairs).first(2), r1, r2, c1, c2, wide), 0.0);
    EXPECT_EQ(core_identity_pct({}, r1, r2, c1, c2, wide), 0.0);
}

TEST(AlignPair, NonFiniteHugeAndTinyInputsEndCleanly) {
    // Nothing here has a meaningful answer; the engine must still return
    // (a result or an error) with consistent lists, and without undefined
    // behaviour (this test is meant to run under the sanitizers as well).
    const Domain d = load("1ubq.pdb");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto with = [&](auto change) {
        std::vector<Residue> r = d.residues;
        change(r);
        return r;
    };
    const std::vector<std::vector<Residue>> seconds = {
        with([&](auto& r) { r[20].coord[1] = nan; }),
        with([&](auto& r) { r[40].coord = {inf, -inf, inf}; }),
        with([&](auto& r) { r[5].coord[0] = 1e300; }),
        with([&](auto& r) {
            for (auto& x : r) x.coord = {nan, nan, nan};
        }),
        with([&](auto& r) {
            for (std::size_t k = 0; k < r.size(); ++k) r[k].coord = {2.1e6 * (k % 2 ? 1 : -1), -2.2e6, 1e-300};
        }),
        with([&](auto& r) {
            for (auto& x : r) x.coord = {0.0, 0.0, 0.0};
        }),
    };
    auto check = [&](std::span<const Residue> a, std::span<const Residue> b, const PairwiseSettings& s) {
        const PairwiseResult p = align_pair(a, b, s);
        EXPECT_EQ(p.n_aligned, p.aligned_pairs.size());
        EXPECT_LE(p.n_aligned, std::min(a.size(), b.size()));
        for (std::size_t k = 0; k < p.aligned_pairs.size(); ++k) {
            ASSERT_LT(p.aligned_pairs[k].i, a.size());
            ASSERT_LT(p.aligned_pairs[k].j, b.size());
            if (k > 0) {
                EXPECT_LT(p.aligned_pairs[k - 1].i, p.aligned_pairs[k].i);
                EXPECT_LT(p.aligned_pairs[k - 1].j, p.aligned_pairs[k].j);
            }
        }
        EXPECT_GE(p.identity_pct, 0.0);
        EXPECT_LE(p.identity_pct, 100.0);
    };
    for (const auto& b : seconds) {
        check(d.residues, b, defaults());
        check(b, d.residues, defaults());
    }
    // Extreme settings, passed through unchecked by the standard conversion.
    std::vector<PairwiseSettings> odd(12, defaults());
    odd[0].score_scale = 0;
    odd[1].score_scale = -1000;
    odd[2].score_scale = std::numeric_limits<std::int32_t>::max();
    odd[3].e1 = 0.0;
    odd[4].e2 = nan;
    odd[5].band_width = nan;
    odd[6].band_width = -inf;
    odd[7].band_width = inf;
    odd[8].gap_open = -inf;
    odd[9].gap_open = nan;
    odd[10].cutoff_dist = nan;
    odd[11].score_sd = 0.0;
    for (const auto& s : odd) {
        check(d.residues, seconds[2], s);
        check(d.residues, d.residues, s);
    }
    // Empty and one-residue domains, with and without a lowered length limit.
    PairwiseSettings any = defaults();
    any.min_length = 0;
    const std::span<const Residue> all(d.residues);
    for (std::size_t n : {0u, 1u, 2u}) {
        for (const auto& s : {defaults(), any}) {
            check(all.first(n), all, s);
            check(all, all.first(n), s);
            check(all.first(n), all.first(n), s);
        }
    }
}
