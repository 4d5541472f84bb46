// The complex aligner (internal to the core), in the steps complex.hpp
// describes, one file each: the chain pairs' fold-level alignments
// (complex_chains.cpp), the candidate maps and superpositions
// (complex_candidates.cpp) and their refinement (complex_refine.cpp).
// complex.cpp runs them and reports the best.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tm_kernel.hpp"
#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/complex.hpp"
#include "torva/math.hpp"

namespace torva::complexes {

using Alignment = std::vector<AlignedPair>;
using Map = std::vector<long>;  // for each chain of x, its chain of y or -1

constexpr std::size_t kRefinedMaps = 6;      // distinct candidates refined in full
constexpr int kRefineSteps = 8;              // alignment and superposition rounds per map, at most
constexpr double kGap = -0.6;                // gap opening charge of the refinement's alignments
constexpr std::size_t kCandidateStarts = 4;  // fragment starts per length while searching candidates
constexpr std::size_t kAllPairs = 24;        // distinct chain pairs all aligned at the fold level, at most
constexpr std::size_t kPartners = 2;         // otherwise, the partners of each chain aligned
constexpr std::size_t kOverlaidMaps = 3;     // maps whose chain centres are laid on each other, besides the value map
constexpr std::size_t kThoroughStarts = 20;  // the same for the search of the value map
constexpr std::size_t kFinalStarts = 12;     // fragment starts per length of the final searches
constexpr double kForced = 1e9;              // weight that makes the assignment keep a given pairing

// One side's chains as points, with what the aligner asks of them often.
struct Assembly {
    std::vector<PointSet> chains;
    std::vector<std::span<const Residue>> residues;
    std::size_t total = 0;
    std::vector<std::size_t> representative;  // the first chain of the same sequence and length
    std::vector<Point> centre;                // centroid of each chain
    std::vector<double> radius;               // farthest residue from it
};

Assembly assembly_of(std::span<const std::span<const Residue>> chains);

// Canonical order: the larger assembly first; then more chains; then by
// chain lengths, coordinates and residue types. True when `a` goes first.
bool goes_first(std::span<const std::span<const Residue>> a, std::span<const std::span<const Residue>> b);

// The fold-level alignment of one chain pair and its superposition.
struct ChainAlignment {
    Alignment pairs;
    Transform transform;  // chain of y onto chain of x
    double value = 0.0;   // TM-score sums of both normalisations: how much the pair can give
};

// A chain map with its superposition, alignments and score.
struct State {
    Map map;
    Transform transform;
    std::vector<Alignment> aligned;  // by chain of x (empty when unmapped)
    double score = -1.0;             // TM-score sum with the complex d0
};

// Aligns assembly y onto assembly x (x the first in canonical order).
class ComplexAligner {
public:
    ComplexAligner(const Assembly& x, const Assembly& y, std::span<const ChainPairing> given, const Cancel& cancel);

    // Step 1: the fold-level alignment of every chain pair. False when cancelled.
    bool align_chains();
    // Step 2: the candidates worth refining, best first.
    std::vector<State> candidates();
    // Step 3: alignments under the superposition, superposition of the
    // alignments, chain map of the alignments' values, until the score stops
    // rising. Returns false when cancelled.
    bool refine(State& s);

    double d8() const { return d8_; }

private:
    // complex_chains.cpp
    std::vector<char> chosen_pairs() const;
    void copy_to_copies(const std::vector<char>& done);

    // complex_candidates.cpp
    void overlay(const Map& map, std::vector<State>& out);
    bool same_place(const Transform& s, const Transform& t) const;
    Map assign(std::vector<double> w) const;
    State from_transform(const Transform& t);
    std::vector<Alignment> fold_pairs(const Map& map) const;
    tm::SearchResult search_map(const Map& map, const Transform& t, std::size_t starts, std::size_t min_fragment = 0);
    tm::SearchResult search_pairs(const std::vector<Alignment>& aligned, const Map& map, const Transform& t,
                                  std::size_t starts, std::size_t min_fragment = 0);

    // complex_refine.cpp
    void move_all(const Transform& t);
    bool near(std::size_t a, std::size_t b, const Transform& t) const;
    double similarity_sum(std::size_t a, std::size_t b, const Alignment& aligned) const;
    Alignment dp(std::size_t a, std::size_t b);
    void fill_dp(std::size_t a, std::size_t b);

    const Assembly& x_;
    const Assembly& y_;
    std::size_t nx_, ny_;
    std::vector<ChainPairing> given_;
    const Cancel& cancel_;
    double d0_ = 0.5, inv_d02_ = 4.0, d8_ = 0.0;
    std::vector<ChainAlignment> chain_;
    std::vector<PointSet> moved_;
    PointSet px_, py_;
    tm::Scratch scratch_;
    std::vector<std::uint8_t> dir_;
    std::vector<float> prev_, cur_, yf_, row_;
};

}  // namespace torva::complexes
