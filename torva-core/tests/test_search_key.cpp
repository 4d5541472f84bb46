#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "test_support.hpp"
#include "torva/search_key.hpp"

namespace torva {
namespace {

using Bytes = std::vector<std::uint8_t>;

Transform some_motion() {
    // A rotation about a skew axis plus a large translation.
    const double c = std::cos(1.1), s = std::sin(1.1);
    const Matrix3 rz{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
    const Matrix3 rx{{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
    const Transform a = Transform::from_matrix(rz, {120.0, -75.5, 33.0});
    const Transform b = Transform::from_matrix(rx, {0.0, 0.0, 0.0});
    return a.compose(b);
}

struct Column {
    Bytes data;
    std::vector<std::int64_t> offsets{0};
    void add(const Bytes& key) {
        data.insert(data.end(), key.begin(), key.end());
        offsets.push_back(static_cast<std::int64_t>(data.size()));
    }
};

class SearchKeyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ubq_ = new PointSet(test::load("1ubq.pdb").coordinates());
        nmr_ = new PointSet(test::load("1d3z.pdb").coordinates());
        tim_ = new PointSet(test::load("1o1z.pdb").coordinates());
        trx_ = new PointSet(test::load("families/thioredoxin/2trx.pdb").coordinates());
        trx2_ = new PointSet(test::load("families/thioredoxin/1ert.pdb").coordinates());
    }
    static void TearDownTestSuite() {
        for (PointSet* p : {ubq_, nmr_, tim_, trx_, trx2_}) delete p;
    }
    static inline PointSet* ubq_ = nullptr;
    static inline PointSet* nmr_ = nullptr;
    static inline PointSet* tim_ = nullptr;
    static inline PointSet* trx_ = nullptr;
    static inline PointSet* trx2_ = nullptr;
};

TEST_F(SearchKeyTest, KeyLayoutAndRoundTrip) {
    const Bytes key = search_key(*tim_);
    const std::size_t n = tim_->size();  // 226: a two-byte count
    ASSERT_EQ(key.size(), 1 + 2 + (n - 3));
    EXPECT_EQ(key[0], kSearchKeyVersion);
    EXPECT_EQ(key[1], (n & 0x7F) | 0x80);
    EXPECT_EQ(key[2], n >> 7);
    auto letters = search_key_letters(key);
    ASSERT_TRUE(letters.ok());
    EXPECT_EQ(letters.value(), shape_letters(*tim_));
    std::size_t in_contact = 0;
    for (std::uint8_t l : letters.value()) {
        EXPECT_LT(l & 0x0Fu, kShapeAlphabetSize);
        EXPECT_LT(l >> 4, kContextAlphabetSize);
        in_contact += (l >> 4) != 0;
    }
    // A folded domain: most residues have a neighbour across the fold.
    EXPECT_GT(in_contact, letters.value().size() / 2);
    auto q = PrefilterQuery::from_key(key);
    ASSERT_TRUE(q.ok());
    EXPECT_EQ(q.value().residue_count(), n);
}

TEST_F(SearchKeyTest, KeysIgnoreTheCoordinateFrame) {
    const Transform t = some_motion();
    for (const PointSet* pts : {ubq_, tim_, trx_}) {
        EXPECT_EQ(search_key(t.apply(*pts)), search_key(*pts));
    }
    // A mirror image is a different shape: handedness is kept.
    PointSet mirror = *ubq_;
    for (Point& p : mirror) p[0] = -p[0];
    EXPECT_NE(search_key(mirror), search_key(*ubq_));
}

TEST_F(SearchKeyTest, SelfScoresOneAndRelativesRankAboveStrangers) {
    Column col;
    for (const PointSet* pts : {ubq_, nmr_, tim_, trx_, trx2_}) col.add(search_key(*pts));
    const auto q = PrefilterQuery::from_points(some_motion().apply(*ubq_));
    auto s = prefilter_scores(q, col.data, col.offsets);
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.value().size(), 5u);
    EXPECT_DOUBLE_EQ(s.value()[0], 1.0);
    // The NMR structure of the same protein beats the unrelated chains.
    EXPECT_GT(s.value()[1], s.value()[2]);
    EXPECT_GT(s.value()[1], s.value()[3]);
    for (double v : s.value()) {
        EXPECT_GE(v, 0.0);
        EXPECT_LE(v, 1.0);
    }
    // Two thioredoxins find each other before the rest.
    const auto qt = PrefilterQuery::from_points(*trx2_);
    const auto st = prefilter_scores(qt, col.data, col.offsets).value();
    EXPECT_EQ(top_candidates(st, 2), (std::vector<std::size_t>{4, 3}));
}

TEST_F(SearchKeyTest, ShortAndDegenerateChains) {
    const PointSet& full = *ubq_;
    Column col;
    for (std::size_t n = 0; n <= 7; ++n) {
        const PointSet part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        const Bytes key = search_key(part);
        auto letters = search_key_letters(key);
        ASSERT_TRUE(letters.ok()) << n;
        EXPECT_EQ(letters.value().size(), n >= 4 ? n - 3 : 0) << n;
        col.add(key);
    }
    // Coinciding and non-finite points give keys too.
    col.add(search_key(PointSet(10, Point{1.0, 2.0, 3.0})));
    PointSet bad(full.begin(), full.begin() + 12);
    bad[5] = {std::nan(""), 0.0, INFINITY};
    col.add(search_key(bad));
    for (const PointSet* qpts : {ubq_, &bad}) {
        const auto q = PrefilterQuery::from_points(*qpts);
        auto s = prefilter_scores(q, col.data, col.offsets);
        ASSERT_TRUE(s.ok());
        for (std::size_t i = 0; i < s.value().size(); ++i) {
            const double v = s.value()[i];
            EXPECT_TRUE(v >= 0.0 && v <= 1.0) << i;
            // A word needs three letters, so six residues.
            if (i < 6) {
                EXPECT_EQ(v, 0.0) << i;
            }
        }
    }
    // An empty query scores zero everywhere.
    const auto empty = PrefilterQuery::from_points({});
    EXPECT_EQ(empty.indexed_words(), 0u);
    const auto empty_scores = prefilter_scores(empty, col.data, col.offsets).value();
    for (double v : empty_scores) EXPECT_EQ(v, 0.0);
}

TEST_F(SearchKeyTest, MalformedKeysAreRejected) {
    const Bytes good = search_key(*trx_);
    std::vector<Bytes> bad = {
        {},                                      // empty
        {3, 10, 0x11, 0x11, 0x11, 0x11},         // unknown version
        {1, 8, 0x11, 0x11, 0x01},                // a sound key of the shape-only version 1
        {2},                                     // no count
        {2, 0x80},                               // count cut short
        {2, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, // count far too large
        {2, 0x85, 0x00, 0x11},                   // count not in shortest form
        {2, 8, 0x11, 0x11, 0x11, 0x11},          // 5 letters need 5 bytes
        {2, 8, 0x11, 0x11, 0x11, 0x11, 0x11, 0}, // trailing byte
        {2, 8, 0x11, 0x11, 0x91, 0x11, 0x11},    // context letter out of range
        {2, 2, 0x00},                            // no letters for 2 residues
    };
    Bytes truncated(good.begin(), good.end() - 1);
    bad.push_back(truncated);
    for (std::size_t k = 0; k < bad.size(); ++k) {
        auto l = search_key_letters(bad[k]);
        ASSERT_FALSE(l.ok()) << k;
        EXPECT_EQ(l.error().kind, ErrorKind::InvalidParameter) << k;
        EXPECT_FALSE(PrefilterQuery::from_key(bad[k]).ok()) << k;
        // In a column the error names the entry.
        Column col;
        col.add(good);
        col.add(bad[k]);
        auto s = prefilter_scores(PrefilterQuery::from_points(*trx_), col.data, col.offsets);
        ASSERT_FALSE(s.ok()) << k;
        EXPECT_EQ(s.error().kind, ErrorKind::InvalidParameter);
        EXPECT_NE(s.error().message.find("entry 1"), std::string::npos) << s.error().message;
    }
    EXPECT_TRUE(search_key_letters(Bytes{2, 3}).ok());
    EXPECT_TRUE(search_key_letters(Bytes{2, 5, 0x8F, 0x00}).ok());
    // Old keys are refused by name, so that a stale database is rebuilt rather than misread.
    EXPECT_NE(search_key_letters(bad[2]).error().message.find("version 1"), std::string::npos);
}

TEST_F(SearchKeyTest, OffsetsAreCheckedAgainstTheBuffer) {
    Column col;
    col.add(search_key(*trx_));
    col.add(search_key(*ubq_));
    const auto q = PrefilterQuery::from_points(*ubq_);
    const std::span<const std::uint8_t> data(col.data);
    // Past the end of the data, decreasing, negative.
    for (const std::vector<std::int64_t>& offs :
         {std::vector<std::int64_t>{0, col.offsets[1], col.offsets[2] + 1},
          std::vector<std::int64_t>{0, col.offsets[2], col.offsets[1]},
          std::vector<std::int64_t>{-1, col.offsets[1], col.offsets[2]},
          std::vector<std::int64_t>{0, INT64_MAX}}) {
        auto s = prefilter_scores(q, data, offs);
        ASSERT_FALSE(s.ok());
        EXPECT_EQ(s.error().kind, ErrorKind::InvalidParameter);
    }
    // A data buffer one byte short of the last key.
    auto shorter = prefilter_scores(q, data.first(data.size() - 1), col.offsets);
    EXPECT_FALSE(shorter.ok());
    // No offsets, or one: no keys.
    EXPECT_TRUE(prefilter_scores(q, data, std::span<const std::int64_t>{}).value().empty());
    EXPECT_TRUE(prefilter_scores(q, data, std::vector<std::int64_t>{0}).value().empty());
    // A slice: the data starts at the first key of the slice, offsets keep their values.
    const std::vector<std::int32_t> slice{static_cast<std::int32_t>(col.offsets[1]),
                                          static_cast<std::int32_t>(col.offsets[2])};
    auto s = prefilter_scores(q, data.subspan(static_cast<std::size_t>(col.offsets[1])), slice);
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.value().size(), 1u);
    EXPECT_DOUBLE_EQ(s.value()[0], 1.0);
    // Garbage bytes in a buffer of sound offsets: an error, never a crash or a read past the end.
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        Bytes junk(1 + rng() % 40);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        if (trial % 2 == 0) junk[0] = kSearchKeyVersion;
        const std::vector<std::int32_t> offs{0, static_cast<std::int32_t>(junk.size())};
        auto r = prefilter_scores(q, junk, offs);
        if (r.ok()) {
            EXPECT_TRUE(r.value()[0] >= 0.0 && r.value()[0] <= 1.0);
        } else {
            EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
        }
    }
}

TEST_F(SearchKeyTest, DeterministicAndCancellable) {
    Column col;
    for (int k = 0; k < 5000; ++k) col.add(search_key(k % 2 ? *trx_ : *trx2_));
    const auto q = PrefilterQuery::from_points(*trx_);
    const auto a = prefilter_scores(q, col.data, col.offsets).value();
    const auto b = prefilter_scores(q, col.data, col.offsets).value();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[1], 1.0);
    // A query from a key knows no letters across boundaries; the pairwise
    // form is the column form of such a query.
    const auto from_key = PrefilterQuery::from_key(search_key(*trx_)).value();
    const auto k = prefilter_scores(from_key, col.data, col.offsets).value();
    EXPECT_EQ(k[0], prefilter_score(search_key(*trx_), search_key(*trx2_)).value());
    EXPECT_EQ(k[1], 1.0);
    EXPECT_LT(k[0], a[0]);

