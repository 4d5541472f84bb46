// The assignment problem: the best one-to-one matching of rows to columns.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace torva {

// Maximum-weight assignment of rows to columns of an n x m matrix (row-major):
// for each row the column it takes, or -1. Each column is used at most once;
// entries that are not positive are never taken.
std::vector<long> assign_max(std::span<const double> weights, std::size_t n, std::size_t m);

}  // namespace torva
