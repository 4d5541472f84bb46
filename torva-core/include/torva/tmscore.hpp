// TM-score of a given alignment of two C-alpha chains.
//
// TM = max over rigid superpositions of (1/L) * sum over aligned pairs of
// 1 / (1 + (d_i / d0(L))^2), with L the length of the chain the score is
// normalised by (Zhang & Skolnick 2004). The maximising superposition is
// searched heuristically, as published: Kabsch fits of aligned fragments of
// decreasing length (all pairs, half, a quarter, ... down to four pairs) at
// several starts (every start up to 256 per length, evenly spaced beyond),
// each iterated on the pairs closer than a search cutoff (d0 kept within
// 4.5..8 Å) until that set stops changing.
//
// Each normalisation gets its own maximising superposition: d0 differs between
// the two lengths, and so may the best superposition.
#pragma once

#include <cstddef>
#include <span>

#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"

namespace torva {

// Distance scale of TM-score for a chain of `length` residues:
// 1.24 * (L - 15)^(1/3) - 1.8, and 0.5 for chains of 21 residues or fewer
// (where the formula falls below 0.5).
double tm_d0(std::size_t length);

struct TmScore {
    double tm_fixed = 0.0;    // normalised by the fixed chain's length
    double tm_mobile = 0.0;   // normalised by the mobile chain's length
    Transform transform;          // mobile onto fixed; maximises tm_fixed
    Transform transform_mobile;   // mobile onto fixed; maximises tm_mobile
    double rmsd = 0.0;        // least-squares RMSD over all aligned pairs
    std::size_t n_aligned = 0;
};

// TM-score of the alignment `pairs` (i in `fixed`, j in `mobile`). The pairs
// need not be colinear but must be one-to-one. An empty alignment scores 0
// with the identity transforms. InvalidParameter when an index is out of range
// or used twice, or a coordinate of an aligned residue is not finite;
// Cancelled when `cancel` asks, which it does between fragment lengths.
Result<TmScore> tm_score(std::span<const Point> fixed, std::span<const Point> mobile,
                         std::span<const AlignedPair> pairs, const Cancel& cancel = {});

// TM-score of the alignment `pairs` normalised by `length` residues (any
// length, e.g. a reference's or the alignment's own) with the distance scale
// `d0` (0: tm_d0(length)), under the superposition that maximises it. An empty
// alignment scores 0. InvalidParameter as tm_score, and for a length below 1
// or a negative or non-finite d0.
struct TmScoreBy {
    double score = 0.0;
    double d0 = 0.0;      // the distance scale used
    Transform transform;  // mobile onto fixed
};
Result<TmScoreBy> tm_score_by(std::span<const Point> fixed, std::span<const Point> mobile,
                              std::span<const AlignedPair> pairs, double length, double d0,
                              const Cancel& cancel = {});

}  // namespace torva
