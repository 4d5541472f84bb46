#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "torva/database_scan.hpp"
#include "test_support.hpp"

using namespace torva;

namespace {

std::vector<ScanHitRecord> candidates(const std::vector<std::pair<std::string, double>>& scores) {
    std::vector<ScanHitRecord> out;
    for (const auto& [id, score] : scores) {
        ScanHitRecord h;
        h.target_id = id;
        h.score = score;
        h.rank = 99;  // must be overwritten
        h.z_score = 42.0;
        h.e_value = 1.0;
        out.push_back(h);
    }
    return out;
}

std::vector<std::string> ids(const std::vector<ScanHitRecord>& hits) {
    std::vector<std::string> out;
    for (const auto& h : hits) out.push_back(h.target_id);
    return out;
}

DatabaseScanOptions with(double cutoff, std::size_t max_hits) {
    DatabaseScanOptions o;
    o.score_cutoff = cutoff;
    o.max_hits = max_hits;
    return o;
}

}  // namespace

TEST(SelectScanHits, RanksByScoreKeepingTargetOrderForTies) {
    const auto hits =
        select_scan_hits(candidates({{"a", 0.5}, {"b", 1.5}, {"c", 0.5}, {"d", 1.5}, {"e", 1.0}}), with(0.0, 100));
    EXPECT_EQ(ids(hits), (std::vector<std::string>{"b", "d", "e", "a", "c"}));
    for (std::size_t k = 0; k < hits.size(); ++k) {
        EXPECT_EQ(hits[k].rank, k + 1);
        EXPECT_FALSE(hits[k].e_value.has_value());
    }
}

TEST(SelectScanHits, CutoffIsInclusiveAndNaNNeverPasses) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto hits = select_scan_hits(candidates({{"low", 0.99}, {"nan", nan}, {"at", 1.0}, {"high", 2.0}}), with(1.0, 100));
    EXPECT_EQ(ids(hits), (std::vector<std::string>{"high", "at"}));

    // Even the lowest possible cutoff lets no NaN through.
    hits = select_scan_hits(candidates({{"nan", nan}, {"neg", -inf}, {"zero", 0.0}}), with(-inf, 100));
    EXPECT_EQ(ids(hits), (std::vector<std::string>{"zero", "neg"}));

    // A NaN cutoff accepts nothing.
    EXPECT_TRUE(select_scan_hits(candidates({{"a", 1.0}}), with(nan, 100)).empty());
}

TEST(SelectScanHits, TruncatesAfterSortingAndZScoresOnlySeeTheKeptHits) {
    auto hits = select_scan_hits(candidates({{"a", 0.1}, {"b", 3.0}, {"c", 7.0}, {"d", 2.0}}), with(0.0, 2));
    ASSERT_EQ(ids(hits), (std::vector<std::string>{"c", "b"}));
    EXPECT_EQ(hits[0].rank, 1u);
    EXPECT_EQ(hits[1].rank, 2u);
    // Two distinct values are one population standard deviation from their mean.
    ASSERT_TRUE(hits[0].z_score && hits[1].z_score);
    EXPECT_DOUBLE_EQ(*hits[0].z_score, 1.0);
    EXPECT_DOUBLE_EQ(*hits[1].z_score, -1.0);

    hits = select_scan_hits(candidates({{"a", 0.1}, {"b", 3.0}}), with(0.0, 1));
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].target_id, "b");
    EXPECT_EQ(hits[0].rank, 1u);
    EXPECT_FALSE(hits[0].z_score.has_value());

    EXPECT_TRUE(select_scan_hits(candidates({{"a", 0.1}, {"b", 3.0}}), with(0.0, 0)).empty());
}

TEST(SelectScanHits, ZScoresUsePopulationDeviation) {
    // Scores 1, 2, 3, 6: mean 3, population variance (4 + 1 + 0 + 9) / 4 = 3.5.
    const auto hits = select_scan_hits(candidates({{"a", 1.0}, {"b", 2.0}, {"c", 3.0}, {"d", 6.0}}), with(0.0, 100));
    const double sd = std::sqrt(3.5);
    ASSERT_EQ(hits.size(), 4u);
    EXPECT_DOUBLE_EQ(*hits[0].z_score, 3.0 / sd);
    EXPECT_DOUBLE_EQ(*hits[1].z_score, 0.0);
    EXPECT_DOUBLE_EQ(*hits[2].z_score, -1.0 / sd);
    EXPECT_DOUBLE_EQ(*hits[3].z_score, -2.0 / sd);
}

TEST(SelectScanHits, EqualScoresGiveNoZScores) {
    auto hits = select_scan_hits(candidates({{"a", 0.75}, {"b", 0.75}, {"c", 0.75}}), with(0.0, 100));
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(ids(hits), (std::vector<std::string>{"a", "b", "c"}));
    for (const auto& h : hits) EXPECT_FALSE(h.z_score.has_value());

    // A spread far below 1e-10 counts as no spread.
    hits = select_scan_hits(candidates({{"a", 1.0}, {"b", 1.0 + 1e-12}}), with(0.0, 100));
    for (const auto& h : hits) EXPECT_FALSE(h.z_score.has_value());

    EXPECT_TRUE(select_scan_hits({}, with(0.0, 100)).empty());
}