    test::CountingCancel stop(2);
    auto c = prefilter_scores(q, col.data, col.offsets, stop.cancel());
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().kind, ErrorKind::Cancelled);
    test::CountingCancel never;
    EXPECT_TRUE(prefilter_scores(q, col.data, col.offsets, never.cancel()).ok());
    EXPECT_EQ(never.asked(), 2u);  // every 4096 keys
}

// An ideal trace: residue k at angle 100k degrees on a helix of radius 2.3 and
// rise 1.5 per residue, about `axis`.
PointSet helix(std::size_t n, const Point& start, double direction) {
    PointSet pts(n);
    const double deg = 3.14159265358979323846 / 180.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double a = 100.0 * deg * static_cast<double>(k);
        pts[k] = {start[0] + 2.3 * std::cos(a), start[1] + 2.3 * std::sin(a),
                  start[2] + direction * 1.5 * static_cast<double>(k)};
    }
    return pts;
}

TEST_F(SearchKeyTest, ContextLettersSeeNeighboursAcrossTheFold) {
    // A lone helix: its nearest residues beyond i+4 lie farther than a contact,
    // so every context letter is 0, and the shape letters are all one.
    const auto lone = shape_letters(helix(30, {0, 0, 0}, 1.0));
    for (std::size_t k = 1; k < lone.size(); ++k) {
        EXPECT_EQ(lone[k] >> 4, 0) << k;
        EXPECT_EQ(lone[k] & 0x0Fu, lone[0] & 0x0Fu) << k;
    }
    // Two antiparallel helices 7 A apart, joined: residues facing the other
    // helix get a context letter; the shape letters of the helices stay those
    // of the lone helix.
    PointSet pair = helix(20, {0, 0, 0}, 1.0);
    const PointSet back = helix(20, {7.0, 0, 28.5}, -1.0);
    pair.insert(pair.end(), back.begin(), back.end());
    const auto packed = shape_letters(pair);
    std::size_t facing = 0;
    for (std::size_t k = 2; k + 2 < 17; ++k) {
        EXPECT_EQ(packed[k] & 0x0Fu, lone[0] & 0x0Fu) << k;
        facing += (packed[k] >> 4) != 0;
    }
    EXPECT_GE(facing, 5u);
    // The letters, like the key, follow the chain, not the frame.
    EXPECT_EQ(shape_letters(some_motion().apply(pair)), packed);
}

