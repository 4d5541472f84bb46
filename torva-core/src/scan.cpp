// Scan-mode initial superposition and the database scan.
#include "torva/scan.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "torva/pairwise.hpp"

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

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Float-to-count conversion: truncation toward zero, negatives and NaN give 0,
// values beyond the range saturate.
std::size_t to_count(double x) {
    if (!(x > 0.0)) return 0;
    constexpr double kMax = 18446744073709551615.0;  // rounds to 2^64
    if (x >= kMax) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(x);
}

// Every window's refinement: the caller's values, but pairs count as core
// pairs at the fine-pass threshold.
PairwiseSettings window_settings(const ScanSettings& s) {
    PairwiseSettings w = settings_from_parameters(s.params);
    w.core_cutoff = 4.5;
    return w;
}

// The fine pass: a sharp distance scale, no gap charge and a short fragment
// threshold, so that it polishes the best window's superposition.
PairwiseSettings refinement_settings(const ScanSettings& s) {
    PairwiseSettings f = settings_from_parameters(s.params);
    f.convergence_pct = 0.01;
    f.gap_open = 0.0;
    f.cutoff_dist = 4.0;
    f.core_cutoff = 4.5;
    f.e1 = 1.0;
    f.e2 = 2.5;
    f.max_iter = 100;
    return f;
}

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

// ---- Seed search ----------------------------------------------------------
//
// Superposing whole windows residue for residue only works when the chains are
// colinear over most of their length. A seed is instead a short fragment of the
// first chain paired with an equally long fragment of the second, anywhere in
// either; superposing the pair gives a candidate frame that an insertion or a
// deletion elsewhere does not disturb. Every candidate is rated cheaply by how
// close it brings the second chain's C-alpha atoms to the first chain's; the
// best are refitted the way structure-comparison searches do (align in sequence
// order under the current frame, superpose on the close aligned pairs, repeat
// while the fit improves), and the refinement starts from the few best
// distinct frames.

constexpr std::size_t kSeedLength = 8;        // residues per fragment
constexpr double kSeedFragmentRmsd = 3.0;     // fragments less alike than this are no seed
constexpr double kSeedPairs = 1000.0;         // fragment pairs aimed at ...
constexpr std::size_t kMinSeedStride = 3;     // ... with a stride no finer than this
constexpr std::size_t kMaxSeedStride = 8;     // ... and no coarser (long chains try more pairs)
constexpr double kCloseScale = 2.0;           // Å: closeness 1/(1 + (d/kCloseScale)²)
constexpr double kCloseReach = 5.0;           // Å: beyond this closeness counts as 0
constexpr std::size_t kSeedsRefitted = 8;     // best raw seeds refitted
constexpr std::size_t kSeedsStarted = 3;      // distinct refitted seeds refined with align_pair
constexpr std::size_t kRefitRounds = 4;
constexpr double kRefitGap = 0.6;             // gap charge of the refit alignment, in closeness units
constexpr double kRefitCutoff = 3.5;          // Å: aligned pairs farther apart are not fitted on
constexpr double kDistinctRms = 3.0;          // Å between two starts' placements of the second chain

inline double closeness(double d2) { return 1.0 / (1.0 + d2 / (kCloseScale * kCloseScale)); }

// Closeness to the nearest atom of the first chain, sampled on a grid around
// it (1 Å apart, coarser when the box would need more than kMaxMapCells), so
// that rating a candidate frame costs one look-up per atom of the second chain.
constexpr double kMaxMapCells = 2097152.0;
constexpr double kMaxMapExtent = 10000.0;  // Å: a wider box means broken coordinates

