// Tree-wise progressive multiple alignment: groups are merged from the leaves
// up, each merge guided by the best-scoring pairwise alignment between one
// member of each group.
#include "torva/treewise.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace torva {
namespace {

constexpr std::size_t kNowhere = std::numeric_limits<std::size_t>::max();

// column_of[r] = index of the column holding residue r of `structure`
// (kNowhere for a residue the group does not hold).
std::vector<std::size_t> column_positions(const std::vector<Column>& columns, std::size_t structure,
                                          std::size_t n_residues) {
    std::vector<std::size_t> column_of(n_residues, kNowhere);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const auto& entry = columns[c][structure];
        if (entry && *entry < n_residues) column_of[*entry] = c;
    }
    return column_of;
}

// Merges B into A along the guide pairs (residue a of structure i, residue b of
// structure j). A guide pair stands for the column of A that holds residue a of
// i and the column of B that holds residue b of j; once a group carries gap
// columns for its representative, those are not the a-th and b-th columns.
std::vector<Column> merge_groups(std::vector<Column>&& a_cols, std::vector<Column>&& b_cols,
                                 std::span<const AlignedPair> guide, std::size_t i, std::size_t li, std::size_t j,
                                 std::size_t lj) {
    const std::vector<std::size_t> col_a = column_positions(a_cols, i, li);
    const std::vector<std::size_t> col_b = column_positions(b_cols, j, lj);
    const std::size_t na = a_cols.size();
    const std::size_t nb = b_cols.size();

    std::vector<Column> out;
    out.reserve(na + nb);
    std::size_t x = 0;
    std::size_t y = 0;
    for (const AlignedPair& p : guide) {
        const std::size_t ta = p.i < li ? col_a[p.i] : kNowhere;
        const std::size_t tb = p.j < lj ? col_b[p.j] : kNowhere;
        // A pair outside the groups, or one that would run backwards, cannot
        // guide anything; pairs from the pairwise engine never do either.
        if (ta == kNowhere || tb == kNowhere || ta < x || tb < y) continue;
        while (x < na && x < ta) out.push_back(std::move(a_cols[x++]));
        while (y < nb && y < tb) out.push_back(std::move(b_cols[y++]));
        if (x < na && y < nb) {
            Column merged = std::move(a_cols[x++]);
            const Column& from_b = b_cols[y++];
            for (std::size_t k = 0; k < merged.size(); ++k) {
                if (from_b[k]) merged[k] = from_b[k];
            }
            out.push_back(std::move(merged));
        }
    }
    while (x < na) out.push_back(std::move(a_cols[x++]));
    while (y < nb) out.push_back(std::move(b_cols[y++]));
    return out;
}

}  // namespace

std::vector<Transform> MultipleAlignmentResult::full_transforms() const {
    const std::size_t n = std::min(transforms.size(), pre_transforms.size());
    std::vector<Transform> out;
    out.reserve(n);
    for (std::size_t k = 0; k < n; ++k) out.push_back(transforms[k].compose(pre_transforms[k]));
    return out;
}

