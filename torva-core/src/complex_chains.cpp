// Complexes, step 1: the assemblies as points, and the fold-level alignment
// of their chain pairs (all of them, or each chain's likeliest partners).
#include <algorithm>
#include <cmath>
#include <utility>

#include "complex_aligner.hpp"
#include "torva/fold.hpp"
#include "torva/search_key.hpp"
#include "torva/tmscore.hpp"

namespace torva::complexes {

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

ComplexAligner::ComplexAligner(const Assembly& x, const Assembly& y, std::span<const ChainPairing> given,
                               const Cancel& cancel)
    : x_(x), y_(y), nx_(x.chains.size()), ny_(y.chains.size()), given_(given.begin(), given.end()), cancel_(cancel) {
    const std::size_t lmin = std::min(x.total, y.total);
    d0_ = tm_d0(lmin);
    inv_d02_ = 1.0 / (d0_ * d0_);
    d8_ = 1.5 * std::pow(static_cast<double>(lmin), 0.3) + 3.5;
    moved_.resize(ny_);
}

bool ComplexAligner::align_chains() {
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
    copy_to_copies(done);
    return true;
}

// Copies of a chain take their representative's alignment; the superposition
// goes through the fits of the copies on it.
void ComplexAligner::copy_to_copies(const std::vector<char>& done) {
    std::vector<Transform> onto_rep_x(nx_), onto_rep_y(ny_);
    for (std::size_t a = 0; a < nx_; ++a)
        if (x_.representative[a] != a) onto_rep_x[a] = superpose(x_.chains[x_.representative[a]], x_.chains[a]).transform;
    for (std::size_t b = 0; b < ny_; ++b)
        if (y_.representative[b] != b) onto_rep_y[b] = superpose(y_.chains[y_.representative[b]], y_.chains[b]).transform;
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
}

namespace {

using Words = std::vector<std::uint32_t>;

// A chain's words of three residues, sorted: by sequence, and by the shape
// letters of its trace.
std::pair<Words, Words> chain_words(const Assembly& side, std::size_t c) {
    Words seq_words, shape_words;
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
    return {seq_words, shape_words};
}

// The fraction of the shorter list's words the other holds too (both sorted).
double shared_fraction(const Words& l, const Words& r) {
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
}

// Calls mark(i, j) for the kPartners columns j of highest value(i, j) of each
// row i (ties in column order).
template <class Value, class Mark>
void mark_partners(std::size_t n, std::size_t m, Value&& value, Mark&& mark) {
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::size_t> order(m);
        for (std::size_t j = 0; j < m; ++j) order[j] = j;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t l, std::size_t r) { return value(i, l) > value(i, r); });
        for (std::size_t k = 0; k < order.size() && k < kPartners; ++k) mark(i, order[k]);
    }
}

}  // namespace

// The representative chain pairs given a fold-level alignment: all of them
// for small assemblies; otherwise, for each chain, the chains of the other
// side most like it by a quick comparison (shared words of three residues, by
// sequence or by the shape letters of the trace), and every pair the caller
// fixed.
std::vector<char> ComplexAligner::chosen_pairs() const {
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
    std::vector<std::pair<Words, Words>> wx, wy;
    for (const std::size_t a : rx) wx.push_back(chain_words(x_, a));
    for (const std::size_t b : ry) wy.push_back(chain_words(y_, b));
    std::vector<double> like(rx.size() * ry.size());
    for (std::size_t i = 0; i < rx.size(); ++i)
        for (std::size_t j = 0; j < ry.size(); ++j)
            like[i * ry.size() + j] = std::max(shared_fraction(wx[i].first, wy[j].first),
                                               shared_fraction(wx[i].second, wy[j].second));
    // The best partners of each chain, on either side.
    mark_partners(rx.size(), ry.size(), [&](std::size_t i, std::size_t j) { return like[i * ry.size() + j]; },
                  [&](std::size_t i, std::size_t j) { wanted[rx[i] * ny_ + ry[j]] = 1; });
    mark_partners(ry.size(), rx.size(), [&](std::size_t j, std::size_t i) { return like[i * ry.size() + j]; },
                  [&](std::size_t j, std::size_t i) { wanted[rx[i] * ny_ + ry[j]] = 1; });
    return wanted;
}

}  // namespace torva::complexes
