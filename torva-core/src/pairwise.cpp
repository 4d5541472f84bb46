// Iterative pairwise refinement.
#include "torva/pairwise.hpp"

namespace torva {

PairwiseResult PairwiseResult::empty() { throw InternalError("pairwise: not built yet"); }

Result<StepResult> alignment_step(std::span<const Point>, std::span<const Point>, const ScoreMatrix&,
                                  const PairwiseSettings&) {
    throw InternalError("pairwise: not built yet");
}

Result<PairwiseResult> align_pair(std::span<const Residue>, std::span<const Residue>, const PairwiseSettings&) {
    throw InternalError("pairwise: not built yet");
}

}  // namespace torva
