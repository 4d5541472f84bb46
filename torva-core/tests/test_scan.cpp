#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/scan.hpp"
#include "test_support.hpp"

using torva::Domain;
using torva::Point;
using torva::ScanResult;
using torva::ScanSettings;
using torva::ScanTrace;
using torva::Transform;

namespace {

// Chain A of a bundled entry.
Domain load(const std::string& relative) { return torva::test::load(relative, U'A'); }

// A rotation of about 100 degrees about an oblique axis and a long shift, so
// that nothing of the original frame survives.
Transform far_move() {
    const double c = std::cos(1.75), s = std::sin(1.75);
    // Axis (1, 2, 2) / 3.
    const double x = 1.0 / 3, y = 2.0 / 3, z = 2.0 / 3, t = 1 - c;
    torva::Matrix3 r{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                      {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                      {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
    return Transform::from_matrix(r, {40.0, -25.0, 60.0});
}

Domain moved(const Domain& d, const Transform& t) { return torva::test::moved(d, t, d.id + "_moved"); }

Domain first_n(const Domain& d, std::size_t n) {
    Domain out = d;
    out.residues.resize(n);
    return out;
}

// Largest distance between the first domain's atoms and the second's atoms
// after the result's transform, over residues paired by index.
double max_pair_error(const Domain& a, const Domain& b, const Transform& t) {
    double worst = 0.0;
    for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
        const Point p = t.apply(b.residues[k].coord);
        const Point& q = a.residues[k].coord;
        worst = std::max(worst, std::sqrt((p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) +
                                          (p[2] - q[2]) * (p[2] - q[2])));
    }
    return worst;
}

void expect_empty(const ScanResult& r, std::size_t n1, std::size_t n2) {
    EXPECT_EQ(r.score, 0.0);
    EXPECT_TRUE(std::isinf(r.rmsd) && r.rmsd > 0);
    EXPECT_EQ(r.path_length, 0u);
    EXPECT_EQ(r.n_aligned, 0u);
    EXPECT_EQ(r.seq_identity, 0.0);
    EXPECT_EQ(r.offset, 0u);
    EXPECT_EQ(r.query_length, n1);
    EXPECT_EQ(r.target_length, n2);
    EXPECT_FALSE(r.significant);
    EXPECT_EQ(r.transform.rotation, Transform::identity().rotation);
    EXPECT_EQ(r.transform.translation, Transform::identity().translation);
}

void expect_same(const ScanResult& a, const ScanResult& b) {
    EXPECT_EQ(a.score, b.score);
    EXPECT_EQ(a.rmsd, b.rmsd);
    EXPECT_EQ(a.path_length, b.path_length);
    EXPECT_EQ(a.n_aligned, b.n_aligned);
    EXPECT_EQ(a.seq_identity, b.seq_identity);
    EXPECT_EQ(a.offset, b.offset);
    EXPECT_EQ(a.target_length, b.target_length);
    EXPECT_EQ(a.significant, b.significant);
    EXPECT_EQ(a.transform.rotation, b.transform.rotation);
    EXPECT_EQ(a.transform.translation, b.transform.translation);
}

}  // namespace

TEST(ScanSettings, FromCopiesParametersAndFixesTheRest) {
    torva::Parameters p;
    p.e1 = 1.5;
    p.e2 = 4.0;
    p.gap_open = 2.0;
    p.cutoff_dist = 8.0;
    p.convergence = 0.05;
    p.n_passes = 1;
    p.max_iter = 7;
    p.score_cutoff = 9.0;  // not a scan setting: stop_score comes from the caller
    const ScanSettings s = ScanSettings::from(p, 10, 3.5);
    EXPECT_EQ(s.step, 10u);
    EXPECT_EQ(s.stop_score, 3.5);
    EXPECT_EQ(s.min_length_ratio, 0.5);
    EXPECT_EQ(s.max_length_ratio, 1.3);
    EXPECT_EQ(s.params.e1, 1.5);
    EXPECT_EQ(s.params.e2, 4.0);
    EXPECT_EQ(s.params.gap_open, 2.0);
    EXPECT_EQ(s.params.cutoff_dist, 8.0);
    EXPECT_EQ(s.params.convergence, 0.05);
    EXPECT_EQ(s.params.n_passes, 1u);
    EXPECT_EQ(s.params.max_iter, 7u);
    EXPECT_TRUE(s.truncate);
    EXPECT_TRUE(s.early_stop);
    EXPECT_TRUE(s.seed_search);

    // The callers' settings.
    const ScanSettings pair = ScanSettings::pairwise(p);
    EXPECT_EQ(pair.step, 5u);
    EXPECT_EQ(pair.stop_score, 2.0);
    EXPECT_EQ(pair.params.e1, 1.5);
    EXPECT_EQ(ScanSettings::pairwise(p, 3).step, 3u);
    const ScanSettings db = ScanSettings::database(p, 0.25);
    EXPECT_EQ(db.step, 10u);
    EXPECT_EQ(db.stop_score, 0.25);
    EXPECT_EQ(db.params.max_iter, 7u);
}

TEST(ScanAlign, WindowOffsetsAndLengthsFor100By100) {
    const Domain a = first_n(load("families/cytochrome_c/1hrc.pdb"), 100);
    const Domain b = moved(a, far_move());
    ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);  // 1.25 < 2.0: no jump
    ScanTrace trace;
    auto r = torva::scan_align(a, b, s, &trace);
    ASSERT_TRUE(r);
    ASSERT_EQ(trace.windows.size(), 10u);
    for (std::size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(trace.windows[k].offset, 5 * k);
        EXPECT_EQ(trace.windows[k].length, 100 - 5 * k);
    }
    EXPECT_TRUE(trace.seeds.empty());
    // The whole-chain window is exact and wins; later ties cannot replace it.
    EXPECT_EQ(r.value().offset, 0u);

    // Step 0 is step 1: offsets 0 .. 49.
    s.step = 0;
    trace = {};
    ASSERT_TRUE(torva::scan_align(a, b, s, &trace));
    ASSERT_EQ(trace.windows.size(), 50u);
    EXPECT_EQ(trace.windows.back().offset, 49u);
    EXPECT_EQ(trace.windows.back().length, 51u);
}

TEST(ScanAlign, JumpAheadPastAWellAlignedStretch) {
    const Domain a = first_n(load("families/cytochrome_c/1hrc.pdb"), 100);
    const Domain b = moved(a, far_move());
    ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 1.0);
    ScanTrace trace;
    auto r = torva::scan_align(a, b, s, &trace);
    ASSERT_TRUE(r);
    // The first window aligns all 100 pairs: the jump of 95 leaves the limit of 50.
    ASSERT_EQ(trace.windows.size(), 1u);
    EXPECT_TRUE(r.value().significant);

