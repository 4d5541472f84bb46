#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "torva/key_index.hpp"
#include "torva/search_key.hpp"

namespace torva {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Column {
    Bytes data;
    std::vector<std::int64_t> offsets{0};
    std::vector<PointSet> traces;
    void add(const PointSet& pts) {
        const Bytes key = search_key(pts);
        data.insert(data.end(), key.begin(), key.end());
        offsets.push_back(static_cast<std::int64_t>(data.size()));
        traces.push_back(pts);
    }
};

// Real chains, each also with noisy copies trimmed at the ends, and a few short traces: a column in
// which every query has relatives, strangers and entries too short to score.
class KeyIndexTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        col_ = new Column;
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 0.6);
        for (const char* file : {"1ubq.pdb", "1d3z.pdb", "1o1z.pdb", "families/thioredoxin/2trx.pdb",
                                 "families/thioredoxin/1ert.pdb", "families/cytochrome_c/1hrc.pdb",
                                 "families/cytochrome_c/1ycc.pdb", "families/carbonic_anhydrase/1azm.pdb",
                                 "1hpv.pdb", "3znf.pdb"}) {
            const PointSet pts = test::load(file).coordinates();
            col_->add(pts);
            for (int copy = 0; copy < 2; ++copy) {
                PointSet v(pts.begin() + 2 * copy, pts.end() - copy);
                for (Point& p : v) {
                    for (double& x : p) x += noise(rng);
                }
                col_->add(v);
            }
        }
        const PointSet ubq = col_->traces.front();
        for (std::size_t n : {0u, 3u, 5u, 9u}) col_->add(PointSet(ubq.begin(), ubq.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    static void TearDownTestSuite() { delete col_; }
    static inline Column* col_ = nullptr;

    // What the exhaustive prefilter picks: every key scored, the k best.
    static std::vector<IndexCandidate> exhaustive(const PrefilterQuery& q, std::size_t k) {
        const std::vector<double> s = prefilter_scores(q, col_->data, col_->offsets).value();
        std::vector<IndexCandidate> out;
        for (std::size_t i : top_candidates(s, k)) out.push_back({i, s[i]});
        return out;
    }
};

TEST_F(KeyIndexTest, KeyQueriesGetExactlyTheExhaustiveCandidates) {
    // Without any margin of extra entries the bound alone must find them, at both windows.
    IndexSearchOptions o;
    o.min_rescored = 0;
    o.rescore_factor = 0.0;
    const std::size_t n = col_->traces.size();
    for (const PrefilterOptions& window : {PrefilterOptions{}, fold_prefilter_options()}) {
        auto index = KeyIndex::build(col_->data, col_->offsets, window);
        ASSERT_TRUE(index.ok());
        ASSERT_EQ(index.value().size(), n);
        KeyIndex::Scratch scratch;
        for (std::size_t e = 0; e < n; ++e) {
            const Bytes key = index.value().key(e);
            const auto q = PrefilterQuery::from_key(key, window).value();
            for (std::size_t k : {std::size_t{1}, std::size_t{3}, std::size_t{10}, n, n + 4}) {
                o.k = k;
                IndexSearchStats stats;
                auto got = index.value().search(q, index.value().letters(e), o, scratch, &stats);
                ASSERT_TRUE(got.ok());
                EXPECT_EQ(got.value(), exhaustive(q, k)) << "entry " << e << " k " << k;
                EXPECT_LE(stats.rescored, stats.touched);
            }
        }
    }
}

TEST_F(KeyIndexTest, TraceQueriesGetExactlyTheExhaustiveCandidates) {
    // Alternate letters included: the candidates of a trace's query (noisy copies, frames moved)
    // are those of the exhaustive prefilter, at both windows, without any margin.
    IndexSearchOptions o;
    o.min_rescored = 0;
    o.rescore_factor = 0.0;
    const std::size_t n = col_->traces.size();
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 0.4);
    for (const PrefilterOptions& window : {PrefilterOptions{}, fold_prefilter_options()}) {
        const auto index = KeyIndex::build(col_->data, col_->offsets, window).value();
        KeyIndex::Scratch scratch;
        std::size_t alternates_mattered = 0;
        for (std::size_t e = 0; e < n; ++e) {
            PointSet pts = col_->traces[e];
            for (Point& p : pts) {
                for (double& x : p) x += noise(rng);
            }
            const auto q = PrefilterQuery::from_points(pts, window);
            for (std::size_t k : {std::size_t{1}, std::size_t{5}, n}) {
                o.k = k;
                auto got = index.search_trace(pts, o, scratch);
                ASSERT_TRUE(got.ok());
                const auto want = exhaustive(q, k);
                EXPECT_EQ(got.value(), want) << "entry " << e << " k " << k;
                // Counting the query's own letters only is not enough for these queries.
                const auto own = index.search(q, shape_letters(pts), o, scratch).value();
                alternates_mattered += own != want;
            }
        }
        EXPECT_GT(alternates_mattered, 0u);
    }
}

