// Banded local dynamic programming: fragments, tie-breaks, threshold, band,
// and a cell-by-cell comparison with a plain full-matrix formulation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/scoring.hpp"

using namespace torva;

namespace {

ScoreMatrix matrix_of(std::size_t rows, std::size_t cols, double fill) {
    ScoreMatrix m;
    m.rows = rows;
    m.cols = cols;
    m.values.assign(rows * cols, fill);
    m.normalised = true;
    m.mean = 0.5;
    m.sd = 0.4;
    return m;
}

void set(ScoreMatrix& m, std::size_t i, std::size_t j, double v) { m.values[i * m.cols + j] = v; }

PairwiseSettings defaults() { return settings_from_parameters(Parameters{}); }

std::vector<AlignedPair> diagonal_pairs(std::uint32_t i0, std::uint32_t j0, std::uint32_t n) {
    std::vector<AlignedPair> out;
    for (std::uint32_t k = 0; k < n; ++k) out.push_back({i0 + k, j0 + k});
    return out;
}

// The same dynamic programming written the plain way: whole matrices of
// scores, codes and path records, fragments in per-row vectors, an explicit
// stable sort. Used to check the two-column, banded implementation.
TracedAlignment reference_trace(const ScoreMatrix& mat, std::size_t n1, std::size_t n2,
                                const PairwiseSettings& s) {
    struct Rec {
        long si = 0, sj = 0, bi = 0, bj = 0;
        long h = 0, best = 0;
    };
    struct Frag {
        long si, sj, ei, ej, best;
    };
    const long sc = s.score_scale;
    const long g = static_cast<long>(std::trunc(s.gap_open * sc));
    const long thr = static_cast<long>(std::trunc(static_cast<double>(s.min_length) * sc * s.cutoff_dist));
    const long k = static_cast<long>(std::trunc(0.3 * sc));
    const std::size_t R = n1 + 2, C = n2 + 2;
    auto q = [&](std::size_t i, std::size_t j) { return static_cast<long>(std::round(mat.at(i - 1, j - 1) * sc)); };
    double w = s.band_width;
    if (s.widen_band) w += std::abs(static_cast<double>(n1) - static_cast<double>(n2) - 4.0);
    const double a = static_cast<double>(R), b = static_cast<double>(C);
    const double v = w / 1.4142135623730951 * (a / b + b / a) / std::sqrt(a * a + b * b);
    auto in_band = [&](std::size_t i, std::size_t j) {
        return !s.banded || std::fabs(static_cast<double>(i) / a - static_cast<double>(j) / b) <= v;
    };
    std::vector<Rec> rec(R * C);
    std::vector<int> code(R * C, 0);
    std::vector<char> done(R * C, 0);
    for (std::size_t i = 0; i < R; ++i) rec[i * C] = {static_cast<long>(i), 1, static_cast<long>(i), 1, 0, 0};
    auto H = [&](std::size_t i, std::size_t j) { return done[i * C + j] ? rec[i * C + j].h : 0L; };
    std::vector<std::vector<Frag>> frags(R);
    auto offer = [&](const Rec& r) {
        if (r.best < thr || r.si == r.bi || r.sj == r.bj) return;
        for (Frag& f : frags[static_cast<std::size_t>(r.si)]) {
            if (f.sj == r.sj) {
                if (f.best < r.best) f = {r.si, r.sj, r.bi, r.bj, r.best};
                return;
            }
        }
        frags[static_cast<std::size_t>(r.si)].push_back({r.si, r.sj, r.bi, r.bj, r.best});
    };
    long best_score = -1;
    for (std::size_t j = 1; j <= n2; ++j) {
        for (std::size_t i = 1; i <= n1; ++i) {
            if (!in_band(i, j)) continue;
            const long diag = H(i - 1, j - 1) + q(i, j), left = H(i, j - 1) - g, up = H(i - 1, j) - g;
            const long h = std::max(0L, std::max(std::max(diag, left), up));
            code[i * C + j] = (h == diag) | (h == left) << 1 | (h == up) << 2;
            best_score = std::max(best_score, h);
            Rec r;
            r.h = h;
            const long li = static_cast<long>(i), lj = static_cast<long>(j);
            if (h > 0) {
                const Rec* p = nullptr;
                bool ge = true;
                if (h == diag) {
                    if (H(i - 1, j - 1) == 0) {
                        r = {li, lj, li, lj, h, h};
                    } else {
                        p = &rec[(i - 1) * C + j - 1];
                    }
                } else if (h == left) {
                    p = &rec[i * C + j - 1];
                } else {
                    p = &rec[(i - 1) * C + j];
                    ge = false;
                }
                if (p != nullptr) {
                    r.si = p->si;
                    r.sj = p->sj;
                    if (ge ? h >= p->best : h > p->best) {
                        r.best = h, r.bi = li, r.bj = lj;
                    } else {
                        r.best = p->best, r.bi = p->bi, r.bj = p->bj;
                    }
                }
                if (j == n2 || i == n1) offer(r);
            } else if (j != n2 && i != n1 && H(i - 1, j - 1) > 0) {
                offer(rec[(i - 1) * C + j - 1]);
            }
            rec[i * C + j] = r;
            done[i * C + j] = 1;
        }
    }
    TracedAlignment out;
    out.best_score = static_cast<std::int32_t>(best_score);
    std::vector<Frag> all;
    for (const auto& l : frags) all.insert(all.end(), l.begin(), l.end());
    std::stable_sort(all.begin(), all.end(), [](const Frag& x, const Frag& y) { return x.best > y.best; });
    if (all.empty()) return out;
    const Frag f = all.front();
    std::vector<std::pair<long, long>> P;
    std::size_t so = 0, fo = 0;
    long i = f.ei, j = f.ej;
    while (i >= f.si && j >= f.sj && !(i == 0 && j == 0)) {
        const int c = code[static_cast<std::size_t>(i) * C + static_cast<std::size_t>(j)];
        if (c & 1) {
            P.push_back({i, j});
            --i, --j;
        } else if (c & 2) {
            ++so, --j;
        } else if (c & 4) {
            ++fo, --i;
        } else {
            break;
        }
    }
    if (P.empty()) return out;
    std::reverse(P.begin(), P.end());
    out.found = true;
    out.second_only_steps = so;
    out.first_only_steps = fo;
    out.path_length = P.size() + so + fo;
    out.residue_scores.assign(std::max({out.path_length, n1, n2}), -1.0);
    for (auto [pi, pj] : P) {
        const long qq = q(static_cast<std::size_t>(pi), static_cast<std::size_t>(pj));
        out.residue_scores[static_cast<std::size_t>(pi - 1)] = static_cast<double>(qq) / static_cast<double>(sc);
        if (qq >= k) out.pairs.push_back({static_cast<std::uint32_t>(pi - 1), static_cast<std::uint32_t>(pj - 1)});
    }
    return out;
}

}  // namespace

