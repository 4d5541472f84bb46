// The fold search's fragment seeds: starting superpositions from short
// fragments of either chain fitted on each other, rated on the seed-rating
// grid (fold_search.hpp).
#include <algorithm>
#include <array>

#include "fold_search.hpp"

namespace torva::fold_search {

void SeedGrid::build(const PointSet& pts, double edge) {
    box = make_cell_box(pts, edge, 0.0, 1, kMaxCells);
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

std::size_t SeedGrid::cell(const Point& p) const {
    std::array<std::size_t, 3> c{};
    for (int a = 0; a < 3; ++a) {
        const long v = box.cell(p[a], a).value_or(0);
        c[a] = static_cast<std::size_t>(std::clamp(v, 0L, static_cast<long>(box.dims[a]) - 1));
    }
    return box.index(c[0], c[1], c[2]);
}

std::pair<bool, std::vector<Transform>> Aligner::seed_transforms(std::size_t keep) {
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
}  // namespace torva::fold_search