TEST_F(KeyIndexTest, WordGroupsLinkCopiesToTheirPreferredEntry) {
    // The real chains (entries 3c of the fixture) each twice, the copy moved as a whole: a copy has
    // its original's key, so it picks the same words and lands in its groups.
    Column col;
    const double c = std::cos(0.7), s = std::sin(0.7);
    const Transform moved = Transform::from_matrix(Matrix3{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}}, {30.0, -4.0, 12.0});
    for (std::size_t i = 0; i < 30; i += 3) {
        col.add(col_->traces[i]);
        col.add(moved.apply(col_->traces[i]));
    }
    const auto index = KeyIndex::build(col.data, col.offsets, fold_prefilter_options()).value();
    const std::size_t n = index.size();
    std::vector<std::uint32_t> rank(n);
    for (std::size_t i = 0; i < n; ++i) rank[i] = static_cast<std::uint32_t>(n - 1 - i);  // later entries first
    const auto edges = index.word_groups(rank, 8, 1).value();
    std::vector<std::uint32_t> copies;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const auto& [e, shared] = edges[i];
        EXPECT_LT(rank[e.representative], rank[e.member]);  // the centre is the preferred entry
        EXPECT_GE(shared, 1u);
        EXPECT_LE(shared, 8u);
        if (i > 0) {  // by member, then centre, each pair once
            const auto& p = edges[i - 1].first;
            EXPECT_TRUE(p.member < e.member || (p.member == e.member && p.representative < e.representative));
        }
        // Original 2c and its copy 2c + 1 pick the same 8 words; the copy ranks first, so it is the
        // centre of each such group that no entry of a better rank picked too.
        if (e.member % 2 == 0 && e.representative == e.member + 1) copies.push_back(e.member);
    }
    EXPECT_EQ(copies.size(), n / 2);
    EXPECT_EQ(index.word_groups(rank, 8, 1).value(), edges);  // a seed gives one grouping
    EXPECT_TRUE(index.word_groups(rank, 0, 1).value().empty());
    EXPECT_FALSE(index.word_groups(std::span(rank).first(n - 1), 8, 1).ok());
}

TEST_F(KeyIndexTest, KeysLayoutsAndMistakes) {
    const auto index = KeyIndex::build(col_->data, col_->offsets).value();
    for (std::size_t e = 0; e < index.size(); ++e) {
        const Bytes key(col_->data.begin() + col_->offsets[e], col_->data.begin() + col_->offsets[e + 1]);
        EXPECT_EQ(index.key(e), key) << e;
        EXPECT_EQ(index.residue_count(e), col_->traces[e].size());
    }
    EXPECT_GT(index.memory_bytes(), col_->data.size());
    // 32-bit offsets and a column that starts inside its data read the same.
    std::vector<std::int32_t> off32(col_->offsets.begin() + 3, col_->offsets.end());
    const std::span<const std::uint8_t> tail(col_->data.data() + col_->offsets[3], col_->data.size() - col_->offsets[3]);
    const auto part = KeyIndex::build(tail, off32).value();
    ASSERT_EQ(part.size(), index.size() - 3);
    EXPECT_EQ(part.key(0), index.key(3));

    // Damage is named by entry, as the exhaustive prefilter names it.
    Bytes bad = col_->data;
    bad[static_cast<std::size_t>(col_->offsets[4])] = 1;
    auto broken = KeyIndex::build(bad, col_->offsets);
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.error().kind, ErrorKind::InvalidParameter);
    EXPECT_NE(broken.error().message.find("entry 4"), std::string::npos) << broken.error().message;
    std::vector<std::int64_t> backwards = col_->offsets;
    std::swap(backwards[2], backwards[3]);
    EXPECT_FALSE(KeyIndex::build(col_->data, backwards).ok());
    std::vector<std::int64_t> past = col_->offsets;
    past.back() += 1;
    EXPECT_FALSE(KeyIndex::build(col_->data, past).ok());

    // A query's letters must be its own.
    KeyIndex::Scratch scratch;
    const auto q = PrefilterQuery::from_points(col_->traces[0]);
    const Bytes letters = shape_letters(col_->traces[0]);
    EXPECT_FALSE(index.search(q, std::span(letters).first(letters.size() - 1), {}, scratch).ok());

    // An empty column, k of 0 and a query too short for a word.
    const auto empty = KeyIndex::build({}, std::span<const std::int64_t>{}).value();
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(empty.search(q, letters, {}, scratch).value().empty());
    IndexSearchOptions none;
    none.k = 0;
    EXPECT_TRUE(index.search(q, letters, none, scratch).value().empty());
    const PointSet tiny(col_->traces[0].begin(), col_->traces[0].begin() + 5);
    IndexSearchOptions three;
    three.k = 3;
    const auto zeros = index.search(PrefilterQuery::from_points(tiny), shape_letters(tiny), three, scratch).value();
    EXPECT_EQ(zeros, (std::vector<IndexCandidate>{{0, 0.0}, {1, 0.0}, {2, 0.0}}));
    three.min_score = 0.01;  // no padding with entries that share nothing
    EXPECT_TRUE(index.search(PrefilterQuery::from_points(tiny), shape_letters(tiny), three, scratch).value().empty());
}

}  // namespace
}  // namespace torva
