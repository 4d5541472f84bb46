#include "torva/fold_scan.hpp"

#include <cstdint>
#include <utility>

#include "torva/fold.hpp"

namespace torva {

Result<std::vector<FoldScanHit>> fold_scan_database(const Domain& query, std::span<const Domain> targets,
                                                    const DatabaseScanOptions& options, const Cancel& cancel) {
    // What select_scan_hits does not carry, by target index.
    std::vector<double> tm_target(targets.size(), 0.0);
    std::vector<std::vector<double>> distances(targets.size());
    const auto align = [&](const Domain& target) -> Result<ScanHitRecord> {
        const auto k = static_cast<std::size_t>(&target - targets.data());
        Result<FoldResult> r = fold_align(query.residues, target.residues, cancel);
        if (!r.ok()) return r.error();
        FoldResult f = std::move(r).value();
        ScanHitRecord h;
        h.transform = f.transform;
        h.core_pairs.assign(f.pairs.size(), std::uint8_t{1});  // every pair counts for the identity
        h.aligned_pairs = std::move(f.pairs);
        h.score = f.tm_fixed;
        h.rmsd = f.rmsd;
        h.n_aligned = f.n_aligned;
        h.seq_identity = f.seq_identity;
        tm_target[k] = f.tm_mobile;
        distances[k] = std::move(f.distances);
        return h;
    };
    Result<std::vector<ScanHitRecord>> ranked = scan_targets(targets, align, options, cancel);
    if (!ranked.ok()) return ranked.error();
    std::vector<FoldScanHit> out;
    out.reserve(ranked.value().size());
    for (ScanHitRecord& r : ranked.value()) {
        const std::size_t k = r.target_index;
        out.push_back(FoldScanHit{std::move(r), tm_target[k], std::move(distances[k])});
    }
    return out;
}

}  // namespace torva