TEST(ScanTargets, FirstFailureEndsTheScanWithItsError) {
    std::vector<Domain> targets;
    for (const char* id : {"t0", "t1", "t2", "t3"}) targets.push_back(Domain::empty(id));
    std::vector<std::string> seen;
    auto r = scan_targets(
        targets,
        [&](const Domain& t) -> Result<ScanHitRecord> {
            seen.push_back(t.id);
            if (t.id == "t2") return Error::alignment_failed("window 3");
            ScanHitRecord h;
            h.score = 1.0;
            return h;
        },
        DatabaseScanOptions{});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::AlignmentFailed);
    EXPECT_EQ(r.error().message, "Alignment failed: window 3");
    EXPECT_EQ(seen, (std::vector<std::string>{"t0", "t1", "t2"}));  // t3 never aligned
}

TEST(ScanTargets, NamesHitsAfterTheirTargetsAndDropsNaN) {
    std::vector<Domain> targets;
    for (const char* id : {"a", "b", "c"}) targets.push_back(Domain::empty(id));
    const double scores[] = {0.25, std::numeric_limits<double>::quiet_NaN(), 0.75};
    std::size_t k = 0;
    auto r = scan_targets(
        targets,
        [&](const Domain&) -> Result<ScanHitRecord> {
            ScanHitRecord h;
            h.target_id = "ignored";
            h.score = scores[k++];
            return h;
        },
        DatabaseScanOptions{});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(ids(r.value()), (std::vector<std::string>{"c", "a"}));
}

// ---------------------------------------------------------------------------
// Whole scans on real structures

namespace {

using test::load;

Domain renamed(const Domain& d, const std::string& id) {
    Domain c = d;
    c.id = id;
    return c;
}

// Rotated by about 50 degrees and moved far away: no residue of the copy lies
// near its original.
const Transform kFarMove = [] {
    const double c = std::cos(0.9), s = std::sin(0.9);
    Transform t;
    t.rotation = {{{c, -s, 0.0}, {s * 0.6, c * 0.6, -0.8}, {s * 0.8, c * 0.8, 0.6}}};
    t.translation = {35.0, -60.0, 20.0};
    return t;
}();

Domain far_copy(const Domain& d, const std::string& id) { return test::moved(d, kFarMove, id); }

DatabaseScanOptions mode(bool scan_mode, bool quick) {
    DatabaseScanOptions o;
    o.scan_mode = scan_mode;
    o.quick = quick;
    return o;
}

double max_distance(std::span<const Point> a, std::span<const Point> b) {
    double worst = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const double dx = a[k][0] - b[k][0], dy = a[k][1] - b[k][1], dz = a[k][2] - b[k][2];
        worst = std::max(worst, std::sqrt(dx * dx + dy * dy + dz * dz));
    }
    return worst;
}

}  // namespace

TEST(ScanDatabase, DirectModesAlignCoordinatesAsGiven) {
    const Domain q = load("1ubq.pdb");
    const std::vector<Domain> targets = {far_copy(q, "far"), renamed(q, "same")};
    for (const bool quick : {false, true}) {
        SCOPED_TRACE(quick ? "quick" : "full");
        auto r = scan_database(q, targets, Parameters{}, mode(false, quick));
        ASSERT_TRUE(r.ok());
        const auto& hits = r.value();
        ASSERT_EQ(hits.size(), 2u);
        EXPECT_EQ(hits[0].target_id, "same");
        EXPECT_DOUBLE_EQ(hits[0].score, 1.25);
        EXPECT_NEAR(hits[0].rmsd, 0.0, 1e-6);
        EXPECT_EQ(hits[0].n_aligned, q.size());
        EXPECT_EQ(hits[0].seq_identity, 1.0);
        ASSERT_EQ(hits[0].aligned_pairs.size(), q.size());
        for (std::uint32_t k = 0; k < q.size(); ++k) EXPECT_EQ(hits[0].aligned_pairs[k], (AlignedPair{k, k}));

        EXPECT_EQ(hits[1].target_id, "far");
        EXPECT_EQ(hits[1].score, 0.0);
        EXPECT_EQ(hits[1].rmsd, 100.0);
        EXPECT_EQ(hits[1].n_aligned, 0u);
        EXPECT_TRUE(hits[1].aligned_pairs.empty());
    }
}

