#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "torva/fold.hpp"
#include "torva/fold_scan.hpp"
#include "test_support.hpp"

using torva::DatabaseScanOptions;
using torva::Domain;
using torva::ErrorKind;
using torva::FoldScanHit;

namespace {

Domain entry(const std::string& path) {
    Domain d = torva::test::load("families/" + path, U'A');
    d.id = path;
    return d;
}

std::vector<Domain> targets() {
    return {entry("thioredoxin/1ert.pdb"), entry("unrelated/1stn.pdb"), entry("thioredoxin/2trx.pdb"),
            entry("unrelated/1ctr.pdb"), entry("thioredoxin/1dsb.pdb")};
}

}  // namespace

TEST(FoldScan, EqualsALoopOfFoldAlignmentsRankedByTheQuerysTmScore) {
    const Domain query = entry("thioredoxin/3trx.pdb");
    const std::vector<Domain> list = targets();
    DatabaseScanOptions options;
    options.max_hits = 10;
    auto r = torva::fold_scan_database(query, list, options);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const std::vector<FoldScanHit>& hits = r.value();
    ASSERT_EQ(hits.size(), list.size());

    std::vector<std::pair<double, std::size_t>> expected;
    for (std::size_t k = 0; k < list.size(); ++k) {
        auto f = torva::fold_align(query.residues, list[k].residues);
        ASSERT_TRUE(f.ok());
        expected.emplace_back(f.value().tm_fixed, k);
        const auto it = std::find_if(hits.begin(), hits.end(),
                                     [k](const FoldScanHit& h) { return h.record.target_index == k; });
        ASSERT_NE(it, hits.end());
        EXPECT_EQ(it->record.score, f.value().tm_fixed);
        EXPECT_EQ(it->tm_target, f.value().tm_mobile);
        EXPECT_EQ(it->record.aligned_pairs.size(), f.value().pairs.size());
        EXPECT_EQ(it->distances, f.value().distances);
        EXPECT_EQ(it->record.target_id, list[k].id);
        EXPECT_EQ(it->record.core_pairs.size(), it->record.aligned_pairs.size());
    }
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t k = 0; k < hits.size(); ++k) {
        EXPECT_EQ(hits[k].record.target_index, expected[k].second);
        EXPECT_EQ(hits[k].record.rank, k + 1);
        EXPECT_TRUE(hits[k].record.z_score.has_value());
    }
    // The thioredoxins rank above the unrelated chains, which stay below the fold threshold.
    for (std::size_t k = 0; k < 3; ++k) EXPECT_GE(hits[k].record.score, 0.5) << hits[k].record.target_id;
    for (std::size_t k = 3; k < hits.size(); ++k) EXPECT_LT(hits[k].record.score, 0.5) << hits[k].record.target_id;
}

TEST(FoldScan, CutoffAndMaxHitsApplyToTheTmScore) {
    const Domain query = entry("thioredoxin/3trx.pdb");
    const std::vector<Domain> list = targets();
    DatabaseScanOptions options;
    options.score_cutoff = 0.5;
    options.max_hits = 2;
    auto r = torva::fold_scan_database(query, list, options);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().size(), 2u);
    for (const FoldScanHit& h : r.value()) EXPECT_GE(h.record.score, 0.5);
    options.score_cutoff = 1.5;
    auto none = torva::fold_scan_database(query, list, options);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().empty());
}

TEST(FoldScan, AnEmptyTargetOrACancelEndsTheScan) {
    const Domain query = entry("thioredoxin/3trx.pdb");
    std::vector<Domain> list = targets();
    list.insert(list.begin() + 2, Domain::empty("empty"));
    auto r = torva::fold_scan_database(query, list, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::StructureTooSmall);

    const torva::Cancel cancel([] { return true; });
    auto c = torva::fold_scan_database(query, targets(), {}, cancel);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().kind, ErrorKind::Cancelled);
}
