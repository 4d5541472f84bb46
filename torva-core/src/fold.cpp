// Fold mode: TM-score-driven alignment from several starts.
#include "torva/fold.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#include "tm_kernel.hpp"
#include "torva/cell_box.hpp"
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
        quick_.max_starts = kQuickStarts;
        quick_.cancel = &cancel_;
        yt_.resize(n2_);
        cx_centre_ = centroid(x);
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
    // The same with the quick settings; an alignment met before gets the
    // result it got then.
    tm::SearchResult evaluate(const Alignment& a) {
        const std::uint64_t key = fingerprint(a);
        const auto found = evaluated_.find(key);
        if (found != evaluated_.end()) return found->second;
        const tm::SearchResult r = evaluate(a, quick_);
        evaluated_.emplace(key, r);
        return r;
    }

    // A cheaper search for an alignment made under t, for the steps of a
    // refinement: refits from t first, then fragments down to a quarter of
    // the pairs only.
    tm::SearchResult evaluate_from(const Alignment& a, const Transform& t) {
        tm::SearchSettings s = quick_;
        s.initial = &t;
        s.min_fragment = std::max<std::size_t>(8, a.size() / 4);
        return evaluate(a, s);
    }

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
        // Best end in the last column (i, n2) or the last row (n1, j).
        float best = 0.0f;
        std::size_t bi = 0, bj = 0;
        int bstate = 0;
        auto offer_end = [&](float v, std::size_t i, std::size_t j, int state) {
            if (v > best) {
                best = v;
                bi = i;
                bj = j;
                bstate = state;
            }
        };
        const std::size_t n2 = n2_;
        const float g = static_cast<float>(gap);
        for (std::size_t i = 1; i <= n1_; ++i) {
            float* __restrict cm = cm_.data();
            float* __restrict cx = cx_.data();
            float* __restrict cy = cy_.data();
            const float* __restrict pm = pm_.data();
            const float* __restrict px = px_.data();
            const float* __restrict py = py_.data();
            const float* __restrict row = row_.data();
            std::uint8_t* __restrict tr = kTrace ? trace_.data() + i * w : nullptr;
            cm[0] = kNegInfF;
            cx[0] = 0.0f;
            cy[0] = kNegInfF;
            score(i - 1, row_.data());
            std::size_t j = 1;
            // Match and x_i unaligned depend on the previous row only: four
            // columns at a time, then one at a time.
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
            // y_j unaligned: from (i, j-1), opened from M or X; extending is
            // free, so the state is a running maximum along the row, taken
            // four columns at a time (a prefix maximum within the four).
            float prev = cy[0];
            j = 1;
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
            offer_end(cm[n2], i, n2, 0);
            std::swap(pm_, cm_);
            std::swap(px_, cx_);
            std::swap(py_, cy_);
        }
        for (std::size_t j = 1; j <= n2_; ++j) offer_end(pm_[j], n1_, j, 0);
        last_dp_value_ = best;
        if (!kTrace) return {};

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
    void offer(const Alignment& a, const tm::SearchResult& r) {
        if (r.score > best_score_) {
            best_score_ = r.score;
            best_ = a;
            best_transform_ = r.transform;
        }
    }

    // Refinement from a superposition: DP under it, a new superposition of
    // the DP's pairs, and again until the score stops rising; with two gap
    // charges. Each step depends only on the alignment before it, so a
    // refinement that meets an alignment an earlier one went through (under
    // the same gap charge) would retrace it and stops there. Returns false
    // when cancelled.
    bool refine(const Transform& start) {
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

    // Refinement from an alignment: its superposition first.
    bool refine(const Alignment& a) {
        if (a.empty()) return true;
        const tm::SearchResult r = evaluate(a);
        offer(a, r);
        return refine(r.transform);
    }

    // Gapless threading at the offsets with an overlap of at least half the
    // shorter chain: every second offset, then the neighbours of the best
    // few; the superpositions of the `keep` best offsets, at least five apart.
    std::pair<bool, std::vector<Transform>> best_threadings(std::size_t keep) {
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

    // Fragment seeds: pairs of short fragments, one from each chain, fitted
    // on each other; each fit is rated by how close the moved y residues come
    // to any x residue (order ignored), and the `keep` best are returned.
    std::pair<bool, std::vector<Transform>> seed_transforms(std::size_t keep) {
        std::vector<Transform> out;
        const std::size_t lmin = std::min(n1_, n2_);
        if (lmin < 8) return {true, out};
        const std::size_t f = std::clamp<std::size_t>(lmin / 6, 6, kFragment);
        const std::size_t step1 = std::max<std::size_t>(f / 2, (n1_ - f) / kSeedRows + 1);
        const std::size_t step2 = std::max<std::size_t>(f / 2, (n2_ - f) / kSeedRows + 1);
        grid_.build(x_, kCell);
        const double inv = 1.0 / (d0_ * d0_);
        const double reach2 = kCell * kCell;
        std::vector<std::pair<double, Transform>> rated;
        for (std::size_t a = 0; a + f <= n1_; a += step1) {
            if (cancel_.requested()) return {false, out};
            for (std::size_t b = 0; b + f <= n2_; b += step2) {
                ax_.assign(x_.begin() + static_cast<long>(a), x_.begin() + static_cast<long>(a + f));
                ay_.assign(y_.begin() + static_cast<long>(b), y_.begin() + static_cast<long>(b + f));
                const Transform t = tm::fit_range(ax_, ay_, 0, f);
                double sum = 0.0;
                for (std::size_t j = 0; j < n2_; j += kProxyStep) {
                    const Point p = t.apply(y_[j]);
                    double nearest = reach2;
                    grid_.visit(p, [&](std::uint32_t i) {
                        const double d2 = squared_distance(x_[i], p);
                        if (d2 < nearest) nearest = d2;
                    });
                    if (nearest < reach2) sum += 1.0 / (1.0 + nearest * inv);
                }
                rated.emplace_back(sum, t);
            }
        }
        std::stable_sort(rated.begin(), rated.end(),
                         [](const auto& l, const auto& r) { return l.first > r.first; });
        // The best by that rating are rated again by the value of the
        // alignment under them, which respects chain order.
        rated.resize(std::min(rated.size(), kSeedPrefilter * keep));
        for (auto& [value, t] : rated) {
            if (cancel_.requested()) return {false, out};
            dp_distance<false>(t, -0.6);
            value = last_dp_value_;
        }
        std::stable_sort(rated.begin(), rated.end(),
                         [](const auto& l, const auto& r) { return l.first > r.first; });
        for (std::size_t k = 0; k < rated.size() && out.size() < keep; ++k) out.push_back(rated[k].second);
        return {true, out};
    }

    const Alignment& best() const { return best_; }
    double best_score() const { return best_score_; }
    const Transform& best_transform() const { return best_transform_; }

private:
    static constexpr double kCell = 4.5;
    static constexpr double kMaxGridCells = 262144.0;  // coarser cells past this (a box over 280 Å wide)

    // Points bucketed in the cells of the seed-rating grid (cells of at least
    // one edge length); visit() calls back with the index of every point in
    // the 27 cells around a position, which holds every point within one edge
    // of it.
    struct Grid {
        CellBox box;
        std::vector<std::uint32_t> start, items;

        void build(const PointSet& pts, double edge) {
            box = make_cell_box(pts, edge, 0.0, 1, kMaxGridCells);
            const std::size_t cells = box.empty() ? 0 : box.cells();
            start.assign(cells + 1, 0);
            items.clear();
            if (cells == 0) return;
            std::vector<std::size_t> cell_of(pts.size());
            for (std::size_t k = 0; k < pts.size(); ++k) {
                cell_of[k] = cell(pts[k]);
                ++start[cell_of[k] + 1];
            }
            for (std::size_t c = 0; c < cells; ++c) start[c + 1] += start[c];
            items.assign(pts.size(), 0);
            std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
            for (std::size_t k = 0; k < pts.size(); ++k) items[fill[cell_of[k]]++] = static_cast<std::uint32_t>(k);
        }
        // The cell of a point of the set (inside the box, on its last cell at the far edge).
        std::size_t cell(const Point& p) const {
            std::array<std::size_t, 3> c{};
            for (int a = 0; a < 3; ++a) {
                const long v = box.cell(p[a], a).value_or(0);
                c[a] = static_cast<std::size_t>(std::clamp(v, 0L, static_cast<long>(box.dims[a]) - 1));
            }
            return box.index(c[0], c[1], c[2]);
        }
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
    };

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
    Grid grid_;
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

    // Candidate superpositions from every kind of start; each is given one
    // alignment step, and the best few are refined in full.
    std::vector<Transform> starts;

    // 1. Gapless threading.
    auto [ok, threaded] = al.best_threadings(kThreadingsKept);
    if (!ok) return Error::cancelled();
    starts.insert(starts.end(), threaded.begin(), threaded.end());

    // 2. Secondary-structure strings.
    const std::vector<char> ssx = assign_secondary_structure(x);
    const std::vector<char> ssy = assign_secondary_structure(y);
    if (cancel.requested()) return Error::cancelled();
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
        if (cancel.requested()) return Error::cancelled();
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

    std::vector<std::pair<double, Transform>> stepped;
    auto step_all = [&](const std::vector<Transform>& from) {
        for (const Transform& t : from) {
            if (cancel.requested()) return false;
            const Alignment a = al.dp_distance(t, -0.6);
            if (a.empty()) continue;
            const tm::SearchResult r = al.evaluate(a);
            al.offer(a, r);
            stepped.emplace_back(r.score, r.transform);
        }
        return true;
    };
    if (!step_all(starts)) return Error::cancelled();

    // 4. Fragment seeds, unless the chains already superpose clearly.
    std::size_t refined = kRefinedClear;
    if (al.best_score() < kClearScore) {
        auto [seeds_ok, seeds] = al.seed_transforms(kSeedsTried);
        if (!seeds_ok || !step_all(seeds)) return Error::cancelled();
        refined = kRefined;
    }

    std::stable_sort(stepped.begin(), stepped.end(), [](const auto& l, const auto& r) { return l.first > r.first; });
    for (std::size_t k = 0; k < stepped.size() && k < refined; ++k)
        if (!al.refine(stepped[k].second)) return Error::cancelled();

    // The best alignment keeps its pairs within d8 under its superposition.
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
