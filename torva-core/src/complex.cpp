// Complexes: chain map, joint alignment and one superposition of two assemblies.
#include "torva/complex.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "tm_kernel.hpp"
#include "torva/fold.hpp"
#include "torva/search_key.hpp"
#include "torva/tmscore.hpp"

namespace torva {

std::vector<long> assign_max(std::span<const double> weights, std::size_t n, std::size_t m) {
    std::vector<long> out(n, -1);
    if (n == 0 || m == 0) return out;
    // Minimum-cost assignment on the square matrix of -max(w, 0) (Kuhn-Munkres
    // with potentials; rows and columns 1-based inside, 0 the free slot).
    const std::size_t k = std::max(n, m);
    auto cost = [&](std::size_t i, std::size_t j) {
        if (i >= n || j >= m) return 0.0;
        const double w = weights[i * m + j];
        return w > 0.0 ? -w : 0.0;
    };
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::vector<double> u(k + 1, 0.0), v(k + 1, 0.0);
    std::vector<std::size_t> p(k + 1, 0), way(k + 1, 0);
    for (std::size_t i = 1; i <= k; ++i) {
        p[0] = i;
        std::size_t j0 = 0;
        std::vector<double> minv(k + 1, kInf);
        std::vector<char> used(k + 1, 0);
        do {
            used[j0] = 1;
            const std::size_t i0 = p[j0];
            double delta = kInf;
            std::size_t j1 = 0;
            for (std::size_t j = 1; j <= k; ++j) {
                if (used[j]) continue;
                const double cur = cost(i0 - 1, j - 1) - u[i0] - v[j];
                if (cur < minv[j]) {
                    minv[j] = cur;
                    way[j] = j0;
                }
                if (minv[j] < delta) {
                    delta = minv[j];
                    j1 = j;
                }
            }
            for (std::size_t j = 0; j <= k; ++j) {
                if (used[j]) {
                    u[p[j]] += delta;
                    v[j] -= delta;
                } else {
                    minv[j] -= delta;
                }
            }
            j0 = j1;
        } while (p[j0] != 0);
        do {
            const std::size_t j1 = way[j0];
            p[j0] = p[j1];
            j0 = j1;
        } while (j0 != 0);
    }
    for (std::size_t j = 1; j <= k; ++j) {
        const std::size_t i = p[j];
        if (i == 0 || i > n || j > m) continue;
        if (weights[(i - 1) * m + (j - 1)] > 0.0) out[i - 1] = static_cast<long>(j - 1);
    }
    return out;
}

namespace {

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

struct Assembly {
    std::vector<PointSet> chains;
    std::vector<std::span<const Residue>> residues;
    std::size_t total = 0;
    std::vector<std::size_t> representative;  // the first chain of the same sequence and length
    std::vector<Point> centre;                // centroid of each chain
    std::vector<double> radius;               // farthest residue from it
};

Assembly assembly_of(std::span<const std::span<const Residue>> chains) {
    Assembly a;
    a.residues.assign(chains.begin(), chains.end());
    for (std::size_t c = 0; c < chains.size(); ++c) {
        PointSet pts(chains[c].size());
        for (std::size_t k = 0; k < pts.size(); ++k) pts[k] = chains[c][k].coord;
        a.total += pts.size();
        std::size_t rep = c;
        for (std::size_t e = 0; e < c; ++e) {
            if (a.representative[e] != e || chains[e].size() != chains[c].size()) continue;
            if (std::equal(chains[e].begin(), chains[e].end(), chains[c].begin(),
                           [](const Residue& l, const Residue& r) { return l.amino_acid == r.amino_acid; })) {
                rep = e;
                break;
            }
        }
        a.representative.push_back(rep);
        const Point centre = centroid(pts);
        double r2 = 0.0;
        for (const Point& p : pts) r2 = std::max(r2, squared_distance(p, centre));
        a.centre.push_back(centre);
        a.radius.push_back(std::sqrt(r2));
        a.chains.push_back(std::move(pts));
    }
    return a;
}

// Canonical order: the larger assembly first; then more chains; then by
// chain lengths, coordinates and residue types. True when `a` goes first.
bool goes_first(std::span<const std::span<const Residue>> a, std::span<const std::span<const Residue>> b) {
    std::size_t la = 0, lb = 0;
    for (const auto& c : a) la += c.size();
    for (const auto& c : b) lb += c.size();
    if (la != lb) return la > lb;
    if (a.size() != b.size()) return a.size() > b.size();
    for (std::size_t c = 0; c < a.size(); ++c)
        if (a[c].size() != b[c].size()) return a[c].size() > b[c].size();
    for (std::size_t c = 0; c < a.size(); ++c)
        for (std::size_t k = 0; k < a[c].size(); ++k) {
            if (a[c][k].coord != b[c][k].coord) return a[c][k].coord < b[c][k].coord;
            if (a[c][k].amino_acid != b[c][k].amino_acid) return a[c][k].amino_acid < b[c][k].amino_acid;
        }
    return true;
}

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

class ComplexAligner {
public:
    ComplexAligner(const Assembly& x, const Assembly& y, std::span<const ChainPairing> given, const Cancel& cancel)
        : x_(x), y_(y), nx_(x.chains.size()), ny_(y.chains.size()), given_(given.begin(), given.end()),
          cancel_(cancel) {
        const std::size_t lmin = std::min(x.total, y.total);
        d0_ = tm_d0(lmin);
        inv_d02_ = 1.0 / (d0_ * d0_);
        lmin_ = static_cast<double>(lmin);
        d8_ = 1.5 * std::pow(lmin_, 0.3) + 3.5;
        moved_.resize(ny_);
    }

