// Fold mode: TM-score-driven alignment from several starts.
#include "torva/fold.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "tm_kernel.hpp"
#include "torva/scan.hpp"
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

constexpr double kNegInf = -std::numeric_limits<double>::infinity();

using Alignment = std::vector<AlignedPair>;

// x is the first chain in canonical order, y the second (moved onto x).
class Aligner {
public:
    Aligner(const PointSet& x, const PointSet& y, const Cancel& cancel)
        : x_(x), y_(y), n1_(x.size()), n2_(y.size()), cancel_(cancel) {
        const std::size_t lmin = std::min(n1_, n2_);
        d0_ = tm_d0(lmin);
        d8_ = 1.5 * std::pow(static_cast<double>(lmin), 0.3) + 3.5;
        quick_.d0 = d0_;
        quick_.d0_search = tm::search_cutoff(d0_);
        quick_.norm_length = static_cast<double>(lmin);
        quick_.score_cutoff = d8_;
        quick_.max_starts = 6;
        yt_.resize(n2_);
    }

    double d0() const { return d0_; }
    double d8() const { return d8_; }
    const Cancel& cancel() const { return cancel_; }

    // TM-score (quick search, normalised by the shorter chain) of an alignment.
    tm::SearchResult evaluate(const Alignment& a, const tm::SearchSettings& s) {
        ax_.clear();
        ay_.clear();
        for (const AlignedPair& p : a) {
            ax_.push_back(x_[p.i]);
            ay_.push_back(y_[p.j]);
        }
        return tm::search(ax_, ay_, s, scratch_);
    }
    tm::SearchResult evaluate(const Alignment& a) { return evaluate(a, quick_); }

