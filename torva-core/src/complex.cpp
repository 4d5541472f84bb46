// Complexes: the input checked, the assemblies in canonical order, the best
// refined candidate (complex_aligner.hpp) cut to its close pairs and
// superposed for the report.
#include "torva/complex.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "complex_aligner.hpp"
#include "torva/tmscore.hpp"

namespace torva {

namespace {

using complexes::Alignment;
using complexes::Assembly;
using complexes::State;

constexpr double kInf = std::numeric_limits<double>::infinity();

// The alignment in canonical order (x the first assembly).
struct Canonical {
    std::vector<ComplexPair> pairs;  // fixed = x
    Transform transform;             // y onto x
    double tm_x = 0.0, tm_y = 0.0;
    std::vector<ComplexChainPair> chains;
    double rmsd = 0.0;
};

// Steps 1 to 3: the best refined candidate. Nothing mapped at all (every
// chain pair far apart under every candidate): the first residues of the
// first chains stand for an alignment.
Result<State> best_state(complexes::ComplexAligner& al, std::size_t nx, const Cancel& cancel) {
    if (!al.align_chains()) return Error::cancelled();
    std::vector<State> states = al.candidates();
    if (cancel.requested()) return Error::cancelled();
    State best;
    for (State& s : states) {
        if (!al.refine(s)) return Error::cancelled();
        if (s.score > best.score) best = s;
    }
    if (std::none_of(best.aligned.begin(), best.aligned.end(), [](const Alignment& a) { return !a.empty(); })) {
        best.map.assign(nx, -1);
        best.map[0] = 0;
        best.aligned.assign(nx, {});
        best.aligned[0].push_back({0, 0});
    }
    return best;
}

// The pairs within d8 under the best superposition (the closest one when none is).
std::vector<ComplexPair> close_pairs(const Assembly& x, const Assembly& y, const State& best, double d8) {
    const double cut2 = d8 * d8;
    std::vector<ComplexPair> kept;
    ComplexPair closest{};
    double closest_d2 = kInf;
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
    return kept;
}

// Step 4: of `start` and the superpositions of the pairs (px, py) maximising
// the TM-score by either assembly, the one with the higher sum of both, into
// out.transform, tm_x and tm_y. False when cancelled.
bool report_superposition(const PointSet& px, const PointSet& py, std::size_t lx, std::size_t ly,
                          const Transform& start, const Cancel& cancel, Canonical& out) {
    const double d0x = tm_d0(lx), d0y = tm_d0(ly);
    tm::Scratch scratch;
    std::vector<Transform> options{start};
    for (const double d0 : {d0x, d0y}) {
        if (cancel.requested()) return false;
        tm::SearchSettings s;
        s.d0 = d0;
        s.d0_search = tm::search_cutoff(d0);
        s.norm_length = 1.0;
        s.max_starts = complexes::kFinalStarts;
        s.initial = &start;
        options.push_back(tm::search(px, py, s, scratch).transform);
        if (lx == ly) break;
    }
    double best_sum = -1.0;
    for (const Transform& t : options) {
        const double tx = tm::score_sum(px, py, t, d0x, kInf) / static_cast<double>(lx);
        const double ty = tm::score_sum(px, py, t, d0y, kInf) / static_cast<double>(ly);
        if (tx + ty > best_sum) {
            best_sum = tx + ty;
            out.transform = t;
            out.tm_x = tx;
            out.tm_y = ty;
        }
    }
    return true;
}

// Per mapped chain pair: its pairs and TM-scores by each chain's length
// (pairs the caller fixed are listed even when nothing of them is kept).
std::vector<ComplexChainPair> chain_scores(const Assembly& x, const Assembly& y, const State& best,
                                           const Canonical& out, std::span<const ChainPairing> given) {
    std::vector<ComplexChainPair> chains;
    for (std::size_t a = 0; a < x.chains.size(); ++a) {
        if (best.map[a] < 0) continue;
        const std::size_t b = static_cast<std::size_t>(best.map[a]);
        PointSet cx, cy;
        for (const ComplexPair& p : out.pairs)
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
        c.tm_fixed = tm::score_sum(cx, cy, out.transform, tm_d0(x.chains[a].size()), kInf) /
                     static_cast<double>(x.chains[a].size());
        c.tm_mobile = tm::score_sum(cx, cy, out.transform, tm_d0(y.chains[b].size()), kInf) /
                      static_cast<double>(y.chains[b].size());
        chains.push_back(c);
    }
    return chains;
}

Result<Canonical> align_canonical(const Assembly& x, const Assembly& y, std::span<const ChainPairing> given,
                                  const Cancel& cancel) {
    complexes::ComplexAligner al(x, y, given, cancel);
    auto best = best_state(al, x.chains.size(), cancel);
    if (!best) return best.error();
    Canonical out;
    out.pairs = close_pairs(x, y, best.value(), al.d8());
    PointSet px, py;
    for (const ComplexPair& p : out.pairs) {
        px.push_back(x.chains[p.fixed_chain][p.fixed_index]);
        py.push_back(y.chains[p.mobile_chain][p.mobile_index]);
    }
    if (!report_superposition(px, py, x.total, y.total, best.value().transform, cancel, out))
        return Error::cancelled();
    out.rmsd = superpose(px, py).rmsd;
    out.chains = chain_scores(x, y, best.value(), out, given);
    return out;
}

// An empty side or chain, a coordinate that is not finite, a given pairing
// out of range or naming a chain twice.
std::optional<Error> input_error(std::span<const std::span<const Residue>> fixed,
                                 std::span<const std::span<const Residue>> mobile,
                                 std::span<const ChainPairing> given) {
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
            return Error::invalid_parameter("chain pairing names fixed chain " + std::to_string(g.fixed) + " of " +
                                            std::to_string(fixed.size()));
        if (g.mobile >= mobile.size())
            return Error::invalid_parameter("chain pairing names mobile chain " + std::to_string(g.mobile) + " of " +
                                            std::to_string(mobile.size()));
        if (fixed_used[g.fixed]++)
            return Error::invalid_parameter("chain pairing names fixed chain " + std::to_string(g.fixed) + " twice");
        if (mobile_used[g.mobile]++)
            return Error::invalid_parameter("chain pairing names mobile chain " + std::to_string(g.mobile) + " twice");
    }
    return std::nullopt;
}

// The canonical alignment as the caller's sides see it.
void take_canonical(Canonical& c, bool swapped, ComplexResult& out) {
    out.rmsd = c.rmsd;
    out.n_aligned = c.pairs.size();
    if (!swapped) {
        out.pairs = std::move(c.pairs);
        out.transform = c.transform;
        out.tm_fixed = c.tm_x;
        out.tm_mobile = c.tm_y;
        out.chains = std::move(c.chains);
        return;
    }
    for (const ComplexPair& p : c.pairs) out.pairs.push_back({p.mobile_chain, p.mobile_index, p.fixed_chain, p.fixed_index});
    out.transform = c.transform.inverse();
    out.tm_fixed = c.tm_y;
    out.tm_mobile = c.tm_x;
    for (const ComplexChainPair& p : c.chains) out.chains.push_back({p.mobile, p.fixed, p.n_aligned, p.tm_mobile, p.tm_fixed});
    std::sort(out.pairs.begin(), out.pairs.end(), [](const ComplexPair& l, const ComplexPair& r) {
        return std::tie(l.fixed_chain, l.fixed_index) < std::tie(r.fixed_chain, r.fixed_index);
    });
    std::sort(out.chains.begin(), out.chains.end(),
              [](const ComplexChainPair& l, const ComplexChainPair& r) { return l.fixed < r.fixed; });
}

}  // namespace

Result<ComplexResult> complex_align(std::span<const std::span<const Residue>> fixed,
                                    std::span<const std::span<const Residue>> mobile,
                                    std::span<const ChainPairing> given, const Cancel& cancel) {
    if (auto e = input_error(fixed, mobile, given)) return *e;
    const bool swapped = !complexes::goes_first(fixed, mobile);
    const Assembly x = complexes::assembly_of(swapped ? mobile : fixed);
    const Assembly y = complexes::assembly_of(swapped ? fixed : mobile);
    std::vector<ChainPairing> g(given.begin(), given.end());
    if (swapped)
        for (ChainPairing& p : g) std::swap(p.fixed, p.mobile);
    auto canonical = align_canonical(x, y, g, cancel);
    if (!canonical) return canonical.error();

    ComplexResult out;
    out.length_fixed = swapped ? y.total : x.total;
    out.length_mobile = swapped ? x.total : y.total;
    take_canonical(canonical.value(), swapped, out);
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
