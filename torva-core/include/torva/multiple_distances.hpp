// Distances within a multiple alignment whose structures already lie in one
// frame: no fitting, only the positions the alignment's columns pair up.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "torva/error.hpp"
#include "torva/math.hpp"
#include "torva/treewise.hpp"

namespace torva {

struct MultipleDistances {
    std::size_t n = 0;        // structures
    std::size_t columns = 0;  // alignment columns
    // n x n: the C-alpha RMSD between every two structures over the core
    // columns (0 on the diagonal); NaN off the diagonal when there is no core
    // column. Row 0 is each structure's core RMSD to the first.
    std::vector<double> core_rmsd;
    // columns x n: each residue's distance to the mean position of its
    // column's residues; NaN for a gap and in a column of fewer than two.
    std::vector<double> column_deviation;
};

// `placed[k]` holds structure k's C-alpha atoms in the common frame; entry k of
// each column is a residue index of structure k (or a gap) and `core` lists
// columns without gaps. InvalidParameter for a column of the wrong width, an
// index out of range, or a core column with a gap.
Result<MultipleDistances> multiple_distances(std::span<const PointSet> placed, std::span<const Column> columns,
                                             std::span<const std::size_t> core);

}  // namespace torva