TEST(TraceAlignment, DiagonalWinsTiesAndFragmentsWithOneStartMerge) {
    // Worked by hand (padded indices, g = 1000, T = 3000). Cell (2,3) is
    // reached equally from (1,2) and (2,2); the traceback takes the diagonal,
    // so the gap falls before row 2. The path from (1,1) is offered three
    // times: best 7000, 6000 (kept out) and finally 11000 (replaces).
    ScoreMatrix m = matrix_of(3, 4, -5.0);
    set(m, 0, 0, 5.0);
    set(m, 1, 1, 2.0);
    set(m, 1, 2, 2.0);
    set(m, 2, 3, 5.0);
    PairwiseSettings s = defaults();
    s.gap_open = 1.0;
    s.cutoff_dist = 1.0;
    const TracedAlignment t = trace_alignment(m, 3, 4, s);
    ASSERT_TRUE(t.found);
    EXPECT_EQ(t.best_score, 11000);
    EXPECT_EQ(t.pairs, (std::vector<AlignedPair>{{0, 0}, {1, 2}, {2, 3}}));
    EXPECT_EQ(t.second_only_steps, 1u);
    EXPECT_EQ(t.first_only_steps, 0u);
    EXPECT_EQ(t.path_length, 4u);
    EXPECT_EQ(t.residue_scores, (std::vector<double>{5.0, 2.0, 5.0, -1.0}));
}

TEST(TraceAlignment, GapInTheSecondDomainCountsAsFirstOnlyStep) {
    // The transpose of the case above: the same path with the roles swapped.
    ScoreMatrix m = matrix_of(4, 3, -5.0);
    set(m, 0, 0, 5.0);
    set(m, 1, 1, 2.0);
    set(m, 2, 1, 2.0);
    set(m, 3, 2, 5.0);
    PairwiseSettings s = defaults();
    s.gap_open = 1.0;
    s.cutoff_dist = 1.0;
    const TracedAlignment t = trace_alignment(m, 4, 3, s);
    ASSERT_TRUE(t.found);
    EXPECT_EQ(t.best_score, 11000);
    EXPECT_EQ(t.first_only_steps, 1u);
    EXPECT_EQ(t.second_only_steps, 0u);
    EXPECT_EQ(t.path_length, 4u);
    // Padded cell (3,2) is reached from (2,2) by a gap in the second domain,
    // or diagonally from (2,1): the diagonal wins again, the gap comes first.
    EXPECT_EQ(t.pairs, (std::vector<AlignedPair>{{0, 0}, {2, 1}, {3, 2}}));
}

