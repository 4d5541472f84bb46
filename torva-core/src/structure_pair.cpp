// One pairwise alignment with its pairs, in scan or direct mode.
#include "torva/structure_pair.hpp"

#include <cmath>
#include <utility>

#include "torva/pairwise.hpp"

namespace torva {

std::vector<double> pair_distances(std::span<const AlignedPair> pairs, std::span<const Residue> fixed,
                                   std::span<const Residue> mobile, const Transform& transform) {
    std::vector<double> out;
    out.reserve(pairs.size());
    for (const AlignedPair& p : pairs) {
        out.push_back(std::sqrt(squared_distance(fixed[p.i].coord, transform.apply(mobile[p.j].coord))));
    }
    return out;
}

namespace {

// The pairs, superposition and statistics of a direct or a scan result; the
// identity is passed as a fraction.
template <class R>
StructurePairAlignment taken_from(R&& r, double seq_identity) {
    return {std::move(r.aligned_pairs), std::move(r.core_pairs), {}, r.transform, r.score, r.rmsd, r.n_aligned,
            seq_identity};
}

}  // namespace

Result<StructurePairAlignment> align_structures(const Domain& fixed, const Domain& mobile, const Parameters& params,
                                                bool scan, std::size_t step, const Cancel& cancel) {
    StructurePairAlignment out;
    if (!scan) {
        PairwiseResult r = align_pair(fixed.residues, mobile.residues, settings_from_parameters(params));
        out = taken_from(std::move(r), r.seq_identity());
    } else {
        Result<ScanResult> r = scan_align(fixed, mobile, ScanSettings::pairwise(params, step), nullptr, cancel);
        if (!r.ok()) return r.error();
        ScanResult& found = r.value();
        out = taken_from(std::move(found), found.seq_identity);
    }
    out.distances = pair_distances(out.pairs, fixed.residues, mobile.residues, out.transform);
    return out;
}

}  // namespace torva
