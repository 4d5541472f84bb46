// Fold-mode multiple alignment: pairwise fold alignments, the average-linkage
// tree on 1 - TM, and progressive merging along it.
#include <algorithm>
#include <optional>
#include <utility>

#include "torva/clustering.hpp"
#include "torva/fold.hpp"
#include "torva/tmscore.hpp"
#include "torva/treewise.hpp"

namespace torva {

Result<FoldMultipleResult> fold_align_multiple(std::span<const Domain> domains, const Cancel& cancel) {
    FoldMultipleResult out;
    const std::size_t n = domains.size();
    if (n == 0) return out;
    for (const Domain& d : domains)
        if (d.size() == 0) return Error::structure_too_small(0, 1);

    // The table the tree and the merges read: score is the TM-score
    // normalised by the shorter chain (the larger of the two).
    PairwiseTable table;
    table.n = n;
    table.entries.resize(n * n);
    out.tm.assign(n * n, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        PairwiseEntry& self = table.at(i, i);
        for (std::size_t k = 0; k < domains[i].size(); ++k)
            self.aligned_pairs.push_back({static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(k)});
        self.n_aligned = domains[i].size();
        self.score = 1.0;
        self.seq_identity = 1.0;
        for (std::size_t j = i + 1; j < n; ++j) {
            if (cancel.requested()) return Error::cancelled();
            auto r = fold_align(domains[i].residues, domains[j].residues, cancel);
            if (!r) return r.error();
            const FoldResult& f = r.value();
            PairwiseEntry e;
            e.aligned_pairs = f.pairs;
            e.transform = f.transform;
            e.rmsd = f.rmsd;
            e.n_aligned = f.n_aligned;
            e.score = std::max(f.tm_fixed, f.tm_mobile);
            e.seq_identity = f.seq_identity;
            PairwiseEntry m = e;
            for (AlignedPair& p : m.aligned_pairs) std::swap(p.i, p.j);
            m.transform = e.transform.inverse();
            table.at(i, j) = std::move(e);
            table.at(j, i) = std::move(m);
            out.tm[i * n + j] = f.tm_fixed;
            out.tm[j * n + i] = f.tm_mobile;
        }
    }

    if (n == 1) {
        for (std::size_t k = 0; k < domains[0].size(); ++k) {
            out.columns.push_back(Column{static_cast<std::uint32_t>(k)});
            out.core_positions.push_back(k);
        }
        out.transforms = {Transform::identity()};
        out.onto_first = out.transforms;
        return out;
    }

    const std::unique_ptr<GuideNode> root = build_guide_tree(table);
    std::optional<GroupAlignment> merged = align_tree_by_all_pairs(*root, domains, table, cancel);
    if (!merged) return Error::cancelled();
    out.columns = std::move(merged->columns);
    for (std::size_t c = 0; c < out.columns.size(); ++c)
        if (std::all_of(out.columns[c].begin(), out.columns[c].end(), [](const auto& e) { return e.has_value(); }))
            out.core_positions.push_back(c);

    // The reference: the highest summed similarity, the first on ties.
    double best = -1.0;
    for (std::size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j)
            if (j != i) sum += table.at(i, j).score;
        if (sum > best) {
            best = sum;
            out.reference = i;
        }
    }
    const std::size_t ref = out.reference;
    const PointSet ref_coords = domains[ref].coordinates();
    out.transforms.assign(n, Transform::identity());
    for (std::size_t k = 0; k < n; ++k) {
        if (k == ref) continue;
        if (cancel.requested()) return Error::cancelled();
        std::vector<AlignedPair> pairs;
        for (const Column& c : out.columns)
            if (c[ref] && c[k]) pairs.push_back({*c[ref], *c[k]});
        auto fit = tm_score(ref_coords, domains[k].coordinates(), pairs, cancel);
        if (!fit) return fit.error();
        out.transforms[k] = fit.value().transform;
    }
    const Transform back = out.transforms[0].inverse();  // the reference's frame into the first's
    out.onto_first.resize(n);
    for (std::size_t k = 0; k < n; ++k) out.onto_first[k] = back.compose(out.transforms[k]);
    out.onto_first[0] = Transform::identity();
    return out;
}

}  // namespace torva