    // Step 1: the fold-level alignment of every chain pair.
    bool align_chains() {
        chain_.assign(nx_ * ny_, {});
        std::vector<char> done(nx_ * ny_, 0);
        const std::vector<char> wanted = chosen_pairs();
        for (std::size_t a = 0; a < nx_; ++a)
            for (std::size_t b = 0; b < ny_; ++b) {
                const std::size_t ra = x_.representative[a], rb = y_.representative[b];
                if (done[ra * ny_ + rb] || !wanted[ra * ny_ + rb]) continue;
                if (cancel_.requested()) return false;
                auto r = fold_align(x_.residues[ra], y_.residues[rb], cancel_);
                if (!r) return false;  // only a cancel fails here: the chains were checked
                ChainAlignment& c = chain_[ra * ny_ + rb];
                c.pairs = std::move(r.value().pairs);
                c.transform = r.value().transform;
                c.value = r.value().tm_fixed * static_cast<double>(x_.chains[ra].size()) +
                          r.value().tm_mobile * static_cast<double>(y_.chains[rb].size());
                done[ra * ny_ + rb] = 1;
            }
        // Copies of a chain take their representative's alignment; the
        // superposition goes through the fits of the copies on it.
        std::vector<Transform> onto_rep_x(nx_), onto_rep_y(ny_);
        for (std::size_t a = 0; a < nx_; ++a)
            if (x_.representative[a] != a)
                onto_rep_x[a] = superpose(x_.chains[x_.representative[a]], x_.chains[a]).transform;
        for (std::size_t b = 0; b < ny_; ++b)
            if (y_.representative[b] != b)
                onto_rep_y[b] = superpose(y_.chains[y_.representative[b]], y_.chains[b]).transform;
        for (std::size_t a = 0; a < nx_; ++a)
            for (std::size_t b = 0; b < ny_; ++b) {
                const std::size_t ra = x_.representative[a], rb = y_.representative[b];
                if ((ra == a && rb == b) || !done[ra * ny_ + rb]) continue;
                const ChainAlignment& rep = chain_[ra * ny_ + rb];
                ChainAlignment& c = chain_[a * ny_ + b];
                c.pairs = rep.pairs;
                c.value = rep.value;
                c.transform = onto_rep_x[a].inverse().compose(rep.transform.compose(onto_rep_y[b]));
            }
        return true;
    }