    s.early_stop = false;
    trace = {};
    ASSERT_TRUE(torva::scan_align(a, b, s, &trace));
    EXPECT_EQ(trace.windows.size(), 10u);
}

// `d` with everything from residue `hinge` on turned by `angle` radians about
// an axis through that residue's atom, then moved far away as a whole: one
// rigid part on each side of the hinge.
Domain hinged(const Domain& d, std::size_t hinge, double angle) {
    const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
    const double n = std::sqrt(1.0 + 4.0 + 0.25);
    const double x = 1.0 / n, y = -2.0 / n, z = 0.5 / n;
    const torva::Matrix3 r{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                            {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                            {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
    const Transform turn = Transform::from_matrix(r, {0.0, 0.0, 0.0});
    Domain out = d;
    const Point pivot = d.residues[hinge].coord;
    for (std::size_t k = hinge; k < out.size(); ++k) {
        const Point& p = d.residues[k].coord;
        const Point q = turn.apply({p[0] - pivot[0], p[1] - pivot[1], p[2] - pivot[2]});
        out.residues[k].coord = {q[0] + pivot[0], q[1] + pivot[1], q[2] + pivot[2]};
    }
    return moved(out, far_move());
}

TEST(ScanAlign, JumpLandsOnAMultipleOfTheStepInsideTheLimit) {
    // A hinge at residue 60 of 100: the whole-chain window aligns one rigid
    // part only, so its jump stays short of the limit of 50.
    const Domain a = first_n(load("1o1z.pdb"), 100);
    const Domain b = hinged(a, 60, 0.5);
    ScanSettings s = ScanSettings::from(torva::Parameters{}, 7, 0.1);
    s.params.n_passes = 1;
    s.seed_search = false;

    // Without jumps every window runs and the first one is the best: its
    // pair count fixes the jump.
    s.early_stop = false;
    auto all = torva::scan_align(a, b, s);
    ASSERT_TRUE(all);
    ASSERT_EQ(all.value().offset, 0u);
    ASSERT_GE(all.value().score, 0.1);
    const std::size_t n = all.value().n_aligned;
    const std::size_t jump = (n - 7) / 7 * 7;
    ASSERT_GT(jump, 7u);
    ASSERT_LT(jump, 50u);

    s.early_stop = true;
    ScanTrace trace;
    auto r = torva::scan_align(a, b, s, &trace);
    ASSERT_TRUE(r);
    ASSERT_GE(trace.windows.size(), 2u);
    EXPECT_EQ(trace.windows[0].offset, 0u);
    EXPECT_EQ(trace.windows[1].offset, jump);
    for (std::size_t k = 2; k < trace.windows.size(); ++k)
        EXPECT_EQ(trace.windows[k].offset, trace.windows[k - 1].offset + 7);
    EXPECT_LT(trace.windows.back().offset, 50u);
}

TEST(ScanAlign, ZeroScoringWindowsKeepTheFirstAndAreNotTheEmptyResult) {
    // Two hinged halves turned far apart: no window aligns anything, every
    // one scores exactly 0.
    const Domain a = first_n(load("families/cytochrome_c/1hrc.pdb"), 100);
    const Domain b = hinged(a, 40, 1.2);
    ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 0.0);
    s.seed_search = false;
    ScanTrace trace;
    auto r = torva::scan_align(a, b, s, &trace);
    ASSERT_TRUE(r);
    ASSERT_EQ(trace.windows.size(), 10u);
    for (const auto& w : trace.windows) ASSERT_EQ(w.score, 0.0);
    const ScanResult& res = r.value();
    // Ties keep the earliest window; a zero best gets no fine pass.
    EXPECT_EQ(res.offset, 0u);
    EXPECT_FALSE(trace.second_pass);
    // A window did run: its result is reported, not the empty one.
    EXPECT_EQ(res.score, 0.0);
    EXPECT_EQ(res.n_aligned, 0u);
    EXPECT_EQ(res.rmsd, 100.0);
    EXPECT_TRUE(res.significant);  // 0 >= a stop score of 0
    s.stop_score = 1e-12;
    auto strict = torva::scan_align(a, b, s);
    ASSERT_TRUE(strict);
    EXPECT_FALSE(strict.value().significant);
}

TEST(ScanAlign, RecoversARigidlyMovedStructure) {
    const Domain a = load("1ubq.pdb");
    const Transform t = far_move();
    const Domain b = moved(a, t);
    ScanTrace trace;
    auto r = torva::scan_align(a, b, ScanSettings::from(torva::Parameters{}, 5, 2.0), &trace);
    ASSERT_TRUE(r);
    const ScanResult& res = r.value();
    EXPECT_EQ(res.query_id, a.id);
    EXPECT_EQ(res.target_id, b.id);
    EXPECT_LT(res.rmsd, 1e-3);
    EXPECT_EQ(res.n_aligned, a.size());
    EXPECT_NEAR(res.score, 1.25, 1e-9);
    EXPECT_DOUBLE_EQ(res.seq_identity, 1.0);
    EXPECT_LT(max_pair_error(a, b, res.transform), 1e-3);
    EXPECT_FALSE(res.significant);  // 1.25 is below the default 2.0
    EXPECT_EQ(res.query_length, 76u);
    EXPECT_EQ(res.target_length, 76u);
    EXPECT_TRUE(trace.second_pass);
}

TEST(ScanAlign, LengthRatioGivesTheEmptyResultWithoutSearching) {
    const Domain a = first_n(load("families/cytochrome_c/1hrc.pdb"), 100);
    const Domain b = moved(a, far_move());
    const ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);

    ScanTrace trace;
    auto r = torva::scan_align(a, first_n(b, 49), s, &trace);
    ASSERT_TRUE(r);
    expect_empty(r.value(), 100, 49);
    EXPECT_TRUE(trace.windows.empty());
    EXPECT_TRUE(trace.seeds.empty());

    trace = {};
    r = torva::scan_align(a, first_n(b, 50), s, &trace);
    ASSERT_TRUE(r);
    EXPECT_FALSE(trace.windows.empty());
    EXPECT_EQ(r.value().target_length, 50u);
    EXPECT_GT(r.value().score, 0.0);
}

TEST(ScanAlign, TooShortDomainsGiveTheEmptyResult) {
    const Domain a = load("1ubq.pdb");
    ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    s.min_length_ratio = 0.0;
    auto r = torva::scan_align(a, first_n(a, 2), s);
    ASSERT_TRUE(r);
    expect_empty(r.value(), 76, 2);
    r = torva::scan_align(first_n(a, 2), a, s);
    ASSERT_TRUE(r);
    // The cut to 1.3 x 2 residues happens before the length test.
    expect_empty(r.value(), 2, 2);
    EXPECT_EQ(r.value().query_id, a.id);
}

TEST(ScanAlign, OverlongSecondDomainIsCutAndItsTailIgnored) {
    // 100 residues against 200: only the first 130 are searched.
    const Domain big = load("1o1z.pdb");  // 226 residues
    const Domain a = first_n(big, 100);
    Domain b = first_n(moved(big, far_move()), 200);
    const ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    auto r1 = torva::scan_align(a, b, s);
    ASSERT_TRUE(r1);
    EXPECT_EQ(r1.value().target_length, 130u);
    EXPECT_EQ(r1.value().query_length, 100u);
    EXPECT_LT(r1.value().rmsd, 1e-3);

    // Scrambling residues 130 onward changes nothing.
    for (std::size_t k = 130; k < b.size(); ++k) {
        b.residues[k].coord = {1000.0 + static_cast<double>(k), -3.0, 7.0};
        b.residues[k].amino_acid = U'W';
    }
    auto r2 = torva::scan_align(a, b, s);
    ASSERT_TRUE(r2);
    expect_same(r1.value(), r2.value());

    // Without the cut the whole chain is searched.
    ScanSettings whole = s;
    whole.truncate = false;
    auto r3 = torva::scan_align(a, b, whole);
    ASSERT_TRUE(r3);
    EXPECT_EQ(r3.value().target_length, 200u);
}

TEST(ScanAlign, SecondPassOnlyWithTwoPassesAndAPositiveScore) {
    const Domain a = load("1ubq.pdb");
    const Domain b = moved(load("1d3z.pdb"), far_move());
    ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    s.params.n_passes = 1;
    ScanTrace one;
    auto r1 = torva::scan_align(a, b, s, &one);
    ASSERT_TRUE(r1);
    EXPECT_FALSE(one.second_pass);
    EXPECT_GT(r1.value().score, 0.0);

    s.params.n_passes = 2;
    ScanTrace two;
    auto r2 = torva::scan_align(a, b, s, &two);
    ASSERT_TRUE(r2);
    EXPECT_TRUE(two.second_pass);
    // The fine pass replaces the best only when it scores at least as well.
    EXPECT_GE(r2.value().score, r1.value().score);
    EXPECT_EQ(r2.value().offset, r1.value().offset);
    // Same protein, X-ray against NMR.
    EXPECT_LT(r2.value().rmsd, 2.0);
    EXPECT_GT(r2.value().n_aligned, 50u);
}

TEST(ScanAlign, ArgumentsAreNotModified) {
    const Domain a = load("1ubq.pdb");
    const Domain b = moved(a, far_move());
    const Domain a_copy = a, b_copy = b;
    ASSERT_TRUE(torva::scan_align(a, b, ScanSettings::from(torva::Parameters{}, 5, 2.0)));
    for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a.residues[k].coord, a_copy.residues[k].coord);
        EXPECT_EQ(b.residues[k].coord, b_copy.residues[k].coord);
    }
}

