// Parameters and settings, fixed-point conversion, residue-pair probability
// and the full and banded score matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include "torva/io.hpp"
#include "torva/scoring.hpp"
#include "test_support.hpp"

using namespace torva;

namespace {

PointSet load_coords(const std::string& rel) { return test::load(rel).coordinates(); }

// Points packed into a 3 A cube: every pair has a probability well above 0,
// so a cell the banded routine skipped is told apart from one it computed.
PointSet random_blob(std::mt19937& rng, std::size_t n) {
    std::uniform_real_distribution<double> u(0.0, 3.0);
    PointSet p(n);
    for (auto& x : p) x = {u(rng), u(rng), u(rng)};
    return p;
}

PairScoreSettings score_defaults() { return PairScoreSettings::from(settings_from_parameters(Parameters{})); }

}  // namespace

TEST(Settings, StandardConversion) {
    const PairwiseSettings s = settings_from_parameters(Parameters{});
    EXPECT_DOUBLE_EQ(s.convergence_pct, 1.0);
    EXPECT_EQ(s.min_length, 3u);
    EXPECT_DOUBLE_EQ(s.gap_open, 3.0);
    EXPECT_DOUBLE_EQ(s.band_width, 100.0);
    EXPECT_DOUBLE_EQ(s.cutoff_dist, 10.0);
    EXPECT_DOUBLE_EQ(s.core_cutoff, 10.5);
    EXPECT_DOUBLE_EQ(s.e1, 2.0);
    EXPECT_DOUBLE_EQ(s.e2, 5.0);
    EXPECT_DOUBLE_EQ(s.score_mean, 0.5);
    EXPECT_DOUBLE_EQ(s.score_sd, 0.4);
    EXPECT_DOUBLE_EQ(s.rmsd_tolerance, 0.01);
    EXPECT_EQ(s.max_iter, 100u);
    EXPECT_EQ(s.score_scale, 1000);
    EXPECT_TRUE(s.banded);
    EXPECT_TRUE(s.widen_band);
    EXPECT_TRUE(s.rmsd_convergence);

    Parameters p;
    p.convergence = 0.05;
    p.cutoff_dist = 4.0;
    p.gap_open = -2.0;  // passed through unchecked
    p.e1 = 0.0;
    p.max_iter = 0;
    const PairwiseSettings t = settings_from_parameters(p);
    EXPECT_DOUBLE_EQ(t.convergence_pct, 5.0);
    EXPECT_DOUBLE_EQ(t.core_cutoff, 4.5);
    EXPECT_DOUBLE_EQ(t.gap_open, -2.0);
    EXPECT_DOUBLE_EQ(t.e1, 0.0);
    EXPECT_EQ(t.max_iter, 0u);
}

TEST(Settings, DefaultRecordsAgreeWithTheDefaultParameters) {
    // Each default is declared once: the records built from the default
    // parameters equal the default records, field by field.
    const auto engine = [](const PairwiseSettings& s) {
        return std::tuple(s.convergence_pct, s.gap_open, s.cutoff_dist, s.core_cutoff, s.e1, s.e2, s.max_iter);
    };
    const PairwiseSettings plain;
    EXPECT_EQ(engine(plain), engine(settings_from_parameters(Parameters{})));
    const auto scoring = [](const PairScoreSettings& s) {
        return std::tuple(s.e1, s.e2, s.score_mean, s.score_sd, s.band_width, s.score_scale, s.widen_band, s.denom1,
                          s.denom2);
    };
    EXPECT_EQ(scoring(PairScoreSettings{}), scoring(PairScoreSettings::from(plain)));
    EXPECT_EQ(PairScoreSettings{}.denom1, -8.0);
    EXPECT_EQ(PairScoreSettings{}.denom2, -50.0);
}

