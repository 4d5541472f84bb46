// The fold search's aligner (internal to the core): the dynamic programming
// on the chains' similarity, the quick TM-score searches of alignments, and
// the three ways it finds starting superpositions and improves them, one file
// each: gapless threading (fold_threading.cpp), fragment seeds
// (fold_seeds.cpp) and refinement (fold_refine.cpp). fold.cpp runs them.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tm_kernel.hpp"
#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/cell_box.hpp"
#include "torva/math.hpp"
#include "torva/tmscore.hpp"

namespace torva::fold_search {

constexpr float kNegInfF = -std::numeric_limits<float>::infinity();

// Four lanes of single precision and their comparison masks (0 or -1).
typedef float F4 __attribute__((vector_size(16)));
typedef std::int32_t I4 __attribute__((vector_size(16)));
typedef std::uint8_t B4 __attribute__((vector_size(4)));
constexpr F4 kNegInf4 = {kNegInfF, kNegInfF, kNegInfF, kNegInfF};

inline F4 load4(const float* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store4(float* p, F4 v) { std::memcpy(p, &v, sizeof v); }
inline F4 vmax(F4 a, F4 b) { return a > b ? a : b; }
// Lanes holding values below 256, written to (or or-ed into) four bytes.
inline void store_bytes(std::uint8_t* p, I4 v) {
    const B4 b = __builtin_convertvector(v, B4);
    std::memcpy(p, &b, sizeof b);
}
inline void or_bytes(std::uint8_t* p, I4 v) {
    B4 b;
    std::memcpy(&b, p, sizeof b);
    b |= __builtin_convertvector(v, B4);
    std::memcpy(p, &b, sizeof b);
}
constexpr std::size_t kSeedsTried = 12;     // fragment seeds given one alignment step
constexpr std::size_t kSeedPrefilter = 4;   // of every kept seed, that many rated by their alignment value
constexpr std::size_t kSeedRows = 16;       // fragment starts along each chain, about
constexpr std::size_t kFragment = 12;       // longest seed fragment
constexpr std::size_t kQuickStarts = 4;     // fragment starts per length in the searches while aligning
constexpr std::size_t kProxyStep = 2;       // every second moved residue rates a seed
constexpr std::size_t kThreadingsKept = 3;  // best gapless threadings kept as starts
constexpr std::size_t kThreadingNeighbours = 3;  // per kept threading, coarse offsets whose neighbours are tried
constexpr std::size_t kRefined = 4;         // starts refined in full after one alignment step
constexpr std::size_t kRefinedClear = 2;    // the same when the chains superpose clearly
constexpr double kClearScore = 0.5;         // TM-score (shorter chain) that makes seeds unnecessary

using Alignment = std::vector<AlignedPair>;

// A 64-bit fingerprint of an alignment (its pairs in order).
std::uint64_t fingerprint(const Alignment& a);

// Points bucketed in the cells of the seed-rating grid (cells of at least one
// edge length); visit() calls back with the index of every point in the 27
// cells around a position, which holds every point within one edge of it.
class SeedGrid {
public:
    void build(const PointSet& pts, double edge);

    template <class F>
    void visit(const Point& p, F&& f) const {
        if (box.empty()) return;
        std::array<long, 3> c{};
        for (int a = 0; a < 3; ++a) {
            const auto v = box.cell(p[a], a);
            if (!v) return;
            c[a] = *v;
        }
        const auto last = [&](int a) { return static_cast<long>(box.dims[a]) - 1; };
        for (long a = std::max(0L, c[0] - 1); a <= std::min(last(0), c[0] + 1); ++a)
            for (long b = std::max(0L, c[1] - 1); b <= std::min(last(1), c[1] + 1); ++b)
                for (long z = std::max(0L, c[2] - 1); z <= std::min(last(2), c[2] + 1); ++z) {
                    const std::size_t id = box.index(static_cast<std::size_t>(a), static_cast<std::size_t>(b),
                                                     static_cast<std::size_t>(z));
                    for (std::uint32_t k = start[id]; k < start[id + 1]; ++k) f(items[k]);
                }
    }

private:
    // The cell of a point of the set (inside the box, on its last cell at the far edge).
    std::size_t cell(const Point& p) const;

    static constexpr double kMaxCells = 262144.0;  // coarser cells past this (a box over 280 Å wide)
    CellBox box;
    std::vector<std::uint32_t> start, items;
};

// The best of the dynamic programming: its value and where its path ends.
struct DpEnd {
    float best = 0.0f;
    std::size_t i = 0, j = 0;
    int state = 0;
    void offer(float v, std::size_t at_i, std::size_t at_j, int at_state) {
        if (v > best) {
            best = v;
            i = at_i;
            j = at_j;
            state = at_state;
        }
    }
};

// x is the first chain in canonical order, y the second (moved onto x).
class Aligner {
public:
    Aligner(const PointSet& x, const PointSet& y, const Cancel& cancel);

    double d0() const { return d0_; }
    double d8() const { return d8_; }
    const Cancel& cancel() const { return cancel_; }

    // TM-score (quick search, normalised by the shorter chain) of an alignment.
    tm::SearchResult evaluate(const Alignment& a, const tm::SearchSettings& s);
    // The same with the quick settings; an alignment met before gets the
    // result it got then.
    tm::SearchResult evaluate(const Alignment& a);
    // A cheaper search for an alignment made under t, for the steps of a
    // refinement: refits from t first, then fragments down to a quarter of
    // the pairs only.
    tm::SearchResult evaluate_from(const Alignment& a, const Transform& t);

    // Global alignment maximising the sum of s(i, j) over pairs minus
    // `gap` (<= 0 added) per gap opened inside; end gaps are free.
    // score(i, row) writes s(i, j) for every j into row.
    template <class Score>
    Alignment dp(Score&& score, double gap) {
        return dp_run<true>(score, gap);
    }
    // Only the value of the best alignment (into last_dp_value_).
    template <class Score>
    void dp_value(Score&& score, double gap) {
        dp_run<false>(score, gap);
    }

    // DP on the TM similarity of x and y moved by t (kTrace false: only
    // the value, into last_dp_value_).
    template <bool kTrace = true>
    Alignment dp_distance(const Transform& t, double gap) {
        // Moved coordinates, one array per axis, relative to the centroid of
        // x so that single precision loses nothing that matters.
        ytx_.resize(n2_);
        yty_.resize(n2_);
        ytz_.resize(n2_);
        for (std::size_t j = 0; j < n2_; ++j) {
            const Point p = t.apply(y_[j]);
            ytx_[j] = static_cast<float>(p[0] - cx_centre_[0]);
            yty_[j] = static_cast<float>(p[1] - cx_centre_[1]);
            ytz_[j] = static_cast<float>(p[2] - cx_centre_[2]);
        }
        const float inv = static_cast<float>(1.0 / (d0_ * d0_));
        const float* __restrict px = ytx_.data();
        const float* __restrict py = yty_.data();
        const float* __restrict pz = ytz_.data();
        const std::size_t n2 = n2_;
        auto fill = [&](std::size_t i, float* __restrict row) {
            const float a = static_cast<float>(x_[i][0] - cx_centre_[0]);
            const float b = static_cast<float>(x_[i][1] - cx_centre_[1]);
            const float c = static_cast<float>(x_[i][2] - cx_centre_[2]);
            for (std::size_t j = 0; j < n2; ++j) {
                const float dx = a - px[j], dy = b - py[j], dz = c - pz[j];
                row[j] = 1.0f / (1.0f + (dx * dx + dy * dy + dz * dz) * inv);
            }
        };
        return dp_run<kTrace>(fill, gap);
    }

    // Offers an alignment and its superposition to the overall best.
    void offer(const Alignment& a, const tm::SearchResult& r);

    // Refinement from a superposition: DP under it, a new superposition of
    // the DP's pairs, and again until the score stops rising; with two gap
    // charges. Each step depends only on the alignment before it, so a
    // refinement that meets an alignment an earlier one went through (under
    // the same gap charge) would retrace it and stops there. Returns false
    // when cancelled.
    bool refine(const Transform& start);
    // Refinement from an alignment: its superposition first.
    bool refine(const Alignment& a);

    // Gapless threading at the offsets with an overlap of at least half the
    // shorter chain: every second offset, then the neighbours of the best
    // few; the superpositions of the `keep` best offsets, at least five apart.
    std::pair<bool, std::vector<Transform>> best_threadings(std::size_t keep);

    // Fragment seeds: pairs of short fragments, one from each chain, fitted
    // on each other; each fit is rated by how close the moved y residues come
    // to any x residue (order ignored), and the `keep` best are returned.
    std::pair<bool, std::vector<Transform>> seed_transforms(std::size_t keep);

    const Alignment& best() const { return best_; }
    double best_score() const { return best_score_; }
    const Transform& best_transform() const { return best_transform_; }

private:
    static constexpr double kCell = 4.5;  // Å: edge of the seed-rating grid, and the reach of a seed's rating

    template <bool kTrace, class Score>
    Alignment dp_run(Score& score, double gap) {
        const std::size_t w = n2_ + 1;
        if (kTrace) trace_.resize((n1_ + 1) * w);
        pm_.assign(w, kNegInfF);
        px_.assign(w, kNegInfF);
        py_.assign(w, 0.0f);
        pm_[0] = 0.0f;
        py_[0] = kNegInfF;
        cm_.resize(w);
        cx_.resize(w);
        cy_.resize(w);
        row_.resize(n2_);
        DpEnd end;  // in the last column (i, n2) or the last row (n1, j)
        const float g = static_cast<float>(gap);
        for (std::size_t i = 1; i <= n1_; ++i) {
            std::uint8_t* tr = kTrace ? trace_.data() + i * w : nullptr;
            cm_[0] = kNegInfF;
            cx_[0] = 0.0f;
            cy_[0] = kNegInfF;
            score(i - 1, row_.data());
            dp_from_above<kTrace>(g, tr);
            dp_from_left<kTrace>(g, tr);
            end.offer(cm_[n2_], i, n2_, 0);
            std::swap(pm_, cm_);
            std::swap(px_, cx_);
            std::swap(py_, cy_);
        }
        for (std::size_t j = 1; j <= n2_; ++j) end.offer(pm_[j], n1_, j, 0);
        last_dp_value_ = end.best;
        if (!kTrace) return {};
        return trace_back(end);
    }

    // One row of the DP: match and x_i unaligned, which depend on the previous
    // row only (four columns at a time, then one at a time).
    template <bool kTrace>
    void dp_from_above(float g, std::uint8_t* __restrict tr) {
        float* __restrict cm = cm_.data();
        float* __restrict cx = cx_.data();
        const float* __restrict pm = pm_.data();
        const float* __restrict px = px_.data();
        const float* __restrict py = py_.data();
        const float* __restrict row = row_.data();
        const std::size_t n2 = n2_;
        std::size_t j = 1;
        for (; j + 3 <= n2; j += 4) {
            // Match: from any state at (i-1, j-1); ties prefer M, then X.
            const F4 a0 = load4(pm + j - 1), a1 = load4(px + j - 1), a2 = load4(py + j - 1);
            const I4 m1 = a1 > a0;
            const F4 m01 = m1 ? a1 : a0;
            const I4 m2 = a2 > m01;
            store4(cm + j, (m2 ? a2 : m01) + load4(row + j - 1));
            // x_i unaligned: from (i-1, j).
            const F4 g0 = load4(pm + j) + g, g1 = load4(px + j), g2 = load4(py + j) + g;
            const I4 x1 = g1 >= g0;
            const F4 g01 = x1 ? g1 : g0;
            const I4 x2 = g2 > g01;
            store4(cx + j, x2 ? g2 : g01);
            if (kTrace) {
                const I4 code = ((m2 & 2) | (~m2 & m1 & 1)) | (((x2 & 2) | (~x2 & x1 & 1)) << 2);
                store_bytes(tr + j, code);
            }
        }
        for (; j <= n2; ++j) {
            const float a0 = pm[j - 1], a1 = px[j - 1], a2 = py[j - 1];
            const bool m1 = a1 > a0;
            const float m01 = m1 ? a1 : a0;
            const bool m2 = a2 > m01;
            cm[j] = (m2 ? a2 : m01) + row[j - 1];
            const float g0 = pm[j] + g, g1 = px[j], g2 = py[j] + g;
            const bool x1 = g1 >= g0;
            const float g01 = x1 ? g1 : g0;
            const bool x2 = g2 > g01;
            cx[j] = x2 ? g2 : g01;
            if (kTrace)
                tr[j] = static_cast<std::uint8_t>((m2 ? 2 : (m1 ? 1 : 0)) | ((x2 ? 2 : (x1 ? 1 : 0)) << 2));
        }
    }

    // The same row: y_j unaligned.
    template <bool kTrace>
    void dp_from_left(float g, std::uint8_t* __restrict tr) {
        float* __restrict cm = cm_.data();
        float* __restrict cx = cx_.data();
        float* __restrict cy = cy_.data();
        const std::size_t n2 = n2_;
        // y_j unaligned: from (i, j-1), opened from M or X; extending is
        // free, so the state is a running maximum along the row, taken
        // four columns at a time (a prefix maximum within the four).
        float prev = cy[0];
        std::size_t j = 1;
        for (; j + 3 <= n2; j += 4) {
            const F4 h0 = load4(cm + j - 1) + g, h1 = load4(cx + j - 1) + g;
            const I4 y1 = h1 > h0;
            const F4 h01 = y1 ? h1 : h0;
            F4 run = vmax(h01, __builtin_shuffle(kNegInf4, h01, I4{3, 4, 5, 6}));
            run = vmax(run, __builtin_shuffle(kNegInf4, run, I4{2, 3, 4, 5}));
            const F4 carry = F4{prev, prev, prev, prev};
            run = vmax(run, carry);
            store4(cy + j, run);
            if (kTrace) {
                // The running value before each column: stay in the gap on ties.
                const F4 before = __builtin_shuffle(carry, run, I4{3, 4, 5, 6});
                const I4 y2 = before >= h01;
                const I4 code = ((y2 & 2) | (~y2 & y1 & 1)) << 4;
                or_bytes(tr + j, code);
            }
            prev = run[3];
        }
        for (; j <= n2; ++j) {
            const float h0 = cm[j - 1] + g, h1 = cx[j - 1] + g;
            const bool y1 = h1 > h0;
            const float h01 = y1 ? h1 : h0;
            const bool y2 = prev >= h01;
            prev = y2 ? prev : h01;
            cy[j] = prev;
            if (kTrace) tr[j] = static_cast<std::uint8_t>(tr[j] | ((y2 ? 2 : (y1 ? 1 : 0)) << 4));
        }
    }

    // The pairs of the best path, from the traceback of the last dp_run.
    Alignment trace_back(const DpEnd& end) const;

    const PointSet& x_;
    const PointSet& y_;
    std::size_t n1_, n2_;
    const Cancel& cancel_;
    double d0_ = 0.5, d8_ = 0.0;
    tm::SearchSettings quick_;
    tm::Scratch scratch_;
    PointSet ax_, ay_, yt_;
    Point cx_centre_{0, 0, 0};
    std::vector<float> ytx_, yty_, ytz_;
    SeedGrid grid_;
    std::vector<std::uint8_t> trace_;
    std::vector<float> pm_, px_, py_, cm_, cx_, cy_, row_;  // single precision: twice the lanes

    double last_dp_value_ = 0.0;  // of the last dp()
    std::unordered_map<std::uint64_t, tm::SearchResult> evaluated_;  // quick searches by alignment
    // Alignments met while refining, under each gap charge, with the refinement that met them.
    std::unordered_map<std::uint64_t, int> visited_open_, visited_free_;
    int refinements_ = 0;
    double best_score_ = -1.0;
    Alignment best_;
    Transform best_transform_;
};

}  // namespace torva::fold_search