class ClosenessMap {
public:
    explicit ClosenessMap(std::span<const Point> points) {
        const auto finite = [](const Point& p) {
            return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
        };
        bool any = false;
        Point hi{};
        for (const Point& p : points) {
            if (!finite(p)) continue;
            for (int a = 0; a < 3; ++a) {
                lo_[a] = any ? std::min(lo_[a], p[a]) : p[a];
                hi[a] = any ? std::max(hi[a], p[a]) : p[a];
            }
            any = true;
        }
        // Without a finite atom, or with a box no protein spans, the map stays
        // empty: every frame rates 0 and the search finds nothing.
        if (!any) return;
        std::array<double, 3> extent{};
        for (int a = 0; a < 3; ++a) {
            lo_[a] -= kCloseReach;
            extent[a] = hi[a] + kCloseReach - lo_[a];
            if (!(extent[a] < kMaxMapExtent)) return;
        }
        step_ = std::max(1.0, std::cbrt(extent[0] * extent[1] * extent[2] / kMaxMapCells));
        for (int a = 0; a < 3; ++a) dims_[a] = static_cast<std::size_t>(extent[a] / step_) + 2;
        cells_.assign(dims_[0] * dims_[1] * dims_[2], 0.0F);

        const long reach = static_cast<long>(std::ceil(kCloseReach / step_));
        for (const Point& p : points) {
            if (!finite(p)) continue;
            std::array<long, 3> c{}, from{}, to{};
            for (int a = 0; a < 3; ++a) {
                c[a] = static_cast<long>(std::floor((p[a] - lo_[a]) / step_ + 0.5));
                from[a] = std::max(0L, c[a] - reach);
                to[a] = std::min(static_cast<long>(dims_[a]) - 1, c[a] + reach);
            }
            for (long x = from[0]; x <= to[0]; ++x)
                for (long y = from[1]; y <= to[1]; ++y)
                    for (long z = from[2]; z <= to[2]; ++z) {
                        const Point centre{lo_[0] + step_ * static_cast<double>(x),
                                           lo_[1] + step_ * static_cast<double>(y),
                                           lo_[2] + step_ * static_cast<double>(z)};
                        const double d2 = squared_distance(centre, p);
                        if (d2 > kCloseReach * kCloseReach) continue;
                        float& cell = cells_[index(static_cast<std::size_t>(x), static_cast<std::size_t>(y),
                                                   static_cast<std::size_t>(z))];
                        cell = std::max(cell, static_cast<float>(closeness(d2)));
                    }
        }
    }

    // Sum of the closeness of the second chain's atoms placed by `t`.
    double rate(std::span<const Point> q, const Transform& t) const {
        if (cells_.empty()) return 0.0;
        double sum = 0.0;
        for (const Point& x : q) {
            const Point y = t.apply(x);
            std::array<std::size_t, 3> c{};
            bool inside = true;
            for (int a = 0; a < 3; ++a) {
                const double f = (y[a] - lo_[a]) / step_ + 0.5;
                if (!(f >= 0.0 && f < static_cast<double>(dims_[a]))) {
                    inside = false;
                    break;
                }
                c[a] = static_cast<std::size_t>(f);
            }
            if (inside) sum += cells_[index(c[0], c[1], c[2])];
        }
        return sum;
    }

private:
    std::size_t index(std::size_t x, std::size_t y, std::size_t z) const { return (x * dims_[1] + y) * dims_[2] + z; }

    Point lo_{};
    double step_ = 1.0;
    std::array<std::size_t, 3> dims_{0, 0, 0};
    std::vector<float> cells_;
};

struct Seed {
    Transform transform;
    std::size_t offset = 0;  // first residue of the second chain's fragment
    double rating = 0.0;
};

// Sequence-order alignment of the two chains under a frame, by the closeness
// of their atoms with a linear gap charge and free end gaps. Keeps its tables
// (two rows of scores, one byte of traceback per cell) between calls.
class FrameAligner {
public:
    FrameAligner(std::span<const Point> p, std::span<const Point> q)
        : p_(p), q_(q), moved_(q.size()), row_(q.size()), prev_(q.size() + 1), cur_(q.size() + 1),
          from_((p.size() + 1) * (q.size() + 1)) {}

