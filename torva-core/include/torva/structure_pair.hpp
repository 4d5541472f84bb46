// One pairwise alignment of two structures, in scan or direct mode, with
// everything it consists of: the pairs, their distances, the transform and the
// statistics, all from the same refinement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/scan.hpp"
#include "torva/scoring.hpp"

namespace torva {

struct StructurePairAlignment {
    std::vector<AlignedPair> pairs;         // (fixed index, mobile index), increasing in both
    std::vector<std::uint8_t> core_pairs;   // per pair: 1 when it counts for the identity
    std::vector<double> distances;          // per pair, after the superposition
    Transform transform;                    // maps the mobile domain onto the fixed one
    double score = 0.0;
    double rmsd = 0.0;
    std::size_t n_aligned = 0;
    double seq_identity = 0.0;  // fraction
};

// Aligns `mobile` onto `fixed`. Scan mode searches the superposition with
// ScanSettings::pairwise(params, step) and refines it; direct mode refines from
// the frames as given. Only a scan can fail (cancelled through `cancel`).
Result<StructurePairAlignment> align_structures(const Domain& fixed, const Domain& mobile, const Parameters& params,
                                                bool scan, std::size_t step = ScanSettings::kPairwiseStep,
                                                const Cancel& cancel = {});

// The C-alpha distance of each pair with `mobile` moved by `transform`.
std::vector<double> pair_distances(std::span<const AlignedPair> pairs, std::span<const Residue> fixed,
                                   std::span<const Residue> mobile, const Transform& transform);

}  // namespace torva