// ---- Seed search ------------------------------------------------------------

TEST(ScanSeedSearch, LeavesAPositiveWindowSearchUntouched) {
    // Deposited frames, colinear chains: the windows find it on their own.
    const Domain a = load("families/cytochrome_c/1hrc.pdb");
    const Domain b = load("families/cytochrome_c/1crc.pdb");
    ScanSettings with = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    ScanSettings without = with;
    without.seed_search = false;
    ScanTrace trace;
    auto r1 = torva::scan_align(a, b, with, &trace);
    auto r2 = torva::scan_align(a, b, without);
    ASSERT_TRUE(r1);
    ASSERT_TRUE(r2);
    EXPECT_GT(r2.value().score, 0.0);
    EXPECT_TRUE(trace.seeds.empty());
    expect_same(r1.value(), r2.value());
}

TEST(ScanSeedSearch, AlignsAHomologueWithAnInternalDeletion) {
    // Horse cytochrome c against another crystal form of it whose omega loop
    // (residues 41-52) is missing: the windows pair residues for residue across
    // the gap and find nothing; a seed on either side of it does.
    const Domain a = load("families/cytochrome_c/1hrc.pdb");
    Domain b = load("families/cytochrome_c/1crc.pdb");
    b.residues.erase(b.residues.begin() + 40, b.residues.begin() + 52);
    ScanSettings with = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    ScanSettings without = with;
    without.seed_search = false;

    auto before = torva::scan_align(a, b, without);
    ASSERT_TRUE(before);
    EXPECT_EQ(before.value().score, 0.0);
    EXPECT_EQ(before.value().n_aligned, 0u);

    ScanTrace trace;
    auto after = torva::scan_align(a, b, with, &trace);
    ASSERT_TRUE(after);
    EXPECT_FALSE(trace.seeds.empty());
    EXPECT_GT(after.value().score, 0.8);
    EXPECT_GE(after.value().n_aligned, 85u);
    EXPECT_LT(after.value().rmsd, 1.0);
    EXPECT_EQ(after.value().target_length, 92u);
    EXPECT_TRUE(trace.second_pass);
    // The residues on both sides of the gap sit where they belong.
    const Transform& t = after.value().transform;
    for (std::size_t k : {5u, 30u, 60u, 85u}) {
        const std::size_t in_first = k < 40 ? k : k + 12;
        const Point p = t.apply(b.residues[k].coord);
        const Point& q = a.residues[in_first].coord;
        EXPECT_LT(std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]), 1.5) << k;
    }

    // One pass: the reported start is the first seed of the highest score,
    // strictly above every window.
    with.params.n_passes = 1;
    trace = {};
    auto one = torva::scan_align(a, b, with, &trace);
    ASSERT_TRUE(one);
    EXPECT_FALSE(trace.second_pass);
    ASSERT_FALSE(trace.seeds.empty());
    const ScanTrace::Start* top = &trace.seeds[0];
    for (const auto& seed : trace.seeds)
        if (seed.score > top->score) top = &seed;
    EXPECT_EQ(one.value().score, top->score);
    EXPECT_EQ(one.value().offset, top->offset);
    for (const auto& w : trace.windows) EXPECT_LT(w.score, top->score);
}