    // The representative chain pairs given a fold-level alignment: all of
    // them for small assemblies; otherwise, for each chain, the chains of the
    // other side most like it by a quick comparison (shared words of
    // three residues, by sequence or by the shape letters of the trace),
    // and every pair the caller fixed.
    std::vector<char> chosen_pairs() const {
        std::vector<char> wanted(nx_ * ny_, 0);
        std::vector<std::size_t> rx, ry;
        for (std::size_t a = 0; a < nx_; ++a)
            if (x_.representative[a] == a) rx.push_back(a);
        for (std::size_t b = 0; b < ny_; ++b)
            if (y_.representative[b] == b) ry.push_back(b);
        if (rx.size() * ry.size() <= kAllPairs) {
            for (const std::size_t a : rx)
                for (const std::size_t b : ry) wanted[a * ny_ + b] = 1;
            return wanted;
        }
        for (const ChainPairing& g : given_) wanted[x_.representative[g.fixed] * ny_ + y_.representative[g.mobile]] = 1;
        auto words = [](const Assembly& side, std::size_t c) {
            std::vector<std::uint32_t> seq_words, shape_words;
            const auto& res = side.residues[c];
            for (std::size_t k = 0; k + 2 < res.size(); ++k)
                seq_words.push_back((static_cast<std::uint32_t>(res[k].amino_acid & 0xff) << 16) |
                                    (static_cast<std::uint32_t>(res[k + 1].amino_acid & 0xff) << 8) |
                                    static_cast<std::uint32_t>(res[k + 2].amino_acid & 0xff));
            const std::vector<std::uint8_t> letters = shape_letters(side.chains[c]);
            for (std::size_t k = 0; k + 2 < letters.size(); ++k)
                shape_words.push_back(static_cast<std::uint32_t>(letters[k] & 15) | (static_cast<std::uint32_t>(letters[k + 1]) << 4) |
                                      (static_cast<std::uint32_t>(letters[k + 2] & 15) << 12));
            std::sort(seq_words.begin(), seq_words.end());
            std::sort(shape_words.begin(), shape_words.end());
            return std::pair{seq_words, shape_words};
        };
        auto shared = [](const std::vector<std::uint32_t>& l, const std::vector<std::uint32_t>& r) {
            std::size_t n = 0;
            for (std::size_t i = 0, j = 0; i < l.size() && j < r.size();) {
                if (l[i] < r[j]) {
                    ++i;
                } else if (r[j] < l[i]) {
                    ++j;
                } else {
                    ++n;
                    ++i;
                    ++j;
                }
            }
            const std::size_t shorter = std::min(l.size(), r.size());
            return shorter == 0 ? 0.0 : static_cast<double>(n) / static_cast<double>(shorter);
        };
        std::vector<std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>> wx, wy;
        for (const std::size_t a : rx) wx.push_back(words(x_, a));
        for (const std::size_t b : ry) wy.push_back(words(y_, b));
        std::vector<double> like(rx.size() * ry.size());
        for (std::size_t i = 0; i < rx.size(); ++i)
            for (std::size_t j = 0; j < ry.size(); ++j)
                like[i * ry.size() + j] =
                    std::max(shared(wx[i].first, wy[j].first), shared(wx[i].second, wy[j].second));
        // The best partners of each chain, on either side.
        auto pick = [&](std::size_t n, std::size_t m, auto&& value, auto&& mark) {
            for (std::size_t i = 0; i < n; ++i) {
                std::vector<std::size_t> order(m);
                for (std::size_t j = 0; j < m; ++j) order[j] = j;
                std::stable_sort(order.begin(), order.end(),
                                 [&](std::size_t l, std::size_t r) { return value(i, l) > value(i, r); });
                for (std::size_t k = 0; k < order.size() && k < kPartners; ++k) mark(i, order[k]);
            }
        };
        pick(rx.size(), ry.size(), [&](std::size_t i, std::size_t j) { return like[i * ry.size() + j]; },
             [&](std::size_t i, std::size_t j) { wanted[rx[i] * ny_ + ry[j]] = 1; });
        pick(ry.size(), rx.size(), [&](std::size_t j, std::size_t i) { return like[i * ry.size() + j]; },
             [&](std::size_t j, std::size_t i) { wanted[rx[i] * ny_ + ry[j]] = 1; });
        return wanted;
    }