TEST(Settings, FieldsTheEngineDoesNotReadLeaveTheSettingsAlone) {
    Parameters p;
    p.gap_extend = 9.0;
    p.use_secondary = false;
    p.score_cutoff = -1.0;
    p.verbosity = 7;
    p.n_passes = 1;
    const PairwiseSettings a = settings_from_parameters(Parameters{});
    const PairwiseSettings b = settings_from_parameters(p);
    auto fields = [](const PairwiseSettings& x) {
        return std::tuple(x.convergence_pct, x.min_length, x.gap_open, x.band_width, x.cutoff_dist, x.core_cutoff,
                          x.e1, x.e2, x.score_mean, x.score_sd, x.rmsd_tolerance, x.max_iter, x.score_scale,
                          x.banded, x.widen_band, x.rmsd_convergence);
    };
    EXPECT_EQ(fields(a), fields(b));
}

TEST(FixedPoint, RoundsHalvesAwayFromZeroAndSaturates) {
    EXPECT_EQ(to_fixed(2.5), 3);
    EXPECT_EQ(to_fixed(-2.5), -3);
    EXPECT_EQ(to_fixed(2.4999), 2);
    EXPECT_EQ(to_fixed(-0.5), -1);
    EXPECT_EQ(to_fixed(0.0), 0);
    EXPECT_EQ(to_fixed(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(to_fixed(1e300), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(to_fixed(-1e300), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(to_fixed(std::numeric_limits<double>::infinity()), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(to_fixed(2147483647.4), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(to_fixed(2147483646.6), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(to_fixed(2147483646.4), 2147483646);
    EXPECT_EQ(to_fixed(-2147483648.4), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(to_fixed(-2147483647.4), -2147483647);

    const PointSet pts{{0.0625, -0.0625, 1.0}, {1e9, -1e9, std::nan("")}};
    const auto f = to_fixed_points(pts, 1000);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], (FixedPoint{63, -63, 1000}));
    EXPECT_EQ(f[1], (FixedPoint{2147483647, -2147483647 - 1, 0}));
}

TEST(PairProbability, DistanceAndNeighbourSteps) {
    const PointSet a{{0, 0, 0}, {3.8, 0, 0}, {7.6, 0, 0}};
    const PointSet b{{0, 1, 0}, {3.8, 1, 0}, {7.6, 2, 0}};
    const auto fa = to_fixed_points(a, 1000);
    const auto fb = to_fixed_points(b, 1000);
    const PairScoreSettings s = score_defaults();

    // Middle pair: 1 A apart, previous steps equal, next steps differ by 1 A.
    const auto mid = pair_probability(fa, fb, 1, 1, s);
    EXPECT_DOUBLE_EQ(mid.r0, -0.125);
    EXPECT_DOUBLE_EQ(mid.r1, -0.02);
    EXPECT_DOUBLE_EQ(mid.p, std::exp(-0.145));
    // Chain starts: only the next step enters, and it agrees.
    const auto first = pair_probability(fa, fb, 0, 0, s);
    EXPECT_DOUBLE_EQ(first.r0, -0.125);
    EXPECT_EQ(first.r1, 0.0);
    // Chain ends: only the previous step, which differs by 1 A.
    const auto last = pair_probability(fa, fb, 2, 2, s);
    EXPECT_DOUBLE_EQ(last.r0, -0.5);
    EXPECT_DOUBLE_EQ(last.r1, -0.02);
    // Start of one chain against the end of the other: no local term at all.
    const auto cross = pair_probability(fa, fb, 0, 2, s);
    EXPECT_NEAR(cross.r0, -61.76 / 8.0, 1e-12);
    EXPECT_EQ(cross.r1, 0.0);
    // A one-residue domain has no local term.
    const auto single = pair_probability(std::span(fa).first(1), fb, 0, 1, s);
    EXPECT_EQ(single.r1, 0.0);
    EXPECT_DOUBLE_EQ(single.r0, -1.0 / 8.0 * (3.8 * 3.8 + 1.0));

    // The scales enter as -2·E²: E1 = 1 doubles the distance exponent.
    PairwiseSettings ps = settings_from_parameters(Parameters{});
    ps.e1 = 1.0;
    ps.e2 = 1.0;
    const auto sharp = pair_probability(fa, fb, 1, 1, PairScoreSettings::from(ps));
    EXPECT_DOUBLE_EQ(sharp.r0, -0.5);
    EXPECT_DOUBLE_EQ(sharp.r1, -0.5);
}

TEST(PairProbability, CoordinatesAreResolvedToAThousandthOfAnAngstrom) {
    const PointSet a{{1.0001, 2.0, 3.0}, {4.0, 5.0, 6.0}};
    const PointSet b{{1.0004, 2.0, 3.0}, {4.0, 5.0, 6.0004}};
    const auto m = score_matrix_full(a, b, score_defaults());
    EXPECT_EQ(m.at(0, 0), 1.25);
    EXPECT_EQ(m.at(1, 1), 1.25);
    const PointSet c{{1.0006, 2.0, 3.0}, {4.0, 5.0, 6.0}};
    EXPECT_LT(score_matrix_full(a, c, score_defaults()).at(0, 0), 1.25);
}

TEST(ScoreMatrix, IdenticalCopyScoresTheTopValueOnTheDiagonal) {
    const PointSet c = load_coords("1ubq.pdb");
    const auto m = score_matrix_full(c, c, score_defaults());
    ASSERT_EQ(m.rows, c.size());
    ASSERT_EQ(m.cols, c.size());
    EXPECT_TRUE(m.normalised);
    EXPECT_DOUBLE_EQ(m.mean, 0.5);
    EXPECT_DOUBLE_EQ(m.sd, 0.4);
    for (std::size_t i = 0; i < c.size(); ++i) {
        EXPECT_EQ(m.at(i, i), 1.25);
        for (std::size_t j = 0; j < c.size(); ++j) {
            ASSERT_GE(m.at(i, j), -1.25);
            ASSERT_LE(m.at(i, j), 1.25);
        }
    }
    // Neighbouring residues 3.8 A apart are far from equivalent.
    EXPECT_LT(m.at(10, 11), 0.0);
}

TEST(ScoreMatrix, FiftyByFiftyBandCoversEverything) {
    std::mt19937 rng(7);
    const PointSet a = random_blob(rng, 50);
    const PointSet b = random_blob(rng, 50);
    const auto full = score_matrix_full(a, b, score_defaults());
    const auto band = score_matrix_banded(a, b, score_defaults());
    EXPECT_EQ(full.values, band.values);
    EXPECT_EQ(band.rows, 50u);
    EXPECT_EQ(band.cols, 50u);
}

TEST(ScoreMatrix, ThreeHundredSquareBandEdges) {
    std::mt19937 rng(11);
    const PointSet a = random_blob(rng, 300);
    const PointSet b = random_blob(rng, 300);
    const auto full = score_matrix_full(a, b, score_defaults());
    for (double x : full.values) ASSERT_GT(x, -1.25);
    const auto band = score_matrix_banded(a, b, score_defaults());
    EXPECT_EQ(band.at(0, 150), -1.25);
    // W = 104 and t = u = 301: row 0 reaches column 103 but not 105.
    EXPECT_EQ(band.at(0, 103), full.at(0, 103));
    EXPECT_EQ(band.at(0, 105), -1.25);
    EXPECT_EQ(band.at(299, 299), full.at(299, 299));
    EXPECT_EQ(band.at(299, 150), -1.25);
    EXPECT_EQ(band.at(150, 200), full.at(150, 200));
    EXPECT_EQ(band.at(150, 260), -1.25);
}

TEST(ScoreMatrix, BandedMatchesTheBandOfTheFullMatrix) {
    // Unequal lengths widen the band by |N1 - N2 - 4| and tilt it; the last
    // band is so narrow that many rows have no cell in it.
    std::mt19937 rng(3);
    struct Size {
        std::size_t n1, n2;
        double width;
        bool widen;
    };
    for (const Size sz : {Size{300, 180, 30.0, true}, Size{120, 100, 10.0, true}, Size{90, 260, 25.0, false},
                          Size{250, 250, 3.0, false}, Size{300, 60, 0.3, false}}) {
        const PointSet a = random_blob(rng, sz.n1);
        const PointSet b = random_blob(rng, sz.n2);
        PairScoreSettings s = score_defaults();
        s.band_width = sz.width;
        s.widen_band = sz.widen;
        const auto full = score_matrix_full(a, b, s);
        const auto band = score_matrix_banded(a, b, s);
        for (double x : full.values) ASSERT_GT(x, -1.25);
        double w = sz.width;
        if (sz.widen) w += std::abs(static_cast<double>(sz.n1) - static_cast<double>(sz.n2) - 4.0);
        const double t = static_cast<double>(sz.n1 + 1);
        const double u = static_cast<double>(sz.n2 + 1);
        const double v = w / std::sqrt(2.0) * (t / u + u / t) / std::sqrt(t * t + u * u);
        std::size_t inside = 0;
        for (std::size_t i = 0; i < sz.n1; ++i) {
            for (std::size_t j = 0; j < sz.n2; ++j) {
                const double off = std::fabs(static_cast<double>(j) / u - static_cast<double>(i) / t);
                if (std::fabs(off - v) < 1e-9) continue;  // too close to the edge to judge independently
                if (off < v) {
                    ++inside;
                    ASSERT_EQ(band.at(i, j), full.at(i, j)) << i << "," << j;
                } else {
                    ASSERT_EQ(band.at(i, j), -1.25) << i << "," << j;
                }
            }
        }
        EXPECT_GT(inside, 0u);
    }
}

TEST(ScoreMatrix, ZeroSpreadLeavesRawProbabilities) {
    std::mt19937 rng(5);
    const PointSet a = random_blob(rng, 200);
    const PointSet b = random_blob(rng, 200);
    PairScoreSettings s = score_defaults();
    s.score_sd = 0.0;
    const auto band = score_matrix_banded(a, b, s);
    const auto full = score_matrix_full(a, b, s);
    EXPECT_FALSE(band.normalised);
    EXPECT_FALSE(full.normalised);
    EXPECT_EQ(band.at(0, 199), 0.0);
    for (double x : full.values) {
        ASSERT_GE(x, 0.0);
        ASSERT_LE(x, 1.0);
    }
    EXPECT_EQ(band.at(100, 100), full.at(100, 100));
}

TEST(ScoreMatrix, EmptyAndSingleResidueInputs) {
    const PointSet none;
    const PointSet one{{1, 2, 3}};
    const auto e = score_matrix_banded(none, one, score_defaults());
    EXPECT_EQ(e.rows, 0u);
    EXPECT_EQ(e.cols, 1u);
    EXPECT_TRUE(e.values.empty());
    const auto s = score_matrix_banded(one, one, score_defaults());
    ASSERT_EQ(s.values.size(), 1u);
    EXPECT_EQ(s.values[0], 1.25);
}

TEST(ScoreMatrix, EveryCellIsTheNormalisedPairProbability) {
    // Chains A and B of one entry: pairs at every distance from touching to
    // across the dimer, so far-apart cells are checked as well as close ones.
    auto load_chain = [](char32_t c) {
        auto d = read_pdb(test::data_path("1k6p.pdb"), c);
        return d.value().coordinates();
    };
    const PointSet a = load_chain(U'A');
    const PointSet b = load_chain(U'B');
    for (double mean : {0.5, 0.3, 1e-20, 0.0, -0.2}) {
        SCOPED_TRACE(mean);
        PairScoreSettings s = score_defaults();
        s.score_mean = mean;
        s.score_sd = 0.7;
        const auto fa = to_fixed_points(a, s.score_scale);
        const auto fb = to_fixed_points(b, s.score_scale);
        const auto full = score_matrix_full(a, b, s);
        const auto band = score_matrix_banded(a, b, s);
        std::size_t tiny = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            for (std::size_t j = 0; j < b.size(); ++j) {
                const double p = pair_probability(fa, fb, i, j, s).p;
                tiny += p < 1e-17;
                ASSERT_EQ(full.at(i, j), (p - mean) / 0.7) << i << "," << j;
                ASSERT_EQ(band.at(i, j), (p - mean) / 0.7) << i << "," << j;  // 99 residues: all in the band
            }
        }
        EXPECT_GT(tiny, 1000u);
    }
}
