// The grid of the seed ratings: a box of cubic cells over a chain's atoms. The
// family level samples closeness on it (ClosenessMap), the fold level buckets
// residues in it to find the one nearest a moved residue (the fold search's
// fragment seeds). The number of cells is bounded whatever the coordinates:
// a box too wide for cells of the edge asked for gets coarser cells, an axis
// whose extent is not a finite number gets a single cell, and no cell index is
// ever computed from a double outside the box.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>

#include "torva/math.hpp"

namespace torva {

struct CellBox {
    Point lo{0.0, 0.0, 0.0};  // corner of cell (0, 0, 0)
    double step = 1.0;        // edge of a cell
    std::array<std::size_t, 3> dims{0, 0, 0};

    bool empty() const { return dims[0] == 0; }
    std::size_t cells() const { return dims[0] * dims[1] * dims[2]; }
    std::size_t index(std::size_t x, std::size_t y, std::size_t z) const { return (x * dims[1] + y) * dims[2] + z; }

    // floor((v - lo[a]) / step + shift) along axis a when it is a cell of the
    // box or one beside it (-1 .. dims[a]); nullopt further out or for a value
    // that is not a number. An axis of a single cell holds every value.
    std::optional<long> cell(double v, int a, double shift = 0.0) const {
        if (dims[a] == 1) return 0L;
        const double f = std::floor((v - lo[a]) / step + shift);
        if (!(f >= -1.0 && f <= static_cast<double>(dims[a]))) return std::nullopt;
        return static_cast<long>(f);
    }
};

// The box around the finite points with `margin` on every side, of cells of
// `edge` (coarser when the box would need more than `max_cells`:
// step = max(edge, cbrt(volume / max_cells)), doubled while the cells still
// number more than four times that), and `extra` cells more along each axis
// than the extent needs. Empty when no point is finite, or when an extent is
// `max_extent` or more (a finite bound; by default any extent is taken).
CellBox make_cell_box(std::span<const Point> points, double edge, double margin, std::size_t extra, double max_cells,
                      double max_extent = std::numeric_limits<double>::infinity());

}  // namespace torva