TEST(ScanAlign, CancelIsAskedBeforeEveryWindowAndTheFinePass) {
    const Domain a = first_n(load("families/cytochrome_c/1hrc.pdb"), 100);
    const Domain b = moved(a, far_move());
    const ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    auto plain = torva::scan_align(a, b, s);
    ASSERT_TRUE(plain);

    // Asked and never stopping: the same result, one question per window and
    // one before the fine pass.
    torva::test::CountingCancel never;
    ScanTrace trace;
    auto asked = torva::scan_align(a, b, s, &trace, never.cancel());
    ASSERT_TRUE(asked);
    expect_same(asked.value(), plain.value());
    ASSERT_TRUE(trace.second_pass);
    EXPECT_EQ(never.asked(), trace.windows.size() + 1);

    // Stopping at any question ends the scan there with the cancel error.
    for (std::size_t stop = 1; stop <= never.asked(); ++stop) {
        torva::test::CountingCancel at(stop);
        ScanTrace partial;
        auto r = torva::scan_align(a, b, s, &partial, at.cancel());
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, torva::ErrorKind::Cancelled);
        EXPECT_EQ(r.error().message, "Operation cancelled");
        EXPECT_EQ(at.asked(), stop);
        EXPECT_EQ(partial.windows.size(), std::min(stop - 1, trace.windows.size()));
        EXPECT_FALSE(partial.second_pass);
    }
}

