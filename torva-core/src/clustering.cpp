// All-against-all pairwise table and the average-linkage guide tree.
#include "torva/clustering.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "torva/pairwise.hpp"

namespace torva {
namespace {

PairwiseEntry entry_from(PairwiseResult&& r) {
    PairwiseEntry e;
    e.aligned_pairs = std::move(r.aligned_pairs);
    e.residue_scores = std::move(r.residue_scores);
    e.transform = r.transform;
    e.rmsd = r.rmsd;
    e.n_aligned = r.n_aligned;
    e.score = r.score;
    e.seq_identity = r.seq_identity();
    return e;
}

// The same alignment seen from the other side: pairs swapped, transform inverted.
PairwiseEntry mirror_of(const PairwiseEntry& e) {
    PairwiseEntry m;
    m.aligned_pairs.reserve(e.aligned_pairs.size());
    for (const AlignedPair& p : e.aligned_pairs) m.aligned_pairs.push_back({p.j, p.i});
    m.residue_scores = e.residue_scores;
    m.transform = e.transform.inverse();
    m.rmsd = e.rmsd;
    m.n_aligned = e.n_aligned;
    m.score = e.score;
    m.seq_identity = e.seq_identity;
    return m;
}

PairwiseEntry self_entry(const Domain& d) {
    PairwiseEntry e;
    e.aligned_pairs.reserve(d.size());
    for (std::size_t k = 0; k < d.size(); ++k) {
        const auto idx = static_cast<std::uint32_t>(k);
        e.aligned_pairs.push_back({idx, idx});
    }
    e.rmsd = 0.0;
    e.n_aligned = d.size();
    e.score = 1.0;
    e.seq_identity = 1.0;
    return e;
}

}  // namespace

Result<PairwiseTable> build_pairwise_table(std::span<const Domain> domains, const Parameters& params,
                                           const Cancel& cancel) {
    const PairwiseSettings settings = settings_from_parameters(params);
    const std::size_t n = domains.size();
    PairwiseTable table;
    table.n = n;
    table.entries.resize(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            if (cancel.requested()) return Error::cancelled();
            table.at(i, j) = entry_from(align_pair(domains[i].residues, domains[j].residues, settings));
            // Only the upper triangle is aligned; the lower one is derived.
            table.at(j, i) = mirror_of(table.at(i, j));
        }
        table.at(i, i) = self_entry(domains[i]);
    }
    return table;
}

std::unique_ptr<GuideNode> build_guide_tree(const PairwiseTable& table) {
    const std::size_t n = table.n;
    constexpr double kInf = std::numeric_limits<double>::infinity();

    // Distances from the largest score, the diagonal's 1.0 included.
    double smax = 0.0;
    for (const PairwiseEntry& e : table.entries) {
        if (e.score > smax) smax = e.score;  // NaN never compares greater
    }
    std::vector<double> d(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            d[i * n + j] = d[j * n + i] = smax - table.at(i, j).score;
        }
    }

    std::vector<std::size_t> size(n, 1);
    std::vector<bool> active(n, true);
    std::vector<std::unique_ptr<GuideNode>> slot(n);
    for (std::size_t k = 0; k < n; ++k) {
        slot[k] = std::make_unique<GuideNode>();
        slot[k]->leaf = k;
    }

    auto take = [&](std::size_t k) {
        if (!slot[k]) throw InternalError("Node should exist");
        return std::move(slot[k]);
    };

    for (std::size_t merge = 0; merge + 1 < n; ++merge) {
        // Strict less-than in scan order: ties go to the smaller (m, v), NaN never wins.
        double best = kInf;
        std::size_t bm = 0;
        std::size_t bv = 0;
        for (std::size_t m = 0; m < n; ++m) {
            if (!active[m]) continue;
            for (std::size_t v = m + 1; v < n; ++v) {
                if (!active[v]) continue;
                if (d[m * n + v] < best) {
                    best = d[m * n + v];
                    bm = m;
                    bv = v;
                }
            }
        }
        // With no candidate, (0, 0) is taken and the second take fails.
        auto node = std::make_unique<GuideNode>();
        node->left = take(bm);
        node->right = take(bv);
        node->height = d[bm * n + bv];
        slot[bm] = std::move(node);
        active[bv] = false;

        const double sm = static_cast<double>(size[bm]);
        const double sv = static_cast<double>(size[bv]);
        for (std::size_t w = 0; w < n; ++w) {
            if (!active[w] || w == bm || w == bv) continue;
            const double dist = (d[bv * n + w] * sv + d[bm * n + w] * sm) / (sm + sv);
            d[bm * n + w] = d[w * n + bm] = dist;
        }
        size[bm] += size[bv];
    }

    for (std::size_t k = 0; k < n; ++k) {
        if (slot[k]) return std::move(slot[k]);
    }
    throw InternalError("Root should exist");
}

}  // namespace torva
