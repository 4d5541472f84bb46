// Stopping long operations early. A long operation (a scan, a database scan, a
// multiple alignment, writing many files) asks its Cancel at safe points:
// between windows and seed starts, between targets, between pairwise
// alignments and merges, before each output file. When the answer is true it
// ends with Error::cancelled(), returns no result and has changed nothing its
// caller passed in; files it finished writing before stay as written.
#pragma once

#include <functional>
#include <utility>

namespace torva {

class Cancel {
public:
    // Never asks to stop.
    Cancel() = default;
    // `check` returns true to stop the operation; it is called from the
    // operation's own thread, at most once per safe point.
    explicit Cancel(std::function<bool()> check) : check_(std::move(check)) {}

    bool requested() const { return check_ && check_(); }

private:
    std::function<bool()> check_;
};

}  // namespace torva