TEST(ScanDatabase, ScanModeFindsAMovedCopyAndMapsItBack) {
    const Domain q = load("1ubq.pdb");
    const Domain far = far_copy(q, "far");
    // `quick` is ignored in scan mode.
    for (const bool quick : {false, true}) {
        auto r = scan_database(q, std::span(&far, 1), Parameters{}, mode(true, quick));
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r.value().size(), 1u);
        const ScanHitRecord& hit = r.value()[0];
        EXPECT_GT(hit.score, 1.2);
        EXPECT_LT(hit.rmsd, 0.01);
        EXPECT_NEAR(hit.seq_identity, 1.0, 1e-12);
        // The scan's own pairs come with the hit: the copy residue for residue.
        ASSERT_EQ(hit.aligned_pairs.size(), hit.n_aligned);
        ASSERT_EQ(hit.core_pairs.size(), hit.n_aligned);
        for (const auto& p : hit.aligned_pairs) EXPECT_EQ(p.i, p.j);
        EXPECT_LT(max_distance(hit.transform.apply(far.coordinates()), q.coordinates()), 0.01);
    }
}

TEST(ScanDatabase, CancelIsAskedBeforeEveryTarget) {
    const Domain q = load("1ubq.pdb");
    const std::vector<Domain> targets = {far_copy(q, "far"), renamed(q, "same"), far_copy(q, "far2")};
    for (const bool scan_mode : {false, true}) {
        SCOPED_TRACE(scan_mode ? "scan" : "direct");
        const auto plain = scan_database(q, targets, Parameters{}, mode(scan_mode, false));
        torva::test::CountingCancel never;
        const auto asked = scan_database(q, targets, Parameters{}, mode(scan_mode, false), never.cancel());
        ASSERT_TRUE(plain.ok() && asked.ok());
        ASSERT_EQ(asked.value().size(), plain.value().size());
        for (std::size_t k = 0; k < plain.value().size(); ++k) {
            EXPECT_EQ(asked.value()[k].target_id, plain.value()[k].target_id);
            EXPECT_EQ(asked.value()[k].score, plain.value()[k].score);
            EXPECT_EQ(asked.value()[k].transform.translation, plain.value()[k].transform.translation);
        }
        // Direct: once per target; scan mode: also inside every search.
        if (scan_mode) EXPECT_GT(never.asked(), targets.size());
        else EXPECT_EQ(never.asked(), targets.size());
        for (const std::size_t stop : {std::size_t{1}, std::size_t{2}, never.asked()}) {
            torva::test::CountingCancel at(stop);
            const auto r = scan_database(q, targets, Parameters{}, mode(scan_mode, false), at.cancel());
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
            EXPECT_EQ(at.asked(), stop);
        }
    }
}

TEST(ScanDatabase, TooShortAndEmptyTargetsAreZeroHits) {
    const Domain q = load("1ubq.pdb");
    const std::vector<Domain> targets = {load("1sp1.pdb"), Domain::empty("none")};

    auto r = scan_database(q, targets, Parameters{}, mode(true, false));
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().size(), 2u);
    for (const auto& h : r.value()) {
        EXPECT_EQ(h.score, 0.0);
        EXPECT_EQ(h.rmsd, std::numeric_limits<double>::infinity());
        EXPECT_EQ(h.n_aligned, 0u);
        EXPECT_FALSE(h.z_score.has_value());  // equal scores
    }
    EXPECT_EQ(r.value()[0].target_id, "1sp1");

    for (const bool quick : {false, true}) {
        auto d = scan_database(q, std::span(&targets[1], 1), Parameters{}, mode(false, quick));
        ASSERT_TRUE(d.ok());
        ASSERT_EQ(d.value().size(), 1u);
        EXPECT_EQ(d.value()[0].score, 0.0);
        EXPECT_EQ(d.value()[0].n_aligned, 0u);
    }

    DatabaseScanOptions strict = mode(true, false);
    strict.score_cutoff = 1e-9;
    auto none = scan_database(q, targets, Parameters{}, strict);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().empty());
}

TEST(ScanDatabase, ParametersReachTheAlignment) {
    // A tight distance scale makes a copy shifted by 1 A score nothing in
    // quick mode, where the default scale still aligns it; an exact copy
    // keeps the top score either way.
    const Domain q = load("1ubq.pdb");
    const Domain same = renamed(q, "same");
    Parameters p;
    p.e1 = 0.05;  // tight distance scale: a 1 A offset scores nearly nothing
    Domain shifted = renamed(q, "shifted");
    Transform t;
    t.translation = {1.0, 0.0, 0.0};
    shifted.set_coordinates(t.apply(q.coordinates()));

    auto loose = scan_database(q, std::span(&shifted, 1), Parameters{}, mode(false, true));
    auto tight = scan_database(q, std::span(&shifted, 1), p, mode(false, true));
    ASSERT_TRUE(loose.ok() && tight.ok());
    EXPECT_GT(loose.value()[0].score, 0.9);
    EXPECT_EQ(tight.value()[0].score, 0.0);
    auto exact = scan_database(q, std::span(&same, 1), p, mode(false, true));
    ASSERT_TRUE(exact.ok());
    EXPECT_DOUBLE_EQ(exact.value()[0].score, 1.25);
}