TEST_F(SearchKeyTest, TargetsAreComparedWithinTheScanWindow) {
    const PointSet& q = *trx_;
    const auto query = PrefilterQuery::from_points(q);
    Column col;
    // Shorter than half the query: never aligned by the scan, so 0.
    col.add(search_key(PointSet(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(q.size() / 2 - 1))));
    // The query followed by other residues: only the first 1.3 times the
    // query's residues count, so a short tail and a long one score alike.
    for (const PointSet* tail : {ubq_, tim_}) {
        PointSet longer = q;
        const PointSet moved = some_motion().apply(*tail);
        longer.insert(longer.end(), moved.begin(), moved.end());
        col.add(search_key(longer));
    }
    const auto s = prefilter_scores(query, col.data, col.offsets).value();
    EXPECT_EQ(s[0], 0.0);
    EXPECT_GT(s[1], 0.8);
    EXPECT_EQ(s[1], s[2]);
    // Without the window, the long tail dilutes the score.
    PrefilterOptions open;
    open.min_length_ratio = 0.0;
    open.max_length_ratio = 1e9;
    const auto unbounded = prefilter_scores(PrefilterQuery::from_points(q, open), col.data, col.offsets).value();
    EXPECT_GT(unbounded[0], 0.0);
    EXPECT_LT(unbounded[2], s[2]);
}

