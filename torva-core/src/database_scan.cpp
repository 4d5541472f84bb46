// The database scan: one query against many targets, ranked.
#include "torva/database_scan.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "torva/pairwise.hpp"

namespace torva {

namespace {

// What one target's alignment contributes to the hit list (the loop fills in
// the target's identifier).
ScanHitRecord scan_candidate(double score, double rmsd, std::size_t n_aligned, double seq_identity,
                             const Transform& transform, std::vector<AlignedPair> pairs,
                             std::vector<std::uint8_t> core) {
    ScanHitRecord hit;
    hit.score = score;
    hit.rmsd = rmsd;
    hit.n_aligned = n_aligned;
    hit.seq_identity = seq_identity;
    hit.transform = transform;
    hit.aligned_pairs = std::move(pairs);
    hit.core_pairs = std::move(core);
    return hit;
}

// One scoring and alignment step on the coordinates as given: no superposition
// search and no iteration. `query_coords` is extracted once for the whole scan.
ScanHitRecord quick_candidate(const Domain& query, std::span<const Point> query_coords, const Domain& target,
                              const PairwiseSettings& settings, const PairScoreSettings& score_settings) {
    const PointSet target_coords = target.coordinates();
    const ScoreMatrix matrix = score_matrix_full(query_coords, target_coords, score_settings);
    StepResult s = alignment_step(query_coords, target_coords, matrix, settings);

    std::size_t same = 0;
    for (const AlignedPair& p : s.aligned_pairs) {
        if (query.residues[p.i].amino_acid == target.residues[p.j].amino_acid) ++same;
    }
    const double identity =
        s.aligned_pairs.empty() ? 0.0 : static_cast<double>(same) / static_cast<double>(s.aligned_pairs.size());
    // The identity is taken over every pair.
    std::vector<std::uint8_t> core(s.aligned_pairs.size(), 1);
    return scan_candidate(s.score, s.rmsd, s.n_aligned, identity, s.transform, std::move(s.aligned_pairs),
                          std::move(core));
}

}  // namespace

Result<std::vector<ScanHitRecord>> scan_database(const Domain& query, std::span<const Domain> targets,
                                                 const Parameters& params, const DatabaseScanOptions& options,
                                                 const Cancel& cancel) {
    // Everything that depends only on the query and the parameters is built
    // once; the per-target work is the alignment itself.
    const PairwiseSettings settings = settings_from_parameters(params);

    if (options.scan_mode) {
        const ScanSettings scan_settings = ScanSettings::database(params, options.score_cutoff);
        return scan_targets(
            targets,
            [&](const Domain& target) -> Result<ScanHitRecord> {
                Result<ScanResult> r = scan_align(query, target, scan_settings, nullptr, cancel);
                if (!r.ok()) return r.error();
                ScanResult& s = r.value();
                return scan_candidate(s.score, s.rmsd, s.n_aligned, s.seq_identity, s.transform,
                                      std::move(s.aligned_pairs), std::move(s.core_pairs));
            },
            options, cancel);
    }
    if (options.quick) {
        const PairScoreSettings score_settings = PairScoreSettings::from(settings);
        const PointSet query_coords = query.coordinates();
        return scan_targets(
            targets,
            [&](const Domain& target) -> Result<ScanHitRecord> {
                return quick_candidate(query, query_coords, target, settings, score_settings);
            },
            options, cancel);
    }
    return scan_targets(
        targets,
        [&](const Domain& target) -> Result<ScanHitRecord> {
            PairwiseResult p = align_pair(query.residues, target.residues, settings);
            return scan_candidate(p.score, p.rmsd, p.n_aligned, p.seq_identity(), p.transform,
                                  std::move(p.aligned_pairs), std::move(p.core_pairs));
        },
        options, cancel);
}

std::vector<ScanHitRecord> select_scan_hits(std::vector<ScanHitRecord> candidates,
                                            const DatabaseScanOptions& options) {
    // `>=` is false for a NaN score, so such a target never becomes a hit.
    std::erase_if(candidates, [&](const ScanHitRecord& h) { return !(h.score >= options.score_cutoff); });
    // No NaN is left, so `>` is a strict weak order; stability keeps equal
    // scores in target order.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const ScanHitRecord& a, const ScanHitRecord& b) { return a.score > b.score; });
    if (candidates.size() > options.max_hits) candidates.resize(options.max_hits);

    for (std::size_t k = 0; k < candidates.size(); ++k) {
        candidates[k].rank = k + 1;
        candidates[k].z_score.reset();
        candidates[k].e_value.reset();
    }

    // Z-scores among the returned hits only, with the population standard
    // deviation; a (near) zero spread leaves them unset.
    if (candidates.size() >= 2) {
        const auto n = static_cast<double>(candidates.size());
        double sum = 0.0;
        for (const ScanHitRecord& h : candidates) sum += h.score;
        const double mean = sum / n;
        double squares = 0.0;
        for (const ScanHitRecord& h : candidates) squares += (h.score - mean) * (h.score - mean);
        const double sd = std::sqrt(squares / n);
        if (!(sd < 1e-10)) {
            for (ScanHitRecord& h : candidates) h.z_score = (h.score - mean) / sd;
        }
    }
    return candidates;
}

}  // namespace torva
