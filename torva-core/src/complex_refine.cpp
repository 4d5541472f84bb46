// Complexes, step 3: each candidate refined by alignments under its
// superposition (dynamic programming on the TM similarity), the superposition
// of those alignments and the chain map of their values, in turn.
#include <algorithm>
#include <cmath>
#include <utility>

#include "complex_aligner.hpp"

namespace torva::complexes {

bool ComplexAligner::refine(State& s) {
    State best;
    const Map start_map = s.map;
    const Transform start = s.transform;
    // The candidate's own pairs (the fold-level ones) compete with the refinement's.
    State own;
    own.map = s.map;
    own.aligned = fold_pairs(s.map);
    const tm::SearchResult fitted = search_pairs(own.aligned, own.map, start, kCandidateStarts);
    own.score = fitted.score;
    own.transform = fitted.transform;
    s = std::move(own);
    Map map = start_map;
    Transform t = start;
    for (int step = 0; step < kRefineSteps; ++step) {
        if (cancel_.requested()) return false;
        move_all(t);
        std::vector<Alignment> aligned(nx_);
        for (std::size_t a = 0; a < nx_; ++a)
            if (map[a] >= 0) aligned[a] = dp(a, static_cast<std::size_t>(map[a]));
        const tm::SearchResult r = search_pairs(aligned, map, t, kCandidateStarts);
        if (r.score <= best.score + 1e-9) break;
        best.map = map;
        best.transform = r.transform;
        best.aligned = std::move(aligned);
        best.score = r.score;
        t = r.transform;
        // The chain map again, from the values of alignments under the new superposition.
        move_all(t);
        std::vector<double> w(nx_ * ny_, 0.0);
        for (std::size_t a = 0; a < nx_; ++a)
            for (std::size_t b = 0; b < ny_; ++b) {
                if (!near(a, b, t)) continue;
                w[a * ny_ + b] = similarity_sum(a, b, dp(a, b));
            }
        map = assign(w);
    }
    if (best.score > s.score) s = std::move(best);
    return true;
}

// The mobile chains moved by t, into moved_.
void ComplexAligner::move_all(const Transform& t) {
    for (std::size_t b = 0; b < ny_; ++b) moved_[b] = t.apply(y_.chains[b]);
}

// Whether chains a and b can come within reach of each other under t.
bool ComplexAligner::near(std::size_t a, std::size_t b, const Transform& t) const {
    const double d = std::sqrt(squared_distance(x_.centre[a], t.apply(y_.centre[b])));
    return d < x_.radius[a] + y_.radius[b] + d8_;
}

// The TM similarity sum of an alignment of chain a with chain b as moved
// (pairs beyond the cutoff score nothing).
double ComplexAligner::similarity_sum(std::size_t a, std::size_t b, const Alignment& aligned) const {
    const double cut2 = d8_ * d8_;
    double sum = 0.0;
    for (const AlignedPair& p : aligned) {
        const double d2 = squared_distance(x_.chains[a][p.i], moved_[b][p.j]);
        if (d2 < cut2) sum += 1.0 / (1.0 + d2 * inv_d02_);
    }
    return sum;
}

// Alignment of chain a with chain b as moved (moved_[b]) maximising the TM
// similarity with d0 of the complex, minus kGap per gap opened after an
// aligned pair (gaps at the ends and runs of gaps are free).
Alignment ComplexAligner::dp(std::size_t a, std::size_t b) {
    fill_dp(a, b);
    const std::size_t w = moved_[b].size() + 1;
    Alignment out;
    std::size_t i = x_.chains[a].size(), j = moved_[b].size();
    while (i > 0 && j > 0) {
        const std::uint8_t d = dir_[i * w + j];
        if (d == 1) {
            out.push_back({static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1)});
            --i;
            --j;
        } else if (d == 2) {
            --i;
        } else {
            --j;
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// The table of dp (its moves into dir_), in single precision about chain a's
// centre.
void ComplexAligner::fill_dp(std::size_t a, std::size_t b) {
    const PointSet& xa = x_.chains[a];
    const PointSet& yb = moved_[b];
    const std::size_t n1 = xa.size(), n2 = yb.size(), w = n2 + 1;
    const float gap = static_cast<float>(kGap);
    const float inv = static_cast<float>(inv_d02_);
    const float cut2 = static_cast<float>(d8_ * d8_);
    dir_.assign((n1 + 1) * w, 0);  // 1 diagonal, 2 from above (x residue unaligned), 3 from the left
    prev_.assign(w, 0.0f);
    cur_.assign(w, 0.0f);
    yf_.resize(3 * n2);
    const Point c = x_.centre[a];
    for (std::size_t j = 0; j < n2; ++j)
        for (std::size_t k = 0; k < 3; ++k) yf_[k * n2 + j] = static_cast<float>(yb[j][k] - c[k]);
    row_.resize(n2);
    for (std::size_t i = 1; i <= n1; ++i) {
        const float px = static_cast<float>(xa[i - 1][0] - c[0]);
        const float py = static_cast<float>(xa[i - 1][1] - c[1]);
        const float pz = static_cast<float>(xa[i - 1][2] - c[2]);
        const float* __restrict y0 = yf_.data();
        const float* __restrict y1 = y0 + n2;
        const float* __restrict y2 = y1 + n2;
        float* __restrict row = row_.data();
        for (std::size_t j = 0; j < n2; ++j) {
            const float dx = px - y0[j], dy = py - y1[j], dz = pz - y2[j];
            const float d2 = dx * dx + dy * dy + dz * dz;
            row[j] = d2 < cut2 ? 1.0f / (1.0f + d2 * inv) : 0.0f;
        }
        std::uint8_t* d = dir_.data() + i * w;
        const std::uint8_t* dp_above = dir_.data() + (i - 1) * w;
        cur_[0] = 0.0f;
        for (std::size_t j = 1; j <= n2; ++j) {
            const float diag = prev_[j - 1] + row[j - 1];
            const float up = prev_[j] + (dp_above[j] == 1 ? gap : 0.0f);
            const float left = cur_[j - 1] + (d[j - 1] == 1 ? gap : 0.0f);
            if (diag >= up && diag >= left) {
                cur_[j] = diag;
                d[j] = 1;
            } else if (up >= left) {
                cur_[j] = up;
                d[j] = 2;
            } else {
                cur_[j] = left;
                d[j] = 3;
            }
        }
        std::swap(prev_, cur_);
    }
}

}  // namespace torva::complexes
