// The grid of the seed ratings (cell_box.hpp).
#include "torva/cell_box.hpp"

#include <algorithm>

namespace torva {

CellBox make_cell_box(std::span<const Point> points, double edge, double margin, std::size_t extra, double max_cells,
                      double max_extent) {
    CellBox box;
    const auto finite = [](const Point& p) { return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]); };
    bool any = false;
    Point hi{};
    for (const Point& p : points) {
        if (!finite(p)) continue;
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = any ? std::min(box.lo[a], p[a]) : p[a];
            hi[a] = any ? std::max(hi[a], p[a]) : p[a];
        }
        any = true;
    }
    if (!any) return box;
    std::array<double, 3> extent{};
    for (int a = 0; a < 3; ++a) {
        box.lo[a] -= margin;
        extent[a] = hi[a] + margin - box.lo[a];
        if (std::isfinite(max_extent) && !(extent[a] < max_extent)) return box;
    }
    // Cells along an axis, in floating point (never cast before it is known to fit);
    // an extent that is not a finite number (a box wider than the doubles reach) takes one cell.
    const auto along = [&](int a, double step) {
        return std::isfinite(extent[a]) ? std::floor(extent[a] / step) + static_cast<double>(extra) : 1.0;
    };
    box.step = std::max(edge, std::cbrt(extent[0] * extent[1] * extent[2] / max_cells));
    if (!std::isfinite(box.step)) box.step = std::numeric_limits<double>::max();
    while (along(0, box.step) * along(1, box.step) * along(2, box.step) > 4.0 * max_cells &&
           box.step < std::numeric_limits<double>::max() / 2)
        box.step *= 2.0;
    for (int a = 0; a < 3; ++a) box.dims[a] = static_cast<std::size_t>(along(a, box.step));
    return box;
}

}  // namespace torva
