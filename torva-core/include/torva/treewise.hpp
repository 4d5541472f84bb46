// Tree-wise progressive multiple alignment and its result record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/clustering.hpp"
#include "torva/error.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/scoring.hpp"

namespace torva {

// Entry k: residue index of structure k, or nullopt for a gap.
using Column = std::vector<std::optional<std::uint32_t>>;

struct GroupAlignment {
    std::vector<Column> columns;
    std::vector<std::size_t> members;
};

struct MultipleAlignmentResult {
    std::vector<Transform> transforms;
    std::vector<Transform> pre_transforms;
    std::vector<std::string> source_paths;
    std::vector<std::size_t> core_positions;
    std::vector<Column> columns;
    double score = 0.0;
    double avg_rmsd = 0.0;

    std::size_t n_columns() const { return columns.size(); }
    std::size_t n_core() const { return core_positions.size(); }
    std::vector<Transform> full_transforms() const;
};

GroupAlignment align_tree(const GuideNode& node, std::span<const Domain> domains, const PairwiseTable& table);

// The merges along the tree, each guided by the alignments of every pair of
// members across the two groups (not only the best pair): columns are matched
// in order to maximise the summed scores of the pairs that put residues of
// both in them. So a member that shares only one domain with the others
// cannot keep their other domains apart. nullopt when `cancel` asked to stop
// (asked before every merge).
std::optional<GroupAlignment> align_tree_by_all_pairs(const GuideNode& node, std::span<const Domain> domains,
                                                      const PairwiseTable& table, const Cancel& cancel = {});

// The pairwise table, the guide tree and the merges along it. `cancel` is
// asked before every pairwise alignment and every merge.
Result<MultipleAlignmentResult> align_multiple(std::span<const Domain> domains, const Parameters& params,
                                               const Cancel& cancel = {});

}  // namespace torva
