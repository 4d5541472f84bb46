// align_structures, the pairs a scan keeps, the target index of scan hits and
// align_domains: every number of a result comes from the pairs it carries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "torva/align_pdbs.hpp"
#include "torva/database_scan.hpp"
#include "torva/pairwise.hpp"
#include "torva/scan.hpp"
#include "torva/structure_pair.hpp"

namespace {

using torva::AlignedPair;
using torva::Domain;
using torva::Transform;
using torva::test::load;

Transform turn_and_shift() {
    const double c = std::cos(2.1), s = std::sin(2.1);
    torva::Matrix3 r{{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}};
    return Transform::from_matrix(r, {-30.0, 12.0, 55.0});
}

// RMSD of the pairs with `mobile` moved by `t`, and the identity over the flagged pairs.
struct Recomputed {
    double rmsd = 0.0;
    double identity = 0.0;
};

Recomputed recompute(const Domain& fixed, const Domain& mobile, const torva::StructurePairAlignment& a) {
    Recomputed out;
    double sum = 0.0;
    std::size_t core = 0, same = 0;
    for (std::size_t k = 0; k < a.pairs.size(); ++k) {
        const AlignedPair& p = a.pairs[k];
        const double d2 = torva::squared_distance(fixed.residues[p.i].coord, a.transform.apply(mobile.residues[p.j].coord));
        sum += d2;
        EXPECT_NEAR(std::sqrt(d2), a.distances[k], 1e-12);
        if (a.core_pairs[k]) {
            ++core;
            if (fixed.residues[p.i].amino_acid == mobile.residues[p.j].amino_acid) ++same;
        }
    }
    out.rmsd = std::sqrt(sum / static_cast<double>(a.pairs.size()));
    out.identity = core ? static_cast<double>(same) / static_cast<double>(core) : 0.0;
    return out;
}

TEST(AlignStructures, ScanKeepsThePairsItsNumbersComeFrom) {
    const Domain fixed = load("families/cytochrome_c/1hrc.pdb");
    const Domain mobile = torva::test::moved(load("families/cytochrome_c/1ycc.pdb"), turn_and_shift(), "1ycc_moved");
    const torva::Parameters params;
    auto r = torva::align_structures(fixed, mobile, params, true);
    ASSERT_TRUE(r);
    const auto& a = r.value();
    // The scan-mode numbers are those of scan_align itself.
    auto s = torva::scan_align(fixed, mobile, torva::ScanSettings::pairwise(params));
    ASSERT_TRUE(s);
    EXPECT_EQ(a.score, s.value().score);
    EXPECT_EQ(a.rmsd, s.value().rmsd);
    EXPECT_EQ(a.n_aligned, s.value().n_aligned);
    EXPECT_EQ(a.seq_identity, s.value().seq_identity);
    EXPECT_EQ(a.pairs, s.value().aligned_pairs);

    ASSERT_GT(a.n_aligned, 80u);
    EXPECT_EQ(a.pairs.size(), a.n_aligned);
    EXPECT_EQ(a.core_pairs.size(), a.n_aligned);
    EXPECT_EQ(a.distances.size(), a.n_aligned);
    for (std::size_t k = 1; k < a.pairs.size(); ++k) {
        EXPECT_LT(a.pairs[k - 1].i, a.pairs[k].i);
        EXPECT_LT(a.pairs[k - 1].j, a.pairs[k].j);
    }
    const Recomputed back = recompute(fixed, mobile, a);
    EXPECT_NEAR(back.rmsd, a.rmsd, 1e-9);
    EXPECT_DOUBLE_EQ(back.identity, a.seq_identity);
}

TEST(AlignStructures, DirectIsAlignPairAndTheEmptyResultHasNoPairs) {
    const Domain fixed = load("families/cytochrome_c/1hrc.pdb");
    const torva::Parameters params;
    // Superposed already: placed by a scan.
    const Domain crc = load("families/cytochrome_c/1crc.pdb");
    auto placed = torva::scan_align(fixed, crc, torva::ScanSettings::pairwise(params));
    ASSERT_TRUE(placed);
    const Domain mobile = torva::test::moved(crc, placed.value().transform, "1crc_placed");
    auto r = torva::align_structures(fixed, mobile, params, false);
    ASSERT_GT(r.value().n_aligned, 80u);
    ASSERT_TRUE(r);
    const auto p = torva::align_pair(fixed.residues, mobile.residues, torva::settings_from_parameters(params));
    EXPECT_EQ(r.value().pairs, p.aligned_pairs);
    EXPECT_EQ(r.value().score, p.score);
    EXPECT_EQ(r.value().rmsd, p.rmsd);
    EXPECT_EQ(r.value().seq_identity, p.seq_identity());
    const Recomputed back = recompute(fixed, mobile, r.value());
    EXPECT_NEAR(back.rmsd, r.value().rmsd, 1e-9);
    EXPECT_DOUBLE_EQ(back.identity, r.value().seq_identity);

    // Too short to align in either mode: no pairs, RMSD +inf, score 0.
    Domain tiny = fixed;
    tiny.residues.resize(2);
    for (bool scan : {true, false}) {
        auto e = torva::align_structures(fixed, tiny, params, scan);
        ASSERT_TRUE(e);
        EXPECT_TRUE(e.value().pairs.empty());
        EXPECT_TRUE(e.value().distances.empty());
        EXPECT_EQ(e.value().n_aligned, 0u);
        EXPECT_EQ(e.value().score, 0.0);
        EXPECT_TRUE(std::isinf(e.value().rmsd));
    }
}

TEST(AlignStructures, ACancelledScanIsAnError) {
    const Domain d = load("1ubq.pdb");
    auto r = torva::align_structures(d, d, torva::Parameters{}, true, 5, torva::Cancel([] { return true; }));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, torva::ErrorKind::Cancelled);
}

