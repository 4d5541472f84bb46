// The pieces shared by the TM-score search and fold mode: a least-squares fit
// over a subset of paired points, and the search of the superposition that
// maximises TM-score for a fixed set of pairs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/math.hpp"

namespace torva::tm {

// Least-squares superposition of y[idx[k]] onto x[idx[k]] (rotation proper).
// With `idx` empty, the `count` pairs from `first` on are used.
Transform fit(std::span<const Point> x, std::span<const Point> y, std::span<const std::uint32_t> idx);
Transform fit_range(std::span<const Point> x, std::span<const Point> y, std::size_t first, std::size_t count);

// How thoroughly one search looks.
struct SearchSettings {
    double d0 = 0.5;                // distance scale of the score
    double d0_search = 4.5;         // pairs closer than this steer the next fit
    double norm_length = 1.0;       // the score is divided by this
    // Only pairs closer than this count in the score (infinity: all pairs).
    double score_cutoff = std::numeric_limits<double>::infinity();
    std::size_t max_starts = 40;    // fragment starts per fragment length
    std::size_t min_fragment = 4;   // shortest fragment fitted
    int max_iterations = 20;        // refits per start
    // A superposition to start from before the fragments (none: fragments only).
    const Transform* initial = nullptr;
    // Asked before each fragment start; when it asks to stop, the search ends
    // with the best found so far (the caller sees the same Cancel asking).
    const Cancel* cancel = nullptr;
};

struct SearchResult {
    double score = 0.0;  // TM-score (sum over pairs / norm_length)
    Transform transform;
};

// Working space reused between searches.
struct Scratch {
    std::vector<double> d2;
    std::vector<double> xs, ys;  // the points by axis: x of every point, then y, then z
    std::vector<double> ranked;  // squared distances, partly sorted to widen the cutoff
    std::vector<std::uint32_t> selected;
    std::vector<std::uint32_t> previous;
    std::vector<std::uint64_t> seen;  // hashes of the sets fitted in one search
};

// The search over the pairs (x[k], y[k]): fragments of length n, n/2, n/4, ...
// (not below min_fragment), each at up to max_starts evenly spaced starts,
// after `initial` when one is given,
// fitted and then refitted on the pairs within d0_search (widened by 0.5 Å
// until at least three pairs qualify, see widened_cutoff2) until that set
// repeats. Keeps the best score seen after any fit. `x` and `y` have equal sizes.
SearchResult search(std::span<const Point> x, std::span<const Point> y, const SearchSettings& settings,
                    Scratch& scratch);

// TM-score sum of the pairs (x[k], T y[k]), pairs beyond the cutoff left out.
double score_sum(std::span<const Point> x, std::span<const Point> y, const Transform& t, double d0,
                 double score_cutoff);

// The squared cutoff that selects at least min(3, n) of the n squared
// distances `d2` (strictly below it): `cut` widened in steps of 0.5 Å. The
// steps are taken one by one over the first kSteppedWidenings (so that the
// selection is the same as stepping for ever); past them the cutoff jumps
// straight to the smallest one that admits the pair it waits for, so that
// distances of any size cost the same. Distances that are not finite are never
// selected: when too few are finite, +infinity (every finite one).
double widened_cutoff2(std::span<const double> d2, double cut, std::vector<double>& work);
inline constexpr int kSteppedWidenings = 1024;

// The search cutoff for d0: d0 kept within [4.5, 8] Å.
inline double search_cutoff(double d0) { return d0 < 4.5 ? 4.5 : (d0 > 8.0 ? 8.0 : d0); }

}  // namespace torva::tm
