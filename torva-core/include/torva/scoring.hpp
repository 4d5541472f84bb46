// Alignment parameters, the engine's settings record, and the residue-pair
// score matrix.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "torva/math.hpp"

namespace torva {

// The user's alignment parameters, with their defaults.
struct Parameters {
    std::uint32_t n_passes = 2;
    double e1 = 2.0;
    double e2 = 5.0;
    double gap_open = 3.0;
    double gap_extend = 0.5;
    bool use_secondary = true;
    std::uint32_t max_iter = 100;
    double cutoff_dist = 10.0;
    double score_cutoff = 2.0;
    double convergence = 0.01;
    std::uint32_t verbosity = 1;
};

// The parts of settings_from_parameters that are more than a copy.
constexpr double convergence_percent(const Parameters& p) { return p.convergence * 100.0; }
constexpr double core_cutoff_of(const Parameters& p) { return p.cutoff_dist + 0.5; }

// What the pairwise engine reads. The fields the parameters set default to
// what the default parameters give; the rest are the engine's own.
struct PairwiseSettings {
    double convergence_pct = convergence_percent(Parameters{});
    std::uint64_t min_length = 3;
    double gap_open = Parameters{}.gap_open;
    double band_width = 100.0;
    double cutoff_dist = Parameters{}.cutoff_dist;
    double core_cutoff = core_cutoff_of(Parameters{});
    double e1 = Parameters{}.e1;
    double e2 = Parameters{}.e2;
    double score_mean = 0.5;
    double score_sd = 0.4;
    double rmsd_tolerance = 0.01;
    std::uint32_t max_iter = Parameters{}.max_iter;
    std::int32_t score_scale = 1000;
    bool banded = true;
    bool widen_band = true;
    bool rmsd_convergence = true;
};

// Standard conversion; no validation.
PairwiseSettings settings_from_parameters(const Parameters& params);

// -2·e², computed as e × -2.0 × e.
constexpr double score_denominator(double e) { return e * -2.0 * e; }

// What the score matrices read: PairwiseSettings' scoring fields (the same
// defaults) and the two exponent denominators.
struct PairScoreSettings {
    double e1 = PairwiseSettings{}.e1;
    double e2 = PairwiseSettings{}.e2;
    double score_mean = PairwiseSettings{}.score_mean;
    double score_sd = PairwiseSettings{}.score_sd;
    double band_width = PairwiseSettings{}.band_width;
    std::int32_t score_scale = PairwiseSettings{}.score_scale;
    bool widen_band = PairwiseSettings{}.widen_band;
    double denom1 = score_denominator(e1);
    double denom2 = score_denominator(e2);

    static PairScoreSettings from(const PairwiseSettings& s);
};

struct ScoreMatrix {
    std::vector<double> values;  // rows × cols, row-major, row i = residue i of the first domain
    std::size_t rows = 0;
    std::size_t cols = 0;
    bool normalised = false;
    double mean = 0.0;
    double sd = 0.0;

    double at(std::size_t i, std::size_t j) const { return values[i * cols + j]; }
};

using FixedPoint = std::array<std::int32_t, 3>;

// 32-bit two's-complement difference: values near the saturation limits wrap
// instead of invoking undefined behaviour.
inline std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// The diagonal band of a banded alignment of n1 × n2 residues. Positions i and
// j of an index space of extent n1 + pad by n2 + pad lie in it when
// |j / (n2 + pad) - i / (n1 + pad)| is at most the half width, which grows with
// `band_width` (plus |n1 - n2 - 4| when `widen`).
//
// The score matrix and the alignment fill each use their own index space: the
// matrix its residue indices over n + 1 (pad 1), the fill the positions of its
// padded table, residue k at k + 1, over n + 2 (pad 2). The two bands therefore
// differ by a cell here and there at their edges, and a cell the fill reads
// outside the matrix's band holds the value of probability 0. Every score the
// library reports depends on both bands exactly as they are, so each caller
// keeps its own padding.
class Band {
public:
    Band(double band_width, bool widen, std::size_t n1, std::size_t n2, std::size_t pad);

    bool contains(std::size_t i, std::size_t j) const { return std::fabs(col_frac_[j] - row_frac_[i]) <= half_width_; }

    // The parts of `contains`, for hot loops that keep them in registers.
    double half_width() const { return half_width_; }
    const double* row_fractions() const { return row_frac_.data(); }
    const double* col_fractions() const { return col_frac_.data(); }

private:
    double half_width_ = 0.0;
    // i / (n1 + pad) and j / (n2 + pad), worked out once: the per-cell test is a
    // subtraction and a comparison.
    std::vector<double> row_frac_;
    std::vector<double> col_frac_;
};

// Saturating round-half-away-from-zero conversion; NaN gives 0.
std::int32_t to_fixed(double value);
std::vector<FixedPoint> to_fixed_points(std::span<const Point> coords, std::int32_t scale);

struct PairProbability {
    double p = 0.0;
    double r0 = 0.0;
    double r1 = 0.0;
};

PairProbability pair_probability(std::span<const FixedPoint> a, std::span<const FixedPoint> b, std::size_t i,
                                 std::size_t j, const PairScoreSettings& settings);

ScoreMatrix score_matrix_full(std::span<const Point> coords1, std::span<const Point> coords2,
                              const PairScoreSettings& settings);
ScoreMatrix score_matrix_banded(std::span<const Point> coords1, std::span<const Point> coords2,
                                const PairScoreSettings& settings);

}  // namespace torva
