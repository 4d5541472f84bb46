// Banded local dynamic-programming alignment through a score matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "torva/scoring.hpp"

namespace torva {

// 0-based residue indices: i in the first domain, j in the second.
struct AlignedPair {
    std::uint32_t i = 0;
    std::uint32_t j = 0;
    friend bool operator==(const AlignedPair&, const AlignedPair&) = default;
};

struct TracedAlignment {
    bool found = false;
    std::vector<AlignedPair> pairs;
    std::vector<double> residue_scores;
    std::int32_t best_score = -1;
    std::size_t path_length = 0;
    std::size_t second_only_steps = 0;
    std::size_t first_only_steps = 0;
};

TracedAlignment trace_alignment(const ScoreMatrix& matrix, std::size_t n1, std::size_t n2,
                                const PairwiseSettings& settings);

}  // namespace torva