namespace {

// align_tree, asking `cancel` before every merge; nullopt when it said stop.
std::optional<GroupAlignment> merge_tree(const GuideNode& node, std::span<const Domain> domains,
                                         const PairwiseTable& table, const Cancel& cancel) {
    const std::size_t n = domains.size();
    if (node.is_leaf()) {
        const std::size_t s = node.leaf;
        if (s >= n) throw InternalError("Guide tree leaf outside the domain list");
        GroupAlignment g;
        const std::size_t len = domains[s].size();
        g.columns.reserve(len);
        for (std::size_t k = 0; k < len; ++k) {
            Column c(n);
            c[s] = static_cast<std::uint32_t>(k);
            g.columns.push_back(std::move(c));
        }
        g.members = {s};
        return g;
    }
    if (!node.left || !node.right) throw InternalError("Inner guide-tree node without two children");

    std::optional<GroupAlignment> left_group = merge_tree(*node.left, domains, table, cancel);
    if (!left_group) return std::nullopt;
    std::optional<GroupAlignment> right_group = merge_tree(*node.right, domains, table, cancel);
    if (!right_group || cancel.requested()) return std::nullopt;
    GroupAlignment& left = *left_group;
    GroupAlignment& right = *right_group;

    GroupAlignment out;
    out.members = left.members;
    out.members.insert(out.members.end(), right.members.begin(), right.members.end());

    // Representative pair: the first best-scoring (i in P, j in Q).
    double best = -std::numeric_limits<double>::infinity();
    const PairwiseEntry* guide = nullptr;
    std::size_t ri = 0;
    std::size_t rj = 0;
    for (std::size_t i : left.members) {
        for (std::size_t j : right.members) {
            const PairwiseEntry& e = table.at(i, j);
            if (e.score > best) {
                best = e.score;
                guide = &e;
                ri = i;
                rj = j;
            }
        }
    }

    if (guide == nullptr || guide->aligned_pairs.empty()) {
        out.columns = std::move(left.columns);
        out.columns.insert(out.columns.end(), std::make_move_iterator(right.columns.begin()),
                           std::make_move_iterator(right.columns.end()));
        return out;
    }
    out.columns = merge_groups(std::move(left.columns), std::move(right.columns), guide->aligned_pairs, ri,
                               domains[ri].size(), rj, domains[rj].size());
    return out;
}

// Merges two groups by the alignments of every pair across them. Column x of
// A and column y of B are worth the summed score of the pairs (i in A, j in B)
// whose alignment pairs i's residue in x with j's residue in y; the merge
// matches the columns in order so that the matched worth is largest. Every
// pair across the groups has its say, so a member covering only part of the
// others (one domain of a two-domain chain) cannot keep the rest apart.
std::vector<Column> merge_by_all_pairs(std::vector<Column>&& a_cols, std::vector<Column>&& b_cols,
                                       std::span<const std::size_t> a_members, std::span<const std::size_t> b_members,
                                       std::span<const Domain> domains, const PairwiseTable& table) {
    const std::size_t na = a_cols.size();
    const std::size_t nb = b_cols.size();
    std::vector<float> worth(na * nb, 0.0f);
    for (std::size_t i : a_members) {
        const std::vector<std::size_t> col_a = column_positions(a_cols, i, domains[i].size());
        for (std::size_t j : b_members) {
            const PairwiseEntry& e = table.at(i, j);
            if (!(e.score > 0.0)) continue;
            const std::vector<std::size_t> col_b = column_positions(b_cols, j, domains[j].size());
            for (const AlignedPair& p : e.aligned_pairs) {
                const std::size_t x = p.i < col_a.size() ? col_a[p.i] : kNowhere;
                const std::size_t y = p.j < col_b.size() ? col_b[p.j] : kNowhere;
                if (x != kNowhere && y != kNowhere) worth[x * nb + y] += static_cast<float>(e.score);
            }
        }
    }
    // best[x][y]: the largest worth of an ordered matching of A's first x and
    // B's first y columns; no cost for a column left alone.
    const std::size_t w = nb + 1;
    std::vector<float> best((na + 1) * w, 0.0f);
    for (std::size_t x = 1; x <= na; ++x) {
        for (std::size_t y = 1; y <= nb; ++y) {
            float v = std::max(best[(x - 1) * w + y], best[x * w + y - 1]);
            const float m = worth[(x - 1) * nb + (y - 1)];
            if (m > 0.0f) v = std::max(v, best[(x - 1) * w + y - 1] + m);
            best[x * w + y] = v;
        }
    }
    std::vector<std::pair<std::size_t, std::size_t>> matched;
    for (std::size_t x = na, y = nb; x > 0 && y > 0;) {
        const float m = worth[(x - 1) * nb + (y - 1)];
        if (m > 0.0f && best[x * w + y] == best[(x - 1) * w + y - 1] + m) {
            matched.emplace_back(x - 1, y - 1);
            --x;
            --y;
        } else if (best[x * w + y] == best[(x - 1) * w + y]) {
            --x;
        } else {
            --y;
        }
    }
    std::reverse(matched.begin(), matched.end());
    std::vector<Column> out;
    out.reserve(na + nb);
    std::size_t x = 0;
    std::size_t y = 0;
    for (const auto& [ta, tb] : matched) {
        while (x < ta) out.push_back(std::move(a_cols[x++]));
        while (y < tb) out.push_back(std::move(b_cols[y++]));
        Column merged = std::move(a_cols[x++]);
        const Column& from_b = b_cols[y++];
        for (std::size_t k = 0; k < merged.size(); ++k) {
            if (from_b[k]) merged[k] = from_b[k];
        }
        out.push_back(std::move(merged));
    }
    while (x < na) out.push_back(std::move(a_cols[x++]));
    while (y < nb) out.push_back(std::move(b_cols[y++]));
    return out;
}

std::optional<GroupAlignment> merge_tree_by_all_pairs(const GuideNode& node, std::span<const Domain> domains,
                                                      const PairwiseTable& table, const Cancel& cancel) {
    const std::size_t n = domains.size();
    if (node.is_leaf()) return merge_tree(node, domains, table, cancel);
    if (!node.left || !node.right) throw InternalError("Inner guide-tree node without two children");
    std::optional<GroupAlignment> left = merge_tree_by_all_pairs(*node.left, domains, table, cancel);
    if (!left) return std::nullopt;
    std::optional<GroupAlignment> right = merge_tree_by_all_pairs(*node.right, domains, table, cancel);
    if (!right || cancel.requested()) return std::nullopt;
    GroupAlignment out;
    out.members = left->members;
    out.members.insert(out.members.end(), right->members.begin(), right->members.end());
    for (std::size_t m : out.members)
        if (m >= n) throw InternalError("Guide tree leaf outside the domain list");
    out.columns = merge_by_all_pairs(std::move(left->columns), std::move(right->columns), left->members,
                                     right->members, domains, table);
    return out;
}

}  // namespace

