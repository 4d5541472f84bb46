// Tree-wise progressive multiple alignment.
#include "torva/treewise.hpp"

namespace torva {

std::vector<Transform> MultipleAlignmentResult::full_transforms() const {
    throw InternalError("treewise: not built yet");
}

GroupAlignment align_tree(const GuideNode&, std::span<const Domain>, const PairwiseTable&) {
    throw InternalError("treewise: not built yet");
}

Result<MultipleAlignmentResult> align_multiple(std::span<const Domain>, const Parameters&) {
    throw InternalError("treewise: not built yet");
}

}  // namespace torva
