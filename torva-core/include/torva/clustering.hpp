// All-against-all pairwise table and the UPGMA guide tree.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/scoring.hpp"

namespace torva {

struct PairwiseEntry {
    std::vector<AlignedPair> aligned_pairs;
    std::vector<double> residue_scores;
    Transform transform;  // moves domain j onto domain i
    double rmsd = 0.0;
    std::size_t n_aligned = 0;
    double score = 0.0;
    double seq_identity = 0.0;
};

// N × N, entry (i, j) at entries[i * n + j].
struct PairwiseTable {
    std::size_t n = 0;
    std::vector<PairwiseEntry> entries;

    const PairwiseEntry& at(std::size_t i, std::size_t j) const { return entries[i * n + j]; }
    PairwiseEntry& at(std::size_t i, std::size_t j) { return entries[i * n + j]; }
};

struct GuideNode {
    // Leaf when both children are null.
    std::size_t leaf = 0;
    std::unique_ptr<GuideNode> left;
    std::unique_ptr<GuideNode> right;
    double height = 0.0;

    bool is_leaf() const { return !left && !right; }
};

// Aligns every pair i < j once; `cancel` is asked before each alignment.
Result<PairwiseTable> build_pairwise_table(std::span<const Domain> domains, const Parameters& params,
                                           const Cancel& cancel = {});

// Throws InternalError ("Node should exist", "Root should exist") on the
// impossible paths.
std::unique_ptr<GuideNode> build_guide_tree(const PairwiseTable& table);

}  // namespace torva
