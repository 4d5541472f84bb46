// Alignment parameters, residue-pair probabilities and score matrices.
#include "torva/scoring.hpp"

#include "torva/error.hpp"

namespace torva {

PairwiseSettings settings_from_parameters(const Parameters&) { throw InternalError("scoring: not built yet"); }

PairScoreSettings PairScoreSettings::from(const PairwiseSettings&) { throw InternalError("scoring: not built yet"); }

std::int32_t to_fixed(double) { throw InternalError("scoring: not built yet"); }

std::vector<FixedPoint> to_fixed_points(std::span<const Point>, std::int32_t) {
    throw InternalError("scoring: not built yet");
}

PairProbability pair_probability(std::span<const FixedPoint>, std::span<const FixedPoint>, std::size_t, std::size_t,
                                 const PairScoreSettings&) {
    throw InternalError("scoring: not built yet");
}

ScoreMatrix score_matrix_full(std::span<const Point>, std::span<const Point>, const PairScoreSettings&) {
    throw InternalError("scoring: not built yet");
}

ScoreMatrix score_matrix_banded(std::span<const Point>, std::span<const Point>, const PairScoreSettings&) {
    throw InternalError("scoring: not built yet");
}

}  // namespace torva
