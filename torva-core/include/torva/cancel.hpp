// Stopping long operations early. A long operation (a scan, a database scan, a
// multiple alignment, writing many files) asks its Cancel at safe points:
// between windows and seed starts, between targets, between pairwise
// alignments and merges, before each output file. When the answer is true it
// ends with Error::cancelled(), returns no result and has changed nothing its
// caller passed in; files it finished writing before stay as written.
#pragma once

#include <atomic>
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
    Cancel(const Cancel& other) : check_(other.check_), stopped_(other.stopped_.load()) {}
    Cancel& operator=(const Cancel& other) {
        check_ = other.check_;
        stopped_ = other.stopped_.load();
        return *this;
    }

    // Once true, true for good: a stop seen deep inside an operation (where
    // only a partial result can be returned) is seen again by its callers,
    // whose `check` may not answer twice (a signal is reported once).
    bool requested() const {
        if (stopped_.load(std::memory_order_relaxed)) return true;
        if (!check_ || !check_()) return false;
        stopped_.store(true, std::memory_order_relaxed);
        return true;
    }

private:
    std::function<bool()> check_;
    mutable std::atomic<bool> stopped_{false};
};

}  // namespace torva
