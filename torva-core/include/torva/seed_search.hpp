// Fragment seeds: starting frames for a scan that do not assume colinear chains.
//
// Superposing whole windows residue for residue only works when the chains are
// colinear over most of their length. A seed is instead a short fragment of the
// first chain paired with an equally long fragment of the second, anywhere in
// either; superposing the pair gives a candidate frame that an insertion or a
// deletion elsewhere does not disturb. Every candidate is rated cheaply by how
// close it brings the second chain's C-alpha atoms to the first chain's; the
// best are refitted the way structure-comparison searches do (align in sequence
// order under the current frame, superpose on the close aligned pairs, repeat
// while the fit improves), and the refinement starts from the few best
// distinct frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/cell_box.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"

namespace torva {

constexpr std::size_t kSeedLength = 8;        // residues per fragment
constexpr double kSeedFragmentRmsd = 3.0;     // fragments less alike than this are no seed
constexpr double kSeedPairs = 1000.0;         // fragment pairs aimed at ...
constexpr std::size_t kMinSeedStride = 3;     // ... with a stride no finer than this
constexpr std::size_t kMaxSeedStride = 8;     // ... and no coarser (long chains try more pairs)
constexpr double kCloseScale = 2.0;           // Å: closeness 1/(1 + (d/kCloseScale)²)
constexpr double kCloseReach = 5.0;           // Å: beyond this closeness counts as 0
constexpr std::size_t kSeedsRefitted = 8;     // best raw seeds refitted
constexpr std::size_t kSeedsStarted = 3;      // distinct refitted seeds refined with align_pair
constexpr std::size_t kRefitRounds = 4;
constexpr double kRefitGap = 0.6;             // gap charge of the refit alignment, in closeness units
constexpr double kRefitCutoff = 3.5;          // Å: aligned pairs farther apart are not fitted on
constexpr double kDistinctRms = 3.0;          // Å between two starts' placements of the second chain

// Closeness of two atoms at squared distance d2: 1 when they coincide, 1/2 at kCloseScale.
inline double closeness(double d2) { return 1.0 / (1.0 + d2 / (kCloseScale * kCloseScale)); }

// Closeness to the nearest atom of the first chain, sampled on a grid around
// it (1 Å apart, coarser for a large box), so that rating a candidate frame
// costs one look-up per atom of the second chain. Non-finite atoms are left
// out; without a finite atom, or with a box no protein spans, every frame rates 0.
class ClosenessMap {
public:
    explicit ClosenessMap(std::span<const Point> points);

    // Sum of the closeness of the second chain's atoms placed by `t`.
    double rate(std::span<const Point> q, const Transform& t) const;

private:
    CellBox box_;
    std::vector<float> cells_;
};

struct Seed {
    Transform transform;
    std::size_t offset = 0;  // first residue of the second chain's fragment
    double rating = 0.0;
};

// Sequence-order alignment of the two chains under a frame, by the closeness
// of their atoms with a linear gap charge (kRefitGap) and free end gaps. Keeps
// its tables (two rows of scores, one byte of traceback per cell) between calls.
class FrameAligner {
public:
    FrameAligner(std::span<const Point> p, std::span<const Point> q);

    // Aligned pairs (i, j) in increasing order and the summed closeness of the
    // alignment. Ties prefer a pair, then a gap in the second chain.
    double align(const Transform& t, std::vector<AlignedPair>& pairs);

    // Atom j of the second chain as the last `align` placed it.
    const Point& moved(std::size_t j) const { return moved_[j]; }

private:
    std::span<const Point> p_, q_;
    PointSet moved_;
    std::vector<double> row_, prev_, cur_;
    std::vector<std::uint8_t> from_;
};

// Refits `seed` on the close pairs of its sequence-order alignment while the
// alignment's closeness grows; `rating` becomes that closeness.
Seed refit(FrameAligner& aligner, std::span<const Point> p, std::span<const Point> q, Seed seed);

// Root-mean-square distance between the second chain's placements under two frames.
double placement_rms(std::span<const Point> q, const Transform& a, const Transform& b);

// The few best distinct starting frames found by fragment seeds, best first
// (none when either chain is shorter than a fragment). `cancel` is asked
// before each row of fragment pairs and before each refit.
Result<std::vector<Seed>> seed_starts(std::span<const Point> p, std::span<const Point> q, const Cancel& cancel = {});

}  // namespace torva
