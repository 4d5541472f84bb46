// Clusters of a database from a graph of pairs that passed a clustering
// rule: greedy set cover and connected components.
//
// An edge (representative r, member m) says that r may represent m: their
// alignment passed the thresholds with r as the representative (a rule may be
// one-sided, e.g. a coverage of the member, so edges are directed). Both
// functions return, for every node, the node that represents it (a
// representative represents itself). They depend only on the set of edges and
// on `rank`, never on the edges' order, so a graph gathered from workers in
// any order clusters the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "torva/error.hpp"

namespace torva {

struct ClusterEdge {
    std::uint32_t representative = 0;
    std::uint32_t member = 0;
    bool operator==(const ClusterEdge&) const = default;
};

// Greedy set cover: the node that would represent the most nodes not yet in a
// cluster (itself and its members by an edge) becomes a representative, with
// all of those; then the next, until every node is in a cluster. Equal counts
// go to the lower rank[i] (ties of rank to the lower index). Every member has
// an edge from its representative; no representative has an edge to a node
// that was still unclustered when it was chosen -- the greedy approximation of
// the fewest clusters under the rule.
//
// `rank` holds one value per node (an empty span: the index). Edges naming a
// node >= n, or a rank of another size, are an InvalidParameter; an edge from a
// node to itself is ignored.
Result<std::vector<std::uint32_t>> greedy_set_cover(std::size_t n, std::span<const ClusterEdge> edges,
                                                    std::span<const std::uint32_t> rank = {});

// Connected components of the edges taken both ways (single linkage): each
// component's representative is its node with the most distinct neighbours,
// equal counts by rank as above. A member is linked to its representative by a
// chain of edges, not necessarily by one. Errors as greedy_set_cover.
Result<std::vector<std::uint32_t>> connected_components(std::size_t n, std::span<const ClusterEdge> edges,
                                                        std::span<const std::uint32_t> rank = {});

}  // namespace torva