TEST(ScanSeedSearch, CancelIsAskedDuringTheSeedSearch) {
    const Domain a = load("families/cytochrome_c/1hrc.pdb");
    Domain b = load("families/cytochrome_c/1crc.pdb");
    b.residues.erase(b.residues.begin() + 40, b.residues.begin() + 52);
    const ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    torva::test::CountingCancel never;
    ScanTrace trace;
    auto asked = torva::scan_align(a, b, s, &trace, never.cancel());
    auto plain = torva::scan_align(a, b, s);
    ASSERT_TRUE(asked && plain);
    expect_same(asked.value(), plain.value());
    ASSERT_FALSE(trace.seeds.empty());
    // Windows, then at least one seed row, each refit, each seed start and the fine pass.
    const std::size_t windows = trace.windows.size();
    EXPECT_GT(never.asked(), windows + 2 * trace.seeds.size() + 1);
    for (const std::size_t stop : {windows + 1, windows + 3, never.asked() - 1, never.asked()}) {
        torva::test::CountingCancel at(stop);
        ScanTrace partial;
        auto r = torva::scan_align(a, b, s, &partial, at.cancel());
        ASSERT_FALSE(r) << stop;
        EXPECT_EQ(r.error().kind, torva::ErrorKind::Cancelled);
        EXPECT_EQ(partial.windows.size(), windows);
        EXPECT_LE(partial.seeds.size(), trace.seeds.size());
    }
}