TEST(TraceAlignment, FragmentThresholdAtTwentyFourTopScores) {
    // T = 3 x 1000 x 10 = 30000: 24 cells of 1.25 reach it, 23 and 20 do not.
    for (std::uint32_t n : {20u, 23u, 24u, 30u}) {
        SCOPED_TRACE(n);
        ScoreMatrix m = matrix_of(n, n, -1.25);
        for (std::size_t k = 0; k < n; ++k) set(m, k, k, 1.25);
        const TracedAlignment t = trace_alignment(m, n, n, defaults());
        EXPECT_EQ(t.best_score, static_cast<std::int32_t>(1250 * n));
        if (n < 24) {
            EXPECT_FALSE(t.found);
            EXPECT_TRUE(t.pairs.empty());
            EXPECT_TRUE(t.residue_scores.empty());
            EXPECT_EQ(t.path_length, 0u);
        } else {
            ASSERT_TRUE(t.found);
            EXPECT_EQ(t.pairs, diagonal_pairs(0, 0, n));
            EXPECT_EQ(t.path_length, n);
        }
    }
}

TEST(TraceAlignment, PathInOneRowOrColumnIsNeverAFragment) {
    // A single huge cell: its path runs on along the row and the column by
    // gap steps and down the diagonal, but never beats the start cell.
    ScoreMatrix m = matrix_of(30, 30, -1.25);
    set(m, 10, 10, 100.0);
    const TracedAlignment t = trace_alignment(m, 30, 30, defaults());
    EXPECT_EQ(t.best_score, 100000);
    EXPECT_FALSE(t.found);
    EXPECT_TRUE(t.pairs.empty());
}

TEST(TraceAlignment, EqualFragmentsGoToTheLowerStartRow) {
    // Two runs of 24 top scores: one starting at row 31 (finished first,
    // while column 25 is filled) and one starting at row 1 (finished later).
    // Equal best: the one listed under the lower start row wins.
    ScoreMatrix m = matrix_of(60, 60, -1.25);
    for (std::size_t k = 0; k < 24; ++k) {
        set(m, 30 + k, k, 1.25);
        set(m, k, 30 + k, 1.25);
    }
    PairwiseSettings s = defaults();
    s.banded = false;
    const TracedAlignment t = trace_alignment(m, 60, 60, s);
    ASSERT_TRUE(t.found);
    EXPECT_EQ(t.pairs, diagonal_pairs(0, 30, 24));
    // One more top cell on the later-starting run makes it the better one.
    set(m, 54, 24, 1.25);
    const TracedAlignment u = trace_alignment(m, 60, 60, s);
    ASSERT_TRUE(u.found);
    EXPECT_EQ(u.pairs, diagonal_pairs(30, 0, 25));
}

TEST(TraceAlignment, LowScoringPairsAreTracedButNotReported) {
    // 30 top cells with three weak ones among them: 0.25 is traced (the path
    // does not break) but below the pair threshold 0.3; 0.3 itself is kept.
    ScoreMatrix m = matrix_of(40, 40, -1.25);
    for (std::size_t k = 0; k < 30; ++k) set(m, 5 + k, 5 + k, 1.25);
    set(m, 10, 10, 0.25);
    set(m, 11, 11, 0.3);
    set(m, 12, 12, 0.2995);  // rounds to 0.300 in fixed point
    const TracedAlignment t = trace_alignment(m, 40, 40, defaults());
    ASSERT_TRUE(t.found);
    EXPECT_EQ(t.path_length, 30u);
    EXPECT_EQ(t.pairs.size(), 29u);
    EXPECT_EQ(std::count(t.pairs.begin(), t.pairs.end(), AlignedPair{10, 10}), 0);
    EXPECT_EQ(std::count(t.pairs.begin(), t.pairs.end(), AlignedPair{11, 11}), 1);
    EXPECT_EQ(std::count(t.pairs.begin(), t.pairs.end(), AlignedPair{12, 12}), 1);
    ASSERT_EQ(t.residue_scores.size(), 40u);
    EXPECT_EQ(t.residue_scores[4], -1.0);
    EXPECT_EQ(t.residue_scores[10], 0.25);
    EXPECT_EQ(t.residue_scores[12], 0.3);
    EXPECT_EQ(t.residue_scores[34], 1.25);
    EXPECT_EQ(t.residue_scores[35], -1.0);
}