    // Aligned pairs (i, j) in increasing order and the summed closeness of the alignment.
    double align(const Transform& t, std::vector<AlignedPair>& pairs) {
        const std::size_t n1 = p_.size(), n2 = q_.size(), w = n2 + 1;
        for (std::size_t j = 0; j < n2; ++j) moved_[j] = t.apply(q_[j]);
        std::fill(prev_.begin(), prev_.end(), 0.0);
        for (std::size_t i = 1; i <= n1; ++i) {
            cur_[0] = 0.0;
            const Point& pi = p_[i - 1];
            std::uint8_t* from = from_.data() + i * w;
            // The closeness of the row first, in a loop free of the left-to-right
            // dependency of the scores so that it vectorises.
            for (std::size_t j = 0; j < n2; ++j) row_[j] = closeness(squared_distance(pi, moved_[j]));
            for (std::size_t j = 1; j <= n2; ++j) {
                const double diag = prev_[j - 1] + row_[j - 1];
                const double up = prev_[j] - (j == n2 ? 0.0 : kRefitGap);
                const double left = cur_[j - 1] - (i == n1 ? 0.0 : kRefitGap);
                double v = diag;
                std::uint8_t f = 0;
                if (up > v) v = up, f = 1;
                if (left > v) v = left, f = 2;
                cur_[j] = v;
                from[j] = f;
            }
            prev_.swap(cur_);
        }
        pairs.clear();
        std::size_t i = n1, j = n2;
        while (i > 0 && j > 0) {
            const std::uint8_t f = from_[i * w + j];
            if (f == 0) {
                pairs.push_back({static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1)});
                --i, --j;
            } else if (f == 1) {
                --i;
            } else {
                --j;
            }
        }
        std::reverse(pairs.begin(), pairs.end());
        double sum = 0.0;
        for (const AlignedPair& a : pairs) sum += closeness(squared_distance(p_[a.i], moved_[a.j]));
        return sum;
    }

    const Point& moved(std::size_t j) const { return moved_[j]; }

private:
    std::span<const Point> p_, q_;
    PointSet moved_;
    std::vector<double> row_, prev_, cur_;
    std::vector<std::uint8_t> from_;
};

// Refits `seed` on the close pairs of its sequence-order alignment while the
// alignment's closeness grows.
Result<Seed> refit(FrameAligner& aligner, std::span<const Point> p, std::span<const Point> q, Seed seed) {
    std::vector<AlignedPair> pairs;
    PointSet fixed, mobile;
    seed.rating = aligner.align(seed.transform, pairs);
    for (std::size_t round = 0; round < kRefitRounds; ++round) {
        fixed.clear();
        mobile.clear();
        for (const AlignedPair& a : pairs) {
            if (squared_distance(p[a.i], aligner.moved(a.j)) > kRefitCutoff * kRefitCutoff) continue;
            fixed.push_back(p[a.i]);
            mobile.push_back(q[a.j]);
        }
        if (fixed.size() < 3) break;
        auto fit = superpose(fixed, mobile);
        if (!fit) return fit.error();
        std::vector<AlignedPair> next;
        const double rating = aligner.align(fit.value().transform, next);
        if (!(rating > seed.rating)) break;
        seed.transform = fit.value().transform;
        seed.rating = rating;
        pairs.swap(next);
    }
    return seed;
}

// Root-mean-square distance between the second chain's placements under two frames.
double placement_rms(std::span<const Point> q, const Transform& a, const Transform& b) {
    double sum = 0.0;
    for (const Point& x : q) sum += squared_distance(a.apply(x), b.apply(x));
    return std::sqrt(sum / static_cast<double>(q.size()));
}

