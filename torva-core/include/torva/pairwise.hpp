// Iterative pairwise refinement and its statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/error.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/scoring.hpp"

namespace torva {

struct StepResult {
    std::vector<AlignedPair> aligned_pairs;
    std::vector<double> residue_scores;
    Transform transform;
    double rmsd = 100.0;
    double score = 0.0;
    std::size_t path_length = 0;
    std::size_t n_aligned = 0;
};

struct PairwiseResult {
    std::vector<AlignedPair> aligned_pairs;
    std::vector<double> residue_scores;
    Transform transform;
    double rmsd = 0.0;
    double score = 0.0;
    std::size_t path_length = 0;
    std::size_t n_aligned = 0;
    double identity_pct = 0.0;
    // One flag per aligned pair: 1 for the core pairs the identity is taken over.
    std::vector<std::uint8_t> core_pairs;
    std::size_t iterations = 0;  // refinement iterations that ran

    // The identity as a fraction (identity_pct / 100).
    double seq_identity() const { return identity_pct / 100.0; }

    static PairwiseResult empty();  // no pairs, identity, rmsd +inf, score 0
};

// One scoring, alignment and superposition step; it cannot fail.
StepResult alignment_step(std::span<const Point> coords1, std::span<const Point> coords2,
                                  const ScoreMatrix& matrix, const PairwiseSettings& settings);

// Which pairs of an alignment are core pairs (1) and which not (0), with the
// second domain's coordinates as finally superposed (see pairwise.cpp).
std::vector<std::uint8_t> core_pair_flags(std::span<const AlignedPair> pairs, std::span<const Point> coords1,
                                          std::span<const Point> coords2, const PairwiseSettings& settings);
// Sequence identity in percent over the pairs flagged as core pairs.
double identity_pct_over(std::span<const AlignedPair> pairs, std::span<const std::uint8_t> core,
                         std::span<const Residue> residues1, std::span<const Residue> residues2);
// Sequence identity in percent over the core pairs of an alignment.
double core_identity_pct(std::span<const AlignedPair> pairs, std::span<const Residue> residues1,
                         std::span<const Residue> residues2, std::span<const Point> coords1,
                         std::span<const Point> coords2, const PairwiseSettings& settings);

// Aligns the second residue list onto the first; both are read only. Every
// input gives a result (too short ones the empty result).
PairwiseResult align_pair(std::span<const Residue> residues1, std::span<const Residue> residues2,
                                  const PairwiseSettings& settings);

}  // namespace torva
