#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "torva/scan.hpp"

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
