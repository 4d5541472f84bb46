// The fold search's aligner: its quick searches and the refinement of a
// superposition (fold_search.hpp).
#include <algorithm>

#include "fold_search.hpp"

namespace torva::fold_search {

// A 64-bit fingerprint of an alignment (its pairs in order).
std::uint64_t fingerprint(const Alignment& a) {
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ a.size();
    for (const AlignedPair& p : a) {
        std::uint64_t z = h + ((static_cast<std::uint64_t>(p.i) << 32) | p.j) + 0x9e3779b97f4a7c15ull;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        h = z ^ (z >> 31);
    }
    return h;
}

Aligner::Aligner(const PointSet& x, const PointSet& y, const Cancel& cancel)
    : x_(x), y_(y), n1_(x.size()), n2_(y.size()), cancel_(cancel) {
    const std::size_t lmin = std::min(n1_, n2_);
    d0_ = tm_d0(lmin);
    d8_ = 1.5 * std::pow(static_cast<double>(lmin), 0.3) + 3.5;
    quick_.d0 = d0_;
    quick_.d0_search = tm::search_cutoff(d0_);
    quick_.norm_length = static_cast<double>(lmin);
    quick_.score_cutoff = d8_;
    quick_.max_starts = kQuickStarts;
    quick_.cancel = &cancel_;
    yt_.resize(n2_);
    cx_centre_ = centroid(x);
}

tm::SearchResult Aligner::evaluate(const Alignment& a, const tm::SearchSettings& s) {
    ax_.clear();
    ay_.clear();
    for (const AlignedPair& p : a) {
        ax_.push_back(x_[p.i]);
        ay_.push_back(y_[p.j]);
    }
    return tm::search(ax_, ay_, s, scratch_);
}

tm::SearchResult Aligner::evaluate(const Alignment& a) {
    const std::uint64_t key = fingerprint(a);
    const auto found = evaluated_.find(key);
    if (found != evaluated_.end()) return found->second;
    const tm::SearchResult r = evaluate(a, quick_);
    evaluated_.emplace(key, r);
    return r;
}

tm::SearchResult Aligner::evaluate_from(const Alignment& a, const Transform& t) {
    tm::SearchSettings s = quick_;
    s.initial = &t;
    s.min_fragment = std::max<std::size_t>(8, a.size() / 4);
    return evaluate(a, s);
}

void Aligner::offer(const Alignment& a, const tm::SearchResult& r) {
    if (r.score > best_score_) {
        best_score_ = r.score;
        best_ = a;
        best_transform_ = r.transform;
    }
}

bool Aligner::refine(const Transform& start) {
    Transform from = start;
    ++refinements_;
    for (const double gap : {-0.6, 0.0}) {
        auto& visited = gap < 0.0 ? visited_open_ : visited_free_;
        Transform t = from;
        double last = -1.0;
        Alignment previous;
        for (int it = 0; it < 30; ++it) {
            if (cancel_.requested()) return false;
            Alignment a = dp_distance(t, gap);
            if (a.empty()) break;
            const auto [seen, fresh] = visited.emplace(fingerprint(a), refinements_);
            if (!fresh) {
                if (seen->second == refinements_) break;  // a cycle of this refinement
                if (gap < 0.0) return true;              // joins an earlier one
                break;
            }
            const tm::SearchResult r = evaluate_from(a, t);
            offer(a, r);
            if (a == previous || r.score <= last + 1e-6) break;
            last = r.score;
            t = r.transform;
            from = t;
            previous = std::move(a);
        }
    }
    return true;
}

bool Aligner::refine(const Alignment& a) {
    if (a.empty()) return true;
    const tm::SearchResult r = evaluate(a);
    offer(a, r);
    return refine(r.transform);
}

Alignment Aligner::trace_back(const DpEnd& end) const {
    const std::size_t w = n2_ + 1;
    Alignment a;
    std::size_t i = end.i, j = end.j;
    int state = end.state;
    while (i > 0 && j > 0) {
        const std::uint8_t t = trace_[i * w + j];
        if (state == 0) {
            a.push_back({static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1)});
            state = t & 3;
            --i;
            --j;
        } else if (state == 1) {
            state = (t >> 2) & 3;
            --i;
        } else {
            state = (t >> 4) & 3;
            --j;
        }
    }
    std::reverse(a.begin(), a.end());
    return a;
}

}  // namespace torva::fold_search
