#include "torva/multiple_distances.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace torva {

Result<MultipleDistances> multiple_distances(std::span<const PointSet> placed, std::span<const Column> columns,
                                             std::span<const std::size_t> core) {
    const std::size_t n = placed.size();
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (columns[c].size() != n)
            return Error::invalid_parameter("column " + std::to_string(c) + " has " +
                                            std::to_string(columns[c].size()) + " entries for " + std::to_string(n) +
                                            " structures");
        for (std::size_t k = 0; k < n; ++k)
            if (columns[c][k] && *columns[c][k] >= placed[k].size())
                return Error::invalid_parameter("column " + std::to_string(c) + " names residue " +
                                                std::to_string(*columns[c][k]) + " of structure " + std::to_string(k) +
                                                ", which has " + std::to_string(placed[k].size()));
    }
    for (const std::size_t c : core) {
        if (c >= columns.size())
            return Error::invalid_parameter("core column " + std::to_string(c) + " is not one of the " +
                                            std::to_string(columns.size()) + " columns");
        for (std::size_t k = 0; k < n; ++k)
            if (!columns[c][k])
                return Error::invalid_parameter("core column " + std::to_string(c) + " has a gap");
    }

    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    MultipleDistances out;
    out.n = n;
    out.columns = columns.size();
    out.core_rmsd.assign(n * n, core.empty() ? kNaN : 0.0);
    for (std::size_t k = 0; k < n; ++k) out.core_rmsd[k * n + k] = 0.0;
    if (!core.empty()) {
        // Each structure's core positions, in core order.
        std::vector<PointSet> at(n);
        for (std::size_t k = 0; k < n; ++k) {
            at[k].reserve(core.size());
            for (const std::size_t c : core) at[k].push_back(placed[k][*columns[c][k]]);
        }
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t l = k + 1; l < n; ++l)
                out.core_rmsd[k * n + l] = out.core_rmsd[l * n + k] = compute_rmsd(at[k], at[l]);
    }

    out.column_deviation.assign(columns.size() * n, kNaN);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        Point centre{0.0, 0.0, 0.0};
        std::size_t present = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (!columns[c][k]) continue;
            const Point& p = placed[k][*columns[c][k]];
            for (int a = 0; a < 3; ++a) centre[a] += p[a];
            ++present;
        }
        if (present < 2) continue;
        for (int a = 0; a < 3; ++a) centre[a] /= static_cast<double>(present);
        for (std::size_t k = 0; k < n; ++k)
            if (columns[c][k])
                out.column_deviation[c * n + k] = std::sqrt(squared_distance(placed[k][*columns[c][k]], centre));
    }
    return out;
}

}  // namespace torva
