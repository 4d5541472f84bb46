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

using namespace torva;

namespace {

Domain load(const std::string& rel, char32_t chain = U'A') {
    auto d = read_pdb(std::string(TORVA_TEST_DATA) + "/" + rel, chain);
    if (!d) throw std::runtime_error(d.error().message);
    return std::move(d).value();
}

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

std::vector<Residue> moved(const Domain& d, const Transform& t) {
    std::vector<Residue> r = d.residues;
    for (auto& x : r) x.coord = t.apply(x.coord);
    return r;
}

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
    return moved(mobile, sup.value().transform);
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
        ASSERT_TRUE(r.ok());
        const auto& p = r.value();
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
    ASSERT_TRUE(r.ok());
    const auto& p = r.value();
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
        ASSERT_TRUE(r.ok());
        const auto& p = r.value();
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
        std::printf("  %s/%s: n=%zu L=%zu rmsd=%.3f score=%.4f id=%.1f it=%zu\n", c.first, c.second, p.n_aligned,
                    p.path_length, p.rmsd, p.score, p.identity_pct, p.iterations);
    }
}
