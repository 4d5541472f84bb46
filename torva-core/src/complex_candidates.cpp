// Complexes, step 2: candidate chain maps and superpositions, from each chain
// pair's superposition, from the chain pairs' values, and from laying the
// mapped chains' centres on each other.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>
#include <utility>

#include "complex_aligner.hpp"
#include "torva/tmscore.hpp"

namespace torva::complexes {

namespace {

bool higher_score(const State& l, const State& r) { return l.score > r.score; }

// The turn by `angle` about the line through `c` along the unit vector `u`.
Transform turned_about(const Point& u, const Point& c, double angle) {
    const double co = std::cos(angle), si = std::sin(angle);
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
    return spin;
}

}  // namespace

std::vector<State> ComplexAligner::candidates() {
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
    // The map of the chain pairs' own values, its superposition searched over
    // the pairs of all its chains at once: the assemblies' overall shapes,
    // when no single chain pair places them.
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
    // The chains' centres laid on each other, for the value map and the best
    // maps found so far.
    {
        std::vector<State> ranked = all;
        std::stable_sort(ranked.begin(), ranked.end(), higher_score);
        std::vector<Map> maps{all.back().map};
        for (const State& st : ranked) {
            if (maps.size() > kOverlaidMaps) break;
            if (std::find(maps.begin(), maps.end(), st.map) == maps.end()) maps.push_back(st.map);
        }
        for (const Map& m : maps) overlay(m, all);
    }
    std::stable_sort(all.begin(), all.end(), higher_score);
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

// Superpositions that lay the centres of a map's chains on each other: their
// least-squares fit; for two chains also that fit turned about the line
// through the centres in steps of 30 degrees. The best of them by the
// similarity sums of the alignments under it joins `out`.
void ComplexAligner::overlay(const Map& map, std::vector<State>& out) {
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
            for (int k = 1; k < 12; ++k) options.push_back(turned_about(u, c, k * std::numbers::pi / 6.0).compose(base));
        }
    }
    State best;
    for (const Transform& t : options) {
        move_all(t);
        double score = 0.0;
        for (std::size_t a = 0; a < nx_; ++a)
            if (map[a] >= 0) {
                const std::size_t b = static_cast<std::size_t>(map[a]);
                score += similarity_sum(a, b, dp(a, b));
            }
        if (score > best.score) {
            best.score = score;
            best.transform = t;
        }
    }
    best.map = map;
    out.push_back(std::move(best));
}

// Whether two superpositions put every mobile chain's centre within 3 Å of
// the same place.
bool ComplexAligner::same_place(const Transform& s, const Transform& t) const {
    for (const Point& c : y_.centre)
        if (squared_distance(s.apply(c), t.apply(c)) > 9.0) return false;
    return true;
}

// The maximum-weight map, with the given pairings always kept.
Map ComplexAligner::assign(std::vector<double> w) const {
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
State ComplexAligner::from_transform(const Transform& t) {
    move_all(t);
    std::vector<double> w(nx_ * ny_, 0.0);
    for (std::size_t a = 0; a < nx_; ++a)
        for (std::size_t b = 0; b < ny_; ++b) w[a * ny_ + b] = similarity_sum(a, b, chain_[a * ny_ + b].pairs);
    State s;
    s.map = assign(w);
    s.transform = t;
    s.score = 0.0;
    for (std::size_t a = 0; a < nx_; ++a)
        if (s.map[a] >= 0) s.score += w[a * ny_ + static_cast<std::size_t>(s.map[a])];
    return s;
}

// The fold-level pairs of a map's chain pairs, by chain of x.
std::vector<Alignment> ComplexAligner::fold_pairs(const Map& map) const {
    std::vector<Alignment> aligned(nx_);
    for (std::size_t a = 0; a < nx_; ++a)
        if (map[a] >= 0) aligned[a] = chain_[a * ny_ + static_cast<std::size_t>(map[a])].pairs;
    return aligned;
}

// The superposition search over the fold-level pairs of a map.
tm::SearchResult ComplexAligner::search_map(const Map& map, const Transform& t, std::size_t starts,
                                            std::size_t min_fragment) {
    return search_pairs(fold_pairs(map), map, t, starts, min_fragment);
}

// The superposition search over the pairs of all mapped chains, from t; the
// score is the sum (not normalised).
tm::SearchResult ComplexAligner::search_pairs(const std::vector<Alignment>& aligned, const Map& map,
                                              const Transform& t, std::size_t starts, std::size_t min_fragment) {
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

}  // namespace torva::complexes
