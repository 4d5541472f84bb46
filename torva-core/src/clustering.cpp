// All-against-all pairwise table and the guide tree.
#include "torva/clustering.hpp"

namespace torva {

Result<PairwiseTable> build_pairwise_table(std::span<const Domain>, const Parameters&) {
    throw InternalError("clustering: not built yet");
}

std::unique_ptr<GuideNode> build_guide_tree(const PairwiseTable&) { throw InternalError("clustering: not built yet"); }

}  // namespace torva