TEST(TopCandidates, OrderTiesCutoffAndNaN) {
    const std::vector<double> s{0.2, 0.9, std::nan(""), 0.5, 0.9, 0.1, 0.5};
    EXPECT_EQ(top_candidates(s, 3), (std::vector<std::size_t>{1, 4, 3}));
    EXPECT_EQ(top_candidates(s, 100), (std::vector<std::size_t>{1, 4, 3, 6, 0, 5}));
    EXPECT_EQ(top_candidates(s, 100, 0.5), (std::vector<std::size_t>{1, 4, 3, 6}));
    EXPECT_TRUE(top_candidates(s, 0).empty());
    EXPECT_TRUE(top_candidates({}, 5).empty());
}

TEST_F(SearchKeyTest, FoldWindowFindsAChainInsideALongerOneAndBack) {
    // Ubiquitin laid after the TIM barrel, 60 A away: a target far longer than
    // ubiquitin whose shared part lies beyond the scan's window.
    PointSet joined = *tim_;
    for (const Point& p : *ubq_) joined.push_back({p[0] + 60.0, p[1], p[2]});
    Column col;
    col.add(search_key(joined));
    col.add(search_key(*ubq_));
    const auto scan = PrefilterQuery::from_points(*ubq_);
    const auto fold = PrefilterQuery::from_points(*ubq_, fold_prefilter_options());
    // The scan reads only the barrel's first 1.3 x 76 residues: chance words at best.
    const double in_window = prefilter_scores(scan, col.data, col.offsets).value()[0];
    const double whole = prefilter_scores(fold, col.data, col.offsets).value()[0];
    EXPECT_LT(in_window, 0.3);
    EXPECT_GT(whole, 0.5);
    EXPECT_GT(whole, 2 * in_window);
    // ... and the long chain as the query: ubiquitin is shorter than half of it
    const auto long_scan = PrefilterQuery::from_points(joined);
    const auto long_fold = PrefilterQuery::from_points(joined, fold_prefilter_options());
    EXPECT_EQ(prefilter_scores(long_scan, col.data, col.offsets).value()[1], 0.0);
    EXPECT_GT(prefilter_scores(long_fold, col.data, col.offsets).value()[1], 0.0);
    // A relative of the same length scores high in both.
    Column same;
    same.add(search_key(*nmr_));
    EXPECT_GT(prefilter_scores(scan, same.data, same.offsets).value()[0], 0.5);
    EXPECT_GT(prefilter_scores(fold, same.data, same.offsets).value()[0], 0.5);
}

