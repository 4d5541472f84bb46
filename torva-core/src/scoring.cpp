// Alignment parameters, residue-pair probabilities and score matrices.
#include "torva/scoring.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "torva/error.hpp"

namespace torva {

PairwiseSettings settings_from_parameters(const Parameters& params) {
    PairwiseSettings s;  // what the parameters do not set keeps its declared default
    s.convergence_pct = convergence_percent(params);
    s.gap_open = params.gap_open;
    s.cutoff_dist = params.cutoff_dist;
    s.core_cutoff = core_cutoff_of(params);
    s.e1 = params.e1;
    s.e2 = params.e2;
    s.max_iter = params.max_iter;
    return s;
}

PairScoreSettings PairScoreSettings::from(const PairwiseSettings& s) {
    PairScoreSettings p;
    p.e1 = s.e1;
    p.e2 = s.e2;
    p.score_mean = s.score_mean;
    p.score_sd = s.score_sd;
    p.band_width = s.band_width;
    p.score_scale = s.score_scale;
    p.widen_band = s.widen_band;
    p.denom1 = score_denominator(s.e1);
    p.denom2 = score_denominator(s.e2);
    return p;
}

std::int32_t to_fixed(double value) {
    if (std::isnan(value)) return 0;
    const double r = std::round(value);  // halves away from zero
    if (r >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (r <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(r);
}

std::vector<FixedPoint> to_fixed_points(std::span<const Point> coords, std::int32_t scale) {
    std::vector<FixedPoint> out(coords.size());
    const double s = static_cast<double>(scale);
    for (std::size_t k = 0; k < coords.size(); ++k) {
        for (int c = 0; c < 3; ++c) out[k][c] = to_fixed(coords[k][c] * s);
    }
    return out;
}

Band::Band(double band_width, bool widen, std::size_t n1, std::size_t n2, std::size_t pad) {
    double w = band_width;
    if (widen) {
        const std::int32_t diff = wrap_sub(wrap_sub(static_cast<std::int32_t>(n1), static_cast<std::int32_t>(n2)), 4);
        w += static_cast<double>(std::llabs(static_cast<long long>(diff)));
    }
    const std::size_t rows = n1 + pad;
    const std::size_t cols = n2 + pad;
    const double t = static_cast<double>(rows);
    const double u = static_cast<double>(cols);
    half_width_ = (w / 1.4142135623730951) * (t / u + u / t) / std::sqrt(t * t + u * u);
    row_frac_.resize(rows);
    col_frac_.resize(cols);
    for (std::size_t i = 0; i < rows; ++i) row_frac_[i] = static_cast<double>(i) / t;
    for (std::size_t j = 0; j < cols; ++j) col_frac_[j] = static_cast<double>(j) / u;
}

namespace {

inline double sq(std::int32_t v) {
    const double d = static_cast<double>(v);
    return d * d;
}

// Everything the per-cell probability needs besides the two coordinate lists,
// worked out once per matrix.
struct ProbabilityConstants {
    double s2;
    double denom1;
    double denom2;

    explicit ProbabilityConstants(const PairScoreSettings& st)
        : s2(static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(st.score_scale) *
                                                           static_cast<std::uint32_t>(st.score_scale)))),
          denom1(st.denom1),
          denom2(st.denom2) {}
};

inline double distance_term(const FixedPoint& pa, const FixedPoint& pb) {
    double d = 0.0;
    for (int c = 0; c < 3; ++c) d += sq(wrap_sub(pa[c], pb[c]));
    return d;
}

inline double local_term(const FixedPoint* a, std::size_t n1, const FixedPoint* b, std::size_t n2, std::size_t i,
                         std::size_t j) {
    const FixedPoint& pa = a[i];
    const FixedPoint& pb = b[j];
    double g = 0.0;
    if (i > 0 && j > 0) {
        for (int c = 0; c < 3; ++c) {
            g += sq(wrap_sub(wrap_sub(a[i - 1][c], pa[c]), wrap_sub(b[j - 1][c], pb[c])));
        }
    }
    if (i + 1 < n1 && j + 1 < n2) {
        for (int c = 0; c < 3; ++c) {
            g += sq(wrap_sub(wrap_sub(a[i + 1][c], pa[c]), wrap_sub(b[j + 1][c], pb[c])));
        }
    }
    return g;
}

inline PairProbability probability(const FixedPoint* a, std::size_t n1, const FixedPoint* b, std::size_t n2,
                                   std::size_t i, std::size_t j, const ProbabilityConstants& k) {
    PairProbability p;
    p.r0 = distance_term(a[i], b[j]) / k.s2 / k.denom1;
    p.r1 = local_term(a, n1, b, n2, i, j) / k.s2 / k.denom2;
    p.p = std::exp(p.r0 + p.r1);
    return p;
}

// Fills one cell with its normalised score (or raw probability).
//
// Most cells of a band pair residues far apart, whose probability is so small
// that subtracting it from the mean leaves the mean unchanged in double
// precision: their normalised value is exactly that of probability 0. When
// the settings make that shortcut exact (normalising with a positive mean,
// both exponents certainly non-positive), the distance exponent alone decides
// it and neither the local term nor the exponential is computed.
class CellScorer {
public:
    CellScorer(const FixedPoint* a, std::size_t n1, const FixedPoint* b, std::size_t n2,
               const PairScoreSettings& st, bool norm)
        : a_(a), b_(b), n1_(n1), n2_(n2), k_(st), norm_(norm), mean_(st.score_mean), sd_(st.score_sd) {
        zero_value_ = norm ? (0.0 - mean_) / sd_ : 0.0;
        if (norm && mean_ > 0.0 && std::isfinite(mean_) && k_.s2 > 0.0 && k_.denom1 < 0.0 && k_.denom2 < 0.0 &&
            std::isfinite(k_.denom1) && std::isfinite(k_.denom2)) {
            // Below a quarter of half the spacing of doubles just under the
            // mean, p - mean rounds to -mean; log() keeps a further margin.
            const double half_gap = (mean_ - std::nextafter(mean_, 0.0)) / 2.0;
            skip_below_ = std::log(half_gap / 4.0);
            // The same test on the squared distance itself, with a further
            // factor of two to spare, saves the two divisions for most cells.
            skip_distance_ = k_.s2 * -k_.denom1 * -std::log(half_gap / 8.0);
        }
    }

    double zero_value() const { return zero_value_; }

    double operator()(std::size_t i, std::size_t j) const {
        const double d = distance_term(a_[i], b_[j]);
        if (d > skip_distance_) return zero_value_;
        const double r0 = d / k_.s2 / k_.denom1;
        if (r0 < skip_below_) return zero_value_;
        const double r1 = local_term(a_, n1_, b_, n2_, i, j) / k_.s2 / k_.denom2;
        const double p = std::exp(r0 + r1);
        return norm_ ? (p - mean_) / sd_ : p;
    }

private:
    const FixedPoint* a_;
    const FixedPoint* b_;
    std::size_t n1_, n2_;
    ProbabilityConstants k_;
    bool norm_;
    double mean_, sd_;
    double zero_value_ = 0.0;
    double skip_below_ = -std::numeric_limits<double>::infinity();
    double skip_distance_ = std::numeric_limits<double>::infinity();
};

bool normalising(const PairScoreSettings& s) { return !(std::fabs(s.score_sd) < 1e-10); }

ScoreMatrix empty_matrix(std::size_t n1, std::size_t n2, const PairScoreSettings& s) {
    ScoreMatrix m;
    m.rows = n1;
    m.cols = n2;
    m.normalised = normalising(s);
    m.mean = s.score_mean;
    m.sd = s.score_sd;
    return m;
}

// What both fills start from: the chains in fixed point and the matrix, empty.
struct MatrixFill {
    std::vector<FixedPoint> a, b;
    ScoreMatrix m;

    MatrixFill(std::span<const Point> coords1, std::span<const Point> coords2, const PairScoreSettings& s)
        : a(to_fixed_points(coords1, s.score_scale)),
          b(to_fixed_points(coords2, s.score_scale)),
          m(empty_matrix(coords1.size(), coords2.size(), s)) {}

    CellScorer scorer(const PairScoreSettings& s) const { return {a.data(), a.size(), b.data(), b.size(), s, m.normalised}; }
};

}  // namespace

PairProbability pair_probability(std::span<const FixedPoint> a, std::span<const FixedPoint> b, std::size_t i,
                                 std::size_t j, const PairScoreSettings& settings) {
    if (i >= a.size() || j >= b.size()) throw InternalError("pair_probability: residue index out of range");
    return probability(a.data(), a.size(), b.data(), b.size(), i, j, ProbabilityConstants(settings));
}

ScoreMatrix score_matrix_full(std::span<const Point> coords1, std::span<const Point> coords2,
                              const PairScoreSettings& settings) {
    MatrixFill f(coords1, coords2, settings);
    const std::size_t n1 = coords1.size();
    const std::size_t n2 = coords2.size();
    f.m.values.resize(n1 * n2);
    const CellScorer score = f.scorer(settings);
    for (std::size_t i = 0; i < n1; ++i) {
        double* row = f.m.values.data() + i * n2;
        for (std::size_t j = 0; j < n2; ++j) row[j] = score(i, j);
    }
    return std::move(f.m);
}

ScoreMatrix score_matrix_banded(std::span<const Point> coords1, std::span<const Point> coords2,
                                const PairScoreSettings& settings) {
    MatrixFill f(coords1, coords2, settings);
    const std::size_t n1 = coords1.size();
    const std::size_t n2 = coords2.size();
    ScoreMatrix& m = f.m;
    const CellScorer score = f.scorer(settings);
    // Cells outside the band hold probability 0; normalising them up front
    // gives the same value the whole-matrix pass would.
    m.values.assign(n1 * n2, score.zero_value());
    if (n1 == 0 || n2 == 0) return std::move(f.m);

    const Band band(settings.band_width, settings.widen_band, n1, n2, 1);
    const double v = band.half_width();
    const double* row_frac = band.row_fractions();
    const double* col_frac = band.col_fractions();
    auto in_band = [&](std::size_t i, std::size_t j) { return std::fabs(col_frac[j] - row_frac[i]) <= v; };

    // Row walk: each row starts at the first in-band column of the previous
    // row, so the work follows the band and not the whole matrix.
    std::size_t start = 0;
    for (std::size_t i = 0; i < n1; ++i) {
        std::size_t j = start;
        while (j < n2 && !in_band(i, j)) ++j;
        if (j == n2) continue;
        start = j;
        double* row = m.values.data() + i * n2;
        for (; j < n2 && in_band(i, j); ++j) row[j] = score(i, j);
    }
    return std::move(f.m);
}

}  // namespace torva
