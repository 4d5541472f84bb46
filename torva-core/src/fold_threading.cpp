// The fold search's gapless threading: starting superpositions from the
// chains laid along each other at every offset (fold_search.hpp).
#include <algorithm>
#include <cstdlib>

#include "fold_search.hpp"

namespace torva::fold_search {

std::pair<bool, std::vector<Transform>> Aligner::best_threadings(std::size_t keep) {
    const std::size_t lmin = std::min(n1_, n2_);
    const std::size_t min_overlap = std::min(lmin, std::max<std::size_t>(5, lmin / 2));
    tm::SearchSettings s = quick_;
    s.max_starts = 1;
    s.max_iterations = 4;
    struct Offset {
        double score;
        long k;
        Transform t;
    };
    std::vector<Offset> all;
    // y_j pairs with x_{j + k}.
    const long lo = -static_cast<long>(n2_ - min_overlap);
    const long hi = static_cast<long>(n1_ - min_overlap);
    Alignment a;
    std::vector<std::uint8_t> done(static_cast<std::size_t>(hi - lo + 1), 0);
    auto thread = [&](long k) {
        if (k < lo || k > hi || done[static_cast<std::size_t>(k - lo)]) return;
        done[static_cast<std::size_t>(k - lo)] = 1;
        a.clear();
        for (std::size_t j = 0; j < n2_; ++j) {
            const long i = static_cast<long>(j) + k;
            if (i < 0) continue;
            if (i >= static_cast<long>(n1_)) break;
            a.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
        }
        s.min_fragment = std::max<std::size_t>(4, a.size() / 2);
        const tm::SearchResult r = evaluate(a, s);
        all.push_back({r.score, k, r.transform});
    };
    for (long k = lo; k <= hi; k += 2) {
        if (((k - lo) & 63) == 0 && cancel_.requested()) return {false, {}};
        thread(k);
    }
    thread(hi);
    auto by_score = [](const Offset& l, const Offset& r) { return l.score > r.score; };
    std::stable_sort(all.begin(), all.end(), by_score);
    const std::size_t coarse = std::min(all.size(), kThreadingNeighbours * keep);
    std::vector<long> around;
    for (std::size_t q = 0; q < coarse; ++q) around.push_back(all[q].k);
    for (const long k : around) {
        thread(k - 1);
        thread(k + 1);
    }
    std::stable_sort(all.begin(), all.end(), [](const Offset& l, const Offset& r) { return l.score > r.score; });
    std::vector<Transform> out;
    std::vector<long> taken;
    for (const Offset& o : all) {
        if (out.size() >= keep) break;
        bool near = false;
        for (const long k : taken) near = near || std::labs(k - o.k) < 5;
        if (near) continue;
        taken.push_back(o.k);
        out.push_back(o.t);
    }
    return {true, out};
}
}  // namespace torva::fold_search