GroupAlignment align_tree(const GuideNode& node, std::span<const Domain> domains, const PairwiseTable& table) {
    return *merge_tree(node, domains, table, Cancel{});
}

std::optional<GroupAlignment> align_tree_by_all_pairs(const GuideNode& node, std::span<const Domain> domains,
                                                      const PairwiseTable& table, const Cancel& cancel) {
    return merge_tree_by_all_pairs(node, domains, table, cancel);
}

Result<MultipleAlignmentResult> align_multiple(std::span<const Domain> domains, const Parameters& params,
                                               const Cancel& cancel) {
    MultipleAlignmentResult result;
    const std::size_t n = domains.size();
    if (n == 0) return result;

    if (n == 1) {
        const std::size_t len = domains[0].size();
        result.transforms = {Transform::identity()};
        result.columns.reserve(len);
        result.core_positions.reserve(len);
        for (std::size_t k = 0; k < len; ++k) {
            result.columns.push_back(Column{static_cast<std::uint32_t>(k)});
            result.core_positions.push_back(k);
        }
        return result;  // score stays 0.0 although every column is core
    }

    auto table = build_pairwise_table(domains, params, cancel);
    if (!table) return table.error();
    {
        const std::unique_ptr<GuideNode> root = build_guide_tree(table.value());
        std::optional<GroupAlignment> merged = merge_tree(*root, domains, table.value(), cancel);
        if (!merged) return Error::cancelled();
        result.columns = std::move(merged->columns);
    }

    result.transforms.assign(n, Transform::identity());
    for (std::size_t c = 0; c < result.columns.size(); ++c) {
        const Column& col = result.columns[c];
        if (std::all_of(col.begin(), col.end(), [](const auto& e) { return e.has_value(); })) {
            result.core_positions.push_back(c);
        }
    }
    result.score = static_cast<double>(result.core_positions.size()) /
                   static_cast<double>(std::max<std::size_t>(result.columns.size(), 1));

    double sum = 0.0;
    std::size_t pairs = 0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            sum += table.value().at(i, j).rmsd;
            ++pairs;
        }
    }
    result.avg_rmsd = pairs > 0 ? sum / static_cast<double>(pairs) : 0.0;
    return result;
}

}  // namespace torva
