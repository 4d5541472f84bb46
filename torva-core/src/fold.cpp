// Fold mode: TM-score-driven alignment from several starts (the search
// itself is in fold_search.hpp and the files it names).
#include "torva/fold.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fold_search.hpp"
#include "tm_kernel.hpp"
#include "torva/tmscore.hpp"

namespace torva {

std::vector<char> assign_secondary_structure(std::span<const Point> c) {
    const std::size_t n = c.size();
    std::vector<char> ss(n, 'C');
    if (n < 5) return ss;
    auto dist = [&](std::size_t a, std::size_t b) { return std::sqrt(squared_distance(c[a], c[b])); };
    // Ideal C-alpha distances (i to i+2, i+3, i+4) of a helix and a strand.
    auto near = [](double d, double ideal, double tol) { return std::fabs(d - ideal) < tol; };
    for (std::size_t i = 2; i + 2 < n; ++i) {
        const double d13 = dist(i - 2, i), d14 = dist(i - 2, i + 1), d15 = dist(i - 2, i + 2);
        const double d24 = dist(i - 1, i + 1), d25 = dist(i - 1, i + 2), d35 = dist(i, i + 2);
        if (near(d15, 6.37, 2.1) && near(d14, 5.18, 2.1) && near(d25, 5.18, 2.1) && near(d13, 5.45, 2.1) &&
            near(d24, 5.45, 2.1) && near(d35, 5.45, 2.1)) {
            ss[i] = 'H';
        } else if (near(d15, 13.0, 1.42) && near(d14, 10.4, 1.42) && near(d25, 10.4, 1.42) &&
                   near(d13, 6.1, 1.42) && near(d24, 6.1, 1.42) && near(d35, 6.1, 1.42)) {
            ss[i] = 'E';
        }
    }
    // A lone helix or strand residue is coil.
    std::vector<char> out = ss;
    for (std::size_t i = 0; i < n; ++i) {
        if (ss[i] == 'C') continue;
        const bool left = i > 0 && ss[i - 1] == ss[i];
        const bool right = i + 1 < n && ss[i + 1] == ss[i];
        if (!left && !right) out[i] = 'C';
    }
    return out;
}

namespace {

using fold_search::Aligner;
using fold_search::Alignment;

// Canonical order: the longer chain first; equal lengths by coordinates, then
// residue types. True when `a` goes first.
bool goes_first(std::span<const Residue> a, std::span<const Residue> b) {
    if (a.size() != b.size()) return a.size() > b.size();
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k].coord != b[k].coord) return a[k].coord < b[k].coord;
        if (a[k].amino_acid != b[k].amino_acid) return a[k].amino_acid < b[k].amino_acid;
    }
    return true;
}

struct Canonical {
    Alignment pairs;
    tm::SearchResult by_x, by_y;  // TM-score normalised by x's length, by y's
    double rmsd = 0.0;
};
using Stepped = std::vector<std::pair<double, Transform>>;

// Candidate superpositions from the gapless threadings, the alignment of the
// secondary-structure strings and that of both the strings and the distances
// under the best threading (each alignment offered to the best). False when
// cancelled.
bool gather_starts(Aligner& al, const PointSet& x, const PointSet& y, const Cancel& cancel,
                   std::vector<Transform>& starts) {
    const std::size_t n2 = y.size();
    // 1. Gapless threading.
    auto [ok, threaded] = al.best_threadings(fold_search::kThreadingsKept);
    if (!ok) return false;
    starts.insert(starts.end(), threaded.begin(), threaded.end());

    // 2. Secondary-structure strings.
    const std::vector<char> ssx = assign_secondary_structure(x);
    const std::vector<char> ssy = assign_secondary_structure(y);
    if (cancel.requested()) return false;
    const Alignment by_ss = al.dp(
        [&](std::size_t i, float* row) {
            for (std::size_t j = 0; j < n2; ++j) row[j] = ssx[i] == ssy[j] ? 1.0f : 0.0f;
        },
        -1.0);
    if (!by_ss.empty()) {
        const tm::SearchResult r = al.evaluate(by_ss);
        al.offer(by_ss, r);
        starts.push_back(r.transform);
    }

    // 3. Secondary structure and distances under the best threading.
    if (!threaded.empty()) {
        if (cancel.requested()) return false;
        const double inv = 1.0 / (al.d0() * al.d0());
        PointSet yt = threaded.front().apply(y);
        const Alignment mixed = al.dp(
            [&](std::size_t i, float* row) {
                for (std::size_t j = 0; j < n2; ++j)
                    row[j] = static_cast<float>(1.0 / (1.0 + squared_distance(x[i], yt[j]) * inv) + (ssx[i] == ssy[j] ? 0.5 : 0.0));
            },
            -1.0);
        if (!mixed.empty()) {
            const tm::SearchResult r = al.evaluate(mixed);
            al.offer(mixed, r);
            starts.push_back(r.transform);
        }
    }
    return true;
}

// One alignment step from each superposition; its score and superposition
// go to `stepped`. False when cancelled.
bool step_all(Aligner& al, const std::vector<Transform>& from, const Cancel& cancel, Stepped& stepped) {
    for (const Transform& t : from) {
        if (cancel.requested()) return false;
        const Alignment a = al.dp_distance(t, -0.6);
        if (a.empty()) continue;
        const tm::SearchResult r = al.evaluate(a);
        al.offer(a, r);
        stepped.emplace_back(r.score, r.transform);
    }
    return true;
}

