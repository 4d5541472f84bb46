// Fold mode: the alignment of two C-alpha chains that maximises TM-score.
//
// Several starting superpositions each get one alignment step, dynamic
// programming on the similarity 1 / (1 + (d/d0)^2) under the superposition
// followed by a new TM-score superposition of its pairs; the best few are then
// refined by repeating that step until the score stops rising (the
// superposition search of a refinement step starts from the superposition
// the step aligned under; a refinement that meets an alignment an earlier one
// went through stops). The starts:
//   - the best gapless threadings of one chain along the other (every second
//     offset, then the neighbours of the best few),
//   - the alignment of secondary-structure strings assigned from C-alpha
//     geometry (helix, strand, coil),
//   - that alignment scored together with distances under the best threading,
//   - superpositions of short fragment pairs (seeds), when none of the above
//     reaches a TM-score of 0.5.
// The search uses d0 of the shorter chain. The best alignment keeps its pairs
// closer than 1.5 L^0.3 + 3.5 Å (L the shorter length); its TM-scores are
// then searched as tm_score() does, one superposition per normalisation, but
// with at most 40 fragment starts per length (tm_score() of the same pairs
// may find a slightly higher score on long chains).
//
// The result does not depend on the argument order: the chains are aligned
// in one canonical order and the result is transposed when needed.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/domain.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"
#include "torva/treewise.hpp"

namespace torva {

struct FoldResult {
    std::vector<AlignedPair> pairs;  // i in the fixed chain, j in the mobile chain, both rising
    std::vector<double> distances;   // of each pair, the mobile residue moved by `transform`
    Transform transform;             // mobile onto fixed; the superposition that maximises tm_fixed
    double rmsd = 0.0;               // least-squares RMSD over the pairs
    std::size_t n_aligned = 0;
    double seq_identity = 0.0;       // fraction of pairs with the same amino acid
    double tm_fixed = 0.0;           // TM-score normalised by the fixed chain's length
    double tm_mobile = 0.0;          // normalised by the mobile chain's length
};

// Aligns `mobile` onto `fixed`. Every pair of chains of one residue or more
// gets a result, however weak (the best superposition found); an empty chain
// is StructureTooSmall, a coordinate that is not finite InvalidParameter.
// `cancel` is asked between starting alignments and between refinement steps.
Result<FoldResult> fold_align(std::span<const Residue> fixed, std::span<const Residue> mobile,
                              const Cancel& cancel = {});

// A multiple alignment in fold mode.
struct FoldMultipleResult {
    // Entry k of a column: residue index of domain k, or nullopt for a gap.
    std::vector<Column> columns;
    std::vector<std::size_t> core_positions;  // columns holding every domain
    // The domain the others are superposed on (the one with the highest
    // summed TM-score to the others), and each domain's transform onto it:
    // the superposition maximising the TM-score, normalised by the reference,
    // of the residue pairs the columns give (identity for the reference).
    std::size_t reference = 0;
    std::vector<Transform> transforms;
    // The same superpositions brought into the first domain's frame: each
    // domain onto the first (identity for the first).
    std::vector<Transform> onto_first;
    // N x N pairwise fold-mode TM-scores, tm[i * N + j] normalised by domain
    // i's length (1 on the diagonal).
    std::vector<double> tm;
};

// Every pair aligned with fold_align; a guide tree by average linkage on
// 1 - TM (TM normalised by the shorter chain); groups merged from the leaves
// up, each merge following the pairwise alignment of the most similar pair of
// members. No domains give an empty result. Errors of fold_align (an empty
// chain, a coordinate that is not finite); `cancel` is asked before every
// pairwise alignment, between its steps and before the final superpositions.
Result<FoldMultipleResult> fold_align_multiple(std::span<const Domain> domains, const Cancel& cancel = {});

// Helix 'H', strand 'E' or coil 'C' for each residue, from the distances
// between the C-alpha atoms within two residues of it (chain ends are coil).
std::vector<char> assign_secondary_structure(std::span<const Point> coords);

}  // namespace torva
