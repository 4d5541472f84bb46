// Iterative pairwise refinement.
#include "torva/pairwise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace torva {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// Sequence identity in percent over the core pairs of the final alignment.
//
// A pair (i, j) counts as structurally well matched by its C-alpha distance d
// after the final superposition, measured against half the distance cutoff
// (5 Å with the default cutoff of 10 Å, the usual radius for calling two
// residues equivalent). The per-pair value compared with `core_cutoff`
// (cutoff + 0.5) is therefore
//     v = core_cutoff + cutoff / 2 - d,
// so v >= core_cutoff when d <= cutoff / 2 (up to rounding): close pairs count, a
// self-alignment (d = 0 everywhere) makes every pair a core pair, and a
// homologue pair's identity is taken over its superposed equivalent residues.
// A core pair also needs at least two qualifying neighbours among the
// unbroken runs of up to four list positions on either side, which drops
// isolated matches.
std::vector<std::uint8_t> core_pair_flags(std::span<const AlignedPair> pairs, std::span<const Point> coords1,
                                          std::span<const Point> coords2, const PairwiseSettings& settings) {
    const std::size_t n = pairs.size();
    std::vector<std::uint8_t> close(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double d = std::sqrt(squared_distance(coords1[pairs[k].i], coords2[pairs[k].j]));
        const double v = settings.core_cutoff + settings.cutoff_dist / 2.0 - d;
        close[k] = v >= settings.core_cutoff ? 1 : 0;
    }
    std::vector<std::uint8_t> core(n, 0);
    for (std::size_t k = 0; k < n; ++k) {
        if (!close[k]) continue;
        int neighbours = 0;
        for (std::size_t m = 1; m <= 4 && k + m < n && close[k + m]; ++m) ++neighbours;
        for (std::size_t m = 1; m <= 4 && m <= k && close[k - m]; ++m) ++neighbours;
        if (neighbours >= 2) core[k] = 1;
    }
    return core;
}

double identity_pct_over(std::span<const AlignedPair> pairs, std::span<const std::uint8_t> core,
                         std::span<const Residue> residues1, std::span<const Residue> residues2) {
    std::size_t n_core = 0;
    std::size_t same = 0;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        if (!core[k]) continue;
        ++n_core;
        if (residues1[pairs[k].i].amino_acid == residues2[pairs[k].j].amino_acid) ++same;
    }
    if (n_core == 0) return 0.0;
    return 100.0 * static_cast<double>(same) / static_cast<double>(n_core);
}

double core_identity_pct(std::span<const AlignedPair> pairs, std::span<const Residue> residues1,
                         std::span<const Residue> residues2, std::span<const Point> coords1,
                         std::span<const Point> coords2, const PairwiseSettings& settings) {
    if (pairs.empty()) return 0.0;
    const std::vector<std::uint8_t> core = core_pair_flags(pairs, coords1, coords2, settings);
    return identity_pct_over(pairs, core, residues1, residues2);
}

PairwiseResult PairwiseResult::empty() {
    PairwiseResult r;
    r.transform = Transform::identity();
    r.rmsd = kInf;
    r.score = 0.0;
    r.path_length = 0;
    r.n_aligned = 0;
    r.identity_pct = 0.0;
    return r;
}

StepResult alignment_step(std::span<const Point> coords1, std::span<const Point> coords2,
                                  const ScoreMatrix& matrix, const PairwiseSettings& settings) {
    const std::size_t n1 = coords1.size();
    const std::size_t n2 = coords2.size();
    TracedAlignment t = trace_alignment(matrix, n1, n2, settings);

    StepResult s;
    if (!t.found) return s;  // no pairs, identity, rmsd 100, score 0

    const std::size_t n = t.pairs.size();
    if (n >= 3) {
        PointSet fixed(n);
        PointSet mobile(n);
        for (std::size_t k = 0; k < n; ++k) {
            fixed[k] = coords1[t.pairs[k].i];
            mobile[k] = coords2[t.pairs[k].j];
        }
        const Superposition sup = superpose(fixed, mobile);
        s.transform = sup.transform;
        s.rmsd = sup.rmsd;
    }

    const std::size_t l = t.path_length;
    if (l == 0 || n1 == 0 || n2 == 0) {
        s.score = 0.0;
    } else {
        const double ld = static_cast<double>(l);
        s.score = (static_cast<double>(t.best_score) / ld) *
                  (static_cast<double>(l - t.second_only_steps) / static_cast<double>(n1)) *
                  (static_cast<double>(l - t.first_only_steps) / static_cast<double>(n2)) /
                  static_cast<double>(settings.score_scale);
    }
    s.aligned_pairs = std::move(t.pairs);
    s.residue_scores = std::move(t.residue_scores);
    s.path_length = l;
    s.n_aligned = n;
    return s;
}

PairwiseResult align_pair(std::span<const Residue> residues1, std::span<const Residue> residues2,
                                  const PairwiseSettings& settings) {
    const std::size_t n1 = residues1.size();
    const std::size_t n2 = residues2.size();
    if (n1 < settings.min_length || n2 < settings.min_length) return PairwiseResult::empty();

    PointSet coords1(n1);
    PointSet coords2(n2);
    for (std::size_t k = 0; k < n1; ++k) coords1[k] = residues1[k].coord;
    for (std::size_t k = 0; k < n2; ++k) coords2[k] = residues2[k].coord;

    Transform accumulated = Transform::identity();
    double prev_score = 0.0;
    double prev_rmsd = kInf;
    double rmsd_change = kInf;
    double pct = 0.0;
    const std::uint32_t iterations = std::max<std::uint32_t>(settings.max_iter, 1);
    const std::size_t min_pairs = std::max<std::size_t>(3, settings.min_length);
    const PairScoreSettings score_settings = PairScoreSettings::from(settings);

    StepResult s;
    std::size_t ran = 0;
    for (std::uint32_t u = 0;; ++u) {
        if (u >= 1) {
            if (settings.rmsd_convergence && rmsd_change <= settings.rmsd_tolerance) {
                if (pct <= settings.convergence_pct) break;
                if (s.rmsd < 100.0) break;
            } else if (pct <= settings.convergence_pct) {
                break;
            }
            if (u >= settings.max_iter) break;
            if (s.n_aligned < min_pairs) break;
        }

        const ScoreMatrix matrix = settings.banded ? score_matrix_banded(coords1, coords2, score_settings)
                                                   : score_matrix_full(coords1, coords2, score_settings);
        s = alignment_step(coords1, coords2, matrix, settings);
        ++ran;

        pct = s.score > 0.0 ? std::fabs(s.score - prev_score) * 100.0 / s.score : 0.0;
        if (s.rmsd != kInf && prev_rmsd != kInf) rmsd_change = std::fabs(s.rmsd - prev_rmsd);

        if (s.n_aligned > 2) {
            s.transform.apply_in_place(coords2);
            accumulated = s.transform.compose(accumulated);
        }
        prev_score = s.score;
        prev_rmsd = s.rmsd;
        if (u == iterations - 1) break;
    }

    PairwiseResult r;
    r.core_pairs = core_pair_flags(s.aligned_pairs, coords1, coords2, settings);
    r.identity_pct = identity_pct_over(s.aligned_pairs, r.core_pairs, residues1, residues2);
    r.aligned_pairs = std::move(s.aligned_pairs);
    r.residue_scores = std::move(s.residue_scores);
    r.transform = accumulated;
    r.rmsd = s.rmsd;
    r.score = s.score;
    r.path_length = s.path_length;
    r.n_aligned = s.n_aligned;
    r.iterations = ran;
    return r;
}

}  // namespace torva