    // Step 2: a chain map for every chain pair's superposition.
    std::vector<State> candidates() {
        std::vector<State> all;
        std::set<Map> searched;  // maps whose superposition was searched already
        for (std::size_t a = 0; a < nx_; ++a)
            for (std::size_t b = 0; b < ny_; ++b) {
                if (chain_[a * ny_ + b].pairs.empty()) continue;  // not aligned at the fold level
                State s = from_transform(chain_[a * ny_ + b].transform);
                // Once more on the superposition of all mapped chains' pairs
                // (once per map: other starts giving the same map add little).
                for (int round = 0; round < 2 && searched.insert(s.map).second; ++round) {
                    const tm::SearchResult r = search_map(s.map, s.transform, kCandidateStarts);
                    State t = from_transform(r.transform);
                    if (t.score <= s.score + 1e-9) break;
                    s = std::move(t);
                }
                all.push_back(std::move(s));
            }
        // The map of the chain pairs' own values, its superposition searched
        // over the pairs of all its chains at once: the assemblies' overall
        // shapes, when no single chain pair places them.
        {
            std::vector<double> w(nx_ * ny_);
            for (std::size_t k = 0; k < w.size(); ++k) w[k] = chain_[k].value;
            State s;
            s.map = assign(w);
            std::size_t top = 0;
            for (std::size_t k = 0; k < w.size(); ++k)
                if (w[k] > w[top]) top = k;
            const tm::SearchResult r = search_map(s.map, chain_[top].transform, kThoroughStarts, 4);
            s.transform = r.transform;
            s.score = r.score;
            all.push_back(std::move(s));
        }
        // The chains' centres laid on each other, for the value map and the
        // best maps found so far.
        {
            std::vector<State> ranked = all;
            std::stable_sort(ranked.begin(), ranked.end(),
                             [](const State& l, const State& r) { return l.score > r.score; });
            std::vector<Map> maps{all.back().map};
            for (const State& st : ranked) {
                if (maps.size() > kOverlaidMaps) break;
                if (std::find(maps.begin(), maps.end(), st.map) == maps.end()) maps.push_back(st.map);
            }
            for (const Map& m : maps) overlay(m, all);
        }
        std::stable_sort(all.begin(), all.end(), [](const State& l, const State& r) { return l.score > r.score; });
        // The best few that differ in their map or their superposition.
        std::vector<State> out;
        for (State& s : all) {
            if (out.size() >= kRefinedMaps) break;
            const bool seen = std::any_of(out.begin(), out.end(), [&](const State& o) {
                return o.map == s.map && same_place(o.transform, s.transform);
            });
            if (!seen) out.push_back(std::move(s));
        }
        return out;
    }

    // Superpositions that lay the centres of a map's chains on each other:
    // their least-squares fit; for two chains also that fit turned about the
    // line through the centres in steps of 30 degrees. The best of them by
    // the similarity sums of the alignments under it joins `out`.
    void overlay(const Map& map, std::vector<State>& out) {
        PointSet cx, cy;
        for (std::size_t a = 0; a < nx_; ++a)
            if (map[a] >= 0) {
                cx.push_back(x_.centre[a]);
                cy.push_back(y_.centre[static_cast<std::size_t>(map[a])]);
            }
        if (cx.size() < 2) return;
        const Transform base = superpose(cx, cy).transform;
        std::vector<Transform> options{base};
        if (cx.size() == 2) {
            Point u{cx[1][0] - cx[0][0], cx[1][1] - cx[0][1], cx[1][2] - cx[0][2]};
            const double norm = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
            if (norm > 1e-6) {
                for (double& v : u) v /= norm;
                const Point c{(cx[0][0] + cx[1][0]) / 2, (cx[0][1] + cx[1][1]) / 2, (cx[0][2] + cx[1][2]) / 2};
                for (int k = 1; k < 12; ++k) {
                    const double th = k * std::numbers::pi / 6.0, co = std::cos(th), si = std::sin(th);
                    Matrix3 r{};
                    for (int i = 0; i < 3; ++i)
                        for (int j = 0; j < 3; ++j) r[i][j] = (i == j ? co : 0.0) + (1 - co) * u[i] * u[j];
                    r[0][1] -= si * u[2];
                    r[0][2] += si * u[1];
                    r[1][0] += si * u[2];
                    r[1][2] -= si * u[0];
                    r[2][0] -= si * u[1];
                    r[2][1] += si * u[0];
                    Transform spin = Transform::from_matrix(r, {0, 0, 0});
                    const Point rc = spin.apply(c);
                    spin.translation = {c[0] - rc[0], c[1] - rc[1], c[2] - rc[2]};
                    options.push_back(spin.compose(base));
                }
            }
        }
        State best;
        for (const Transform& t : options) {
            move_all(t);
            double score = 0.0;
            for (std::size_t a = 0; a < nx_; ++a)
                if (map[a] >= 0) {
                    const std::size_t b = static_cast<std::size_t>(map[a]);
                    score += similarity_sum(a, b, dp(a, b, true));
                }
            if (score > best.score) {
                best.score = score;
                best.transform = t;
            }
        }
        best.map = map;
        out.push_back(std::move(best));
    }