TEST(DatabaseScan, HitsKnowTheirTargetAndScanModeKeepsThePairs) {
    const Domain query = load("families/cytochrome_c/1hrc.pdb");
    const std::vector<Domain> targets = {load("1ubq.pdb"), load("families/cytochrome_c/1ycc.pdb"),
                                         load("families/cytochrome_c/1crc.pdb")};
    torva::DatabaseScanOptions options;
    auto hits = torva::scan_database(query, targets, torva::Parameters{}, options);
    ASSERT_TRUE(hits);
    ASSERT_GE(hits.value().size(), 2u);
    for (const torva::ScanHitRecord& h : hits.value()) {
        EXPECT_EQ(h.target_id, targets[h.target_index].id);
        EXPECT_EQ(h.aligned_pairs.size(), h.n_aligned);
    }
    // The ranking of hits gathered elsewhere: restored to target order, it gives the same list.
    std::vector<torva::ScanHitRecord> back(hits.value().rbegin(), hits.value().rend());
    std::stable_sort(back.begin(), back.end(), [](const auto& a, const auto& b) { return a.target_index < b.target_index; });
    const auto again = torva::select_scan_hits(back, options);
    ASSERT_EQ(again.size(), hits.value().size());
    for (std::size_t k = 0; k < again.size(); ++k) {
        EXPECT_EQ(again[k].target_index, hits.value()[k].target_index);
        EXPECT_EQ(again[k].rank, hits.value()[k].rank);
        EXPECT_EQ(again[k].z_score, hits.value()[k].z_score);
    }
}

TEST(AlignDomains, PreAlignsOntoTheReferenceAndReportsTheUnplaced) {
    const Domain a = load("families/cytochrome_c/1hrc.pdb");
    const Domain b = torva::test::moved(load("families/cytochrome_c/1ycc.pdb"), turn_and_shift(), "b");
    Domain tiny = load("1ubq.pdb");
    tiny.residues.resize(4);  // too short for the scan to place
    std::vector<std::size_t> seen;
    auto r = torva::align_domains({a, b, tiny}, torva::Parameters{}, 0, {}, [&](std::size_t k) { seen.push_back(k); });
    ASSERT_TRUE(r);
    EXPECT_EQ(seen, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(r.value().unplaced, std::vector<std::size_t>{2});
    const auto& res = r.value().result;
    ASSERT_EQ(res.pre_transforms.size(), 3u);
    auto s = torva::scan_align(a, b, torva::ScanSettings::pairwise(torva::Parameters{}));
    ASSERT_TRUE(s);
    EXPECT_EQ(res.pre_transforms[1].rotation, s.value().transform.rotation);
    EXPECT_EQ(res.pre_transforms[1].translation, s.value().transform.translation);
    EXPECT_EQ(res.pre_transforms[0].rotation, Transform::identity().rotation);

    auto cancelled = torva::align_domains({a, b}, torva::Parameters{}, 0, torva::Cancel([] { return true; }));
    ASSERT_FALSE(cancelled);
    EXPECT_TRUE(cancelled.error().pre_alignment);
    EXPECT_EQ(cancelled.error().index, 1u);
    EXPECT_EQ(cancelled.error().error.kind, torva::ErrorKind::Cancelled);
}

}  // namespace