TEST_F(SearchKeyTest, FoldLevelScoresTheShareOfTheQueryAndKeepsRepeatedUnits) {
    // A fragment of the query: the scan's score scales it up by its length, the
    // fold level's is the share of the query it covers.
    const PointSet piece(tim_->begin(), tim_->begin() + 40);
    Column col;
    col.add(search_key(piece));
    col.add(search_key(*tim_));
    PrefilterOptions whole_targets;  // the scan's scoring, every target compared whole
    whole_targets.min_length_ratio = 0.0;
    whole_targets.max_length_ratio = 10.0;
    const auto scan = PrefilterQuery::from_points(*tim_, whole_targets);
    const auto fold = PrefilterQuery::from_points(*tim_, fold_prefilter_options());
    const double share = 40.0 / static_cast<double>(tim_->size());
    const auto by_fold = prefilter_scores(fold, col.data, col.offsets).value();
    EXPECT_LT(by_fold[0], 1.5 * share);
    EXPECT_GT(prefilter_scores(scan, col.data, col.offsets).value()[0], 2 * by_fold[0]);
    EXPECT_EQ(by_fold[1], 1.0);
    // A chain of four copies of one unit (a repeat protein): every word of the
    // unit occurs four times, which the scan masks; the fold level finds the
    // unit in it, and it in the unit.
    PointSet repeat;
    for (int copy = 0; copy < 4; ++copy) {
        for (const Point& p : *ubq_) repeat.push_back({p[0] + 60.0 * copy, p[1], p[2]});
    }
    Column unit;
    unit.add(search_key(*ubq_));
    const auto repeat_scan = PrefilterQuery::from_points(repeat, whole_targets);
    const auto repeat_fold = PrefilterQuery::from_points(repeat, fold_prefilter_options());
    EXPECT_LT(prefilter_scores(repeat_scan, unit.data, unit.offsets).value()[0], 0.05);
    EXPECT_GT(prefilter_scores(repeat_fold, unit.data, unit.offsets).value()[0], 0.15);
    Column whole;
    whole.add(search_key(repeat));
    const auto one = PrefilterQuery::from_points(*ubq_, fold_prefilter_options());
    EXPECT_GT(prefilter_scores(one, whole.data, whole.offsets).value()[0], 0.8);
}

TEST_F(SearchKeyTest, ResidueCountsAreReadFromTheKeys) {
    Column col;
    for (const PointSet* pts : {ubq_, tim_, trx_}) col.add(search_key(*pts));
    const PointSet tiny(ubq_->begin(), ubq_->begin() + 3);  // no letters, only a count
    col.add(search_key(tiny));
    auto counts = key_residue_counts(col.data, col.offsets);
    ASSERT_TRUE(counts.ok());
    EXPECT_EQ(counts.value(), (std::vector<std::size_t>{ubq_->size(), tim_->size(), trx_->size(), 3}));
    // A damaged key is named as prefilter_scores names it.
    Bytes bad = col.data;
    bad[static_cast<std::size_t>(col.offsets[1])] = 7;  // the second key's version
    const auto q = PrefilterQuery::from_points(*ubq_);
    auto c = key_residue_counts(bad, col.offsets);
    auto s = prefilter_scores(q, bad, col.offsets);
    ASSERT_FALSE(c.ok());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(c.error().message, s.error().message);
    EXPECT_NE(c.error().message.find("entry 1"), std::string::npos);
}

}  // namespace
}  // namespace torva