    // Step 3: alignments under the superposition, superposition of the
    // alignments, chain map of the alignments' values, until the score stops
    // rising. Returns false when cancelled.
    bool refine(State& s) {
        State best;
        const Map start_map = s.map;
        const Transform start = s.transform;
        // The candidate's own pairs (the fold-level ones) compete with the refinement's.
        State own;
        own.map = s.map;
        own.aligned.assign(nx_, {});
        for (std::size_t a = 0; a < nx_; ++a)
            if (s.map[a] >= 0) own.aligned[a] = chain_[a * ny_ + static_cast<std::size_t>(s.map[a])].pairs;
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
                if (map[a] >= 0) aligned[a] = dp(a, static_cast<std::size_t>(map[a]), true);
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
                    w[a * ny_ + b] = similarity_sum(a, b, dp(a, b, true));
                }
            map = assign(w);
        }
        if (best.score > s.score) s = std::move(best);
        return true;
    }

    double d0() const { return d0_; }
    double d8() const { return d8_; }
    const ChainAlignment& chain(std::size_t a, std::size_t b) const { return chain_[a * ny_ + b]; }

private:
    // The mobile chains moved by t, into moved_.
    void move_all(const Transform& t) {
        for (std::size_t b = 0; b < ny_; ++b) moved_[b] = t.apply(y_.chains[b]);
    }

    // Whether two superpositions put every mobile chain's centre within 3 Å
    // of the same place.
    bool same_place(const Transform& s, const Transform& t) const {
        for (const Point& c : y_.centre)
            if (squared_distance(s.apply(c), t.apply(c)) > 9.0) return false;
        return true;
    }

    // Whether chains a and b can come within reach of each other under t.
    bool near(std::size_t a, std::size_t b, const Transform& t) const {
        const double d = std::sqrt(squared_distance(x_.centre[a], t.apply(y_.centre[b])));
        return d < x_.radius[a] + y_.radius[b] + d8_;
    }

    // The maximum-weight map, with the given pairings always kept.
    Map assign(std::vector<double> w) const {
        for (const ChainPairing& g : given_) {
            for (std::size_t b = 0; b < ny_; ++b) w[g.fixed * ny_ + b] = 0.0;
            for (std::size_t a = 0; a < nx_; ++a) w[a * ny_ + g.mobile] = 0.0;
            w[g.fixed * ny_ + g.mobile] = kForced;
        }
        Map m = assign_max(w, nx_, ny_);
        for (const ChainPairing& g : given_) m[g.fixed] = static_cast<long>(g.mobile);
        return m;
    }

    // The map under t from the fold-level pairs, scored by those pairs.
    State from_transform(const Transform& t) {
        move_all(t);
        std::vector<double> w(nx_ * ny_, 0.0);
        for (std::size_t a = 0; a < nx_; ++a)
            for (std::size_t b = 0; b < ny_; ++b) {
                double sum = 0.0;
                const PointSet& xa = x_.chains[a];
                const PointSet& yb = moved_[b];
                const double cut2 = d8_ * d8_;
                for (const AlignedPair& p : chain_[a * ny_ + b].pairs) {
                    const double d2 = squared_distance(xa[p.i], yb[p.j]);
                    if (d2 < cut2) sum += 1.0 / (1.0 + d2 * inv_d02_);
                }
                w[a * ny_ + b] = sum;
            }
        State s;
        s.map = assign(w);
        s.transform = t;
        s.score = 0.0;
        for (std::size_t a = 0; a < nx_; ++a)
            if (s.map[a] >= 0) s.score += w[a * ny_ + static_cast<std::size_t>(s.map[a])];
        return s;
    }

