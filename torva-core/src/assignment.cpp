// The assignment problem by the Hungarian method (Kuhn-Munkres, with potentials).
#include "torva/assignment.hpp"

#include <algorithm>
#include <limits>

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

}  // namespace torva