    // Global alignment maximising the sum of score(i, j) over pairs minus
    // `gap` (<= 0 added) per gap opened inside; end gaps are free.
    template <class Score>
    Alignment dp(Score&& score, double gap) {
        const std::size_t w = n2_ + 1;
        trace_.assign((n1_ + 1) * w, 0);
        pm_.assign(w, kNegInf);
        px_.assign(w, kNegInf);
        py_.assign(w, 0.0);
        pm_[0] = 0.0;
        py_[0] = kNegInf;
        cm_.resize(w);
        cx_.resize(w);
        cy_.resize(w);
        // Best end in the last column (i, n2) or the last row (n1, j).
        double best = 0.0;
        std::size_t bi = 0, bj = 0;
        int bstate = 0;
        auto offer_end = [&](double v, std::size_t i, std::size_t j, int state) {
            if (v > best) {
                best = v;
                bi = i;
                bj = j;
                bstate = state;
            }
        };
        for (std::size_t i = 1; i <= n1_; ++i) {
            cm_[0] = kNegInf;
            cx_[0] = 0.0;
            cy_[0] = kNegInf;
            std::uint8_t* tr = trace_.data() + i * w;
            for (std::size_t j = 1; j <= n2_; ++j) {
                std::uint8_t t = 0;
                // Match: from any state at (i-1, j-1).
                double m = pm_[j - 1];
                if (px_[j - 1] > m) { m = px_[j - 1]; t = 1; }
                if (py_[j - 1] > m) { m = py_[j - 1]; t = 2; }
                cm_[j] = m + score(i - 1, j - 1);
                // x_i unaligned: from (i-1, j).
                double gx = pm_[j] + gap;
                std::uint8_t tx = 0;
                if (px_[j] >= gx) { gx = px_[j]; tx = 1; }
                if (py_[j] + gap > gx) { gx = py_[j] + gap; tx = 2; }
                cx_[j] = gx;
                // y_j unaligned: from (i, j-1).
                double gy = cm_[j - 1] + gap;
                std::uint8_t ty = 0;
                if (cx_[j - 1] + gap > gy) { gy = cx_[j - 1] + gap; ty = 1; }
                if (cy_[j - 1] >= gy) { gy = cy_[j - 1]; ty = 2; }
                cy_[j] = gy;
                tr[j] = static_cast<std::uint8_t>(t | (tx << 2) | (ty << 4));
            }
            offer_end(cm_[n2_], i, n2_, 0);
            std::swap(pm_, cm_);
            std::swap(px_, cx_);
            std::swap(py_, cy_);
        }
        for (std::size_t j = 1; j <= n2_; ++j) offer_end(pm_[j], n1_, j, 0);

        Alignment a;
        std::size_t i = bi, j = bj;
        int state = bstate;
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

    // DP on the TM similarity of x and y moved by t.
    Alignment dp_distance(const Transform& t, double gap) {
        for (std::size_t j = 0; j < n2_; ++j) yt_[j] = t.apply(y_[j]);
        const double inv = 1.0 / (d0_ * d0_);
        return dp([&](std::size_t i, std::size_t j) { return 1.0 / (1.0 + squared_distance(x_[i], yt_[j]) * inv); },
                  gap);
    }

    // Offers an alignment and its superposition to the overall best.
    void offer(const Alignment& a, const tm::SearchResult& r) {
        if (r.score > best_score_) {
            best_score_ = r.score;
            best_ = a;
            best_transform_ = r.transform;
        }
    }

    // Refinement from a superposition: DP under it, a new superposition of
    // the DP's pairs, and again until the score stops rising; with two gap
    // charges. Returns false when cancelled.
    bool refine(const Transform& start) {
        for (const double gap : {-0.6, 0.0}) {
            Transform t = start;
            double last = -1.0;
            Alignment previous;
            for (int it = 0; it < 30; ++it) {
                if (cancel_.requested()) return false;
                Alignment a = dp_distance(t, gap);
                if (a.empty()) break;
                const tm::SearchResult r = evaluate(a);
                offer(a, r);
                if (a == previous || r.score <= last + 1e-6) break;
                last = r.score;
                t = r.transform;
                previous = std::move(a);
            }
        }
        return true;
    }

    // Refinement from an alignment: its superposition first.
    bool refine(const Alignment& a) {
        if (a.empty()) return true;
        const tm::SearchResult r = evaluate(a);
        offer(a, r);
        return refine(r.transform);
    }

    // Gapless threading: every offset with an overlap of at least half the
    // shorter chain; the best one's superposition.
    std::pair<bool, Transform> best_threading() {
        const std::size_t lmin = std::min(n1_, n2_);
        const std::size_t min_overlap = std::min(lmin, std::max<std::size_t>(5, lmin / 2));
        tm::SearchSettings s = quick_;
        s.max_starts = 2;
        double best = -1.0;
        Transform best_t;
        // y_j pairs with x_{j + k}.
        const long lo = -static_cast<long>(n2_ - min_overlap);
        const long hi = static_cast<long>(n1_ - min_overlap);
        Alignment a;
        for (long k = lo; k <= hi; ++k) {
            if (((k - lo) & 31) == 0 && cancel_.requested()) return {false, best_t};
            a.clear();
            for (std::size_t j = 0; j < n2_; ++j) {
                const long i = static_cast<long>(j) + k;
                if (i < 0) continue;
                if (i >= static_cast<long>(n1_)) break;
                a.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
            }
            s.min_fragment = std::max<std::size_t>(4, a.size() / 4);
            const tm::SearchResult r = evaluate(a, s);
            if (r.score > best) {
                best = r.score;
                best_t = r.transform;
            }
        }
        return {true, best_t};
    }

    const Alignment& best() const { return best_; }
    const Transform& best_transform() const { return best_transform_; }

private:
    const PointSet& x_;
    const PointSet& y_;
    std::size_t n1_, n2_;
    const Cancel& cancel_;
    double d0_ = 0.5, d8_ = 0.0;
    tm::SearchSettings quick_;
    tm::Scratch scratch_;
    PointSet ax_, ay_, yt_;
    std::vector<std::uint8_t> trace_;
    std::vector<double> pm_, px_, py_, cm_, cx_, cy_;

    double best_score_ = -1.0;
    Alignment best_;
    Transform best_transform_;
};

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

Result<Canonical> align_canonical(std::span<const Residue> rx, std::span<const Residue> ry, const Cancel& cancel) {
    PointSet x(rx.size()), y(ry.size());
    for (std::size_t k = 0; k < rx.size(); ++k) x[k] = rx[k].coord;
    for (std::size_t k = 0; k < ry.size(); ++k) y[k] = ry[k].coord;
    const std::size_t n1 = x.size(), n2 = y.size();

    Aligner al(x, y, cancel);

    // 1. Gapless threading.
    auto [ok, threaded] = al.best_threading();
    if (!ok || !al.refine(threaded)) return Error::cancelled();

    // 2. Secondary-structure strings.
    const std::vector<char> ssx = assign_secondary_structure(x);
    const std::vector<char> ssy = assign_secondary_structure(y);
    if (cancel.requested()) return Error::cancelled();
    const Alignment by_ss = al.dp([&](std::size_t i, std::size_t j) { return ssx[i] == ssy[j] ? 1.0 : 0.0; }, -1.0);
    if (!al.refine(by_ss)) return Error::cancelled();

    // 3. Secondary structure and distances under the best threading.
    {
        const double inv = 1.0 / (al.d0() * al.d0());
        PointSet yt = threaded.apply(y);
        const Alignment mixed = al.dp(
            [&](std::size_t i, std::size_t j) {
                return 1.0 / (1.0 + squared_distance(x[i], yt[j]) * inv) + (ssx[i] == ssy[j] ? 0.5 : 0.0);
            },
            -1.0);
        if (cancel.requested() || !al.refine(mixed)) return Error::cancelled();
    }

    // 4. The scan's superposition.
    if (std::min(n1, n2) >= 3) {
        Domain dx = Domain::empty("x"), dy = Domain::empty("y");
        dx.residues.assign(rx.begin(), rx.end());
        dy.residues.assign(ry.begin(), ry.end());
        ScanSettings settings = ScanSettings::pairwise(Parameters{});
        settings.min_length_ratio = 0.0;
        auto scanned = scan_align(dx, dy, settings, nullptr, cancel);
        if (!scanned) {
            if (scanned.error().kind == ErrorKind::Cancelled) return scanned.error();
        } else if (scanned.value().n_aligned > 0) {
            if (!al.refine(scanned.value().transform)) return Error::cancelled();
        }
    }

    if (cancel.requested()) return Error::cancelled();

    // The best alignment keeps its pairs within d8 under its superposition.
    Canonical out;
    tm::Scratch scratch;
    tm::SearchSettings full;
    full.max_starts = 256;
    full.d0 = al.d0();
    full.d0_search = tm::search_cutoff(full.d0);
    full.norm_length = static_cast<double>(std::min(n1, n2));
    full.score_cutoff = al.d8();
    const tm::SearchResult polished = al.evaluate(al.best(), full);
    const Transform& t = polished.score >= 0.0 ? polished.transform : al.best_transform();
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
    full.norm_length = static_cast<double>(n2);
    full.d0 = tm_d0(n2);
    full.d0_search = tm::search_cutoff(full.d0);
    out.by_y = tm::search(px, py, full, scratch);
    out.rmsd = superpose(px, py).rmsd;
    return out;
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