    // The superposition search over the fold-level pairs of a map.
    tm::SearchResult search_map(const Map& map, const Transform& t, std::size_t starts, std::size_t min_fragment = 0) {
        std::vector<Alignment> aligned(nx_);
        for (std::size_t a = 0; a < nx_; ++a)
            if (map[a] >= 0) aligned[a] = chain_[a * ny_ + static_cast<std::size_t>(map[a])].pairs;
        return search_pairs(aligned, map, t, starts, min_fragment);
    }

    // The superposition search over the pairs of all mapped chains, from t;
    // the score is the sum (not normalised).
    tm::SearchResult search_pairs(const std::vector<Alignment>& aligned, const Map& map, const Transform& t,
                                  std::size_t starts, std::size_t min_fragment = 0) {
        px_.clear();
        py_.clear();
        for (std::size_t a = 0; a < nx_; ++a) {
            if (map[a] < 0) continue;
            const PointSet& yb = y_.chains[static_cast<std::size_t>(map[a])];
            for (const AlignedPair& p : aligned[a]) {
                px_.push_back(x_.chains[a][p.i]);
                py_.push_back(yb[p.j]);
            }
        }
        tm::SearchResult r;
        if (px_.empty()) {
            r.transform = t;
            return r;
        }
        tm::SearchSettings s;
        s.d0 = d0_;
        s.d0_search = tm::search_cutoff(d0_);
        s.norm_length = 1.0;
        s.score_cutoff = d8_;
        s.max_starts = starts;
        s.min_fragment = std::max<std::size_t>(8, px_.size() / 8);
        if (min_fragment > 0) s.min_fragment = min_fragment;
        s.initial = &t;
        return tm::search(px_, py_, s, scratch_);
    }

    // The TM similarity sum of an alignment of chain a with chain b as moved
    // (pairs beyond the cutoff score nothing).
    double similarity_sum(std::size_t a, std::size_t b, const Alignment& aligned) const {
        const double cut2 = d8_ * d8_;
        double sum = 0.0;
        for (const AlignedPair& p : aligned) {
            const double d2 = squared_distance(x_.chains[a][p.i], moved_[b][p.j]);
            if (d2 < cut2) sum += 1.0 / (1.0 + d2 * inv_d02_);
        }
        return sum;
    }

