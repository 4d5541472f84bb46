// Banded local dynamic programming over a score matrix.
#include "torva/alignment.hpp"

#include "torva/error.hpp"

namespace torva {

TracedAlignment trace_alignment(const ScoreMatrix&, std::size_t, std::size_t, const PairwiseSettings&) {
    throw InternalError("alignment: not built yet");
}

}  // namespace torva