TEST(TraceAlignment, BandLimitsThePaths) {
    // 300 x 300, band width 100.5 + 4: with padded sizes 302, row 1 reaches
    // column 105 but not 106. A perfect run starting there is found only
    // inside the band, and everywhere when banding is off.
    auto run_from = [](std::size_t col) {
        ScoreMatrix m = matrix_of(300, 300, -1.25);
        for (std::size_t k = 0; k < 40; ++k) set(m, k, col - 1 + k, 1.25);
        return m;
    };
    PairwiseSettings s = defaults();
    s.band_width = 100.5;
    const TracedAlignment in = trace_alignment(run_from(105), 300, 300, s);
    ASSERT_TRUE(in.found);
    EXPECT_EQ(in.pairs, diagonal_pairs(0, 104, 40));
    const TracedAlignment out = trace_alignment(run_from(106), 300, 300, s);
    EXPECT_FALSE(out.found);
    s.banded = false;
    const TracedAlignment all = trace_alignment(run_from(106), 300, 300, s);
    ASSERT_TRUE(all.found);
    EXPECT_EQ(all.pairs, diagonal_pairs(0, 105, 40));
}

TEST(TraceAlignment, FiftyByFiftyIsWhollyInTheBand) {
    // The far corner run is found with the band on.
    ScoreMatrix m = matrix_of(50, 50, -1.25);
    for (std::size_t k = 0; k < 25; ++k) set(m, 25 + k, k, 1.25);
    const TracedAlignment t = trace_alignment(m, 50, 50, defaults());
    ASSERT_TRUE(t.found);
    EXPECT_EQ(t.pairs, diagonal_pairs(25, 0, 25));
}

TEST(TraceAlignment, EmptyInputs) {
    const ScoreMatrix m = matrix_of(0, 5, 0.0);
    const TracedAlignment t = trace_alignment(m, 0, 5, defaults());
    EXPECT_FALSE(t.found);
    EXPECT_EQ(t.best_score, -1);
    EXPECT_TRUE(t.residue_scores.empty());
}

TEST(TraceAlignment, AgreesWithThePlainFormulationOnRandomMatrices) {
    // Scores on a coarse grid and a gap penalty on the same grid make ties
    // frequent, so every tie-break and path rule is exercised.
    std::mt19937 rng(2024);
    // Halves of the fixed-point unit (0.0625 -> 62.5) check the rounding.
    const double grid[] = {-1.25, -1.0, -0.5, -0.0625, 0.0, 0.0625, 0.25, 0.3125, 0.5, 0.75, 1.0, 1.25};
    std::uniform_int_distribution<int> pick(0, 8);
    std::uniform_int_distribution<std::size_t> len(1, 70);
    std::uniform_int_distribution<int> coin(0, 3);
    int found = 0;
    for (int round = 0; round < 1200; ++round) {
        const std::size_t n1 = len(rng), n2 = len(rng);
        ScoreMatrix m = matrix_of(n1, n2, 0.0);
        const int bias = coin(rng);
        for (double& x : m.values) x = grid[pick(rng) + bias];
        PairwiseSettings s = defaults();
        s.gap_open = 0.25 * coin(rng);  // 0 included: only then can a gap step tie the best
        s.cutoff_dist = 0.5 + 0.5 * coin(rng);
        s.band_width = static_cast<double>(len(rng)) / 2.0 + 0.25;
        s.widen_band = coin(rng) != 0;
        s.banded = coin(rng) != 0;
        const TracedAlignment got = trace_alignment(m, n1, n2, s);
        const TracedAlignment want = reference_trace(m, n1, n2, s);
        SCOPED_TRACE(testing::Message() << "round " << round << " " << n1 << "x" << n2);
        ASSERT_EQ(got.found, want.found);
        ASSERT_EQ(got.best_score, want.best_score);
        ASSERT_EQ(got.pairs, want.pairs);
        ASSERT_EQ(got.path_length, want.path_length);
        ASSERT_EQ(got.second_only_steps, want.second_only_steps);
        ASSERT_EQ(got.first_only_steps, want.first_only_steps);
        ASSERT_EQ(got.residue_scores, want.residue_scores);
        found += got.found ? 1 : 0;
    }
    EXPECT_GT(found, 400);
}