// The few best distinct starting frames found by fragment seeds, best first.
Result<std::vector<Seed>> seed_starts(std::span<const Point> p, std::span<const Point> q, const Cancel& cancel) {
    std::vector<Seed> out;
    const std::size_t f = kSeedLength;
    if (p.size() < f || q.size() < f) return out;
    const double pairs = static_cast<double>(p.size() - f + 1) * static_cast<double>(q.size() - f + 1);
    const std::size_t stride =
        std::clamp(to_count(std::ceil(std::sqrt(pairs / kSeedPairs))), kMinSeedStride, kMaxSeedStride);

    const ClosenessMap map(p);
    std::vector<Seed> raw;
    for (std::size_t a = 0; a + f <= p.size(); a += stride) {
        if (cancel.requested()) return Error::cancelled();
        for (std::size_t b = 0; b + f <= q.size(); b += stride) {
            auto fit = superpose(p.subspan(a, f), q.subspan(b, f));
            if (!fit) return fit.error();
            if (!(fit.value().rmsd <= kSeedFragmentRmsd)) continue;
            raw.push_back({fit.value().transform, b, map.rate(q, fit.value().transform)});
        }
    }
    // Best rated first; equal ratings keep enumeration order.
    const auto by_rating = [](const Seed& x, const Seed& y) { return x.rating > y.rating; };
    std::stable_sort(raw.begin(), raw.end(), by_rating);
    if (raw.size() > kSeedsRefitted) raw.resize(kSeedsRefitted);

    FrameAligner aligner(p, q);
    std::vector<Seed> refitted;
    for (const Seed& s : raw) {
        if (cancel.requested()) return Error::cancelled();
        auto r = refit(aligner, p, q, s);
        if (!r) return r.error();
        refitted.push_back(r.value());
    }
    std::stable_sort(refitted.begin(), refitted.end(), by_rating);
    for (const Seed& s : refitted) {
        if (out.size() == kSeedsStarted) break;
        bool distinct = true;
        for (const Seed& o : out)
            if (placement_rms(q, s.transform, o.transform) < kDistinctRms) distinct = false;
        if (distinct) out.push_back(s);
    }
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

    const std::size_t s = std::max<std::size_t>(1, settings.step);
    const std::size_t half = l / 2;
    const std::size_t limit = std::max<std::size_t>(1, n2 > half ? n2 - half : 0);
    const PairwiseSettings window = window_settings(settings);
    const std::span<const Residue> fixed_residues(first.residues);
    const std::span<const Point> pp(p);

    std::vector<Residue> moved(work.begin(), work.end());
    Best best;
    std::size_t offset = 0;
    while (offset < limit) {
        std::size_t next = (s > limit - offset) ? limit : offset + s;
        const std::size_t j = std::min(n2 - offset, l);
        if (cancel.requested()) return Error::cancelled();
        if (j >= 3) {
            auto fit = superpose(pp.first(j), std::span<const Point>(q).subspan(offset, j));
            if (!fit) return fit.error();
            const Transform t0 = fit.value().transform;
            place(work, t0, moved);
            auto r = align_pair(fixed_residues, moved, window);
            if (!r) return r.error();
            const double score = r.value().score;
            const std::size_t n_aligned = r.value().n_aligned;
            if (trace) trace->windows.push_back({offset, j, score});
            if (best.offer(std::move(r).value(), t0, offset) && settings.early_stop &&
                score >= settings.stop_score) {
                std::size_t jump = n_aligned > s ? n_aligned - s : 0;
                jump -= jump % s;
                if (jump > s) next = (jump > limit - offset) ? limit : offset + jump;
            }
        }
        offset = next;
    }

    // No window found a positive score: the chains are probably not colinear
    // from their start; try fragment seeds, under the same best-of rule.
    if (settings.seed_search && !(best.score > 0.0)) {
        auto seeds = seed_starts(pp, q, cancel);
        if (!seeds) return seeds.error();
        for (const Seed& seed : seeds.value()) {
            if (cancel.requested()) return Error::cancelled();
            place(work, seed.transform, moved);
            auto r = align_pair(fixed_residues, moved, window);
            if (!r) return r.error();
            if (trace) trace->seeds.push_back({seed.offset, kSeedLength, r.value().score});
            best.offer(std::move(r).value(), seed.transform, seed.offset);
        }
    }

    if (settings.params.n_passes >= 2 && best.found && best.score > 0.0) {
        if (cancel.requested()) return Error::cancelled();
        if (trace) trace->second_pass = true;
        place(work, best.transform, moved);
        auto f = align_pair(fixed_residues, moved, refinement_settings(settings));
        if (!f) return f.error();
        if (f.value().score >= best.score) {
            best.score = f.value().score;
            best.transform = f.value().transform.compose(best.transform);
            best.result = std::move(f).value();
        }
    }

    if (!best.found) return empty_result(first, second, n1, n2);

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
    return out;
}

// ---------------------------------------------------------------------------
// Database scan