    // Alignment of chain a with chain b as moved (moved_[b]) maximising the
    // TM similarity with d0 of the complex, minus kGap per gap opened after
    // an aligned pair (gaps at the ends and runs of gaps are free). With
    // `trace` false only its value (into dp_value_).
    Alignment dp(std::size_t a, std::size_t b, bool trace) {
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
        dp_value_ = prev_[n2];
        Alignment out;
        if (!trace) return out;
        std::size_t i = n1, j = n2;
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

    const Assembly& x_;
    const Assembly& y_;
    std::size_t nx_, ny_;
    std::vector<ChainPairing> given_;
    const Cancel& cancel_;
    double d0_ = 0.5, inv_d02_ = 4.0, lmin_ = 1.0, d8_ = 0.0;
    std::vector<ChainAlignment> chain_;
    std::vector<PointSet> moved_;
    PointSet px_, py_;
    tm::Scratch scratch_;
    std::vector<std::uint8_t> dir_;
    std::vector<float> prev_, cur_, yf_, row_;
    double dp_value_ = 0.0;
};

// The alignment in canonical order (x the first assembly).
struct Canonical {
    std::vector<ComplexPair> pairs;  // fixed = x
    Transform transform;             // y onto x
    double tm_x = 0.0, tm_y = 0.0;
    std::vector<ComplexChainPair> chains;
    double rmsd = 0.0;
};

Result<Canonical> align_canonical(const Assembly& x, const Assembly& y, std::span<const ChainPairing> given,
                                  const Cancel& cancel) {
    ComplexAligner al(x, y, given, cancel);
    if (!al.align_chains()) return Error::cancelled();
    std::vector<State> states = al.candidates();
    if (cancel.requested()) return Error::cancelled();
    State best;
    for (State& s : states) {
        if (!al.refine(s)) return Error::cancelled();
        if (s.score > best.score) best = s;
    }

    // Nothing mapped at all (every chain pair far apart under every
    // candidate): the first residues of the first chains stand for an alignment.
    if (std::none_of(best.aligned.begin(), best.aligned.end(), [](const Alignment& a) { return !a.empty(); })) {
        best.map.assign(x.chains.size(), -1);
        best.map[0] = 0;
        best.aligned.assign(x.chains.size(), {});
        best.aligned[0].push_back({0, 0});
    }

    // The pairs within d8 under the best superposition (the closest one when none is).
    const double cut2 = al.d8() * al.d8();
    std::vector<ComplexPair> kept;
    ComplexPair closest{};
    double closest_d2 = std::numeric_limits<double>::infinity();
    for (std::size_t a = 0; a < x.chains.size(); ++a) {
        if (best.map[a] < 0) continue;
        const std::size_t b = static_cast<std::size_t>(best.map[a]);
        for (const AlignedPair& p : best.aligned[a]) {
            const double d2 = squared_distance(x.chains[a][p.i], best.transform.apply(y.chains[b][p.j]));
            const ComplexPair cp{static_cast<std::uint32_t>(a), p.i, static_cast<std::uint32_t>(b), p.j};
            if (d2 < cut2) kept.push_back(cp);
            if (d2 < closest_d2) {
                closest_d2 = d2;
                closest = cp;
            }
        }
    }
    if (kept.empty()) kept.push_back(closest);

    Canonical out;
    out.pairs = kept;
    PointSet px, py;
    for (const ComplexPair& p : kept) {
        px.push_back(x.chains[p.fixed_chain][p.fixed_index]);
        py.push_back(y.chains[p.mobile_chain][p.mobile_index]);
    }
    // The superpositions maximising the TM-score by either assembly; the one
    // with the higher sum of both is kept.
    const double lx = static_cast<double>(x.total), ly = static_cast<double>(y.total);
    const double d0x = tm_d0(x.total), d0y = tm_d0(y.total);
    const double inf = std::numeric_limits<double>::infinity();
    tm::Scratch scratch;
    std::vector<Transform> options{best.transform};
    for (const double d0 : {d0x, d0y}) {
        if (cancel.requested()) return Error::cancelled();
        tm::SearchSettings s;
        s.d0 = d0;
        s.d0_search = tm::search_cutoff(d0);
        s.norm_length = 1.0;
        s.max_starts = kFinalStarts;
        s.initial = &best.transform;
        options.push_back(tm::search(px, py, s, scratch).transform);
        if (x.total == y.total) break;
    }
    double best_sum = -1.0;
    for (const Transform& t : options) {
        const double tx = tm::score_sum(px, py, t, d0x, inf) / lx;
        const double ty = tm::score_sum(px, py, t, d0y, inf) / ly;
        if (tx + ty > best_sum) {
            best_sum = tx + ty;
            out.transform = t;
            out.tm_x = tx;
            out.tm_y = ty;
        }
    }
    out.rmsd = superpose(px, py).rmsd;

    // Per mapped chain pair: its pairs and TM-scores by each chain's length.
    for (std::size_t a = 0; a < x.chains.size(); ++a) {
        if (best.map[a] < 0) continue;
        const std::size_t b = static_cast<std::size_t>(best.map[a]);
        PointSet cx, cy;
        for (const ComplexPair& p : kept)
            if (p.fixed_chain == a) {
                cx.push_back(x.chains[a][p.fixed_index]);
                cy.push_back(y.chains[b][p.mobile_index]);
            }
        const bool forced = std::any_of(given.begin(), given.end(),
                                        [&](const ChainPairing& g) { return g.fixed == a && g.mobile == b; });
        if (cx.empty() && !forced) continue;
        ComplexChainPair c;
        c.fixed = a;
        c.mobile = b;
        c.n_aligned = cx.size();
        c.tm_fixed = tm::score_sum(cx, cy, out.transform, tm_d0(x.chains[a].size()), inf) /
                     static_cast<double>(x.chains[a].size());
        c.tm_mobile = tm::score_sum(cx, cy, out.transform, tm_d0(y.chains[b].size()), inf) /
                      static_cast<double>(y.chains[b].size());
        out.chains.push_back(c);
    }
    return out;
}

}  // namespace