// The result of the search: the best alignment keeps its pairs within d8
// under its superposition, whose TM-scores are then searched in full.
Result<Canonical> report(Aligner& al, const PointSet& x, const PointSet& y, const Cancel& cancel) {
    const std::size_t n1 = x.size(), n2 = y.size();
    Canonical out;
    tm::Scratch scratch;
    tm::SearchSettings full;
    full.cancel = &cancel;
    full.max_starts = 40;
    full.d0 = al.d0();
    full.d0_search = tm::search_cutoff(full.d0);
    full.norm_length = static_cast<double>(std::min(n1, n2));
    full.score_cutoff = al.d8();
    const tm::SearchResult polished = al.evaluate(al.best(), full);
    const Transform& t = polished.score >= al.best_score() ? polished.transform : al.best_transform();
    const double cut2 = al.d8() * al.d8();
    double closest = std::numeric_limits<double>::infinity();
    AlignedPair closest_pair{};
    for (const AlignedPair& p : al.best()) {
        const double d2 = squared_distance(x[p.i], t.apply(y[p.j]));
        if (d2 < cut2) out.pairs.push_back(p);
        if (d2 < closest) {
            closest = d2;
            closest_pair = p;
        }
    }
    if (out.pairs.empty() && !al.best().empty()) out.pairs.push_back(closest_pair);
    if (out.pairs.empty()) out.pairs.push_back({0, 0});

    PointSet px, py;
    for (const AlignedPair& p : out.pairs) {
        px.push_back(x[p.i]);
        py.push_back(y[p.j]);
    }
    full.score_cutoff = std::numeric_limits<double>::infinity();
    full.norm_length = static_cast<double>(n1);
    full.d0 = tm_d0(n1);
    full.d0_search = tm::search_cutoff(full.d0);
    out.by_x = tm::search(px, py, full, scratch);
    if (cancel.requested()) return Error::cancelled();
    if (n2 == n1) {
        out.by_y = out.by_x;  // the same search
    } else {
        full.norm_length = static_cast<double>(n2);
        full.d0 = tm_d0(n2);
        full.d0_search = tm::search_cutoff(full.d0);
        out.by_y = tm::search(px, py, full, scratch);
        if (cancel.requested()) return Error::cancelled();
    }
    out.rmsd = superpose(px, py).rmsd;
    return out;
}

Result<Canonical> align_canonical(std::span<const Residue> rx, std::span<const Residue> ry, const Cancel& cancel) {
    PointSet x(rx.size()), y(ry.size());
    for (std::size_t k = 0; k < rx.size(); ++k) x[k] = rx[k].coord;
    for (std::size_t k = 0; k < ry.size(); ++k) y[k] = ry[k].coord;
    Aligner al(x, y, cancel);

    // Candidate superpositions from every kind of start; each is given one
    // alignment step, and the best few are refined in full.
    std::vector<Transform> starts;
    Stepped stepped;
    if (!gather_starts(al, x, y, cancel, starts) || !step_all(al, starts, cancel, stepped)) return Error::cancelled();

    // 4. Fragment seeds, unless the chains already superpose clearly.
    std::size_t refined = fold_search::kRefinedClear;
    if (al.best_score() < fold_search::kClearScore) {
        auto [seeds_ok, seeds] = al.seed_transforms(fold_search::kSeedsTried);
        if (!seeds_ok || !step_all(al, seeds, cancel, stepped)) return Error::cancelled();
        refined = fold_search::kRefined;
    }

    std::stable_sort(stepped.begin(), stepped.end(), [](const auto& l, const auto& r) { return l.first > r.first; });
    for (std::size_t k = 0; k < stepped.size() && k < refined; ++k)
        if (!al.refine(stepped[k].second)) return Error::cancelled();
    return report(al, x, y, cancel);
}

}  // namespace

Result<FoldResult> fold_align(std::span<const Residue> fixed, std::span<const Residue> mobile, const Cancel& cancel) {
    if (fixed.empty()) return Error::structure_too_small(0, 1);
    if (mobile.empty()) return Error::structure_too_small(0, 1);
    for (const auto chain : {fixed, mobile})
        for (const Residue& r : chain)
            for (const double v : r.coord)
                if (!std::isfinite(v))
                    return Error::invalid_parameter("residue " + r.label +
                                                    " has a coordinate that is not a finite number");

    const bool swapped = !goes_first(fixed, mobile);
    const std::span<const Residue> rx = swapped ? mobile : fixed;
    const std::span<const Residue> ry = swapped ? fixed : mobile;
    auto canonical = align_canonical(rx, ry, cancel);
    if (!canonical) return canonical.error();
    const Canonical& c = canonical.value();

    FoldResult out;
    out.rmsd = c.rmsd;
    out.n_aligned = c.pairs.size();
    if (!swapped) {
        out.pairs = c.pairs;
        out.transform = c.by_x.transform;
        out.tm_fixed = c.by_x.score;
        out.tm_mobile = c.by_y.score;
    } else {
        out.pairs.reserve(c.pairs.size());
        for (const AlignedPair& p : c.pairs) out.pairs.push_back({p.j, p.i});
        out.transform = c.by_y.transform.inverse();
        out.tm_fixed = c.by_y.score;
        out.tm_mobile = c.by_x.score;
    }
    std::size_t same = 0;
    out.distances.reserve(out.pairs.size());
    for (const AlignedPair& p : out.pairs) {
        out.distances.push_back(std::sqrt(squared_distance(fixed[p.i].coord, out.transform.apply(mobile[p.j].coord))));
        if (fixed[p.i].amino_acid == mobile[p.j].amino_acid) ++same;
    }
    out.seq_identity = out.pairs.empty() ? 0.0 : static_cast<double>(same) / static_cast<double>(out.pairs.size());
    return out;
}

}  // namespace torva
