#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "torva/fold.hpp"
#include "torva/math.hpp"
#include "torva/tmscore.hpp"
#include "test_support.hpp"

using torva::AlignedPair;
using torva::Domain;
using torva::ErrorKind;
using torva::FoldResult;
using torva::Point;
using torva::Residue;
using torva::Transform;

namespace {

Domain family(const std::string& entry) { return torva::test::load("families/" + entry, U'A'); }

Transform oblique_move() {
    const double c = std::cos(1.3), s = std::sin(1.3);
    const double x = 1.0 / 3, y = 2.0 / 3, z = -2.0 / 3, t = 1 - c;
    torva::Matrix3 r{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                      {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                      {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
    return Transform::from_matrix(r, {25.0, 70.0, -40.0});
}

FoldResult fold(const Domain& a, const Domain& b) {
    auto r = torva::fold_align(a.residues, b.residues);
    if (!r.ok()) throw std::runtime_error(r.error().message);
    return std::move(r).value();
}

TEST(FoldAlign, SameChainInAnotherFrame) {
    const Domain a = family("cytochrome_c/1hrc.pdb");
    const Domain b = torva::test::moved(a, oblique_move(), "moved");
    const FoldResult r = fold(a, b);
    ASSERT_EQ(r.n_aligned, a.size());
    for (std::size_t k = 0; k < r.pairs.size(); ++k) EXPECT_EQ(r.pairs[k], (AlignedPair{uint32_t(k), uint32_t(k)}));
    EXPECT_NEAR(r.tm_fixed, 1.0, 1e-9);
    EXPECT_NEAR(r.tm_mobile, 1.0, 1e-9);
    EXPECT_NEAR(r.rmsd, 0.0, 1e-6);
    EXPECT_EQ(r.seq_identity, 1.0);
    ASSERT_EQ(r.distances.size(), r.pairs.size());
    for (const double d : r.distances) EXPECT_NEAR(d, 0.0, 1e-6);
}

TEST(FoldAlign, CopyWithASegmentCutOut) {
    // Residues 40..51 removed from a moved copy: the rest aligns one to one
    // across the gap.
    const Domain a = family("thioredoxin/2trx.pdb");
    Domain b = torva::test::moved(a, oblique_move(), "cut");
    b.residues.erase(b.residues.begin() + 40, b.residues.begin() + 52);
    const FoldResult r = fold(a, b);
    EXPECT_NEAR(r.tm_mobile, 1.0, 1e-6);
    EXPECT_NEAR(r.tm_fixed, static_cast<double>(b.size()) / static_cast<double>(a.size()), 0.02);
    std::size_t right = 0;
    for (const AlignedPair& p : r.pairs) right += (p.j < 40 ? p.i == p.j : p.i == p.j + 12);
    EXPECT_GE(right, b.size() - 2);
}

// TM-align's TM-scores of the same pairs (../shared/data/families/tmalign_pairs.tsv):
// fold mode reaches them within 0.01, and its figures agree with a fresh
// tm_score() of its own alignment.
TEST(FoldAlign, ReachesTmAlignOnFamilyPairs) {
    struct Case {
        const char* a;
        const char* b;
        double tm_a, tm_b;
    };
    const Case cases[] = {
        {"cytochrome_c/1hrc.pdb", "cytochrome_c/1c2r.pdb", 0.82264, 0.74690},
        {"thioredoxin/2trx.pdb", "thioredoxin/1dsb.pdb", 0.61698, 0.38497},
        {"microbial_ribonuclease/1bni.pdb", "microbial_ribonuclease/1rgg.pdb", 0.58381, 0.64413},
        {"unrelated/1ctr.pdb", "cytochrome_c/1hrc.pdb", 0.27856, 0.33446},
    };
    for (const Case& c : cases) {
        const Domain a = family(c.a);
        const Domain b = family(c.b);
        const FoldResult r = fold(a, b);
        EXPECT_GE(r.tm_fixed, c.tm_a - 0.01) << c.a << " " << c.b;
        EXPECT_GE(r.tm_mobile, c.tm_b - 0.01) << c.a << " " << c.b;
        EXPECT_EQ(r.n_aligned, r.pairs.size());
        for (std::size_t k = 1; k < r.pairs.size(); ++k) {
            EXPECT_LT(r.pairs[k - 1].i, r.pairs[k].i);
            EXPECT_LT(r.pairs[k - 1].j, r.pairs[k].j);
        }
        // The distances are those under the transform.
        for (std::size_t k = 0; k < r.pairs.size(); ++k) {
            const Point m = r.transform.apply(b.residues[r.pairs[k].j].coord);
            EXPECT_NEAR(r.distances[k], std::sqrt(torva::squared_distance(a.residues[r.pairs[k].i].coord, m)),
                        1e-9);
        }
        auto again = torva::tm_score(a.coordinates(), b.coordinates(), r.pairs);
        ASSERT_TRUE(again.ok());
        EXPECT_NEAR(again.value().tm_fixed, r.tm_fixed, 0.002);
        EXPECT_NEAR(again.value().tm_mobile, r.tm_mobile, 0.002);
    }
}

TEST(FoldAlign, ArgumentOrderOnlyTransposes) {
    const char* pairs[][2] = {
        {"cytochrome_c/1hrc.pdb", "cytochrome_c/1ycc.pdb"},     // homologues, different lengths
        {"cytochrome_c/1ycc.pdb", "cytochrome_c/1co6.pdb"},     // equal lengths
        {"unrelated/1ctr.pdb", "thioredoxin/2trx.pdb"},         // unrelated folds
        {"microbial_ribonuclease/1bni.pdb", "microbial_ribonuclease/9rnt.pdb"},
    };
    for (const auto& p : pairs) {
        const Domain a = family(p[0]);
        const Domain b = family(p[1]);
        const FoldResult ab = fold(a, b);
        const FoldResult ba = fold(b, a);
        ASSERT_EQ(ab.pairs.size(), ba.pairs.size()) << p[0] << " " << p[1];
        for (std::size_t k = 0; k < ab.pairs.size(); ++k)
            EXPECT_EQ(ab.pairs[k], (AlignedPair{ba.pairs[k].j, ba.pairs[k].i}));
        EXPECT_EQ(ab.tm_fixed, ba.tm_mobile);
        EXPECT_EQ(ab.tm_mobile, ba.tm_fixed);
        EXPECT_EQ(ab.rmsd, ba.rmsd);
        EXPECT_EQ(ab.seq_identity, ba.seq_identity);
        // Each transform maximises the TM-score normalised by its own fixed
        // chain; with equal lengths that is one superposition, inverted.
        if (a.size() != b.size()) continue;
        const Point probe = b.residues[5].coord;
        const Point back = ba.transform.apply(ab.transform.apply(probe));
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(back[c], probe[c], 1e-6);
    }
}

TEST(FoldAlign, ShortChainsGetAResult) {
    const Domain a = family("cytochrome_c/1hrc.pdb");
    for (const std::size_t n : {1u, 2u, 3u, 4u, 7u, 12u}) {
        Domain tiny = a;
        tiny.residues.assign(a.residues.begin() + 30, a.residues.begin() + 30 + static_cast<long>(n));
        for (const bool tiny_first : {false, true}) {
            auto r = tiny_first ? torva::fold_align(tiny.residues, a.residues)
                                : torva::fold_align(a.residues, tiny.residues);
            ASSERT_TRUE(r.ok()) << n;
            EXPECT_GE(r.value().n_aligned, 1u) << n;
            const double tm_tiny = tiny_first ? r.value().tm_fixed : r.value().tm_mobile;
            // The fragment is part of the chain: it finds itself.
            EXPECT_NEAR(tm_tiny, 1.0, 1e-6) << n;
        }
    }
    // Two single residues.
    auto one = torva::fold_align(std::span(a.residues).first(1), std::span(a.residues).subspan(9, 1));
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.value().n_aligned, 1u);
    EXPECT_NEAR(one.value().tm_fixed, 1.0, 1e-9);
}

TEST(FoldAlign, UnrelatedChainsStillGetTheirBestSuperposition) {
    const Domain a = family("unrelated/1eh6.pdb");
    const Domain b = family("cytochrome_c/1hrc.pdb");
    const FoldResult r = fold(a, b);
    EXPECT_GT(r.n_aligned, 10u);
    EXPECT_GT(r.tm_fixed, 0.15);
    EXPECT_LT(r.tm_fixed, 0.5);
}

TEST(FoldAlign, RejectsEmptyAndNonFiniteChains) {
    const Domain a = family("cytochrome_c/1hrc.pdb");
    auto empty = torva::fold_align(a.residues, {});
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().kind, ErrorKind::StructureTooSmall);
    auto empty2 = torva::fold_align({}, a.residues);
    ASSERT_FALSE(empty2.ok());
    EXPECT_EQ(empty2.error().kind, ErrorKind::StructureTooSmall);

    std::vector<Residue> bad = a.residues;
    bad[17].coord[2] = std::numeric_limits<double>::infinity();
    auto nan = torva::fold_align(a.residues, bad);
    ASSERT_FALSE(nan.ok());
    EXPECT_EQ(nan.error().kind, ErrorKind::InvalidParameter);
}

TEST(FoldAlign, StopsWhenCancelled) {
    const Domain a = family("cytochrome_c/1hrc.pdb");
    const Domain b = family("cytochrome_c/1ycc.pdb");
    torva::test::CountingCancel count;
    ASSERT_TRUE(torva::fold_align(a.residues, b.residues, count.cancel()).ok());
    ASSERT_GT(count.asked(), 3u);
    // Stopping at any of the questions ends with Cancelled.
    for (const std::size_t at : {std::size_t{1}, count.asked() / 2, count.asked()}) {
        torva::test::CountingCancel stop(at);
        auto r = torva::fold_align(a.residues, b.residues, stop.cancel());
        ASSERT_FALSE(r.ok()) << at;
        EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
    }
}

TEST(SecondaryStructure, IdealHelixAndStrand) {
    std::vector<Point> helix, strand;
    for (int k = 0; k < 12; ++k) {
        const double a = k * 100.0 * M_PI / 180.0;
        helix.push_back({2.3 * std::cos(a), 2.3 * std::sin(a), 1.5 * k});
        strand.push_back({3.3 * k, (k % 2 ? 0.9 : -0.9), 0.0});
    }
    const std::vector<char> h = torva::assign_secondary_structure(helix);
    const std::vector<char> e = torva::assign_secondary_structure(strand);
    EXPECT_EQ(std::string(h.begin(), h.end()), "CCHHHHHHHHCC");
    EXPECT_EQ(std::string(e.begin(), e.end()), "CCEEEEEEEECC");
    // Too short to tell: coil.
    EXPECT_EQ(torva::assign_secondary_structure(std::span(helix).first(4)), std::vector<char>(4, 'C'));
}

}  // namespace

namespace {

// Every domain's residues appear once each, in order, and every column holds
// at least one residue.
void expect_well_formed(const torva::FoldMultipleResult& r, const std::vector<Domain>& domains) {
    for (std::size_t k = 0; k < domains.size(); ++k) {
        std::vector<std::uint32_t> seen;
        for (const torva::Column& c : r.columns) {
            ASSERT_EQ(c.size(), domains.size());
            if (c[k]) seen.push_back(*c[k]);
        }
        ASSERT_EQ(seen.size(), domains[k].size()) << k;
        for (std::size_t m = 0; m < seen.size(); ++m) EXPECT_EQ(seen[m], m) << k;
    }
    for (const torva::Column& c : r.columns)
        EXPECT_TRUE(std::any_of(c.begin(), c.end(), [](const auto& e) { return e.has_value(); }));
}

TEST(FoldMultiple, CytochromeFamily) {
    std::vector<Domain> domains;
    for (const char* e : {"1hrc", "1ycc", "1c2r", "1co6", "1crc"})
        domains.push_back(family(std::string("cytochrome_c/") + e + ".pdb"));
    auto r = torva::fold_align_multiple(domains);
    ASSERT_TRUE(r.ok()) << r.error().message;
    expect_well_formed(r.value(), domains);
    // Close homologues: most columns hold all five.
    EXPECT_GT(r.value().core_positions.size(), 85u);
    ASSERT_EQ(r.value().tm.size(), 25u);
    EXPECT_GT(r.value().tm[0 * 5 + 4], 0.98);  // 1hrc / 1crc, the same protein
    // Superposed on the reference, core residues lie close to its residues.
    const std::size_t ref = r.value().reference;
    for (std::size_t k = 0; k < domains.size(); ++k) {
        double sum = 0.0;
        for (const std::size_t c : r.value().core_positions) {
            const auto& col = r.value().columns[c];
            const Point p = r.value().transforms[k].apply(domains[k].residues[*col[k]].coord);
            sum += std::sqrt(torva::squared_distance(p, domains[ref].residues[*col[ref]].coord));
        }
        EXPECT_LT(sum / static_cast<double>(r.value().core_positions.size()), 2.5) << k;
    }
}

TEST(FoldMultiple, ZincFingersAndSmallCases) {
    std::vector<Domain> fingers{torva::test::load("1sp1.pdb"), torva::test::load("1sp2.pdb"),
                                torva::test::load("3znf.pdb")};
    auto r = torva::fold_align_multiple(fingers);
    ASSERT_TRUE(r.ok());
    expect_well_formed(r.value(), fingers);
    EXPECT_GT(r.value().core_positions.size(), 15u);

    auto none = torva::fold_align_multiple({});
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().columns.empty());

    auto one = torva::fold_align_multiple(std::span(fingers).first(1));
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.value().columns.size(), fingers[0].size());
    EXPECT_EQ(one.value().core_positions.size(), fingers[0].size());

    std::vector<Domain> with_empty{fingers[0], Domain::empty("none")};
    auto bad = torva::fold_align_multiple(with_empty);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, ErrorKind::StructureTooSmall);

    torva::test::CountingCancel stop(2);
    auto cancelled = torva::fold_align_multiple(fingers, stop.cancel());
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error().kind, ErrorKind::Cancelled);
}

}  // namespace
