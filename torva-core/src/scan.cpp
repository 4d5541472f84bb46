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
    s.step = step;
    s.stop_score = stop_score;
    s.min_length_ratio = 0.5;
    s.max_length_ratio = 1.3;
    s.e1 = params.e1;
    s.e2 = params.e2;
    s.gap_open = params.gap_open;
    s.cutoff_dist = params.cutoff_dist;
    s.convergence = params.convergence;
    s.n_passes = params.n_passes;
    s.max_iter = params.max_iter;
    s.truncate = true;
    s.early_stop = true;
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

Parameters parameters_of(const ScanSettings& s) {
    Parameters p;
    p.e1 = s.e1;
    p.e2 = s.e2;
    p.gap_open = s.gap_open;
    p.cutoff_dist = s.cutoff_dist;
    p.convergence = s.convergence;
    p.n_passes = s.n_passes;
    p.max_iter = s.max_iter;
    return p;
}

// Every window's refinement: the caller's values, but pairs count as core
// pairs at the fine-pass threshold.
PairwiseSettings window_settings(const ScanSettings& s) {
    PairwiseSettings w = settings_from_parameters(parameters_of(s));
    w.core_cutoff = 4.5;
    return w;
}

// The fine pass: a sharp distance scale, no gap charge and a short fragment
// threshold, so that it polishes the best window's superposition.
PairwiseSettings refinement_settings(const ScanSettings& s) {
    PairwiseSettings f = settings_from_parameters(parameters_of(s));
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

std::vector<Residue> moved_copy(std::span<const Residue> residues, const Transform& t) {
    std::vector<Residue> out(residues.begin(), residues.end());
    for (Residue& r : out) r.coord = t.apply(r.coord);
    return out;
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
// deletion elsewhere does not disturb. Each candidate is judged by how many
// C-alpha atoms of the second chain it brings close to some C-alpha atom of the
// first, the most promising are refitted on their close atoms until the fit
// settles, and the refinement starts from the few best distinct ones.

constexpr std::size_t kSeedLength = 8;       // residues per fragment
constexpr double kSeedFragmentRmsd = 3.0;    // fragments less alike than this are no seed
constexpr double kCloseDistance = 4.0;       // Å: a C-alpha this near another counts as close
constexpr std::size_t kSeedsRefitted = 12;   // best raw seeds refitted
constexpr std::size_t kSeedsStarted = 3;     // distinct refitted seeds refined with align_pair
constexpr std::size_t kRefitRounds = 4;
constexpr double kDistinctRms = 3.0;         // Å between two starts' placements of the second chain

// Points of the first chain hashed on a cubic grid of side kCloseDistance, so
// that the nearest atom within that distance is found by looking at 27 cells.
class NeighbourGrid {
public:
    explicit NeighbourGrid(std::span<const Point> points) : points_(points) {
        lo_ = points.front();
        Point hi = lo_;
        for (const Point& p : points)
            for (int a = 0; a < 3; ++a) {
                lo_[a] = std::min(lo_[a], p[a]);
                hi[a] = std::max(hi[a], p[a]);
            }
        for (int a = 0; a < 3; ++a) {
            const double span = (hi[a] - lo_[a]) / kCloseDistance;
            // Coordinates that are not finite, or absurdly spread, leave a grid of one cell.
            dims_[a] = (std::isfinite(span) && span < 4096.0) ? static_cast<std::size_t>(span) + 1 : 1;
        }
        starts_.assign(dims_[0] * dims_[1] * dims_[2] + 1, 0);
        std::vector<std::size_t> cell_of(points.size());
        for (std::size_t k = 0; k < points.size(); ++k) {
            cell_of[k] = cell_index(cell(points[k]));
            ++starts_[cell_of[k] + 1];
        }
        for (std::size_t c = 1; c < starts_.size(); ++c) starts_[c] += starts_[c - 1];
        members_.resize(points.size());
        std::vector<std::size_t> fill(starts_.begin(), starts_.end() - 1);
        for (std::size_t k = 0; k < points.size(); ++k) members_[fill[cell_of[k]]++] = k;
    }

    // Index of the nearest point within kCloseDistance of q and its squared
    // distance, or (npos, inf) when there is none.
    std::pair<std::size_t, double> nearest(const Point& q) const {
        std::pair<std::size_t, double> best{npos, kCloseDistance * kCloseDistance};
        bool any = false;
        std::array<long, 3> c{};
        for (int a = 0; a < 3; ++a) {
            const double f = std::floor((q[a] - lo_[a]) / kCloseDistance);
            if (!(f >= -1.0 && f <= static_cast<double>(dims_[a]))) return {npos, kInfinity};
            c[a] = static_cast<long>(f);
        }
        for (long x = c[0] - 1; x <= c[0] + 1; ++x) {
            if (x < 0 || x >= static_cast<long>(dims_[0])) continue;
            for (long y = c[1] - 1; y <= c[1] + 1; ++y) {
                if (y < 0 || y >= static_cast<long>(dims_[1])) continue;
                for (long z = c[2] - 1; z <= c[2] + 1; ++z) {
                    if (z < 0 || z >= static_cast<long>(dims_[2])) continue;
                    const std::size_t ci = cell_index({static_cast<std::size_t>(x), static_cast<std::size_t>(y),
                                                       static_cast<std::size_t>(z)});
                    for (std::size_t m = starts_[ci]; m < starts_[ci + 1]; ++m) {
                        const Point& p = points_[members_[m]];
                        const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
                        const double d2 = dx * dx + dy * dy + dz * dz;
                        if (d2 <= best.second) {
                            if (!any || d2 < best.second) best = {members_[m], d2};
                            any = true;
                        }
                    }
                }
            }
        }
        return any ? best : std::pair<std::size_t, double>{npos, kInfinity};
    }

    static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

private:
    std::array<std::size_t, 3> cell(const Point& p) const {
        std::array<std::size_t, 3> c{};
        for (int a = 0; a < 3; ++a) {
            const double f = std::floor((p[a] - lo_[a]) / kCloseDistance);
            c[a] = (f > 0.0) ? std::min(static_cast<std::size_t>(f), dims_[a] - 1) : 0;
        }
        return c;
    }
    std::size_t cell_index(const std::array<std::size_t, 3>& c) const {
        return (c[0] * dims_[1] + c[1]) * dims_[2] + c[2];
    }

    std::span<const Point> points_;
    Point lo_{};
    std::array<std::size_t, 3> dims_{1, 1, 1};
    std::vector<std::size_t> starts_;
    std::vector<std::size_t> members_;
};

// Number of second-chain atoms that `t` brings within kCloseDistance of the first chain.
std::size_t count_close(const NeighbourGrid& grid, std::span<const Point> q, const Transform& t) {
    std::size_t n = 0;
    for (const Point& p : q)
        if (grid.nearest(t.apply(p)).first != NeighbourGrid::npos) ++n;
    return n;
}

struct Seed {
    Transform transform;
    std::size_t offset = 0;  // first residue of the second chain's fragment
    std::size_t close = 0;
};

// Refits `seed` on the atom pairs it brings close until the count of close
// atoms stops growing. Each second-chain atom is paired with its nearest
// first-chain atom; a first-chain atom claimed twice keeps the nearer partner.
Result<Seed> refit(const NeighbourGrid& grid, std::span<const Point> p, std::span<const Point> q, Seed seed) {
    std::vector<std::pair<std::size_t, double>> claim(p.size());
    PointSet fixed, mobile;
    for (std::size_t round = 0; round < kRefitRounds; ++round) {
        std::fill(claim.begin(), claim.end(), std::pair<std::size_t, double>{NeighbourGrid::npos, kInfinity});
        for (std::size_t j = 0; j < q.size(); ++j) {
            const auto [i, d2] = grid.nearest(seed.transform.apply(q[j]));
            if (i != NeighbourGrid::npos && d2 < claim[i].second) claim[i] = {j, d2};
        }
        fixed.clear();
        mobile.clear();
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (claim[i].first == NeighbourGrid::npos) continue;
            fixed.push_back(p[i]);
            mobile.push_back(q[claim[i].first]);
        }
        if (fixed.size() < 3) break;
        auto fit = superpose(fixed, mobile);
        if (!fit) return fit.error();
        const std::size_t close = count_close(grid, q, fit.value().transform);
        if (close <= seed.close) break;
        seed.transform = fit.value().transform;
        seed.close = close;
    }
    return seed;
}

// Root-mean-square distance between the second chain's placements under two frames.
double placement_rms(std::span<const Point> q, const Transform& a, const Transform& b) {
    double sum = 0.0;
    for (const Point& x : q) {
        const Point u = a.apply(x), v = b.apply(x);
        const double dx = u[0] - v[0], dy = u[1] - v[1], dz = u[2] - v[2];
        sum += dx * dx + dy * dy + dz * dz;
    }
    return std::sqrt(sum / static_cast<double>(q.size()));
}

// The few best distinct starting frames found by fragment seeds, best first.
Result<std::vector<Seed>> seed_starts(std::span<const Point> p, std::span<const Point> q) {
    std::vector<Seed> out;
    const std::size_t f = kSeedLength;
    if (p.size() < f || q.size() < f) return out;
    // About 1500 fragment pairs whatever the lengths, no denser than every third residue.
    const double pairs = static_cast<double>(p.size() - f + 1) * static_cast<double>(q.size() - f + 1);
    const std::size_t stride = std::max<std::size_t>(3, to_count(std::ceil(std::sqrt(pairs / 1500.0))));

    NeighbourGrid grid(p);
    std::vector<Seed> raw;
    for (std::size_t a = 0; a + f <= p.size(); a += stride) {
        for (std::size_t b = 0; b + f <= q.size(); b += stride) {
            auto fit = superpose(p.subspan(a, f), q.subspan(b, f));
            if (!fit) return fit.error();
            if (!(fit.value().rmsd <= kSeedFragmentRmsd)) continue;
            raw.push_back({fit.value().transform, b, count_close(grid, q, fit.value().transform)});
        }
    }
    // Most close atoms first; equal counts keep enumeration order.
    std::stable_sort(raw.begin(), raw.end(), [](const Seed& x, const Seed& y) { return x.close > y.close; });
    if (raw.size() > kSeedsRefitted) raw.resize(kSeedsRefitted);

    std::vector<Seed> refitted;
    for (Seed& s : raw) {
        auto r = refit(grid, p, q, s);
        if (!r) return r.error();
        refitted.push_back(r.value());
    }
    std::stable_sort(refitted.begin(), refitted.end(),
                     [](const Seed& x, const Seed& y) { return x.close > y.close; });
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

Result<ScanResult> scan_align(const Domain& first, const Domain& second, const ScanSettings& settings) {
    return scan_align(first, second, settings, nullptr);
}

Result<ScanResult> scan_align(const Domain& first, const Domain& second, const ScanSettings& settings,
                              ScanTrace* trace) {
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

    Best best;
    std::size_t offset = 0;
    while (offset < limit) {
        std::size_t next = (s > limit - offset) ? limit : offset + s;
        const std::size_t j = std::min(n2 - offset, l);
        if (j >= 3) {
            auto fit = superpose(pp.first(j), std::span<const Point>(q).subspan(offset, j));
            if (!fit) return fit.error();
            const Transform t0 = fit.value().transform;
            const std::vector<Residue> moved = moved_copy(work, t0);
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
        auto seeds = seed_starts(pp, q);
        if (!seeds) return seeds.error();
        for (const Seed& seed : seeds.value()) {
            const std::vector<Residue> moved = moved_copy(work, seed.transform);
            auto r = align_pair(fixed_residues, moved, window);
            if (!r) return r.error();
            if (trace) trace->seeds.push_back({seed.offset, kSeedLength, r.value().score});
            best.offer(std::move(r).value(), seed.transform, seed.offset);
        }
    }

    if (settings.n_passes >= 2 && best.found && best.score > 0.0) {
        if (trace) trace->second_pass = true;
        const std::vector<Residue> moved = moved_copy(work, best.transform);
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
    out.seq_identity = best.result.identity_pct / 100.0;
    out.transform = best.transform;
    out.offset = best.offset;
    out.query_length = n1;
    out.target_length = n2;
    out.significant = best.score >= settings.stop_score;
    return out;
}

// ---------------------------------------------------------------------------
// Database scan

Result<std::vector<ScanHitRecord>> scan_database(const Domain&, std::span<const Domain>, const Parameters&,
                                                 const DatabaseScanOptions&) {
    throw InternalError("database scan: not built yet");
}

}  // namespace torva
