// Fragment seeds for the scan: the closeness map, the frame aligner, the
// refit and the choice of distinct starting frames.
#include "torva/seed_search.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace torva {

namespace {

// Closeness is sampled on a grid 1 Å apart, coarser when the box would need
// more than kMaxMapCells.
constexpr double kMaxMapCells = 2097152.0;
constexpr double kMaxMapExtent = 10000.0;  // Å: a wider box means broken coordinates

}  // namespace

ClosenessMap::ClosenessMap(std::span<const Point> points)
    : box_(make_cell_box(points, 1.0, kCloseReach, 2, kMaxMapCells, kMaxMapExtent)) {
    // Without a finite atom, or with a box no protein spans, the map stays
    // empty: every frame rates 0 and the search finds nothing.
    if (box_.empty()) return;
    cells_.assign(box_.cells(), 0.0F);

    const double step = box_.step;
    const long reach = static_cast<long>(std::ceil(kCloseReach / step));
    for (const Point& p : points) {
        if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
        std::array<long, 3> c{}, from{}, to{};
        for (int a = 0; a < 3; ++a) {
            c[a] = static_cast<long>(std::floor((p[a] - box_.lo[a]) / step + 0.5));
            from[a] = std::max(0L, c[a] - reach);
            to[a] = std::min(static_cast<long>(box_.dims[a]) - 1, c[a] + reach);
        }
        for (long x = from[0]; x <= to[0]; ++x)
            for (long y = from[1]; y <= to[1]; ++y)
                for (long z = from[2]; z <= to[2]; ++z) {
                    const Point centre{box_.lo[0] + step * static_cast<double>(x),
                                       box_.lo[1] + step * static_cast<double>(y),
                                       box_.lo[2] + step * static_cast<double>(z)};
                    const double d2 = squared_distance(centre, p);
                    if (d2 > kCloseReach * kCloseReach) continue;
                    float& cell = cells_[box_.index(static_cast<std::size_t>(x), static_cast<std::size_t>(y),
                                                    static_cast<std::size_t>(z))];
                    cell = std::max(cell, static_cast<float>(closeness(d2)));
                }
    }
}

double ClosenessMap::rate(std::span<const Point> q, const Transform& t) const {
    if (cells_.empty()) return 0.0;
    double sum = 0.0;
    for (const Point& x : q) {
        const Point y = t.apply(x);
        std::array<std::size_t, 3> c{};
        bool inside = true;
        for (int a = 0; a < 3; ++a) {
            const double f = (y[a] - box_.lo[a]) / box_.step + 0.5;
            if (!(f >= 0.0 && f < static_cast<double>(box_.dims[a]))) {
                inside = false;
                break;
            }
            c[a] = static_cast<std::size_t>(f);
        }
        if (inside) sum += cells_[box_.index(c[0], c[1], c[2])];
    }
    return sum;
}

FrameAligner::FrameAligner(std::span<const Point> p, std::span<const Point> q)
    : p_(p), q_(q), moved_(q.size()), row_(q.size()), prev_(q.size() + 1), cur_(q.size() + 1),
      from_((p.size() + 1) * (q.size() + 1)) {}

double FrameAligner::align(const Transform& t, std::vector<AlignedPair>& pairs) {
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

// Refits `seed` on the close pairs of its sequence-order alignment while the
// alignment's closeness grows.
Seed refit(FrameAligner& aligner, std::span<const Point> p, std::span<const Point> q, Seed seed) {
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
        const Superposition fit = superpose(fixed, mobile);
        std::vector<AlignedPair> next;
        const double rating = aligner.align(fit.transform, next);
        if (!(rating > seed.rating)) break;
        seed.transform = fit.transform;
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
            const Superposition fit = superpose(p.subspan(a, f), q.subspan(b, f));
            if (!(fit.rmsd <= kSeedFragmentRmsd)) continue;
            raw.push_back({fit.transform, b, map.rate(q, fit.transform)});
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
        refitted.push_back(refit(aligner, p, q, s));
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

}  // namespace torva