namespace {

// What one target's alignment contributes to the hit list (the loop fills in
// the target's identifier).
ScanHitRecord scan_candidate(double score, double rmsd, std::size_t n_aligned, double seq_identity,
                             const Transform& transform, std::vector<AlignedPair> pairs) {
    ScanHitRecord hit;
    hit.score = score;
    hit.rmsd = rmsd;
    hit.n_aligned = n_aligned;
    hit.seq_identity = seq_identity;
    hit.transform = transform;
    hit.aligned_pairs = std::move(pairs);
    return hit;
}

// One scoring and alignment step on the coordinates as given: no superposition
// search and no iteration. `query_coords` is extracted once for the whole scan.
Result<ScanHitRecord> quick_candidate(const Domain& query, std::span<const Point> query_coords,
                                      const Domain& target, const PairwiseSettings& settings,
                                      const PairScoreSettings& score_settings) {
    const PointSet target_coords = target.coordinates();
    const ScoreMatrix matrix = score_matrix_full(query_coords, target_coords, score_settings);
    Result<StepResult> step = alignment_step(query_coords, target_coords, matrix, settings);
    if (!step.ok()) return step.error();
    StepResult& s = step.value();

    std::size_t same = 0;
    for (const AlignedPair& p : s.aligned_pairs) {
        if (query.residues[p.i].amino_acid == target.residues[p.j].amino_acid) ++same;
    }
    const double identity =
        s.aligned_pairs.empty() ? 0.0 : static_cast<double>(same) / static_cast<double>(s.aligned_pairs.size());
    return scan_candidate(s.score, s.rmsd, s.n_aligned, identity, s.transform, std::move(s.aligned_pairs));
}

}  // namespace

Result<std::vector<ScanHitRecord>> scan_database(const Domain& query, std::span<const Domain> targets,
                                                 const Parameters& params, const DatabaseScanOptions& options,
                                                 const Cancel& cancel) {
    // Everything that depends only on the query and the parameters is built
    // once; the per-target work is the alignment itself.
    const PairwiseSettings settings = settings_from_parameters(params);

    if (options.scan_mode) {
        const ScanSettings window_settings = ScanSettings::database(params, options.score_cutoff);
        return scan_targets(
            targets,
            [&](const Domain& target) -> Result<ScanHitRecord> {
                Result<ScanResult> r = scan_align(query, target, window_settings, nullptr, cancel);
                if (!r.ok()) return r.error();
                const ScanResult& s = r.value();
                return scan_candidate(s.score, s.rmsd, s.n_aligned, s.seq_identity, s.transform, {});
            },
            options, cancel);
    }
    if (options.quick) {
        const PairScoreSettings score_settings = PairScoreSettings::from(settings);
        const PointSet query_coords = query.coordinates();
        return scan_targets(
            targets,
            [&](const Domain& target) {
                return quick_candidate(query, query_coords, target, settings, score_settings);
            },
            options, cancel);
    }
    return scan_targets(
        targets,
        [&](const Domain& target) -> Result<ScanHitRecord> {
            Result<PairwiseResult> r = align_pair(query.residues, target.residues, settings);
            if (!r.ok()) return r.error();
            PairwiseResult& p = r.value();
            return scan_candidate(p.score, p.rmsd, p.n_aligned, p.seq_identity(), p.transform,
                                  std::move(p.aligned_pairs));
        },
        options, cancel);
}

std::vector<ScanHitRecord> select_scan_hits(std::vector<ScanHitRecord> candidates,
                                            const DatabaseScanOptions& options) {
    // `>=` is false for a NaN score, so such a target never becomes a hit.
    std::erase_if(candidates, [&](const ScanHitRecord& h) { return !(h.score >= options.score_cutoff); });
    // No NaN is left, so `>` is a strict weak order; stability keeps equal
    // scores in target order.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const ScanHitRecord& a, const ScanHitRecord& b) { return a.score > b.score; });
    if (candidates.size() > options.max_hits) candidates.resize(options.max_hits);

    for (std::size_t k = 0; k < candidates.size(); ++k) {
        candidates[k].rank = k + 1;
        candidates[k].z_score.reset();
        candidates[k].e_value.reset();
    }

    // Z-scores among the returned hits only, with the population standard
    // deviation; a (near) zero spread leaves them unset.
    if (candidates.size() >= 2) {
        const auto n = static_cast<double>(candidates.size());
        double sum = 0.0;
        for (const ScanHitRecord& h : candidates) sum += h.score;
        const double mean = sum / n;
        double squares = 0.0;
        for (const ScanHitRecord& h : candidates) squares += (h.score - mean) * (h.score - mean);
        const double sd = std::sqrt(squares / n);
        if (!(sd < 1e-10)) {
            for (ScanHitRecord& h : candidates) h.z_score = (h.score - mean) / sd;
        }
    }
    return candidates;
}

}  // namespace torva