Result<ComplexResult> complex_align(std::span<const std::span<const Residue>> fixed,
                                    std::span<const std::span<const Residue>> mobile,
                                    std::span<const ChainPairing> given, const Cancel& cancel) {
    if (fixed.empty()) return Error::invalid_parameter("the fixed assembly holds no chain");
    if (mobile.empty()) return Error::invalid_parameter("the mobile assembly holds no chain");
    for (const auto side : {fixed, mobile})
        for (const auto& chain : side) {
            if (chain.empty()) return Error::structure_too_small(0, 1);
            for (const Residue& r : chain)
                for (const double v : r.coord)
                    if (!std::isfinite(v))
                        return Error::invalid_parameter("residue " + r.label +
                                                        " has a coordinate that is not a finite number");
        }
    std::vector<char> fixed_used(fixed.size(), 0), mobile_used(mobile.size(), 0);
    for (const ChainPairing& g : given) {
        if (g.fixed >= fixed.size())
            return Error::invalid_parameter("chain pairing names fixed chain " + std::to_string(g.fixed) +
                                            " of " + std::to_string(fixed.size()));
        if (g.mobile >= mobile.size())
            return Error::invalid_parameter("chain pairing names mobile chain " + std::to_string(g.mobile) +
                                            " of " + std::to_string(mobile.size()));
        if (fixed_used[g.fixed]++)
            return Error::invalid_parameter("chain pairing names fixed chain " + std::to_string(g.fixed) + " twice");
        if (mobile_used[g.mobile]++)
            return Error::invalid_parameter("chain pairing names mobile chain " + std::to_string(g.mobile) +
                                            " twice");
    }

    const bool swapped = !goes_first(fixed, mobile);
    const Assembly x = assembly_of(swapped ? mobile : fixed);
    const Assembly y = assembly_of(swapped ? fixed : mobile);
    std::vector<ChainPairing> g(given.begin(), given.end());
    if (swapped)
        for (ChainPairing& p : g) std::swap(p.fixed, p.mobile);
    auto canonical = align_canonical(x, y, g, cancel);
    if (!canonical) return canonical.error();
    Canonical& c = canonical.value();

    ComplexResult out;
    out.length_fixed = swapped ? y.total : x.total;
    out.length_mobile = swapped ? x.total : y.total;
    out.rmsd = c.rmsd;
    out.n_aligned = c.pairs.size();
    if (!swapped) {
        out.pairs = std::move(c.pairs);
        out.transform = c.transform;
        out.tm_fixed = c.tm_x;
        out.tm_mobile = c.tm_y;
        out.chains = std::move(c.chains);
    } else {
        for (const ComplexPair& p : c.pairs)
            out.pairs.push_back({p.mobile_chain, p.mobile_index, p.fixed_chain, p.fixed_index});
        out.transform = c.transform.inverse();
        out.tm_fixed = c.tm_y;
        out.tm_mobile = c.tm_x;
        for (const ComplexChainPair& p : c.chains)
            out.chains.push_back({p.mobile, p.fixed, p.n_aligned, p.tm_mobile, p.tm_fixed});
        std::sort(out.pairs.begin(), out.pairs.end(), [](const ComplexPair& l, const ComplexPair& r) {
            return std::tie(l.fixed_chain, l.fixed_index) < std::tie(r.fixed_chain, r.fixed_index);
        });
        std::sort(out.chains.begin(), out.chains.end(),
                  [](const ComplexChainPair& l, const ComplexChainPair& r) { return l.fixed < r.fixed; });
    }
    std::vector<char> fixed_mapped(fixed.size(), 0), mobile_mapped(mobile.size(), 0);
    for (const ComplexChainPair& p : out.chains) {
        fixed_mapped[p.fixed] = 1;
        mobile_mapped[p.mobile] = 1;
    }
    for (std::size_t a = 0; a < fixed.size(); ++a)
        if (!fixed_mapped[a]) out.unmatched_fixed.push_back(a);
    for (std::size_t b = 0; b < mobile.size(); ++b)
        if (!mobile_mapped[b]) out.unmatched_mobile.push_back(b);
    out.distances.reserve(out.pairs.size());
    for (const ComplexPair& p : out.pairs)
        out.distances.push_back(std::sqrt(squared_distance(
            fixed[p.fixed_chain][p.fixed_index].coord, out.transform.apply(mobile[p.mobile_chain][p.mobile_index].coord))));
    return out;
}

}  // namespace torva
