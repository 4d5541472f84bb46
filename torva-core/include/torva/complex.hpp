// Complexes: the alignment of two assemblies of protein chains as one body.
//
// Each assembly is a list of chains. The result maps chains of one onto
// chains of the other (one-to-one; chains of either side may stay unmatched),
// aligns the residues of every mapped pair in chain order and superposes the
// mobile assembly onto the fixed one with one rigid transform. Its score is
// the complex TM-score: the TM-score sum over all aligned pairs, normalised by
// an assembly's total residue count L with d0 of that L.
//
// The method:
//   1. Every chain of one side is aligned with every chain of the other at the
//      fold level (fold_align); chains with the same sequence share one
//      alignment, the superposition carried over by fitting the copies on
//      each other. Beyond 24 distinct chain pairs, each chain is aligned
//      only with the two chains of the other side that share the most words
//      of three residues with it (by sequence or by the shape letters of the
//      trace, search_key.hpp), and with the chains the caller paired it with;
//      the refinement can still map any chain pair.
//   2. Each chain pair's superposition is a candidate for the whole assembly.
//      Under a candidate every chain pair is scored by its fold-level pairs,
//      and the chain map is the assignment that maximises the summed score
//      (Hungarian method; pairs that score nothing stay unmatched, pairs the
//      caller fixed are always kept). The superposition is then fitted again
//      on the pairs of all mapped chains. One more candidate maps the chains
//      by the fold-level scores alone, its superposition searched over the
//      pairs of all its chains at once; and for that map and the best few
//      others, superpositions that lay the mapped chains' centres on each
//      other (for two chains, turned about the line through them), the best
//      by the alignments under it.
//   3. The best few candidates that differ in map or superposition are
//      refined (their fold-level pairs, fitted, stand as an alternative): each mapped chain pair is aligned again by dynamic
//      programming on the TM similarity under the current superposition,
//      the superposition is searched again on the pairs of the whole
//      assembly, and the chain map is assigned again from the new
//      alignments' values, until the score stops rising. Throughout, pairs
//      farther apart than the cutoff of step 4 score nothing.
//   4. The best alignment keeps its pairs closer than 1.5 L^0.3 + 3.5 Å (L the
//      smaller assembly's length); of the superpositions that maximise the
//      TM-score by either assembly, the one with the higher sum of both is
//      reported, and both TM-scores are those under it.
//
// The result does not depend on the argument order: the assemblies are
// aligned in one canonical order and the result transposed when needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/domain.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"

namespace torva {

// Chain `fixed` of the fixed assembly with chain `mobile` of the mobile one
// (indices into the lists given).
struct ChainPairing {
    std::size_t fixed = 0;
    std::size_t mobile = 0;
    friend bool operator==(const ChainPairing&, const ChainPairing&) = default;
};

// One aligned residue pair: a chain and a residue index along it on each side.
struct ComplexPair {
    std::uint32_t fixed_chain = 0;
    std::uint32_t fixed_index = 0;
    std::uint32_t mobile_chain = 0;
    std::uint32_t mobile_index = 0;
    friend bool operator==(const ComplexPair&, const ComplexPair&) = default;
};

// A mapped chain pair: its aligned pairs' count and TM-scores normalised by
// each chain's own length (d0 of that length), under the complex transform.
struct ComplexChainPair {
    std::size_t fixed = 0;
    std::size_t mobile = 0;
    std::size_t n_aligned = 0;
    double tm_fixed = 0.0;
    double tm_mobile = 0.0;
};

struct ComplexResult {
    // Sorted by fixed chain, then fixed index; the mobile indices rise with
    // the fixed ones within a chain pair.
    std::vector<ComplexPair> pairs;
    std::vector<double> distances;  // of each pair, the mobile residue moved by `transform`
    Transform transform;            // the mobile assembly onto the fixed one
    double rmsd = 0.0;              // least-squares RMSD over the pairs
    std::size_t n_aligned = 0;
    // Complex TM-scores under `transform`, normalised by the fixed (mobile)
    // assembly's total residue count.
    double tm_fixed = 0.0;
    double tm_mobile = 0.0;
    std::size_t length_fixed = 0;   // total residue counts
    std::size_t length_mobile = 0;
    std::vector<ComplexChainPair> chains;  // the chain map, by fixed chain index
    std::vector<std::size_t> unmatched_fixed;   // chains of either side left out of the map
    std::vector<std::size_t> unmatched_mobile;
};

// Aligns the `mobile` assembly onto the `fixed` one. `given` fixes part of the
// chain map (kept whatever it scores). Errors: InvalidParameter for an empty
// list of chains, a coordinate that is not finite, or a given pairing out of
// range or naming a chain twice; StructureTooSmall for an empty chain;
// Cancelled when `cancel` asks (between chain alignments and refinement steps).
// Every other input gets a result, however weak.
Result<ComplexResult> complex_align(std::span<const std::span<const Residue>> fixed,
                                    std::span<const std::span<const Residue>> mobile,
                                    std::span<const ChainPairing> given = {}, const Cancel& cancel = {});

// Maximum-weight assignment of rows to columns of an n x m matrix (row-major):
// for each row the column it takes, or -1. Each column is used at most once;
// entries that are not positive are never taken.
std::vector<long> assign_max(std::span<const double> weights, std::size_t n, std::size_t m);

}  // namespace torva
