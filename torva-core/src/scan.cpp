// The window search of a scan: windows of the second chain superposed on the
// start of the first, the seed starts when no window scores, and the fine pass.
#include "torva/scan.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "torva/pairwise.hpp"
#include "torva/seed_search.hpp"

namespace torva {

// ---------------------------------------------------------------------------
// Scan-mode superposition

ScanSettings ScanSettings::from(const Parameters& params, std::size_t step, double stop_score) {
    ScanSettings s;
    s.params = params;
    s.step = step;
    s.stop_score = stop_score;
    return s;
}

PairwiseSettings scan_window_settings(const Parameters& params) {
    PairwiseSettings w = settings_from_parameters(params);
    w.core_cutoff = 4.5;
    return w;
}

PairwiseSettings scan_refinement_settings(const Parameters& params) {
    PairwiseSettings f = settings_from_parameters(params);
    f.convergence_pct = 0.01;
    f.gap_open = 0.0;
    f.cutoff_dist = 4.0;
    f.core_cutoff = 4.5;
    f.e1 = 1.0;
    f.e2 = 2.5;
    f.max_iter = 100;
    return f;
}

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

ScanResult empty_result(const Domain& first, const Domain& second, std::size_t n1, std::size_t n2) {
    ScanResult r;
    r.query_id = first.id;
    r.target_id = second.id;
    r.score = 0.0;
    r.rmsd = kInfinity;
    r.query_length = n1;
    r.target_length = n2;
    return r;
}

// Sets `moved` (a copy of `residues`) to `residues` moved by `t`; only the
// coordinates are rewritten, so one copy serves every start.
void place(std::span<const Residue> residues, const Transform& t, std::vector<Residue>& moved) {
    for (std::size_t k = 0; k < residues.size(); ++k) moved[k].coord = t.apply(residues[k].coord);
}

// The best start found so far and what its refinement gave.
struct Best {
    bool found = false;
    double score = -kInfinity;
    PairwiseResult result;
    Transform transform;
    std::size_t offset = 0;

    // Keeps `r` (reached from the start `start`) when it scores strictly
    // higher, so ties keep the earlier start.
    bool offer(PairwiseResult&& r, const Transform& start, std::size_t at) {
        if (!(r.score > score)) return false;
        found = true;
        score = r.score;
        transform = r.transform.compose(start);
        result = std::move(r);
        offset = at;
        return true;
    }
};

// What every start of one scan shares: the first chain, the searched part of
// the second and its copy moved to the start being tried.
struct Starts {
    std::span<const Residue> fixed;
    std::span<const Residue> work;
    std::vector<Residue> moved;
    PairwiseSettings window;

    // `work` placed by t and aligned with the first chain.
    PairwiseResult aligned_from(const Transform& t) {
        place(work, t, moved);
        return align_pair(fixed, moved, window);
    }
};

// The windows of the second chain (l residues from every step-th residue)
// superposed on the start of the first, each offered to `best`; a window
// scoring stop_score skips ahead by what it aligned, when early_stop asks.
// False when cancelled.
bool window_starts(Starts& st, std::span<const Point> pp, std::span<const Point> q, std::size_t l,
                   const ScanSettings& settings, ScanTrace* trace, const Cancel& cancel, Best& best) {
    const std::size_t n2 = q.size();
    const std::size_t s = std::max<std::size_t>(1, settings.step);
    const std::size_t half = l / 2;
    const std::size_t limit = std::max<std::size_t>(1, n2 > half ? n2 - half : 0);
    std::size_t offset = 0;
    while (offset < limit) {
        std::size_t next = (s > limit - offset) ? limit : offset + s;
        const std::size_t j = std::min(n2 - offset, l);
        if (cancel.requested()) return false;
        if (j >= 3) {
            const Transform t0 = superpose(pp.first(j), q.subspan(offset, j)).transform;
            PairwiseResult r = st.aligned_from(t0);
            const double score = r.score;
            const std::size_t n_aligned = r.n_aligned;
            if (trace) trace->windows.push_back({offset, j, score});
            if (best.offer(std::move(r), t0, offset) && settings.early_stop &&
                score >= settings.stop_score) {
                std::size_t jump = n_aligned > s ? n_aligned - s : 0;
                jump -= jump % s;
                if (jump > s) next = (jump > limit - offset) ? limit : offset + jump;
            }
        }
        offset = next;
    }
    return true;
}

ScanResult result_of(Best& best, const Domain& first, const Domain& second, std::size_t n1, std::size_t n2,
                     const ScanSettings& settings) {
    ScanResult out;
    out.query_id = first.id;
    out.target_id = second.id;
    out.score = best.score;
    out.rmsd = best.result.rmsd;
    out.path_length = best.result.path_length;
    out.n_aligned = best.result.n_aligned;
    out.seq_identity = best.result.seq_identity();
    out.transform = best.transform;
    out.offset = best.offset;
    out.query_length = n1;
    out.target_length = n2;
    out.significant = best.score >= settings.stop_score;
    out.aligned_pairs = std::move(best.result.aligned_pairs);
    out.core_pairs = std::move(best.result.core_pairs);
    return out;
}

}  // namespace

Result<ScanResult> scan_align(const Domain& first, const Domain& second, const ScanSettings& settings,
                              ScanTrace* trace, const Cancel& cancel) {
    const std::size_t n1 = first.size();
    std::size_t n2 = second.size();

    if (n2 < to_count(settings.min_length_ratio * static_cast<double>(n1)))
        return empty_result(first, second, n1, n2);

    // Only the first L residues of an overlong second domain are searched.
    std::span<const Residue> work(second.residues);
    if (settings.truncate) {
        const std::size_t cut = to_count(settings.max_length_ratio * static_cast<double>(n1));
        if (cut < n2) {
            work = work.first(cut);
            n2 = cut;
        }
    }

    PointSet p(n1), q(n2);
    for (std::size_t k = 0; k < n1; ++k) p[k] = first.residues[k].coord;
    for (std::size_t k = 0; k < n2; ++k) q[k] = work[k].coord;

    const std::size_t l = std::min(n1, n2);
    if (l < 3) return empty_result(first, second, n1, n2);

    Starts st{first.residues, work, std::vector<Residue>(work.begin(), work.end()),
              scan_window_settings(settings.params)};
    Best best;
    if (!window_starts(st, p, q, l, settings, trace, cancel, best)) return Error::cancelled();

    // No window found a positive score: the chains are probably not colinear
    // from their start; try fragment seeds, under the same best-of rule.
    if (settings.seed_search && !(best.score > 0.0)) {
        auto seeds = seed_starts(p, q, cancel);
        if (!seeds) return seeds.error();
        for (const Seed& seed : seeds.value()) {
            if (cancel.requested()) return Error::cancelled();
            PairwiseResult r = st.aligned_from(seed.transform);
            if (trace) trace->seeds.push_back({seed.offset, kSeedLength, r.score});
            best.offer(std::move(r), seed.transform, seed.offset);
        }
    }

    if (settings.params.n_passes >= 2 && best.found && best.score > 0.0) {
        if (cancel.requested()) return Error::cancelled();
        if (trace) trace->second_pass = true;
        place(work, best.transform, st.moved);
        PairwiseResult f = align_pair(st.fixed, st.moved, scan_refinement_settings(settings.params));
        if (f.score >= best.score) {
            best.score = f.score;
            best.transform = f.transform.compose(best.transform);
            best.result = std::move(f);
        }
    }

    if (!best.found) return empty_result(first, second, n1, n2);
    return result_of(best, first, second, n1, n2, settings);
}

}  // namespace torva