TEST(ScanSeedSearch, UnrelatedStructuresStillScoreLow) {
    const Domain a = load("families/unrelated/2cpl.pdb");
    const Domain b = load("families/thioredoxin/2trx.pdb");
    auto r = torva::scan_align(a, b, ScanSettings::from(torva::Parameters{}, 5, 2.0));
    ASSERT_TRUE(r);
    EXPECT_LT(r.value().score, 0.15);
}

TEST(ScanSeedSearch, BrokenCoordinatesEndTheSearchQuietly) {
    // A non-finite or absurdly distant atom must neither crash the fragment
    // search nor make it allocate for the whole span of the coordinates.
    const Domain a = load("families/unrelated/1stn.pdb");
    const Domain good = load("families/thioredoxin/2trx.pdb");
    const ScanSettings s = ScanSettings::from(torva::Parameters{}, 5, 2.0);
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e8}) {
        Domain b = good;
        b.residues[50].coord = {bad, 1.0, -bad};
        EXPECT_NO_THROW({
            auto r = torva::scan_align(a, b, s);
            if (r) {
                EXPECT_FALSE(r.value().score > 0.5);
            }
        });
        Domain c = a;
        c.residues[10].coord = {2.0, bad, 3.0};
        EXPECT_NO_THROW({ (void)torva::scan_align(c, good, s); });
    }
}
